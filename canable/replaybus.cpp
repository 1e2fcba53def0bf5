#include "canable/replaybus.h"
#include "canable/simbus.h"

#include "traceformats/tracefile.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace canable {

namespace {

// How long a read may wait for the next frame before it reports that none is there.
constexpr std::chrono::milliseconds readWaitLimit(5);
// How long the open waits to learn whether the file holds a frame at all: a file that
// hides its first frame behind gigabytes of nothing opens anyway, and stays silent until
// the frame is found.
constexpr std::chrono::milliseconds firstFrameWait(100);
// Between the last frame of one pass and the first of the next.
constexpr int64_t loopGapUs = 1000;
// Frames read ahead of the bus.
constexpr size_t aheadFrames = 256;

class ReplayBus final : public Backend
{
public:
    ReplayBus(std::string path, trace::Format format, bool fdMode)
        : m_path(std::move(path)), m_format(format), m_fdMode(fdMode)
    {
    }

    ~ReplayBus() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_producer.joinable())
            m_producer.join();
    }

    // False with one line on stderr when the file cannot be read or holds no frame.
    bool start()
    {
        if (!rewind()) {
            refuse();
            return false;
        }
        m_producer = std::thread([this] { produce(); });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, firstFrameWait, [this] { return m_started || m_ended; });
        if (m_ended && !m_started) {
            lock.unlock();
            refuse();
            return false;
        }
        m_opened = true;
        return true;
    }

    int read(CanFrameRecord *record) override
    {
        CanFdFrameRecord frame;
        for (;;) {
            if (readFd(&frame) != 0)
                return 1;
            // A classic reader of an FD bus does not see its FD frames.
            if (!(frame.flags & CANABLE_FD_FDF))
                break;
        }
        *record = classicOf(frame);
        return 0;
    }

    bool fdMode() const override { return m_fdMode; }

    int readFd(CanFdFrameRecord *record) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_ahead.empty()
            && !m_changed.wait_for(lock, readWaitLimit, [this] { return !m_ahead.empty(); }))
            return 1;
        const Ahead next = m_ahead.front();
        const Clock::time_point due = m_epoch + std::chrono::microseconds(next.dueUs);
        const Clock::time_point now = Clock::now();
        if (due > now) {
            lock.unlock();
            std::this_thread::sleep_until(std::min(due, now + readWaitLimit));
            if (Clock::now() < due)
                return 1;
            lock.lock();
        }
        m_ahead.pop_front();
        lock.unlock();
        m_changed.notify_all();
        *record = next.record;
        m_lastStampUs = m_wallEpochUs + next.dueUs;
        return 0;
    }

    int writeFd(const CanFdFrameRecord &) override
    {
        m_writeLog.record(Clock::now());
        return 0;
    }

    // The bus's own clock: the time the trace's gaps put the frame on the bus, not when the
    // reader came to take it.
    bool lastReadTimestamp(int64_t *usec) override
    {
        if (m_lastStampUs == 0)
            return false;
        *usec = m_lastStampUs;
        return true;
    }

    int write(const CanFrameRecord &record) override
    {
        if (!isTransmittable(record))
            return 1;
        m_writeLog.record(Clock::now());
        return 0;
    }

