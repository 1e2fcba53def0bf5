#include "tracemenu/triggeredrecorder.h"

#include "device/frametime.h"
#include "device/handlethread.h"
#include "tracemenu/recorder.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

#include <pthread.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto wakeInterval = std::chrono::milliseconds(50);
constexpr auto flushInterval = std::chrono::milliseconds(500);

// Lets `tails` free the blocks of `record`'s bytes beyond the eighth and of every frame's
// before it: a store keeps tails in the order of their frames.
void forgetTailsUpTo(FrameTails &tails, const FrameRecord &record)
{
    if (hasFrameTail(record)) {
        // References count 4-byte units.
        tails.dropBefore(record.errorClass + quint32(record.dlc - record.size + 3) / 4);
    }
}

} // namespace

void TriggeredRecorder::Ring::dropOldest()
{
    forgetTailsUpTo(tails, at(0));
    head = (head + 1) % records.size();
    --count;
}

void TriggeredRecorder::Ring::push(const FrameRecord &record, qint64 keepUs)
{
    while (count > 0 && record.timestampUs - at(0).timestampUs > keepUs)
        dropOldest();
    if (records.empty())
        return;
    if (count == records.size())
        dropOldest();
    records[(head + count) % records.size()] = record;
    ++count;
}

TriggeredRecorder::TriggeredRecorder(QObject *parent) : QObject(parent) {}

TriggeredRecorder::~TriggeredRecorder()
{
    stop();
}

QString TriggeredRecorder::numberedPath(const QString &path, int number)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    const QString base = suffix.isEmpty() ? path : path.left(path.size() - suffix.size() - 1);
    return QStringLiteral("%1_%2%3").arg(base).arg(number, 3, 10, QLatin1Char('0'))
            .arg(suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
}

bool TriggeredRecorder::start(const Options &chosen, QString *errorText)
{
    if (thread.joinable()) {
        *errorText = QStringLiteral("条件录制已在进行");
        return false;
    }
    if (!chosen.start.isValid() || (chosen.end == End::StopExpression && !chosen.stop.isValid())
        || chosen.beforeSeconds < 0 || chosen.beforeSeconds > maxBeforeSeconds
        || (chosen.end == End::Seconds && chosen.afterSeconds <= 0) || chosen.path.isEmpty()) {
        *errorText = QStringLiteral("条件录制的设置无效");
        return false;
    }
    options = chosen;
    const size_t capacity = size_t(options.beforeSeconds) * ringFramesPerSecond;
    completed = 0;
    recorded = 0;
    lost = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Both rings take the whole memory of their records now; FD bytes beyond the
        // eighth take blocks of 64 KiB as they come and give them back with the ring's
        // oldest frames.
        ring.records.assign(capacity + 1, FrameRecord{});
        ring.clear();
        handedOver.records.assign(capacity + 1, FrameRecord{});
        handedOver.clear();
        queue.clear();
        queueTails.clear();
        lostTails.clear();
        queue.reserve(queueCapacity);
        current = State::Waiting;
        ending = stopping = triggered = false;
        path.clear();
        error.clear();
    }
    thread = std::thread(&TriggeredRecorder::run, this);
    HandleThread::instance()->setFrameTap(this);
    return true;
}

bool TriggeredRecorder::stop()
{
    if (!thread.joinable())
        return errorString().isEmpty();
    HandleThread::instance()->setFrameTap(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = State::Idle;
    }
    return errorString().isEmpty();
}

TriggeredRecorder::State TriggeredRecorder::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

QString TriggeredRecorder::currentPath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return path;
}

QString TriggeredRecorder::errorString() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return QString::fromLocal8Bit(error.c_str());
}

