#include "tracemenu/traceopen.h"

#include "traceformats/traceformats.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// The local time of day of wall-clock microseconds. The calendar is looked up once per
// second of trace time, which keeps it off the cost of each frame.
class TimeOfDay
{
public:
    QTime at(qint64 us)
    {
        qint64 seconds = us / 1000000;
        if (us % 1000000 < 0)
            --seconds;
        if (seconds != second) {
            const std::tm t = trace::localTime(seconds);
            second = seconds;
            secondMs = ((t.tm_hour * 60 + t.tm_min) * 60 + t.tm_sec) * 1000;
        }
        return QTime::fromMSecsSinceStartOfDay(secondMs + int((us - seconds * 1000000) / 1000));
    }

private:
    qint64 second = std::numeric_limits<qint64>::min();
    int secondMs = 0;
};

} // namespace

QStringList traceOpenFilters()
{
    return { QStringLiteral("所有记录 (*.log *.asc *.pcap *.pcapng *.blf *.csv)"),
             QStringLiteral("candump 日志 (*.log)"), QStringLiteral("Vector ASC (*.asc)"),
             QStringLiteral("pcap 抓包 (*.pcap *.pcapng)"),
             QStringLiteral("Vector BLF (*.blf)"), QStringLiteral("CSV 表格 (*.csv)"),
             QStringLiteral("所有文件 (*)") };
}

trace::Format traceOpenFormat(const QString &path)
{
    return trace::formatForFile(QFile::encodeName(path).toStdString());
}

TraceOpen::TraceOpen(const QString &path, QObject *parent)
    : QObject(parent)
    , filePath(path)
    , deliveryTimer(new QTimer(this))
{
    deliveryTimer->setInterval(deliveryMs);
    connect(deliveryTimer, &QTimer::timeout, this, [this] {
        deliver();
        const quint64 done = bytesRead.load(std::memory_order_relaxed);
        emit progress(totalBytes ? int(std::min(done, totalBytes) * 1000 / totalBytes) : 0);
    });
}

TraceOpen::~TraceOpen()
{
    if (thread) {
        cancel();
        joinReader();
        delete thread;
    }
}

bool TraceOpen::start()
{
    if (thread || done)
        return false;
    fileFormat = traceOpenFormat(filePath);
    if (fileFormat == trace::Format::Unknown) {
        error = QStringLiteral("无法识别的记录格式");
        return false;
    }
    std::string why;
    reader = trace::Reader::open(QFile::encodeName(filePath).toStdString(), fileFormat, &why);
    if (!reader) {
        error = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    // A cancel or the window's close reaches the reader inside a long stretch without a
    // frame as well, not only between frames.
    reader->setCancelFlag(&cancelled);
    totalBytes = reader->totalBytes();
    if (reader->timeOfDayOnly()) {
        const QDate day = QFileInfo(filePath).lastModified().date();
        dayStartUs = QDateTime(day, QTime(0, 0)).toMSecsSinceEpoch() * 1000;
    }
    thread = QThread::create([this] {
        run();
        ran.store(true, std::memory_order_release);
    });
    connect(thread, &QThread::finished, this, &TraceOpen::threadFinished);
    deliveryTimer->start();
    thread->start();
    return true;
}

void TraceOpen::cancel()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    taken.notify_all();
}

void TraceOpen::run()
{
    const bool timeOfDay = reader->timeOfDayOnly();
    TimeOfDay clock;
    RecordBatch batch;
    batch.records.reserve(batchFrames);
    trace::Frame frame;
    bool more = true;
    while (more && !cancelled.load(std::memory_order_relaxed)) {
        more = reader->next(frame);
        if (more) {
            CanMessage msg;
            msg.direction = frame.tx ? 1 : 0;
            msg.id = frame.id;
            msg.extended = frame.extended;
            msg.remote = frame.remote;
            msg.success = frame.success;
            msg.error = frame.error;
            msg.fd = frame.fd && !frame.error;
            msg.brs = msg.fd && frame.brs;
            msg.esi = msg.fd && frame.esi;
            if (frame.error) {
                msg.errorClass = frame.id;
                msg.dlc = 8; // an error frame's data bytes
                msg.data = QByteArray(reinterpret_cast<const char *>(frame.data), msg.dlc);
            } else {
                msg.dlc = frame.dlc;
                const int size = frame.remote ? 0
                        : std::min<int>(frame.dlc, msg.fd ? int(sizeof frame.data) : 8);
                if (size > 0)
                    msg.data = QByteArray(reinterpret_cast<const char *>(frame.data), size);
            }
            if (timeOfDay) {
                msg.time = QTime::fromMSecsSinceStartOfDay(
                        int(frame.timestampUs / 1000 % (24 * 3600 * 1000)));
                msg.timestampUs = dayStartUs + frame.timestampUs;
            } else {
                // Every frame of a trace has its time, the epoch's second included.
                msg.time = clock.at(frame.timestampUs);
                msg.timestampUs = frame.timestampUs;
            }
            // Made here, the records cost the GUI thread nothing but their copy.
            batch.records.append(frameRecord(msg, &batch.tails));
        }
        if (batch.records.size() >= batchFrames || (!more && !batch.records.isEmpty())) {
            bytesRead.store(reader->bytesRead(), std::memory_order_relaxed);
            if (!push(batch))
                break;
            batch = RecordBatch();
            batch.records.reserve(batchFrames);
        }
    }
    bytesRead.store(reader->bytesRead(), std::memory_order_relaxed);
    skippedRecords = reader->skipped();
    error = QString::fromLocal8Bit(reader->error().c_str());
    reader.reset();
}

bool TraceOpen::push(RecordBatch &batch)
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        taken.wait(lock, [this] { return cancelled || int(queue.size()) < queuedBatches; });
        if (cancelled)
            return false;
        queue.push_back(std::move(batch));
    }
    return true;
}

void TraceOpen::deliver()
{
    std::deque<RecordBatch> ready;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!cancelled)
            ready.swap(queue);
        queue.clear();
    }
    taken.notify_all();
    if (ready.empty())
        return;
    QList<RecordBatch> batches;
    batches.reserve(int(ready.size()));
    for (RecordBatch &batch : ready) {
        delivered += quint64(batch.records.size());
        batches.append(std::move(batch));
    }
    emit frames(batches);
}

void TraceOpen::joinReader()
{
    thread->wait();
    // The join orders the reader's results before these reads, but inside the toolkit,
    // out of a race detector's sight; the reader's last store, acquired here, states it.
    ran.load(std::memory_order_acquire);
}

void TraceOpen::threadFinished()
{
    if (done)
        return;
    done = true;
    deliveryTimer->stop();
    joinReader();
    // The reader is done, so the rest of the file is in the queue.
    deliver();
    Outcome outcome = Loaded;
    if (cancelled)
        outcome = Cancelled;
    else if (!error.isEmpty())
        outcome = Failed;
    if (outcome == Loaded)
        emit progress(1000);
    emit finished(outcome);
}