private:
    using Clock = std::chrono::steady_clock;

    struct Ahead
    {
        CanFdFrameRecord record;
        int64_t dueUs; // from the first frame on
    };

    void refuse()
    {
        std::fprintf(stderr, "canable: CANABLE_SIM_TRAFFIC=replay: %.200s holds no frame%s%s\n",
                     m_path.c_str(), m_error.empty() ? "" : ": ", m_error.c_str());
    }

    bool rewind()
    {
        m_reader = trace::Reader::open(m_path, m_format, &m_error);
        if (m_reader)
            m_reader->setCancelFlag(&m_stop);
        return m_reader != nullptr;
    }

    // The reading thread: the trace's frames in play order, pass after pass, until the
    // bus closes, the file cannot be read again or a pass holds no frame.
    void produce()
    {
        bool framesThisPass = false;
        for (;;) {
            trace::Frame frame;
            if (m_reader->next(frame)) {
                // A write the adapter refused never was traffic of the bus.
                if (frame.error || !frame.success || (frame.fd && !m_fdMode)
                    || (!frame.fd && frame.dlc > 8))
                    continue;
                if (!framesThisPass && m_passes > 0)
                    m_passOffsetUs += m_lastUs - frame.timestampUs + loopGapUs;
                if (framesThisPass && frame.timestampUs < m_lastUs)
                    frame.timestampUs = m_lastUs; // a trace out of order plays at once
                if (m_passes == 0 && !framesThisPass)
                    m_originUs = frame.timestampUs;
                framesThisPass = true;
                m_lastUs = frame.timestampUs;
                if (!offer(frame))
                    break;
                continue;
            }
            if (m_reader->cancelled() || !framesThisPass || !rewind())
                break;
            // Each pass continues the clock of the one before.
            ++m_passes;
            framesThisPass = false;
        }
        bool silent = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended = true;
            silent = m_opened && !m_started && !m_stop;
        }
        m_changed.notify_all();
        // Found out after the open: the bus stays silent, and the terminal says why.
        if (silent)
            refuse();
    }

    // Waits for room ahead of the bus; false once the bus closes.
    bool offer(const trace::Frame &frame)
    {
        Ahead ahead;
        ahead.record = CanFdFrameRecord();
        ahead.record.id = frame.id;
        ahead.record.len = frame.dlc;
        ahead.record.flags = uint8_t((frame.remote ? CANABLE_FD_RTR : 0)
                                     | (frame.extended ? CANABLE_FD_EXT : 0)
                                     | (frame.fd ? CANABLE_FD_FDF : 0)
                                     | (frame.brs ? CANABLE_FD_BRS : 0)
                                     | (frame.esi ? CANABLE_FD_ESI : 0));
        if (!frame.remote) {
            for (int i = 0; i < frame.dlc; ++i)
                ahead.record.data[i] = frame.data[i];
        }
        ahead.dueUs = frame.timestampUs - m_originUs + m_passOffsetUs;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stop || m_ahead.size() < aheadFrames; });
            if (m_stop)
                return false;
            // The bus starts with its first frame, however long the file took to show it.
            if (!m_started) {
                m_started = true;
                m_epoch = Clock::now();
                m_wallEpochUs = wallClockMicroseconds();
            }
            m_ahead.push_back(ahead);
        }
        m_changed.notify_all();
        return true;
    }

    const std::string m_path;
    const trace::Format m_format;
    const bool m_fdMode;
    std::string m_error;
    // The reading thread's alone once it runs.
    std::unique_ptr<trace::Reader> m_reader;
    int64_t m_originUs = 0;
    int64_t m_passOffsetUs = 0;
    int64_t m_lastUs = 0;
    uint64_t m_passes = 0;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Guarded by m_mutex; m_stop is also the reader's cancel flag. The epochs are written
    // once, before the first frame is offered, and read after it is taken.
    std::atomic<bool> m_stop { false };
    std::deque<Ahead> m_ahead;
    bool m_started = false;
    bool m_ended = false;
    bool m_opened = false;
    Clock::time_point m_epoch;
    int64_t m_wallEpochUs = 0;
    std::thread m_producer;

    // The reader's thread alone.
    int64_t m_lastStampUs = 0;
    WriteLog m_writeLog;
};

} // namespace

std::unique_ptr<Backend> openReplayBus(const std::string &path, bool fdMode)
{
    trace::Format format = trace::formatForFile(path);
    if (format == trace::Format::Unknown)
        format = trace::Format::CandumpLog;
    auto bus = std::make_unique<ReplayBus>(path, format, fdMode);
    if (!bus->start())
        return nullptr;
    return bus;
}

} // namespace canable
