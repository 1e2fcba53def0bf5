// Measures how evenly the program transmits: immediate sends of one 8-byte frame, typed
// into the transmit panel of the real main window (offscreen) and started with its send
// button, 1,000 ticks at 1, 10 and 100 ms and 100 ticks at 1,000 ms. The device is open on
// the simulated bus at 1 Mbit/s with its vehicle traffic, so the receive side runs as well.
// The time of each write is the one the simulated bus took when it accepted the frame
// (CANABLE_SIM_WRITE_LOG), so nothing of the program's own clock reading is in it.
//
// Usage: bench_transmit [--seconds S] [--csv FILE] [--log-dir DIR]
// --seconds caps each interval's run at about S seconds (at least 2 ticks), for a quick
// run; --log-dir keeps the write times of each interval there, as writes-<interval>.log.
// Then it stops a tick of ten million copies with the stop button and, in a child process,
// closes the window in the middle of such a tick (--stop-only measures just these two).
// Before and after the sends it measures how late a bare thread wakes on this machine.
// The exit status is 1 when a write was missing or refused, or came after a stop or close.

#include "app/mainwindow.h"
#include "bench/benchutil.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "transmit/sendthread.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

namespace {

using namespace BenchUtil;

// What the machine itself allows: a bare thread, with the send thread's timer slack and
// real-time priority (when granted), sleeping to absolute due times and noting how late
// it wakes. Lateness the program shows beyond this is the program's own.
Percentiles wakeFloor(int ticks, qint64 intervalNs, bool *realTime)
{
    std::vector<double> late;
    std::thread thread([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        sched_param param = {};
        param.sched_priority = 10;
        *realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const qint64 start = qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
        for (int i = 1; i <= ticks; ++i) {
            const qint64 due = start + i * intervalNs;
            const timespec at = { time_t(due / 1000000000), long(due % 1000000000) };
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            clock_gettime(CLOCK_MONOTONIC, &now);
            late.push_back(double(qint64(now.tv_sec) * 1000000000 + now.tv_nsec - due) / 1e6);
        }
    });
    thread.join();
    return percentiles(late);
}

QString loadAverage()
{
    double loads[3] = {};
    if (getloadavg(loads, 3) != 3)
        return QStringLiteral("?");
    return QStringLiteral("%1 %2 %3").arg(loads[0], 0, 'f', 2).arg(loads[1], 0, 'f', 2)
            .arg(loads[2], 0, 'f', 2);
}

struct Case
{
    int intervalMs;
    int ticks;
};

const Case cases[] = { { 1, 1000 }, { 10, 1000 }, { 100, 1000 }, { 1000, 100 } };

constexpr int copiesForStop = 10000000;

constexpr unsigned int busKbps = 1000;
constexpr double slackSeconds = 30;

const char csvHeader[] =
    "interval_ms,ticks,writes_logged,writes_counted,refused,gap_mean_ms,"
    "deviation_mean_ms,deviation_abs_mean_ms,deviation_p99_ms,deviation_max_ms,drift_ms,"
    "cpu_core_pct,late_p99_ms,late_max_ms,stamp_late_p99_ms";

struct Result
{
    int intervalMs = 0;
    int ticks = 0;
    int logged = 0;
    int counted = 0;
    int refused = 0;
    double gapMean = 0;
    double deviationMean = 0;
    double deviationAbsMean = 0;
    double deviationP99 = 0;
    double deviationMax = 0;
    double drift = 0;
    double corePct = 0;
    // |actual - due| with every due time counted from the first write.
    double lateP99 = 0;
    double lateMax = 0;
    // The same from the stamps the send thread puts on its announcements just before each
    // write: the program's own timing, without the adapter's time to accept the frame.
    double stampLateP99 = 0;
};

std::vector<qint64> loggedNanoseconds(const QString &path)
{
    std::vector<qint64> times;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return times;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            times.push_back(line.toLongLong());
    }
    return times;
}

// Gap statistics against the nominal interval; deviations are absolute for the
// percentile, so that early and late ticks count alike.
void summarise(const std::vector<qint64> &times, Result *result)
{
    if (times.size() < 2)
        return;
    const double interval = result->intervalMs;
    std::vector<double> deviations;
    double sum = 0;
    double absSum = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        const double deviation = double(times[i] - times[i - 1]) / 1e6 - interval;
        sum += deviation;
        absSum += std::abs(deviation);
        deviations.push_back(std::abs(deviation));
    }
    std::sort(deviations.begin(), deviations.end());
    const double gaps = double(deviations.size());
    result->gapMean = interval + sum / gaps;
    result->deviationMean = sum / gaps;
    result->deviationAbsMean = absSum / gaps;
    result->deviationP99 = rankOf(deviations, 0.99);
    result->deviationMax = deviations.back();
    result->drift = double(times.back() - times.front()) / 1e6 - gaps * interval;

    std::vector<double> late;
    for (size_t i = 1; i < times.size(); ++i)
        late.push_back(std::abs(double(times[i] - times[0]) / 1e6 - double(i) * interval));
    std::sort(late.begin(), late.end());
    result->lateP99 = rankOf(late, 0.99);
    result->lateMax = late.back();
}

