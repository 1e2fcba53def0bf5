// Measures trace replay onto the simulated bus (1 Mbit/s), without a window:
// - timing: a .log of 1,000 frames whose gaps cycle through 0.2, 1, 5 and 20 ms, played at
//   speed 1; each write's lateness against its due time, counted from the first write
//   (wall-clock stamps the send thread puts on its announcements);
// - memory: a .log of --frames frames (default 2,000,000) played back to back for
//   --seconds (default 15); the resident size at the start and the end, against the size
//   of the file;
// - stopping: a replay waiting in a gap of an hour, and how long stopReplay() takes.
//
// Usage: bench_replay [--frames N] [--seconds S]
// The exit status is 1 when a frame was refused or missing, or a write came after a stop.

#include "bench/benchutil.h"
#include "canable/canable.h"
#include "traceformats/tracefile.h"
#include "transmit/sendthread.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {

using namespace BenchUtil;

constexpr qint64 baseUs = 1765000000000000;

bool writeLog(const QString &path, qint64 frames, const std::function<qint64(qint64)> &stampUs)
{
    std::string error;
    auto writer = trace::Writer::create(path.toStdString(), trace::Format::CandumpLog, &error);
    if (!writer)
        return false;
    trace::Frame frame;
    frame.dlc = 8;
    for (qint64 i = 0; i < frames; ++i) {
        frame.id = quint32(0x100 + i % 0x600);
        frame.data[0] = quint8(i);
        frame.timestampUs = stampUs(i);
        if (!writer->write(frame))
            return false;
    }
    return writer->close();
}

struct Run
{
    bool keepStamps = true;
    qint64 writes = 0;
    std::vector<qint64> writeUs;
    qint64 refused = 0;
    bool finished = false;
    ReplayProgress end;
};

bool startReplay(const QString &path)
{
    ReplayOptions options;
    options.path = path;
    QString error;
    if (!SendThread::instance()->startReplay(options, &error)) {
        std::fprintf(stderr, "replay refused: %s\n", qPrintable(error));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("CANABLE_INTERFACE", "sim");
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ "frames", "frames of the memory run", "N", "2000000" });
    parser.addOption({ "seconds", "length of the memory run", "S", "15" });
    parser.process(app);
    const qint64 bigFrames = parser.value("frames").toLongLong();
    const double seconds = parser.value("seconds").toDouble();

    QTemporaryDir dir;
    if (!dir.isValid() || canable_initDLL(0, 1000) != 0) {
        std::fprintf(stderr, "no scratch folder or no simulated bus\n");
        return 1;
    }
    qRegisterMetaType<CanMessage>("CanMessage");
    SendThread *thread = SendThread::instance();
    Run run;
    QObject::connect(thread, &SendThread::sendMsgSignal, &app, [&run](const CanMessage &msg) {
        ++run.writes;
        if (run.keepStamps)
            run.writeUs.push_back(msg.timestampUs);
        run.refused += !msg.success;
    });
    QObject::connect(thread, &SendThread::replayFinished, &app,
                     [&run](const ReplayProgress &end) {
                         run.finished = true;
                         run.end = end;
                     });
    bool ok = true;

    // Timing.
    const qint64 gapsUs[] = { 200, 1000, 5000, 20000 };
    std::vector<qint64> offsetsUs;
    qint64 atUs = 0;
    for (int i = 0; i < 1000; ++i) {
        offsetsUs.push_back(atUs);
        atUs += gapsUs[i % 4];
    }
    const QString timingPath = dir.filePath("timing.log");
    ok = writeLog(timingPath, qint64(offsetsUs.size()),
                  [&](qint64 i) { return baseUs + offsetsUs[size_t(i)]; })
            && startReplay(timingPath)
            && waitUntil([&] { return run.finished; }, 120);
    std::vector<double> lateMs;
    for (size_t i = 0; i < run.writeUs.size() && i < offsetsUs.size(); ++i)
        lateMs.push_back(double(run.writeUs[i] - run.writeUs[0] - offsetsUs[i]) / 1000.0);
    const Percentiles late = percentiles(lateMs);
    double earliest = 0;
    for (double value : lateMs)
        earliest = std::min(earliest, value);
    std::printf("timing: %zu of %zu frames over %.3f s, %lld refused; lateness p50 %.3f ms, "
                "p99 %.3f ms, max %.3f ms, earliest %.3f ms\n",
                run.writeUs.size(), offsetsUs.size(), double(atUs) / 1e6,
                static_cast<long long>(run.refused), late.p50, late.p99, late.max, earliest);
    ok = ok && run.writeUs.size() == offsetsUs.size() && run.refused == 0;

    // Memory.
    const QString bigPath = dir.filePath("big.log");
    if (!writeLog(bigPath, bigFrames, [](qint64) { return baseUs; })) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(bigPath));
        return 1;
    }
    run = Run();
    run.keepStamps = false;
    const double rssBefore = residentMegabytes();
    QElapsedTimer clock;
    clock.start();
    ok = startReplay(bigPath) && ok;
    waitUntil([&] { return run.finished; }, seconds);
    const double rssDuring = residentMegabytes();
    thread->stopReplay();
    waitUntil([&] { return run.finished; }, 30);
    const double elapsed = secondsOf(clock);
    std::printf("memory: %lld frames sent in %.1f s (%.0f frames/s) from a %.1f MB file, "
                "%lld refused; RSS %.1f MB before, %.1f MB at the end\n",
                static_cast<long long>(run.end.sent), elapsed, double(run.end.sent) / elapsed,
                double(QFileInfo(bigPath).size()) / 1e6, static_cast<long long>(run.refused),
                rssBefore, rssDuring);
    ok = ok && run.refused == 0 && run.writes == run.end.sent;

    // Stopping in a long gap.
    const QString gapPath = dir.filePath("gap.log");
    run = Run();
    ok = writeLog(gapPath, 2, [](qint64 i) { return baseUs + i * 3600000000; })
            && startReplay(gapPath) && waitUntil([&] { return run.writes > 0; }, 30)
            && ok;
    clock.restart();
    thread->stopReplay();
    const double stopMs = secondsOf(clock) * 1000;
    waitUntil([&] { return run.finished; }, 30);
    std::printf("stop in a gap of an hour: %.3f ms, %lld frame written\n", stopMs,
                static_cast<long long>(run.writes));
    ok = ok && run.writes == 1 && run.end.stopped;

    canable_freeDLL(0);
    return ok ? 0 : 1;
}
