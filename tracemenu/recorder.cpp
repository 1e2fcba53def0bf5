#include "tracemenu/recorder.h"

#include "device/frametime.h"
#include "device/handlethread.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <pthread.h>

namespace {

using Clock = std::chrono::steady_clock;

// The writer thread looks at the queue this often, and sooner when it fills a quarter.
constexpr auto wakeInterval = std::chrono::milliseconds(50);
// Well inside the second a crash may cost, however late the writer thread gets the CPU.
constexpr auto flushInterval = std::chrono::milliseconds(500);

trace::Frame traceFrame(const CanMessage &msg)
{
    trace::Frame frame;
    frame.id = msg.error ? msg.errorClass : msg.id;
    frame.extended = msg.extended;
    frame.remote = msg.remote;
    frame.error = msg.error;
    frame.fd = msg.fd && !msg.error;
    frame.brs = frame.fd && msg.brs;
    frame.esi = frame.fd && msg.esi;
    // An FD frame's length is its number of bytes; a classic one keeps its length code.
    const int most = frame.fd ? int(sizeof frame.data) : 8;
    frame.dlc = quint8(std::clamp(msg.dlc, 0, frame.fd ? most : 15));
    std::memcpy(frame.data, msg.data.constData(), size_t(std::clamp(msg.data.size(), 0, most)));
    frame.tx = msg.direction == 1;
    frame.success = msg.success;
    // A frame whose device gave no time gets the time it passed the hub rather than the
    // previous frame's.
    frame.timestampUs = msg.timestampUs != 0 ? msg.timestampUs : wallClockUs();
    return frame;
}

} // namespace

trace::Frame traceFrame(const FrameRecord &record, const FrameTails *tails)
{
    trace::Frame frame;
    frame.error = record.flags & FrameRecord::Error;
    // An error row's identifier column is its class bits, which the formats carry as the
    // identifier of the error frame.
    frame.id = frame.error ? record.errorClass : record.id;
    frame.extended = record.flags & FrameRecord::Extended;
    frame.remote = record.flags & FrameRecord::Remote;
    // An error event is no write of ours, whatever its outcome column says.
    frame.success = frame.error || (record.flags & FrameRecord::Success);
    frame.tx = record.direction == 1;
    frame.dlc = record.dlc;
    std::memcpy(frame.data, record.data, std::min<size_t>(record.size, sizeof frame.data));
    if (!frame.error && (record.flags & FrameRecord::Fd)) {
        frame.fd = true;
        frame.brs = record.flags & FrameRecord::Brs;
        frame.esi = record.flags & FrameRecord::Esi;
        const quint8 *tail = frameTail(record, tails);
        if (tail)
            std::memcpy(frame.data + record.size, tail, size_t(record.dlc - record.size));
        else
            frame.dlc = record.size;
    }
    frame.timestampUs = record.timestampUs;
    return frame;
}

Recorder::Recorder(QObject *parent) : QObject(parent) {}

Recorder::~Recorder()
{
    stop();
}

bool Recorder::start(const QString &path, trace::Format format, QString *errorText)
{
    if (thread.joinable()) {
        *errorText = QStringLiteral("正在录制");
        return false;
    }
    std::string why;
    writer = trace::Writer::create(QFile::encodeName(path).toStdString(), format, &why);
    if (!writer) {
        *errorText = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    filePath = path;
    recorded = 0;
    lost = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.clear();
        queue.reserve(queueCapacity);
        accepting = true;
        stopping = false;
        error.clear();
    }
    running = true;
    thread = std::thread(&Recorder::run, this);
    HandleThread::instance()->setFrameTap(this);
    return true;
}

bool Recorder::stop()
{
    if (!thread.joinable())
        return errorString().isEmpty();
    // After this the hub no longer calls tapFrame(), so nothing comes in behind the end.
    HandleThread::instance()->setFrameTap(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
    writer.reset();
    running = false;
    return errorString().isEmpty();
}

QString Recorder::errorString() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return QString::fromLocal8Bit(error.c_str());
}

void Recorder::tapFrame(const CanMessage &msg)
{
    // A refused write never crossed the bus: it is no frame of the trace.
    if (!msg.success)
        return;
    const trace::Frame frame = traceFrame(msg);
    bool wakeWriter = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!accepting)
            return;
        if (queue.size() >= queueCapacity) {
            ++lost;
            return;
        }
        queue.push_back(frame);
        wakeWriter = queue.size() == queueCapacity / 4;
    }
    if (wakeWriter)
        wake.notify_one();
}

void Recorder::run()
{
    // Named so that top -H and the benchmark can tell its CPU from the hub's.
    pthread_setname_np(pthread_self(), "recorder");
    // Swapped with the queue each round, so both keep their capacity and nothing is
    // allocated while recording.
    std::vector<trace::Frame> batch;
    batch.reserve(queueCapacity);
    Clock::time_point lastFlush = Clock::now();
    for (;;) {
        bool finishing;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, wakeInterval, [this] {
                return stopping || queue.size() >= queueCapacity / 4;
            });
            batch.swap(queue);
            finishing = stopping;
        }
        bool ok = true;
        for (const trace::Frame &frame : batch) {
            if (!writer->write(frame)) {
                ok = false;
                break;
            }
        }
        batch.clear();
        if (ok && finishing) {
            ok = writer->close();
        } else if (ok && Clock::now() - lastFlush >= flushInterval) {
            ok = writer->flush();
            lastFlush = Clock::now();
        }
        recorded = writer->framesWritten();
        if (!ok) {
            const std::string why = writer->error();
            writer->close();
            {
                std::lock_guard<std::mutex> lock(mutex);
                error = why.empty() ? std::string("write failed") : why;
                accepting = false;
                queue.clear();
            }
            emit failed(QString::fromLocal8Bit(why.c_str()));
            return;
        }
        if (finishing)
            return;
    }
}