double lateP99(const std::vector<qint64> &times, double interval, double unitsPerMs)
{
    std::vector<double> late;
    for (size_t i = 1; i < times.size(); ++i)
        late.push_back(std::abs(double(times[i] - times[0]) / unitsPerMs - double(i) * interval));
    if (late.empty())
        return 0;
    std::sort(late.begin(), late.end());
    const size_t rank = size_t(std::ceil(0.99 * double(late.size())));
    return late.at(std::clamp<size_t>(rank, 1, late.size()) - 1);
}

qint64 monotonicNs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void startLongTick()
{
    SendFrame frame;
    frame.id = 0x123;
    frame.data = QByteArray::fromHex("0102030405060708");
    frame.framesPerSend = copiesForStop;
    frame.repeatCount = 1;
    SendThread::instance()->startSend({ frame }, 1);
}

class Bench
{
public:
    Bench(MainWindow *window, const QString &scratch)
        : window(window)
        , scratch(scratch)
    {
    }

    bool run(const Case &c, Result *result)
    {
        result->intervalMs = c.intervalMs;
        result->ticks = c.ticks;
        const QString logPath = scratch + QStringLiteral("/writes-%1.log").arg(c.intervalMs);
        qputenv("CANABLE_SIM_WRITE_LOG", QFile::encodeName(logPath));

        bool opened = false;
        const QMetaObject::Connection openConnection = QObject::connect(
                ListenThread::instance(), &ListenThread::openSuccess, window,
                [&opened] { opened = true; });
        ListenThread::instance()->openDevice(busKbps);
        const bool openedInTime = waitUntil([&opened] { return opened; }, slackSeconds);
        QObject::disconnect(openConnection);
        if (!openedInTime) {
            qWarning("the simulated bus did not open");
            return false;
        }

        bool finished = false;
        const QMetaObject::Connection finishConnection = QObject::connect(
                SendThread::instance(), &SendThread::sendFinished, window,
                [&finished] { finished = true; });
        HandleThread *hub = HandleThread::instance();
        const int sentBefore = hub->getSendCount();
        std::vector<qint64> stamps;
        const QMetaObject::Connection stampConnection = QObject::connect(
                SendThread::instance(), &SendThread::sendMsgSignal, window,
                [&stamps](const CanMessage &msg) { stamps.push_back(msg.timestampUs); });
        setText("txtID", QStringLiteral("123"));
        setText("txtData", QStringLiteral("01 02 03 04 05 06 07 08"));
        setText("txtCountOneTime", QStringLiteral("1"));
        setText("txtSendCount", QString::number(c.ticks));
        setText("txtInvTime", QString::number(c.intervalMs));

        QElapsedTimer wall;
        wall.start();
        const double cpuStart = processCpuSeconds();
        window->findChild<QPushButton *>(QStringLiteral("btnSend"))->click();
        const double expected = double(c.ticks) * c.intervalMs / 1000;
        const bool done = waitUntil([&finished] { return finished; }, expected + slackSeconds);
        const double cpu = processCpuSeconds() - cpuStart;
        result->corePct = 100 * cpu / (double(wall.nsecsElapsed()) * 1e-9);
        QObject::disconnect(finishConnection);
        if (!done) {
            qWarning("the send of %d ticks at %d ms did not finish", c.ticks, c.intervalMs);
            SendThread::instance()->stopSend();
        }

        // Announced writes reach the hub through the send thread's queued signals.
        waitUntil([&] { return hub->getSendCount() - sentBefore >= c.ticks; }, slackSeconds);
        result->counted = hub->getSendCount() - sentBefore;
        QObject::disconnect(stampConnection);
        result->stampLateP99 = lateP99(stamps, c.intervalMs, 1000);
        ListenThread::instance()->closeDevice();

        const std::vector<qint64> times = loggedNanoseconds(logPath);
        result->logged = int(times.size());
        result->refused = result->counted - result->logged;
        summarise(times, result);
        return done;
    }

