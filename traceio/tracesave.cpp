#include "tracesave.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <cstring>

namespace {

constexpr int rowsPerSlice = 4096;

const trace::Format saveFormats[] = { trace::Format::CandumpLog, trace::Format::Asc,
                                      trace::Format::Pcap, trace::Format::Blf };

} // namespace

QStringList traceSaveFilters()
{
    return { QStringLiteral("candump 日志 (*.log)"), QStringLiteral("Vector ASC (*.asc)"),
             QStringLiteral("pcap 抓包 (*.pcap)"), QStringLiteral("Vector BLF (*.blf)") };
}

trace::Format traceSaveFormat(QString *path, const QString &selectedFilter)
{
    const trace::Format named = trace::formatForPath(path->toStdString());
    for (trace::Format format : saveFormats) {
        if (format == named)
            return format;
    }
    const int filter = traceSaveFilters().indexOf(selectedFilter);
    if (filter < 0)
        return trace::Format::Unknown;
    const trace::Format chosen = saveFormats[filter];
    *path += QLatin1Char('.') + QLatin1String(trace::extensionOf(chosen));
    return chosen;
}

trace::Frame traceFrame(const FrameRecord &record)
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
    frame.timestampUs = record.timestampUs;
    return frame;
}

TraceSave::TraceSave(FrameLogSnapshot snapshot, const QString &path, trace::Format format,
                     QObject *parent)
    : QObject(parent)
    , snapshot(std::move(snapshot))
    , filePath(path)
    , format(format)
    , progressTimer(new QTimer(this))
{
    progressTimer->setInterval(100);
    connect(progressTimer, &QTimer::timeout, this,
            [this] { emit progress(rowsDone.load(std::memory_order_relaxed)); });
}

TraceSave::~TraceSave()
{
    if (thread) {
        cancelled = true;
        joinWriter();
        delete thread;
        if (!done && created)
            QFile::remove(filePath);
    }
}

void TraceSave::start()
{
    if (thread || done)
        return;
    thread = QThread::create([this] {
        run();
        ran.store(true, std::memory_order_release);
    });
    connect(thread, &QThread::finished, this, &TraceSave::threadFinished);
    progressTimer->start();
    thread->start();
}

void TraceSave::cancel()
{
    cancelled = true;
}

void TraceSave::run()
{
    std::string why;
    auto writer = trace::Writer::create(QFile::encodeName(filePath).toStdString(), format,
                                        &why);
    if (!writer) {
        error = QString::fromLocal8Bit(why.c_str());
        return;
    }
    created = true;
    const int total = snapshot.rowCount();
    for (int row = 0; row < total; ++row) {
        const trace::Frame frame = traceFrame(snapshot.record(row));
        if (!frame.success) {
            ++refused;
            continue;
        }
        if (!writer->write(frame)) {
            error = QString::fromLocal8Bit(writer->error().c_str());
            return;
        }
        if ((row + 1) % rowsPerSlice == 0) {
            rowsDone.store(row + 1, std::memory_order_relaxed);
            if (cancelled.load(std::memory_order_relaxed))
                return;
        }
    }
    if (!writer->close()) {
        error = QString::fromLocal8Bit(writer->error().c_str());
        return;
    }
    written = writer->framesWritten();
    ok = true;
}

void TraceSave::joinWriter()
{
    thread->wait();
    // The join orders the writer's results before these reads, but inside the toolkit,
    // out of a race detector's sight; the writer's last store, acquired here, states it.
    ran.load(std::memory_order_acquire);
}

void TraceSave::threadFinished()
{
    if (done)
        return;
    done = true;
    progressTimer->stop();
    joinWriter();
    Outcome outcome = Written;
    if (cancelled)
        outcome = Cancelled;
    else if (!ok)
        outcome = Failed;
    if (outcome != Written && created)
        QFile::remove(filePath);
    else
        emit progress(rows());
    emit finished(outcome);
}
