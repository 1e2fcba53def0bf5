// Measures the capture filter and the triggered recording on the simulated bus at full
// load (1 Mbit/s of 0-byte standard frames, 21,277 frames/s), through the listen thread and
// the hub, with a timer taking the hub's queue five times a second as the window's tick
// would.
//
// --mode filter: the flood cycles through 100 identifiers (0x100 to 0x163) and the capture
// filter 100:7FF passes 1% of it. Three runs of S seconds: a bare loop reading the library
// on one thread (no listen thread, no hub), the program's path unfiltered, and the same
// with the filter. For each: frames that reached the reader or the hub and the process
// CPU. The filtered run must cost at most twice the bare loop's CPU and pass exactly the
// frames of identifier 0x100.
//
// --mode trigger: every frame read gets its sequence number in its data on the way out of
// the library (8 bytes, little-endian). The triggered recording keeps 5 s before the
// trigger, which is the frame numbered N (after about W seconds of waiting) and ends 5 s
// after it. Reported: the resident memory while waiting (every second), the file's first
// and last sequence numbers, its gaps, and the time it covers before the trigger.
// With --fd the bus is opened in FD mode (1,000 and 5,000 kbit/s) full of 64-byte FD
// frames with BRS; their numbers go into bytes 56 to 63, beyond the first eight, so the
// start expression must see an FD frame's bytes and the file must keep them. The memory
// must stay flat once the ring holds its 5 s, FD bytes included.
//
// Usage: bench_capture [--mode filter|trigger] [--seconds S] [--wait W] [--fd]
// The exit status is 1 when a target is missed or a frame is lost.

#include "bench/benchutil.h"
#include "canable/canable.h"
#include "device/capturefilter.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "filter/framefilter.h"
#include "traceformats/tracefile.h"
#include "tracemenu/triggeredrecorder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

using namespace BenchUtil;

constexpr unsigned int busKbps = 1000;
constexpr double busFramesPerSecond = 1e6 / 47;
constexpr unsigned int fdDataKbps = 5000;
// 64-byte FD frames with BRS as the simulated bus paces them, stuff bits included
// (measured; 7,194 without them).
constexpr double fdFramesPerSecond = 6200;
constexpr int fdStampOffset = 56;

std::atomic<bool> stampSequence { false };
quint64 framesRead = 0; // the listen thread's alone
unsigned int openDataKbps = 0; // FD mode when not 0

} // namespace

// The listen thread's reads come here and go on to the library; in the trigger mode each
// frame leaves with its sequence number as its data.
extern "C" int canable_readMessage(int deviceIndex, CanFrameRecord *record, int count)
{
    const int result = libraryRead()(deviceIndex, record, count);
    if (result == 0 && stampSequence.load(std::memory_order_relaxed)) {
        qToLittleEndian<quint64>(framesRead, record->data);
        record->dlc = 8;
    }
    if (result == 0)
        ++framesRead;
    return result;
}

// The same for a device opened in FD mode: the number goes beyond the first eight bytes.
extern "C" int canable_readMessageFD(int deviceIndex, CanFdFrameRecord *record)
{
    const int result = libraryReadFd()(deviceIndex, record);
    if (result == 0 && stampSequence.load(std::memory_order_relaxed) && record->len == 64)
        qToLittleEndian<quint64>(framesRead, record->data + fdStampOffset);
    if (result == 0)
        ++framesRead;
    return result;
}

namespace {

struct Run
{
    double seconds = 0;
    qint64 frames = 0;
    double cpu = 0;
};

Run bareLoop(double seconds)
{
    Run run;
    const double cpuStart = processCpuSeconds();
    if (canable_initDLL(0, busKbps) != 0)
        qFatal("cannot open the simulated bus");
    QElapsedTimer wall;
    wall.start();
    CanFrameRecord record;
    while (secondsOf(wall) < seconds)
        run.frames += libraryRead()(0, &record, 1) == 0 ? 1 : 0;
    canable_freeDLL(0);
    run.seconds = secondsOf(wall);
    run.cpu = processCpuSeconds() - cpuStart;
    return run;
}

// The listen thread and the hub for `seconds`, the hub's queue taken five times a second;
// `during` is called every second.
Run programPath(double seconds, const std::function<void()> &during = {})
{
    Run run;
    HandleThread *hub = HandleThread::instance();
    hub->takeMessages();
    hub->clearCount();
    const double cpuStart = processCpuSeconds();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [hub] { hub->takeMessages(); });
    QTimer second;
    if (during)
        QObject::connect(&second, &QTimer::timeout, &loop, during);
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    QElapsedTimer wall;
    wall.start();
    tick.start(200);
    second.start(1000);
    ListenThread::OpenOptions open;
    open.bitrate = busKbps;
    open.dataBitrate = openDataKbps;
    ListenThread::instance()->openDevice(open);
    loop.exec();
    ListenThread::instance()->closeDevice();
    run.seconds = secondsOf(wall);
    run.frames = hub->getReceiveCount();
    run.cpu = processCpuSeconds() - cpuStart;
    hub->takeMessages();
    return run;
}

void print(const char *what, const Run &run)
{
    std::printf("%-28s %6.1f s  %9lld frames (%7.0f/s)  CPU %.2f s (%.1f%% of a core)\n", what,
                run.seconds, static_cast<long long>(run.frames), run.frames / run.seconds,
                run.cpu, 100 * run.cpu / run.seconds);
    std::fflush(stdout);
}

