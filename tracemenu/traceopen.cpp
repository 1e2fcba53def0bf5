#include "tracemenu/traceopen.h"

#include "canable/canable.h"
#include "traceformats/traceformats.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// The local time of day of wall-clock microseconds, in milliseconds. The calendar is
// looked up once per second of trace time, which keeps it off the cost of each frame.
class TimeOfDay
{
public:
    qint32 msAt(qint64 us)
    {
        qint64 seconds = us / 1000000;
        if (us % 1000000 < 0)
            --seconds;
        if (seconds != second) {
            const std::tm t = trace::localTime(seconds);
            second = seconds;
            secondMs = ((t.tm_hour * 60 + t.tm_min) * 60 + t.tm_sec) * 1000;
        }
        return secondMs + qint32((us - seconds * 1000000) / 1000);
    }

private:
    qint64 second = std::numeric_limits<qint64>::min();
    qint32 secondMs = 0;
};

constexpr qint64 dayMs = 24 * 3600 * 1000;

// The record frameRecord() makes of the frame's message, made without the message: an FD
// frame's bytes beyond the eighth go to *tails, made on the first such frame, and a frame
// with more bytes than its format carries keeps what fits.
void fillRecord(FrameRecord &record, const trace::Frame &frame, bool timeOfDayOnly,
                qint64 dayStartUs, TimeOfDay &clock, std::shared_ptr<FrameTails> *tails)
{
    const bool fd = frame.fd && !frame.error;
    record.id = frame.id;
    record.direction = frame.tx ? 1 : 0;
    record.flags = quint8((frame.extended ? FrameRecord::Extended : 0)
                          | (frame.remote ? FrameRecord::Remote : 0)
                          | (frame.success ? FrameRecord::Success : 0)
                          | (frame.error ? FrameRecord::Error : 0)
                          | (fd ? FrameRecord::Fd : 0)
                          | (fd && frame.brs ? FrameRecord::Brs : 0)
                          | (fd && frame.esi ? FrameRecord::Esi : 0));
    std::memset(record.data, 0, sizeof record.data);
    if (frame.error) {
        record.errorClass = frame.id;
        record.dlc = record.size = quint8(sizeof record.data);
        std::memcpy(record.data, frame.data, sizeof record.data);
    } else {
        record.errorClass = 0;
        record.size = frame.remote ? 0 : quint8(std::min<int>(frame.dlc, 8));
        std::memcpy(record.data, frame.data, record.size);
        const int tail = int(frame.dlc) - 8;
        if (fd && tail > 0 && canable_isFdLength(frame.dlc)) {
            if (!*tails)
                *tails = std::make_shared<FrameTails>();
            record.errorClass = (*tails)->append(
                    reinterpret_cast<const char *>(frame.data) + 8, tail);
            record.dlc = frame.dlc;
        } else {
            record.dlc = fd ? record.size : frame.dlc;
        }
    }
    if (timeOfDayOnly) {
        record.timeMs = frame.timestampUs < 0 ? -1 : qint32(frame.timestampUs / 1000 % dayMs);
        record.timestampUs = dayStartUs + frame.timestampUs;
    } else {
        // Every frame of a trace has its time, the epoch's second included.
        record.timeMs = clock.msAt(frame.timestampUs);
        record.timestampUs = frame.timestampUs;
    }
}

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
    deliveryTimer->setInterval(checkMs);
    connect(deliveryTimer, &QTimer::timeout, this, [this] {
        if (done) {
            deliverRest();
            return;
        }
        if (deliveryDue())
            deliver();
        const quint64 read = bytesRead.load(std::memory_order_relaxed);
        const int permille = totalBytes ? int(std::min(read, totalBytes) * 1000 / totalBytes)
                                        : 0;
        if (permille != reportedPermille) {
            reportedPermille = permille;
            emit progress(permille);
        }
    });
    sinceDelivery.start();
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
    std::shared_ptr<FrameChunk> chunk;
    std::shared_ptr<FrameTails> tails;
    int rows = 0;
    trace::Frame frame;
    bool more = true;
    while (more && !cancelled.load(std::memory_order_relaxed)) {
        more = reader->next(frame);
        if (more) {
            if (!chunk)
                chunk.reset(new FrameChunk);
            fillRecord(chunk->records[rows++], frame, timeOfDay, dayStartUs, clock, &tails);
        }
        if (rows == frameChunkRows || (!more && rows > 0)) {
            bytesRead.store(reader->bytesRead(), std::memory_order_relaxed);
            if (!push(std::move(chunk), std::move(tails), rows))
                break;
            rows = 0;
        }
    }
    bytesRead.store(reader->bytesRead(), std::memory_order_relaxed);
    skippedRecords = reader->skipped();
    error = QString::fromLocal8Bit(reader->error().c_str());
    reader.reset();
}

bool TraceOpen::push(std::shared_ptr<FrameChunk> chunk, std::shared_ptr<const FrameTails> tails,
                     int rows)
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        taken.wait(lock, [this] { return cancelled || int(queue.size()) < queuedChunks; });
        if (cancelled)
            return false;
        queue.push_back(std::move(chunk));
        queuedTails.push_back(std::move(tails));
        lastChunkRows = rows;
    }
    return true;
}

bool TraceOpen::deliveryDue()
{
    qint64 waiting = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        waiting = qint64(queue.size()) * frameChunkRows;
    }
    if (waiting == 0)
        return false;
    // Each insertion costs the view in proportion to the rows it holds, so waiting until
    // as many rows are read as were delivered keeps the insertions' total linear.
    const qint64 enough = std::clamp<qint64>(qint64(delivered), frameChunkRows,
                                             qint64(deliveryChunks) * frameChunkRows);
    return waiting >= enough || sinceDelivery.elapsed() >= deliveryMs;
}

void TraceOpen::deliver()
{
    FrameChunkRun run;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) {
            queue.clear();
            queuedTails.clear();
        } else {
            const auto end = queue.begin() + std::min<qptrdiff>(qptrdiff(queue.size()),
                                                                deliveryChunks);
            run.chunks.assign(std::make_move_iterator(queue.begin()),
                              std::make_move_iterator(end));
            queue.erase(queue.begin(), end);
            const auto tailsEnd = queuedTails.begin() + qptrdiff(run.chunks.size());
            if (std::any_of(queuedTails.begin(), tailsEnd,
                            [](const auto &tails) { return bool(tails); }))
                run.tails.assign(queuedTails.begin(), tailsEnd);
            queuedTails.erase(queuedTails.begin(), tailsEnd);
            // Only the file's last chunk may be short, and it is the last one queued.
            run.lastRows = queue.empty() ? lastChunkRows : frameChunkRows;
        }
    }
    taken.notify_all();
    if (run.chunks.empty())
        return;
    sinceDelivery.restart();
    delivered += quint64(run.rows());
    emit frames(run);
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
    joinReader();
    deliverRest();
}

void TraceOpen::deliverRest()
{
    // The reader is done, so the rest of the file is in the queue.
    deliver();
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        more = !queue.empty();
    }
    // The timer brings the next delivery, after the events that waited meanwhile; an event
    // posted now would run first.
    if (more)
        return;
    deliveryTimer->stop();
    Outcome outcome = Loaded;
    if (cancelled)
        outcome = Cancelled;
    else if (!error.isEmpty())
        outcome = Failed;
    if (outcome == Loaded)
        emit progress(1000);
    emit finished(outcome);
}