    // Starts a send of ten million copies in one tick (ten times what the editor accepts,
    // so it goes to the send thread directly), lets it write for a moment and stops it the
    // way the stop button does; returns the milliseconds the click took, and in *after the
    // writes the hub counted once the click had returned beyond those announced by then.
    double stopLatency(int *written, int *after)
    {
        qputenv("CANABLE_SIM_WRITE_LOG", QByteArray());
        bool opened = false;
        const QMetaObject::Connection openConnection = QObject::connect(
                ListenThread::instance(), &ListenThread::openSuccess, window,
                [&opened] { opened = true; });
        ListenThread::instance()->openDevice(busKbps);
        waitUntil([&opened] { return opened; }, slackSeconds);
        QObject::disconnect(openConnection);

        HandleThread *hub = HandleThread::instance();
        const int sentBefore = hub->getSendCount();
        startLongTick();
        waitUntil([&] { return hub->getSendCount() - sentBefore >= 2000; }, slackSeconds);
        const qint64 start = monotonicNs();
        SendThread::instance()->stopSend();
        const double latency = double(monotonicNs() - start) / 1e6;
        int counted = 0;
        waitUntil([&] {
            const int now = hub->getSendCount();
            const bool settled = now == counted;
            counted = now;
            return settled;
        }, slackSeconds);
        waitUntil([] { return false; }, 0.2);
        *written = hub->getSendCount() - sentBefore;
        *after = hub->getSendCount() - counted;
        ListenThread::instance()->closeDevice();
        return latency;
    }

private:
    void setText(const char *name, const QString &text)
    {
        window->findChild<QLineEdit *>(QLatin1String(name))->setText(text);
    }

    MainWindow *window;
    QString scratch;
};

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