void TriggeredRecorder::tapFrame(const CanMessage &msg)
{
    if (!msg.success)
        return;
    const qint64 timestampUs = msg.timestampUs != 0 ? msg.timestampUs : wallClockUs();
    const qint64 keepUs = qint64(options.beforeSeconds) * 1000000;
    bool wakeWriter = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The record refers to its bytes beyond the eighth in the store of wherever it goes.
        FrameRecord record;
        if (current == State::Recording && !ending) {
            if (options.end == End::Seconds
                && timestampUs - triggerUs >= qint64(options.afterSeconds) * 1000000) {
                ending = true;
                wakeWriter = true;
            } else {
                const bool room = queue.size() < queueCapacity;
                FrameTails &tails = room ? queueTails : lostTails;
                record = frameRecord(msg, &tails);
                record.timestampUs = timestampUs;
                if (room)
                    queue.push_back(record);
                else
                    ++lost;
                if (options.end == End::StopExpression && options.stop.matches(record, &tails)) {
                    ending = true;
                    wakeWriter = true;
                }
                // A lost frame's bytes are needed no longer: the store keeps one block.
                if (!room)
                    forgetTailsUpTo(lostTails, record);
                wakeWriter = wakeWriter || queue.size() == queueCapacity / 4;
                if (!ending)
                    return;
            }
        }
        // Waiting, or between two files: the frame belongs to the time before a trigger.
        // A stop frame is in the queue already and is made again for the ring.
        record = frameRecord(msg, &ring.tails);
        record.timestampUs = timestampUs;
        ring.push(record, keepUs);
        if (current == State::Waiting && options.start.matches(record, &ring.tails)) {
            // The writer took the previous hand-over before it re-armed, so this swap
            // hands the ring over whole and leaves an empty one of the same size.
            std::swap(ring, handedOver);
            ring.clear();
            triggered = true;
            triggerUs = record.timestampUs;
            triggerTime = Clock::now();
            current = State::Recording;
            wakeWriter = true;
        }
    }
    if (wakeWriter)
        wake.notify_one();
}

bool TriggeredRecorder::writeAll(trace::Writer &writer, const Ring &before,
                                 const std::vector<FrameRecord> &batch,
                                 const FrameTails &batchTails)
{
    for (size_t i = 0; i < before.count; ++i) {
        if (!writer.write(traceFrame(before.at(i), &before.tails)))
            return false;
    }
    for (const FrameRecord &record : batch) {
        if (!writer.write(traceFrame(record, &batchTails)))
            return false;
    }
    return true;
}

void TriggeredRecorder::run()
{
    pthread_setname_np(pthread_self(), "trigger");
    std::unique_ptr<trace::Writer> writer;
    // Holds the ring's frames of a trigger while they are written, then goes back as the
    // spare for the next trigger.
    Ring before;
    std::vector<FrameRecord> batch;
    FrameTails batchTails;
    batch.reserve(queueCapacity);
    Clock::time_point lastFlush = Clock::now();
    int fileNumber = 0;
    for (;;) {
        bool finishing;
        bool endFile;
        bool opening = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, wakeInterval, [this] {
                return stopping || ending || triggered || queue.size() >= queueCapacity / 4;
            });
            if (current == State::Recording && !ending && options.end == End::Seconds
                && Clock::now() - triggerTime >= std::chrono::seconds(options.afterSeconds)) {
                ending = true;
            }
            if (triggered) {
                triggered = false;
                opening = true;
                std::swap(before, handedOver);
                path = numberedPath(options.path, ++fileNumber);
                recorded = 0;
            }
            batch.swap(queue);
            std::swap(batchTails, queueTails);
            finishing = stopping;
            endFile = ending || (finishing && current == State::Recording);
        }
        bool ok = true;
        std::string why;
        if (opening) {
            writer = trace::Writer::create(QFile::encodeName(path).toStdString(), options.format,
                                           &why);
            ok = writer != nullptr;
        }
        if (ok && writer) {
            ok = writeAll(*writer, before, batch, batchTails);
            if (opening) {
                before.clear();
                std::lock_guard<std::mutex> lock(mutex);
                std::swap(before, handedOver);
            }
            if (ok && endFile) {
                ok = writer->close();
            } else if (ok && Clock::now() - lastFlush >= flushInterval) {
                ok = writer->flush();
                lastFlush = Clock::now();
            }
            recorded = writer->framesWritten();
            if (!ok)
                why = writer->error();
        }
        batch.clear();
        batchTails.clear();
        if (!ok) {
            if (writer)
                writer->close();
            std::lock_guard<std::mutex> lock(mutex);
            error = why.empty() ? std::string("write failed") : why;
            current = State::Idle;
            queue.clear();
            queueTails.clear();
        }
        if (!ok) {
            emit failed(QString::fromLocal8Bit(why.c_str()));
            return;
        }
        if (endFile && writer) {
            writer.reset();
            ++completed;
            emit fileFinished(currentPath(), recorded.load(), lost.load());
            std::lock_guard<std::mutex> lock(mutex);
            ending = false;
            current = options.rearm && !finishing ? State::Waiting : State::Idle;
        }
        if (finishing || state() == State::Idle)
            return;
    }
}