bool filterMode(double seconds)
{
    qputenv("CANABLE_SIM_TRAFFIC", "flood,dlc=0,ids=100");
    const Run bare = bareLoop(seconds);
    print("bare read loop", bare);
    const Run plain = programPath(seconds);
    print("program, no filter", plain);
    CaptureFilter filter;
    CaptureFilter::parse(QStringLiteral("100:7FF"), &filter, nullptr, nullptr);
    ListenThread::instance()->setCaptureFilter(filter);
    const Run filtered = programPath(seconds);
    ListenThread::instance()->setCaptureFilter(CaptureFilter());
    print("program, filter 100:7FF", filtered);
    const double share = double(filtered.frames) / (busFramesPerSecond * filtered.seconds);
    const double ratio = (filtered.cpu / filtered.seconds) / (bare.cpu / bare.seconds);
    std::printf("filter passed %.2f%% of a full bus; CPU %.2f times the bare loop's "
                "(target <= 2)\n", 100 * share, ratio);
    return ratio <= 2 && share > 0.009 && share < 0.011;
}

bool triggerMode(double waitSeconds, bool fd)
{
    qputenv("CANABLE_SIM_TRAFFIC", fd ? "flood,fd,brs,dlc=64" : "flood,dlc=0");
    openDataKbps = fd ? fdDataKbps : 0;
    stampSequence = true;
    const int at = fd ? fdStampOffset : 0;
    QTemporaryDir dir;
    const quint64 triggerAt = quint64(waitSeconds * (fd ? fdFramesPerSecond
                                                        : busFramesPerSecond));
    TriggeredRecorder recorder;
    TriggeredRecorder::Options options;
    options.start = FrameFilter::compile(
            QStringLiteral("data[%1] == %2 && data[%3] == %4 && data[%5] == %6 && data[%7] == 0")
                    .arg(at).arg(triggerAt & 0xFF).arg(at + 1).arg(triggerAt >> 8 & 0xFF)
                    .arg(at + 2).arg(triggerAt >> 16 & 0xFF).arg(at + 3),
            nullptr);
    options.beforeSeconds = 5;
    options.end = TriggeredRecorder::End::Seconds;
    options.afterSeconds = 5;
    options.path = dir.filePath(QStringLiteral("trigger.blf"));
    options.format = trace::Format::Blf;
    QString error;
    if (!recorder.start(options, &error))
        qFatal("cannot arm: %s", qPrintable(error));
    QList<double> waitingRss;
    const Run run = programPath(waitSeconds + 7, [&] {
        if (recorder.state() == TriggeredRecorder::State::Waiting)
            waitingRss << residentMegabytes();
    });
    recorder.stop();
    print(fd ? "FD flood, triggered recording" : "flood, triggered recording", run);
    QStringList rss;
    for (double mb : waitingRss)
        rss << QString::number(mb, 'f', 1);
    std::printf("resident while waiting, every second: %s MB\n", qPrintable(rss.join(' ')));

    const QString path = TriggeredRecorder::numberedPath(options.path, 1);
    std::string why;
    auto reader = trace::Reader::open(QFile::encodeName(path).toStdString(), options.format,
                                      &why);
    if (!reader) {
        std::printf("no file: %s\n", why.c_str());
        return false;
    }
    trace::Frame frame;
    quint64 first = 0;
    quint64 last = 0;
    quint64 frames = 0;
    quint64 gaps = 0;
    quint64 cut = 0; // FD frames that lost their flags or bytes
    qint64 firstUs = 0;
    qint64 triggerUs = 0;
    while (reader->next(frame)) {
        const quint64 sequence = qFromLittleEndian<quint64>(frame.data + at);
        if (fd && !(frame.fd && frame.brs && frame.dlc == 64))
            ++cut;
        if (frames == 0) {
            first = sequence;
            firstUs = frame.timestampUs;
        } else if (sequence != last + 1) {
            ++gaps;
        }
        if (sequence == triggerAt)
            triggerUs = frame.timestampUs;
        last = sequence;
        ++frames;
    }
    const double before = double(triggerUs - firstUs) / 1e6;
    std::printf("file: frames %llu to %llu (%llu frames), %llu gaps, %llu cut, trigger frame "
                "%llu, %.3f s before it, lost %llu\n",
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(gaps),
                static_cast<unsigned long long>(cut), static_cast<unsigned long long>(triggerAt),
                before, static_cast<unsigned long long>(recorder.framesLost()));
    // The ring's records are taken at the arming; an FD frame's bytes beyond the eighth
    // come as they arrive until the ring holds its seconds.
    const int settled = fd ? options.beforeSeconds + 1 : 1;
    const double growth = waitingRss.size() > settled + 1
            ? waitingRss.last() - waitingRss.at(settled) : 0;
    std::printf("memory while waiting grew %.1f MB after second %d\n", growth, settled);
    // The ring keeps whole frames within 5 s of the trigger: one frame time short at most.
    return gaps == 0 && cut == 0 && triggerUs != 0 && before > 5 - 0.001
            && recorder.framesLost() == 0 && growth < 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    qputenv("CANABLE_INTERFACE", "sim");
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption modeOption(QStringLiteral("mode"),
                                        QStringLiteral("filter or trigger"),
                                        QStringLiteral("MODE"), QStringLiteral("filter"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of each filter run (10)."),
                                           QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption fdOption(QStringLiteral("fd"),
                                      QStringLiteral("Trigger mode on an FD bus of 64-byte "
                                                     "frames."));
    const QCommandLineOption waitOption(QStringLiteral("wait"),
                                        QStringLiteral("Seconds before the trigger (15)."),
                                        QStringLiteral("W"), QStringLiteral("15"));
    parser.addOptions({ modeOption, secondsOption, waitOption, fdOption });
    parser.process(app);
    const bool ok = parser.value(modeOption) == QLatin1String("trigger")
            ? triggerMode(std::max(6.0, parser.value(waitOption).toDouble()),
                          parser.isSet(fdOption))
            : filterMode(std::max(0.5, parser.value(secondsOption).toDouble()));
    std::printf("%s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
