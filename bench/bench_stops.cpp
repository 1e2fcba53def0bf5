// Measures how long a stop waits for a trace file, the way a user meets it, in the real
// main window, offscreen, with the real adapter library on its simulated bus. The files
// hold gigabytes without a frame between two frames: a BLF whose containers each inflate
// to 16 MiB of zeros (19.6 MB for 19 GiB) and a `.log` followed by a 2 GiB hole. For each
// of "停止回放", "关闭" and closing the window during "回放记录…", for "取消" and closing the
// window during "打开记录…", and for "打开" and "关闭" of the simulated bus replaying a
// 5 MB BLF of the same kind (`CANABLE_SIM_TRAFFIC=replay:`), it reports the time from the
// action to its effect and the longest stall of the window's event loop (a 5 ms timer)
// around it. Then it floods the simulated bus for a few seconds and reports the highest
// "总线负载" shown, and "接收速度" after "关闭".
//
// Usage: bench_stops [--dir DIR] [--flood-seconds S]
// A stop over 100 ms (the simulated bus's open over 500 ms) or a stall over 100 ms is
// marked "TOO SLOW". The exit status is 1 when an action has no effect within two
// minutes or the receive rate does not read 0 after the close.

#include "app/mainwindow.h"
#include "bench/benchutil.h"
#include "tests/tracebuilders.h"
#include "tracemenu/replayoptions.h"
#include "tracemenu/tracemenu.h"
#include "tracemenu/tracereplay.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

using namespace BenchUtil;
using tracebuilders::Stretch;

constexpr double limitMs = 100;
bool failed = false;

// An open of the simulated replay may wait up to 0.1 s for the first frame by design.
void report(const char *what, double effectMs, double stallMs, double effectLimitMs = limitMs)
{
    const bool slow = effectMs > effectLimitMs || stallMs > limitMs;
    std::printf("%-44s %9.1f ms  longest stall %7.1f ms%s\n", what, effectMs, stallMs,
                slow ? "  TOO SLOW" : "");
    std::fflush(stdout);
}

QString statusOf(MainWindow *window)
{
    return window->findChild<QLabel *>("lblMessage")->text();
}

std::unique_ptr<MainWindow> newWindow()
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    waitUntil([&] { return window->isVisible(); }, 5);
    return window;
}

bool openDevice(MainWindow *window, const QByteArray &traffic)
{
    qputenv("CANABLE_SIM_TRAFFIC", traffic);
    window->findChild<QPushButton *>("btnOpen")->click();
    return waitUntil([&] { return window->findChild<QPushButton *>("btnClose")->isEnabled(); },
                     30);
}

// Replays `path` and, once the first frame is out and the reader is well into the
// stretch, stops it the way `how` says.
void replayStop(const QString &path, const QString &how, const char *what)
{
    auto window = newWindow();
    if (!openDevice(window.get(), "mix")) {
        std::printf("%s: the device did not open\n", what);
        failed = true;
        return;
    }
    ReplayOptions options;
    options.path = path;
    bool finished = false;
    QObject::connect(TraceReplay::instance(), &TraceReplay::finished, window.get(),
                     [&] { finished = true; });
    if (!window->findChild<TraceMenu *>()->replayTrace(options)) {
        std::printf("%s: the replay did not start\n", what);
        failed = true;
        return;
    }
    waitUntil([] { return false; }, 0.5);
    Heartbeat heartbeat;
    heartbeat.start();
    QElapsedTimer timer;
    timer.start();
    if (how == "action")
        window->findChild<QAction *>("actionStopReplay")->trigger();
    else if (how == "close")
        window->findChild<QPushButton *>("btnClose")->click();
    else
        window.reset();
    if (!waitUntil([&] { return !TraceReplay::instance()->isRunning(); }, 120))
        failed = true;
    const double effect = secondsOf(timer) * 1000;
    waitUntil([] { return false; }, 0.05);
    report(what, effect, heartbeat.stop());
}

// Opens `path` through "打开记录…" and cancels or closes the window once the reader is
// well into the stretch.
void openStop(const QString &path, bool closeWindow, const char *what)
{
    auto window = newWindow();
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
            static_cast<QDialog *>(dialog)->accept();
        }
    });
    answer.start(10);
    window->findChild<QAction *>("actionOpenTrace")->trigger();
    answer.stop();
    waitUntil([] { return false; }, 0.5);
    Heartbeat heartbeat;
    heartbeat.start();
    QElapsedTimer timer;
    timer.start();
    if (closeWindow) {
        window.reset();
    } else {
        window->findChild<QProgressDialog *>("openTraceProgress")
                ->findChild<QPushButton *>()->click();
        if (!waitUntil([&] { return statusOf(window.get()).startsWith("打开记录已取消"); },
                       120))
            failed = true;
    }
    const double effect = secondsOf(timer) * 1000;
    waitUntil([] { return false; }, 0.05);
    report(what, effect, heartbeat.stop());
}

