#include "canable/replaybus.h"
#include "canable/simbus.h"

#include "traceformats/tracefile.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace canable {

namespace {

// How long a read may wait for the next frame before it reports that none is there.
constexpr std::chrono::milliseconds readWaitLimit(5);
// Between the last frame of one pass and the first of the next.
constexpr int64_t loopGapUs = 1000;

class ReplayBus final : public Backend
{
public:
    ReplayBus(std::string path, trace::Format format, bool fdMode)
        : m_path(std::move(path)), m_format(format), m_fdMode(fdMode)
    {
    }

    // Opens the first pass; false with one line on stderr when there is no frame.
    bool start()
    {
        if (!rewind() || !nextFrame(false)) {
            std::fprintf(stderr, "canable: CANABLE_SIM_TRAFFIC=replay: %.200s holds no "
                                 "frame%s%s\n", m_path.c_str(), m_error.empty() ? "" : ": ",
                         m_error.c_str());
            return false;
        }
        m_epoch = Clock::now();
        m_wallEpochUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch()).count();
        m_originUs = m_frame.timestampUs;
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
        const int64_t dueUs = m_frame.timestampUs - m_originUs + m_passOffsetUs;
        const Clock::time_point due = m_epoch + std::chrono::microseconds(dueUs);
        const Clock::time_point now = Clock::now();
        if (due > now) {
            std::this_thread::sleep_until(std::min(due, now + readWaitLimit));
            if (Clock::now() < due)
                return 1;
        }
        *record = CanFdFrameRecord();
        record->id = m_frame.id;
        record->len = m_frame.dlc;
        record->flags = uint8_t((m_frame.remote ? CANABLE_FD_RTR : 0)
                                | (m_frame.extended ? CANABLE_FD_EXT : 0)
                                | (m_frame.fd ? CANABLE_FD_FDF : 0)
                                | (m_frame.brs ? CANABLE_FD_BRS : 0)
                                | (m_frame.esi ? CANABLE_FD_ESI : 0));
        if (!m_frame.remote) {
            for (int i = 0; i < m_frame.dlc; ++i)
                record->data[i] = m_frame.data[i];
        }
        m_lastStampUs = m_wallEpochUs + dueUs;
        nextFrame(true);
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

    bool rewind()
    {
        m_reader = trace::Reader::open(m_path, m_format, &m_error);
        return m_reader != nullptr;
    }

    // The next frame in play order, starting the next pass at the end of the file.
    bool nextFrame(bool loop)
    {
        for (int pass = 0; pass < 2; ++pass) {
            trace::Frame frame;
            while (m_reader && m_reader->next(frame)) {
                // A write the adapter refused never was traffic of the bus.
                if (frame.error || !frame.success || (frame.fd && !m_fdMode)
                    || (!frame.fd && frame.dlc > 8))
                    continue;
                if (m_havePrevious && frame.timestampUs < m_previousUs)
                    frame.timestampUs = m_previousUs; // a trace out of order plays at once
                m_previousUs = frame.timestampUs;
                if (m_newPass) {
                    m_passOffsetUs += m_lastUs - frame.timestampUs + loopGapUs;
                    m_newPass = false;
                }
                m_havePrevious = true;
                m_lastUs = frame.timestampUs;
                m_frame = frame;
                return true;
            }
            if (!loop || !rewind())
                return false;
            // Each pass continues the clock of the one before.
            m_newPass = true;
            m_havePrevious = false;
        }
        return false;
    }

    const std::string m_path;
    const trace::Format m_format;
    const bool m_fdMode;
    std::unique_ptr<trace::Reader> m_reader;
    std::string m_error;
    trace::Frame m_frame;
    Clock::time_point m_epoch;
    int64_t m_wallEpochUs = 0;
    int64_t m_lastStampUs = 0;
    int64_t m_originUs = 0;
    int64_t m_passOffsetUs = 0;
    int64_t m_lastUs = 0;
    int64_t m_previousUs = 0;
    bool m_havePrevious = false;
    bool m_newPass = false;
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