// The child process of the close measurement: starts a long tick, closes the window in
// its middle and prints the CLOCK_MONOTONIC time of the close; the time the process ends
// is taken by the parent, and the simulated bus saves its write times at the close.
int closeInTheMiddle(QApplication &app, const QString &logDir)
{
    qputenv("CANABLE_SIM_WRITE_LOG", QFile::encodeName(logDir + "/close-writes.log"));
    MainWindow mainWindow;
    MainWindow *window = &mainWindow;
    window->show();
    bool opened = false;
    QObject::connect(ListenThread::instance(), &ListenThread::openSuccess, window,
                     [&opened] { opened = true; });
    ListenThread::instance()->openDevice(busKbps);
    if (!waitUntil([&opened] { return opened; }, slackSeconds))
        return 2;
    startLongTick();
    HandleThread *hub = HandleThread::instance();
    waitUntil([hub] { return hub->getSendCount() >= 2000; }, slackSeconds);
    qint64 closing = 0;
    qint64 closed = 0;
    QTimer::singleShot(0, window, [&closing, &closed, window] {
        closing = monotonicNs();
        window->close();
        closed = monotonicNs();
    });
    const int status = app.exec();
    std::printf("%lld %lld\n", static_cast<long long>(closing), static_cast<long long>(closed));
    std::fflush(stdout);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", "mix");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Transmit timing benchmark"));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
        QStringLiteral("Cap each interval's run at about this many seconds."),
        QStringLiteral("seconds"));
    const QCommandLineOption csvOption(QStringLiteral("csv"),
        QStringLiteral("Write one line of results per interval to this file."),
        QStringLiteral("file"));
    const QCommandLineOption logDirOption(QStringLiteral("log-dir"),
        QStringLiteral("Keep the write times of each interval in this directory."),
        QStringLiteral("directory"));
    const QCommandLineOption closeChildOption(QStringLiteral("close-child"),
        QStringLiteral("Internal: close the window in the middle of a long tick."));
    const QCommandLineOption skipTimingOption(QStringLiteral("stop-only"),
        QStringLiteral("Measure only stopping and closing, not the tick timing."));
    parser.addOptions({ secondsOption, csvOption, logDirOption, closeChildOption,
                        skipTimingOption });
    parser.process(app);
    const double cap = parser.isSet(secondsOption)
        ? std::max(0.0, parser.value(secondsOption).toDouble())
        : -1;

    QFile styleFile(QStringLiteral(":/style.qss"));
    if (styleFile.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromUtf8(styleFile.readAll()));

    QTemporaryDir scratch;
    const QString logDir = parser.isSet(logDirOption) ? parser.value(logDirOption)
                                                      : scratch.path();
    if (logDir.isEmpty() || !QDir().mkpath(logDir)) {
        qWarning("no directory for the write logs");
        return 2;
    }
    if (parser.isSet(closeChildOption))
        return closeInTheMiddle(app, logDir);

    MainWindow window;
    window.resize(1680, 622);
    window.show();
    Bench bench(&window, logDir);

    QTextStream out(stdout);
    out << "Immediate sends of one 8-byte frame; gaps between the writes the simulated bus "
           "accepted (ms)\n\n"
        << "interval   ticks  writes | gap mean  dev mean  |dev| mean  |dev| p99  |dev| max"
           "     drift | CPU %\n"
        << QString(99, QLatin1Char('-')) << '\n';
    out.flush();

    const auto reportFloor = [&out, cap](const char *when) {
        bool realTime = false;
        const int ticks = cap >= 0 ? std::max(2, int(cap * 100)) : 500;
        const Percentiles floor = wakeFloor(ticks, 10000000, &realTime);
        out << "Machine " << when << " (load average " << loadAverage() << "): a bare "
            << (realTime ? "real-time" : "ordinary") << " thread waking every 10 ms is late "
            << "p99 " << fixed(floor.p99, 3) << " max " << fixed(floor.max, 3) << " ms\n";
        out.flush();
    };
    if (!parser.isSet(skipTimingOption))
        reportFloor("before");

    QStringList csv = { QString::fromLatin1(csvHeader) };
    int status = 0;
    for (Case c : cases) {
        if (parser.isSet(skipTimingOption))
            break;
        if (cap >= 0)
            c.ticks = std::min(c.ticks, std::max(2, int(std::ceil(cap * 1000 / c.intervalMs))));
        Result r;
        const bool finished = bench.run(c, &r);
        if (!finished || r.logged != c.ticks || r.counted != c.ticks)
            status = 1;
        out << QString::number(r.intervalMs).rightJustified(8) << ' '
            << QString::number(r.ticks).rightJustified(7) << ' '
            << QString::number(r.logged).rightJustified(7) << " | "
            << fixed(r.gapMean, 3).rightJustified(8) << ' '
            << fixed(r.deviationMean, 3).rightJustified(9) << ' '
            << fixed(r.deviationAbsMean, 3).rightJustified(10) << ' '
            << fixed(r.deviationP99, 3).rightJustified(10) << ' '
            << fixed(r.deviationMax, 3).rightJustified(10) << ' '
            << fixed(r.drift, 3).rightJustified(9) << " | "
            << fixed(r.corePct, 1).rightJustified(5) << " | late p99 "
            << fixed(r.lateP99, 3) << " max " << fixed(r.lateMax, 3) << ", own stamps p99 "
            << fixed(r.stampLateP99, 3) << '\n';
        if (r.refused != 0 || r.counted != c.ticks) {
            out << "         " << r.counted << " writes announced, " << r.refused
                << " of them refused by the bus\n";
        }
        out.flush();
        csv << QStringList{ QString::number(r.intervalMs), QString::number(r.ticks),
                            QString::number(r.logged), QString::number(r.counted),
                            QString::number(r.refused), fixed(r.gapMean, 4),
                            fixed(r.deviationMean, 4), fixed(r.deviationAbsMean, 4),
                            fixed(r.deviationP99, 4), fixed(r.deviationMax, 4),
                            fixed(r.drift, 3), fixed(r.corePct, 1), fixed(r.lateP99, 4),
                            fixed(r.lateMax, 4), fixed(r.stampLateP99, 4) }
                       .join(QLatin1Char(','));
    }

    if (!parser.isSet(skipTimingOption))
        reportFloor("after");

    int written = 0;
    int after = 0;
    const double stopMs = bench.stopLatency(&written, &after);
    out << "\nStop in the middle of a tick of " << copiesForStop << " copies: the click took "
        << fixed(stopMs, 2) << " ms after " << written - after << " writes; " << after
        << " writes counted after it returned\n";
    out.flush();
    if (after != 0)
        status = 1;

    const QString closeLog = logDir + QStringLiteral("/close-writes.log");
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                { QStringLiteral("--close-child"), QStringLiteral("--log-dir"), logDir });
    if (child.waitForFinished(int(slackSeconds * 1000)) && child.exitCode() == 0) {
        const qint64 exited = monotonicNs();
        const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
        const qint64 closing = fields.value(0).toLongLong();
        const qint64 closed = fields.value(1).toLongLong();
        const std::vector<qint64> times = loggedNanoseconds(closeLog);
        const qint64 lastWrite = times.empty() ? 0 : times.back();
        out << "Closing the window in the middle of such a tick: the close took "
            << fixed(double(closed - closing) / 1e6, 2) << " ms, the process ended "
            << fixed(double(exited - closing) / 1e6, 1) << " ms after it began; "
            << times.size() << " writes, the last "
            << fixed(double(lastWrite - closed) / 1e6, 3) << " ms after the close returned\n";
        if (lastWrite > closed)
            status = 1;
    } else {
        out << "Closing the window in the middle of such a tick: the process did not end\n";
        child.kill();
        child.waitForFinished();
        status = 1;
    }
    out.flush();

    if (parser.isSet(csvOption)) {
        QFile file(parser.value(csvOption));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            file.write(csv.join(QLatin1Char('\n')).toUtf8() + '\n');
        else
            qWarning("cannot write %s", qPrintable(parser.value(csvOption)));
    }
    return status;
}