// "打开" and "关闭" of the simulated bus replaying `path`.
void simulatedReplay(const QString &path)
{
    auto window = newWindow();
    Heartbeat heartbeat;
    heartbeat.start();
    QElapsedTimer timer;
    timer.start();
    if (!openDevice(window.get(), "replay:" + QFile::encodeName(path)))
        failed = true;
    report("replay: 5 MB BLF bomb, 打开", secondsOf(timer) * 1000, heartbeat.stop(), 500);
    waitUntil([] { return false; }, 0.5);
    heartbeat.start();
    timer.restart();
    window->findChild<QPushButton *>("btnClose")->click();
    if (!waitUntil([&] { return window->findChild<QPushButton *>("btnOpen")->isEnabled(); },
                   120))
        failed = true;
    report("replay: 5 MB BLF bomb, 关闭", secondsOf(timer) * 1000, heartbeat.stop());
}

// The highest bus load the status bar shows over a flood, and the receive rate after the
// close.
void flood(double seconds)
{
    auto window = newWindow();
    if (!openDevice(window.get(), "flood")) {
        failed = true;
        return;
    }
    QLabel *load = window->findChild<QLabel *>("lblBusLoad");
    // The status bar's counters are written by the window's tick.
    waitUntil([] { return false; }, 0.5);
    QLabel *rate = nullptr;
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (label->text().startsWith(QStringLiteral("接收速度")))
            rate = label;
    }
    if (!load || !rate) {
        std::printf("the status bar lacks its bus load or receive rate\n");
        failed = true;
        return;
    }
    double highest = 0;
    QString highestRate;
    QElapsedTimer timer;
    timer.start();
    while (secondsOf(timer) < seconds) {
        waitUntil([] { return false; }, 0.1);
        const QString text = load->text().section(':', 1).chopped(1);
        if (text.toDouble() > highest) {
            highest = text.toDouble();
            highestRate = rate->text();
        }
    }
    window->findChild<QPushButton *>("btnClose")->click();
    waitUntil([&] { return window->findChild<QPushButton *>("btnOpen")->isEnabled(); }, 30);
    waitUntil([] { return false; }, 0.5);
    const QString closed = rate->text();
    std::printf("flood at 1000 kbit/s: highest 总线负载 %.1f %% (%s), after 关闭 \"%s\"\n",
                highest, qPrintable(highestRate), qPrintable(closed));
    failed = failed || closed != QStringLiteral("接收速度:0次/s");
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("CANABLE_INTERFACE", "sim");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption dirOption("dir", "Where the files are made.", "DIR");
    QCommandLineOption floodOption("flood-seconds", "How long the flood runs.", "S", "5");
    parser.addOption(dirOption);
    parser.addOption(floodOption);
    parser.process(app);
    QTemporaryDir temporary(parser.isSet(dirOption) ? parser.value(dirOption) + "/stopsXXXXXX"
                                                    : QString());
    if (!temporary.isValid())
        return 2;
    const QString bomb = temporary.filePath("bomb.blf");
    const QString hole = temporary.filePath("hole.log");
    const QString smallBomb = temporary.filePath("small.blf");
    if (!tracebuilders::writeStretchedTrace(bomb, Stretch::BlfBomb, 19)
        || !tracebuilders::writeStretchedTrace(hole, Stretch::Zeros, 2)
        || !tracebuilders::writeStretchedTrace(smallBomb, Stretch::BlfBomb, 5, false))
        return 2;
    std::printf("BLF bomb %.1f MB, log with a hole %.1f GB, small BLF bomb %.1f MB\n",
                QFileInfo(bomb).size() / 1e6, QFileInfo(hole).size() / 1e9,
                QFileInfo(smallBomb).size() / 1e6);

    replayStop(bomb, "action", "回放记录 BLF bomb, 停止回放");
    replayStop(bomb, "close", "回放记录 BLF bomb, 关闭");
    replayStop(bomb, "window", "回放记录 BLF bomb, closing the window");
    replayStop(hole, "action", "回放记录 log + 2 GiB of zeros, 停止回放");
    openStop(bomb, false, "打开记录 BLF bomb, 取消");
    openStop(bomb, true, "打开记录 BLF bomb, closing the window");
    simulatedReplay(smallBomb);
    flood(parser.value(floodOption).toDouble());
    return failed ? 1 : 0;
}
