// Measures the cost of the bus health work per frame - the bit count behind the bus load
// and the decoding of an error event into its text - and an error-event flood through the
// whole receive path: the scriptable fake adapter delivers 10,000 error events/s beside
// 1,000 data frames/s to the main window (offscreen, default row limit) while a probe
// timer on the GUI thread records how late the event loop runs.
//
// Usage: bench_errorflood [--seconds S] [--errors-per-second N] [--frames-per-second N]
//                     [--screenshot FILE]
// --screenshot saves the window as it stands after the run (the README's picture of a bus
// with errors comes from a slow run). The exit status is 1 when a data frame or an error
// event went missing.

#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "health/busload.h"
#include "health/errorframe.h"
#include "tests/fake/fakecanable.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTableView>
#include <QTimer>

#include <linux/can/error.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

double nanosPerCall(const std::function<void(int)> &call, int count)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i)
        call(i);
    return double(timer.nsecsElapsed()) / count;
}

void measureCosts()
{
    const int count = 1000000;
    QRandomGenerator random(7);
    std::vector<quint8> bytes(size_t(count) * 8, 0);
    std::vector<quint32> ids(size_t(count), 0);
    for (int i = 0; i < count; ++i) {
        ids[size_t(i)] = random.generate() & 0x1FFFFFFFu;
        for (int b = 0; b < 8; ++b)
            bytes[size_t(i) * 8 + size_t(b)] = quint8(random.bounded(256));
    }
    volatile int sink = 0;
    const double bits = nanosPerCall([&](int i) {
        sink = sink + int(busload::frameBits(ids[size_t(i)], i % 2, false, 8,
                                             &bytes[size_t(i) * 8]));
    }, count);

    const quint32 classes[] = { CAN_ERR_ACK, CAN_ERR_BUSERROR | CAN_ERR_PROT,
                                CAN_ERR_CRTL | CAN_ERR_CNT, CAN_ERR_BUSOFF };
    const double text = nanosPerCall([&](int i) {
        const QByteArray data(reinterpret_cast<const char *>(&bytes[size_t(i) * 8]), 8);
        sink = sink + errorEventText(classes[i % 4], data).size();
    }, count / 4);
    std::printf("frame bits (8 bytes, exact stuffing): %.0f ns/frame\n", bits);
    std::printf("error event text: %.0f ns/event\n", text);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty()
                                   ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption secondsOption("seconds", "Length of the flood.", "S", "10");
    const QCommandLineOption errorsOption("errors-per-second", "Error events/s.", "N",
                                          "10000");
    const QCommandLineOption framesOption("frames-per-second", "Data frames/s.", "N", "1000");
    const QCommandLineOption screenshotOption("screenshot", "Save the window as PNG.", "FILE");
    parser.addOptions({ secondsOption, errorsOption, framesOption, screenshotOption });
    parser.process(app);
    const double seconds = std::max(0.5, parser.value(secondsOption).toDouble());
    const int errorsPerSecond = parser.value(errorsOption).toInt();
    const int framesPerSecond = parser.value(framesOption).toInt();

    measureCosts();

    FakeCanable::reset();
    FakeCanable::installAdditionalCalls();
    FakeCanable::setStatus(FakeCanable::status(CANABLE_STATE_ERROR_PASSIVE, 136, 0, 3));
    MainWindow window;
    window.resize(1680, 622);
    window.show();
    window.findChild<QPushButton *>("btnOpen")->click();
    QElapsedTimer waited;
    waited.start();
    while (!window.findChild<QPushButton *>("btnClose")->isEnabled() && waited.elapsed() < 10000)
        app.processEvents(QEventLoop::AllEvents, 50);

    // What a node that nobody acknowledges sees, with a stuff error now and then.
    struct ErrorKind
    {
        quint32 errorClass;
        const char *data;
    };
    const ErrorKind kinds[] = {
        { CAN_ERR_ACK | CAN_ERR_CNT, "00000000000088" "00" },
        { CAN_ERR_BUSERROR | CAN_ERR_PROT, "000084000a" },
        { CAN_ERR_CRTL | CAN_ERR_CNT, "00200000000088" "00" },
        { CAN_ERR_ACK | CAN_ERR_CNT, "00000000000089" "00" },
        { CAN_ERR_PROT, "00000008" },
    };
    // The producer queues each 10 ms slice's share, so that the rates hold on average.
    std::atomic<bool> producing { true };
    std::atomic<qint64> eventsQueued { 0 };
    std::atomic<qint64> framesQueued { 0 };
    std::thread producer([&] {
        using namespace std::chrono;
        const auto start = steady_clock::now();
        while (producing) {
            const double elapsed = duration<double>(steady_clock::now() - start).count();
            while (eventsQueued < qint64(elapsed * errorsPerSecond)) {
                const ErrorKind &kind = kinds[size_t(eventsQueued % qint64(std::size(kinds)))];
                FakeCanable::queueErrorEvent(kind.errorClass, QByteArray::fromHex(kind.data));
                ++eventsQueued;
            }
            while (framesQueued < qint64(elapsed * framesPerSecond)) {
                const qint64 n = framesQueued++;
                FakeCanable::queueFrame(
                    FakeCanable::record(quint32(n & 0x7FF), QByteArray(8, char(n))));
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
    });

    // The probe fires every 10 ms when the event loop keeps up; its worst delay is how
    // long the window stopped answering.
    QElapsedTimer sinceProbe;
    sinceProbe.start();
    qint64 worstGapMs = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worstGapMs = std::max(worstGapMs, sinceProbe.restart());
    });
    probe.start(10);
    QElapsedTimer run;
    run.start();
    const clock_t cpuStart = clock();
    while (run.elapsed() < qint64(seconds * 1000))
        app.processEvents(QEventLoop::AllEvents, 50);
    producing = false;
    producer.join();
    const double cpu = double(clock() - cpuStart) / CLOCKS_PER_SEC;

    HandleThread *hub = HandleThread::instance();
    waited.restart();
    while ((hub->getReceiveCount() < framesQueued || hub->getErrorCount() < eventsQueued)
           && waited.elapsed() < 20000)
        app.processEvents(QEventLoop::AllEvents, 50);
    probe.stop();
    app.processEvents();

    QAbstractItemModel *model = window.findChild<QTableView *>("tbReceive")->model();
    int dataRows = 0;
    for (int row = 0; row < model->rowCount(); ++row)
        dataRows += model->index(row, 8).data().toString() != QStringLiteral("错误帧") ? 1 : 0;

    std::printf("flood %.1f s: %lld error events queued, %lld counted; %lld data frames "
                "queued, %lld counted\n",
                seconds, qlonglong(eventsQueued.load()), qlonglong(hub->getErrorCount()),
                qlonglong(framesQueued.load()), qlonglong(hub->getReceiveCount()));
    std::printf("worst event loop delay: %lld ms (probe every 10 ms); process CPU %.0f%%\n",
                qlonglong(worstGapMs), 100.0 * cpu / seconds);
    std::printf("frame log: %d rows, %d of them data frames\n", model->rowCount(), dataRows);
    if (parser.isSet(screenshotOption))
        window.grab().save(parser.value(screenshotOption));
    ListenThread::instance()->closeDevice();
    const bool complete = hub->getReceiveCount() == framesQueued
        && hub->getErrorCount() == eventsQueued;
    return complete ? 0 : 1;
}
