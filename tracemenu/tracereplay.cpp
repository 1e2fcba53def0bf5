#include "tracemenu/tracereplay.h"

#include "device/listenthread.h"
#include "traceformats/tracefile.h"
#include "tracemenu/replaytiming.h"
#include "transmit/sendjob.h"
#include "transmit/sendthread.h"
#include "transmit/tickschedule.h"

#include <QFile>

#include <memory>

class ReplayJob : public SendJob
{
public:
    ReplayJob(TraceReplay *owner, const ReplayOptions &options, trace::Format format,
              std::unique_ptr<trace::Reader> reader, bool fdDevice)
        : owner(owner)
        , options(options)
        , fdDevice(fdDevice)
        , path(QFile::encodeName(options.path).toStdString())
        , format(format)
        , reader(std::move(reader))
        , timing(options.speed)
    {
    }

    bool next(SendFrame *frame, qint64 *dueNs, const std::atomic<bool> &stop) override
    {
        if (!fetchFrame(frame, stop))
            return false;
        *dueNs = timing.dueOffsetNs(frameTimestampUs);
        return true;
    }

    void written(bool accepted) override
    {
        ++attemptsThisPass;
        progress.pass = framePass;
        progress.sent += accepted ? 1 : 0;
        progress.failed += accepted ? 0 : 1;
        const qint64 now = TickSchedule::monotonicNs();
        if (now - lastReportNs < 250000000)
            return;
        lastReportNs = now;
        emit owner->progress(progressNow());
    }

    void finished(bool stopped) override
    {
        ReplayProgress end = progressNow();
        end.stopped = stopped;
        if (!end.stopped && end.error.isEmpty())
            end.percent = 100;
        owner->running.store(false);
        emit owner->finished(end);
    }

private:
    // Moves on to the next frame to send, over the pass's end when looping. Only a stop or
    // the end of the trace make it return false.
    bool fetchFrame(SendFrame *frame, const std::atomic<bool> &stop)
    {
        trace::Frame read;
        // A stop reaches the reader inside a long stretch of the file without a frame.
        reader->setCancelFlag(&stop);
        for (quint64 looked = 1;; ++looked) {
            if (looked % 4096 == 0 && stop.load(std::memory_order_relaxed))
                return false;
            if (!reader->next(read)) {
                if (reader->cancelled())
                    return false;
                if (!reader->error().empty()) {
                    progress.error = QString::fromStdString(reader->error());
                    return false;
                }
                // A pass that sent nothing would make looping a busy spin.
                if (!options.loop || attemptsThisPass == 0)
                    return false;
                progress.skipped += qint64(reader->skipped());
                std::string error;
                reader = trace::Reader::open(path, format, &error);
                if (!reader) {
                    progress.error = QString::fromStdString(error);
                    return false;
                }
                reader->setCancelFlag(&stop);
                ++readPass;
                attemptsThisPass = 0;
                timing.startPass();
                continue;
            }
            if (options.receivedOnly && read.tx)
                continue;
            if (read.error || !read.success
                || !fitsDevice(read.id, read.extended, read.fd, read.dlc, fdDevice)) {
                ++progress.skipped;
                continue;
            }
            frame->id = read.id;
            frame->extended = read.extended;
            frame->remote = read.remote && !read.fd;
            frame->fd = read.fd;
            frame->brs = read.fd && read.brs;
            frame->data = read.remote ? QByteArray(read.dlc, '\0')
                                      : QByteArray(reinterpret_cast<const char *>(read.data),
                                                   read.dlc);
            frame->framesPerSend = 1;
            frame->repeatCount = 1;
            frameTimestampUs = read.timestampUs;
            framePass = readPass;
            return true;
        }
    }

    // The lines the current pass's reader passed over count as skipped too.
    ReplayProgress progressNow() const
    {
        ReplayProgress now = progress;
        now.percent = !reader || reader->totalBytes() == 0
                ? 100 : int(reader->bytesRead() * 100 / reader->totalBytes());
        if (reader)
            now.skipped += qint64(reader->skipped());
        return now;
    }

    TraceReplay *owner;
    const ReplayOptions options;
    const bool fdDevice;
    const std::string path;
    const trace::Format format;
    std::unique_ptr<trace::Reader> reader;
    ReplayTiming timing;
    ReplayProgress progress;
    qint64 attemptsThisPass = 0;
    qint64 frameTimestampUs = 0;
    qint64 lastReportNs = TickSchedule::monotonicNs();
    // The pass being read runs ahead of the one reported by a frame read but not yet due.
    int readPass = 1;
    int framePass = 1;
};

TraceReplay *TraceReplay::instance()
{
    static TraceReplay replay;
    return &replay;
}

TraceReplay::TraceReplay()
{
    qRegisterMetaType<ReplayProgress>("ReplayProgress");
}

bool TraceReplay::start(const ReplayOptions &options, QString *error)
{
    if (SendThread::instance()->isRunning()) {
        *error = running.load() ? QStringLiteral("正在回放记录")
                                : QStringLiteral("正在发送，请先停止发送");
        return false;
    }
    if (!(options.speed >= ReplayOptions::minSpeed && options.speed <= ReplayOptions::maxSpeed)) {
        *error = QStringLiteral("速度倍数须在 %1 到 %2 之间")
                         .arg(ReplayOptions::minSpeed).arg(ReplayOptions::maxSpeed);
        return false;
    }
    const std::string path = QFile::encodeName(options.path).toStdString();
    const trace::Format format = trace::formatForFile(path);
    if (format == trace::Format::Unknown) {
        *error = QStringLiteral("%1 不是可回放的记录文件（.log .asc .pcap .pcapng .blf .csv）")
                         .arg(options.path);
        return false;
    }
    std::string reason;
    std::unique_ptr<trace::Reader> reader = trace::Reader::open(path, format, &reason);
    if (!reader) {
        *error = QStringLiteral("无法打开 %1：%2")
                         .arg(options.path, QString::fromStdString(reason));
        return false;
    }
    running.store(true);
    const bool fdDevice = ListenThread::instance()->sessionDataBitrate() != 0;
    SendThread::instance()->startJob(std::make_unique<ReplayJob>(this, options, format,
                                                                 std::move(reader), fdDevice));
    return true;
}

void TraceReplay::stop()
{
    if (running.load())
        SendThread::instance()->stopJob();
}
