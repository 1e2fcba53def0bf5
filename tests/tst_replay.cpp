#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "tests/fake/fakecanable.h"
#include "tests/tracebuilders.h"
#include "traceformats/tracefile.h"
#include "tracemenu/replaydialog.h"
#include "tracemenu/replaytiming.h"
#include "tracemenu/tracemenu.h"
#include "tracemenu/tracereplay.h"
#include "transmit/datasendwidget.h"
#include "transmit/sendthread.h"
#include "transmit/tickschedule.h"

#include <QAction>
#include <QElapsedTimer>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>

Q_DECLARE_METATYPE(trace::Frame)

namespace {

constexpr qint64 baseUs = 1765000000000000; // a time in 2025

trace::Frame frame(quint32 id, qint64 offsetUs, bool tx = false, const QByteArray &data = "\x11")
{
    trace::Frame f;
    f.id = id;
    f.timestampUs = baseUs + offsetUs;
    f.tx = tx;
    f.dlc = quint8(data.size());
    std::memcpy(f.data, data.constData(), size_t(data.size()));
    return f;
}

trace::Frame errorEvent(qint64 offsetUs)
{
    trace::Frame f = frame(0x4, offsetUs, false, QByteArray(8, '\0'));
    f.error = true;
    return f;
}

QList<uint> writtenIds()
{
    QList<uint> ids;
    for (const CanFrameRecord &record : FakeCanable::writtenFrames())
        ids << record.id;
    return ids;
}

} // namespace

class tst_Replay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dueOffsets_data();
    void dueOffsets();
    void framesGoOutInOrder_data();
    void framesGoOutInOrder();
    void fdFramesByDeviceMode_data();
    void fdFramesByDeviceMode();
    void captureFormatFromContent_data();
    void captureFormatFromContent();
    void refusedWritesShowAsFailed();
    void loopStartsOver();
    void loopWithNothingToSendEnds();
    void stopInLongGapReturnsAtOnce();
    void windowStopsReplay_data();
    void windowStopsReplay();
    void refusals_data();
    void refusals();
    void panelRefusesToSendDuringReplay();
    void speedTyped_data();
    void speedTyped();

private:
    QString writeTrace(const QList<trace::Frame> &frames, const QString &extension);
    void openDevice();
    QString statusText() const;

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
    QList<CanMessage> announced;
    QList<ReplayProgress> finished;
    SendThread *thread = SendThread::instance();
    TraceReplay *replay = TraceReplay::instance();
};

void tst_Replay::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
    QVERIFY(dir.isValid());
    connect(thread, &SendThread::sendMsgSignal, this,
            [this](const CanMessage &msg) { announced << msg; });
    connect(replay, &TraceReplay::finished, this,
            [this](const ReplayProgress &progress) { finished << progress; });
}

void tst_Replay::init()
{
    FakeCanable::reset();
}

void tst_Replay::cleanup()
{
    replay->stop();
    thread->stopSend();
    window.reset();
    FakeCanable::reset();
    QCoreApplication::sendPostedEvents();
    HandleThread::instance()->takeMessages();
    announced.clear();
    finished.clear();
}

QString tst_Replay::writeTrace(const QList<trace::Frame> &frames, const QString &extension)
{
    static int count = 0;
    const QString path = dir.filePath(QStringLiteral("trace%1.%2").arg(++count).arg(extension));
    std::string error;
    const std::string name = path.toStdString();
    auto writer = trace::Writer::create(name, trace::formatForPath(name), &error);
    if (!writer)
        return QString();
    for (const trace::Frame &f : frames)
        writer->write(f);
    return writer->close() ? path : QString();
}

void tst_Replay::openDevice()
{
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::mouseClick(window->findChild<QPushButton *>("btnOpen"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QPushButton *>("btnClose")->isEnabled(), 10000);
}

QString tst_Replay::statusText() const
{
    return window->findChild<QLabel *>("lblMessage")->text();
}

// A stamp of -1 marks where a loop starts its next pass.
void tst_Replay::dueOffsets_data()
{
    QTest::addColumn<QList<qint64>>("stampsUs");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QList<qint64>>("dueNs");

    const QList<qint64> rising = { baseUs, baseUs + 1000, baseUs + 3500 };
    QTest::newRow("gaps as recorded") << rising << 1.0
                                      << QList<qint64>{ 0, 1000000, 3500000 };
    QTest::newRow("twice as fast") << rising << 2.0 << QList<qint64>{ 0, 500000, 1750000 };
    QTest::newRow("a tenth of the speed") << rising << 0.1
                                          << QList<qint64>{ 0, 10000000, 35000000 };
    QTest::newRow("rounding does not add up")
            << QList<qint64>{ 10, 11, 12, 13 } << 3.0 << QList<qint64>{ 0, 333, 667, 1000 };
    QTest::newRow("time going back plays on without a gap")
            << QList<qint64>{ 5000, 9000, 2000, 2500 } << 1.0
            << QList<qint64>{ 0, 4000000, 4000000, 4500000 };
    QTest::newRow("unknown time goes with the frame before")
            << QList<qint64>{ 0, baseUs, 0, baseUs + 2000 } << 1.0
            << QList<qint64>{ 0, 0, 0, 2000000 };
    QTest::newRow("next pass follows at once")
            << QList<qint64>{ 1000, 3000, -1, 1000, 1500 } << 1.0
            << QList<qint64>{ 0, 2000000, 2000000, 2500000 };
    QTest::newRow("extreme stamps saturate")
            << QList<qint64>{ std::numeric_limits<qint64>::min() + 1,
                              std::numeric_limits<qint64>::max() }
            << 0.1 << QList<qint64>{ 0, std::numeric_limits<qint64>::max() / 2 + 1 };
}

void tst_Replay::dueOffsets()
{
    QFETCH(QList<qint64>, stampsUs);
    QFETCH(double, speed);
    QFETCH(QList<qint64>, dueNs);

    qint64 now = 777;
    TickSchedule schedule([&now] { return now; });
    schedule.start();
    ReplayTiming timing(speed);
    qint64 last = 0;
    QList<qint64> due;
    for (qint64 stamp : stampsUs) {
        if (stamp == -1) {
            timing.startPass();
            continue;
        }
        const qint64 offset = timing.dueOffsetNs(stamp);
        schedule.advanceNs(offset - last);
        last = offset;
        due << schedule.dueNs() - schedule.startNs();
        now += 1000000000; // a late tick does not move the ones after it
    }
    QCOMPARE(due, dueNs);
}

void tst_Replay::framesGoOutInOrder_data()
{
    QTest::addColumn<QList<trace::Frame>>("frames");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("receivedOnly");
    QTest::addColumn<QList<uint>>("ids");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<QByteArray>("appended"); // after the last frame the writer wrote

    trace::Frame remote = frame(0x1abcdef0, 300);
    remote.extended = true;
    remote.remote = true;
    remote.dlc = 3;
    trace::Frame refused = frame(0x66, 400, true);
    refused.success = false;
    const QList<trace::Frame> mixed = { frame(0x10, 0), frame(0x20, 1000, true),
                                        frame(0x30, 1500, false, QByteArray(8, '\x7e')),
                                        remote };
    QTest::newRow("all of a log") << mixed << "log" << false
                                  << QList<uint>{ 0x10, 0x20, 0x30, 0x1abcdef0 } << 0
                                  << QByteArray();
    QTest::newRow("received only of an asc") << mixed << "asc" << true
                                             << QList<uint>{ 0x10, 0x30, 0x1abcdef0 } << 0
                                             << QByteArray();
    QTest::newRow("blf without its error event")
            << QList<trace::Frame>{ frame(0x1, 0), errorEvent(10), frame(0x2, 20) } << "blf"
            << false << QList<uint>{ 0x1, 0x2 } << 1 << QByteArray();
    QTest::newRow("pcap with a remote frame") << QList<trace::Frame>{ remote, frame(0x7ff, 9) }
                                              << "pcap" << false
                                              << QList<uint>{ 0x1abcdef0, 0x7ff } << 0
                                              << QByteArray();
    QTest::newRow("csv without a write that was refused")
            << QList<trace::Frame>{ frame(0x5, 0), refused, frame(0x7, 500) } << "csv" << false
            << QList<uint>{ 0x5, 0x7 } << 1 << QByteArray();
    QTest::newRow("log with unreadable lines")
            << QList<trace::Frame>{ frame(0x8, 0) } << "log" << false << QList<uint>{ 0x8, 0x9 }
            << 2 << QByteArray("(1765000000.000100) can0 XYZ#11 R\n(1765000000.000200) "
                               "can0 009#22 R\nnot a frame\n");
}

void tst_Replay::framesGoOutInOrder()
{
    QFETCH(QList<trace::Frame>, frames);
    QFETCH(QString, extension);
    QFETCH(bool, receivedOnly);
    QFETCH(QList<uint>, ids);
    QFETCH(int, skipped);
    QFETCH(QByteArray, appended);

    ReplayOptions options;
    options.path = writeTrace(frames, extension);
    QVERIFY(!options.path.isEmpty());
    QFile file(options.path);
    QVERIFY(file.open(QIODevice::Append));
    QCOMPARE(file.write(appended), qint64(appended.size()));
    file.close();
    options.speed = 100;
    options.receivedOnly = receivedOnly;
    QString error;
    QVERIFY2(replay->start(options, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);

    QCOMPARE(writtenIds(), ids);
    const ReplayProgress &end = finished.first();
    QCOMPARE(end.sent, qint64(ids.size()));
    QCOMPARE(end.failed, qint64(0));
    QCOMPARE(end.skipped, qint64(skipped));
    QVERIFY(!end.stopped);
    QVERIFY(end.error.isEmpty());
    QVERIFY(!replay->isRunning());

    QCOMPARE(announced.size(), ids.size());
    const QList<CanFrameRecord> written = FakeCanable::writtenFrames();
    for (int i = 0; i < written.size(); ++i) {
        const trace::Frame *source = nullptr;
        for (const trace::Frame &f : frames) {
            if (f.id == written.at(i).id)
                source = &f;
        }
        if (!source)
            continue; // from the appended lines
        QCOMPARE(bool(written.at(i).extended), source->extended);
        QCOMPARE(bool(written.at(i).remote), source->remote);
        QCOMPARE(int(written.at(i).dlc), int(source->dlc));
        if (!source->remote)
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(written.at(i).data),
                                source->dlc),
                     QByteArray(reinterpret_cast<const char *>(source->data), source->dlc));
        QCOMPARE(int(announced.at(i).direction), 1);
        QCOMPARE(announced.at(i).id, source->id);
        QVERIFY(announced.at(i).success);
    }
}

void tst_Replay::fdFramesByDeviceMode_data()
{
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("fdDevice");
    // "fd <id> <flags> <data>" for a write through the FD call, "classic <id> <data>".
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<int>("skipped");

    QByteArray bytes64;
    for (int i = 0; i < 64; ++i)
        bytes64.append(char(i));
    const QString hex64 = QString::fromLatin1(bytes64.toHex());
    for (const char *extension : { "log", "blf" }) {
        QTest::addRow("%s on a device opened in FD mode", extension)
                << extension << true
                << QStringList{ "fd 10 0 11", "fd 20 3 " + hex64, "fd 30 1 " + hex64.left(24) }
                << 0;
        QTest::addRow("%s on a classic device", extension)
                << extension << false << QStringList{ "classic 10 11" } << 2;
    }
}

// An FD frame of the trace goes out with its length and BRS on a device opened in FD mode;
// on a classic device it is skipped and counted, and the classic frames still go out.
void tst_Replay::fdFramesByDeviceMode()
{
    QFETCH(QString, extension);
    QFETCH(bool, fdDevice);
    QFETCH(QStringList, written);
    QFETCH(int, skipped);

    QByteArray bytes64;
    for (int i = 0; i < 64; ++i)
        bytes64.append(char(i));
    trace::Frame fdBrs = frame(0x20, 100, false, bytes64);
    fdBrs.fd = true;
    fdBrs.brs = true;
    trace::Frame fd12 = frame(0x30, 200, false, bytes64.left(12));
    fd12.fd = true;
    ReplayOptions options;
    options.path = writeTrace({ frame(0x10, 0), fdBrs, fd12 }, extension);
    QVERIFY(!options.path.isEmpty());
    options.speed = 100;

    FakeCanable::installAdditionalCalls();
    ListenThread *listen = ListenThread::instance();
    ListenThread::OpenOptions open;
    open.bitrate = 500;
    open.dataBitrate = fdDevice ? 2000 : 0;
    QSignalSpy opened(listen, &ListenThread::openSuccess);
    listen->openDevice(open);
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 30000);
    QString error;
    QVERIFY2(replay->start(options, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    listen->closeDevice();

    QStringList seen;
    for (const CanFdFrameRecord &r : FakeCanable::writtenFdFrames()) {
        seen << QStringLiteral("fd %1 %2 %3").arg(r.id, 0, 16).arg(r.flags)
                        .arg(QString::fromLatin1(
                                QByteArray(reinterpret_cast<const char *>(r.data), r.len)
                                        .toHex()));
    }
    for (const CanFrameRecord &r : FakeCanable::writtenFrames()) {
        seen << QStringLiteral("classic %1 %2").arg(r.id, 0, 16)
                        .arg(QString::fromLatin1(
                                QByteArray(reinterpret_cast<const char *>(r.data), r.dlc)
                                        .toHex()));
    }
    QCOMPARE(seen, written);
    QCOMPARE(finished.first().sent, qint64(written.size()));
    QCOMPARE(finished.first().failed, qint64(0));
    QCOMPARE(finished.first().skipped, qint64(skipped));
}

void tst_Replay::captureFormatFromContent_data()
{
    QTest::addColumn<bool>("pcapng");
    QTest::addColumn<QString>("extension");
    QTest::newRow("pcapng named .pcapng") << true << "pcapng";
    QTest::newRow("pcapng named .pcap") << true << "pcap";
    QTest::newRow("pcap named .pcapng") << false << "pcapng";
}

// Capture tools write pcapng whatever the name says.
void tst_Replay::captureFormatFromContent()
{
    QFETCH(bool, pcapng);
    QFETCH(QString, extension);

    trace::Frame extended = frame(0x1abcdef0, 700, false, "\xde\xad\xbe\xef");
    extended.extended = true;
    const QList<trace::Frame> frames = { frame(0x123, 0, false, "\x11\x22"), extended,
                                         frame(0x7ff, 900, true) };
    const QString classic = writeTrace(frames, "pcap");
    QVERIFY(!classic.isEmpty());
    ReplayOptions options;
    options.path = dir.filePath(QStringLiteral("capture-%1.%2").arg(QTest::currentDataTag(),
                                                                      extension));
    if (pcapng) {
        const QString editcap = QStandardPaths::findExecutable("editcap");
        if (editcap.isEmpty())
            QSKIP("editcap (wireshark-common) is not installed");
        QCOMPARE(QProcess::execute(editcap, { "-F", "pcapng", classic, options.path }), 0);
    } else {
        QVERIFY(QFile::copy(classic, options.path));
    }
    options.speed = 100;
    QString error;
    QVERIFY2(replay->start(options, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);

    QVERIFY2(finished.first().error.isEmpty(), qPrintable(finished.first().error));
    QCOMPARE(finished.first().skipped, qint64(0));
    const QList<CanFrameRecord> written = FakeCanable::writtenFrames();
    QCOMPARE(written.size(), frames.size());
    for (int i = 0; i < written.size(); ++i) {
        QCOMPARE(written.at(i).id, frames.at(i).id);
        QCOMPARE(bool(written.at(i).extended), frames.at(i).extended);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(written.at(i).data),
                            written.at(i).dlc),
                 QByteArray(reinterpret_cast<const char *>(frames.at(i).data),
                            frames.at(i).dlc));
    }
}

void tst_Replay::refusedWritesShowAsFailed()
{
    FakeCanable::refuseWriteNumber(1);
    ReplayOptions options;
    options.path = writeTrace({ frame(0x1, 0), frame(0x2, 10), frame(0x3, 20) }, "log");
    options.speed = 100;
    QString error;
    QVERIFY2(replay->start(options, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);

    QCOMPARE(finished.first().sent, qint64(2));
    QCOMPARE(finished.first().failed, qint64(1));
    QCOMPARE(announced.size(), 3);
    QCOMPARE(announced.at(1).id, 0x2u);
    QVERIFY(!announced.at(1).success);
    QVERIFY(announced.at(2).success);
}

void tst_Replay::loopStartsOver()
{
    ReplayOptions options;
    options.path = writeTrace({ frame(0x1, 0), frame(0x2, 100), frame(0x3, 200) }, "log");
    options.speed = 100;
    options.loop = true;
    QString error;
    QVERIFY2(replay->start(options, &error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::writtenFrames().size() >= 7, 30000);
    replay->stop();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);

    const QList<uint> ids = writtenIds();
    for (int i = 0; i < ids.size(); ++i)
        QCOMPARE(ids.at(i), uint(i % 3 + 1));
    QVERIFY(finished.first().stopped);
    QCOMPARE(finished.first().pass, (ids.size() - 1) / 3 + 1);
}

void tst_Replay::loopWithNothingToSendEnds()
{
    ReplayOptions options;
    options.path = writeTrace({ errorEvent(0), errorEvent(5) }, "log");
    options.loop = true;
    QString error;
    QVERIFY2(replay->start(options, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    QVERIFY(!finished.first().stopped);
    QCOMPARE(finished.first().skipped, qint64(2));
    QCOMPARE(FakeCanable::callCount("write"), 0);
}

// The stop runs on a thread of its own, so that a replay stuck in its gap fails the test
// rather than hanging it.
void tst_Replay::stopInLongGapReturnsAtOnce()
{
    ReplayOptions options;
    options.path = writeTrace({ frame(0x1, 0), frame(0x2, 3600000000) }, "log");
    QString error;
    QVERIFY2(replay->start(options, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(FakeCanable::writtenFrames().size(), 1, 30000);

    std::atomic<bool> stopped { false };
    auto stopping = std::async(std::launch::async, [&] {
        replay->stop();
        stopped = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(stopped.load(), 10000);
    QVERIFY(!thread->isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QVERIFY(finished.first().stopped);
    QCOMPARE(writtenIds(), QList<uint>{ 0x1 });
}

void tst_Replay::windowStopsReplay_data()
{
    using tracebuilders::Stretch;
    QTest::addColumn<QString>("how");
    // Between the two frames: an hour, or gigabytes of the file without a frame.
    QTest::addColumn<QString>("between");
    QTest::addColumn<int>("stretch");
    QTest::addColumn<int>("gib");
    const struct
    {
        const char *name;
        const char *between;
        Stretch stretch;
        int gib;
    } gaps[] = { { "", "hour", Stretch::Zeros, 0 },
                 { "，64 GiB 的零", "log", Stretch::Zeros, 64 },
                 { "，20 GiB 的压缩零", "blf", Stretch::BlfBomb, 20 } };
    for (const auto &gap : gaps) {
        const QString name = QString::fromUtf8(gap.name);
        QTest::newRow(qPrintable("停止回放" + name)) << "action" << gap.between
                                                     << int(gap.stretch) << gap.gib;
        QTest::newRow(qPrintable("关闭设备" + name)) << "close device" << gap.between
                                                     << int(gap.stretch) << gap.gib;
        QTest::newRow(qPrintable("关闭窗口" + name)) << "close window" << gap.between
                                                     << int(gap.stretch) << gap.gib;
    }
}

void tst_Replay::windowStopsReplay()
{
    QFETCH(QString, how);
    QFETCH(QString, between);
    QFETCH(int, stretch);
    QFETCH(int, gib);
    openDevice();
    ReplayOptions options;
    if (between == "hour") {
        options.path = writeTrace({ frame(0x1, 0), frame(0x2, 3600000000) }, "log");
    } else {
        options.path = dir.filePath("stretch." + between);
        QVERIFY(tracebuilders::writeStretchedTrace(options.path,
                                                   tracebuilders::Stretch(stretch), gib));
    }
    QVERIFY(window->findChild<TraceMenu *>()->replayTrace(options));
    QAction *stop = window->findChild<QAction *>("actionStopReplay");
    QVERIFY(stop->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(FakeCanable::writtenFrames().size(), 1, 30000);

    // The stop waits for the replay's thread on the window's; a reader that does not see
    // it inside the stretch would freeze the window until the stretch is read.
    QElapsedTimer timer;
    timer.start();
    if (how == "action")
        stop->trigger();
    else if (how == "close device")
        QTest::mouseClick(window->findChild<QPushButton *>("btnClose"), Qt::LeftButton);
    else
        window->close();
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
    QVERIFY(!thread->isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QVERIFY(finished.first().stopped);
    QTRY_VERIFY(!stop->isEnabled());
    // Inside a stretch the reader may have counted what it passed over.
    if (between == "hour")
        QCOMPARE(statusText(), QStringLiteral("回放已停止：已发送 1 帧"));
    else
        QVERIFY2(statusText().startsWith(QStringLiteral("回放已停止：已发送 1 帧")),
                 qPrintable(statusText()));
    QCOMPARE(writtenIds(), QList<uint>{ 0x1 });
    if (between != "hour")
        QFile::remove(options.path);
}

void tst_Replay::refusals_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message");

    QTest::newRow("no device") << "no device" << "设备未打开，不能回放记录";
    QTest::newRow("panel sending") << "sending" << "不能回放记录：正在发送，请先停止发送";
    QTest::newRow("unknown type") << "txt" << "不是可回放的记录文件";
    QTest::newRow("missing file") << "missing" << "无法打开";
    QTest::newRow("speed out of range") << "speed" << "速度倍数须在 0.1 到 100 之间";
}

void tst_Replay::refusals()
{
    QFETCH(QString, situation);
    QFETCH(QString, message);

    ReplayOptions options;
    options.path = writeTrace({ frame(0x1, 0) }, "log");
    if (situation == "no device") {
        window = std::make_unique<MainWindow>();
        // The action refuses before any file dialog opens, which would block here.
        window->findChild<QAction *>("actionReplayTrace")->trigger();
        QCOMPARE(statusText(), message);
    } else {
        openDevice();
    }
    if (situation == "sending") {
        SendFrame longSend;
        longSend.data = "\x01";
        longSend.framesPerSend = 1;
        longSend.repeatCount = 1000;
        longSend.interval = 100000;
        thread->startSend({ longSend }, 1);
    } else if (situation == "txt") {
        options.path = dir.filePath("notes.txt");
    } else if (situation == "missing") {
        options.path = dir.filePath("gone.log");
    } else if (situation == "speed") {
        options.speed = 0;
    }
    QVERIFY(!window->findChild<TraceMenu *>()->replayTrace(options));
    QVERIFY2(statusText().contains(message), qPrintable(statusText()));
    QVERIFY(!replay->isRunning());
    QVERIFY(!window->findChild<QAction *>("actionStopReplay")->isEnabled());
    if (situation != "sending")
        QCOMPARE(FakeCanable::callCount("write"), 0);
}

void tst_Replay::panelRefusesToSendDuringReplay()
{
    openDevice();
    ReplayOptions options;
    options.path = writeTrace({ frame(0x1, 0), frame(0x2, 3600000000) }, "log");
    QVERIFY(window->findChild<TraceMenu *>()->replayTrace(options));
    QTRY_COMPARE_WITH_TIMEOUT(FakeCanable::writtenFrames().size(), 1, 30000);

    auto *panel = window->findChild<DataSendWidget *>();
    QSignalSpy said(panel, &DataSendWidget::statusMessage);
    for (const char *button : { "btnSend", "btnSendList" }) {
        QTest::mouseClick(panel->findChild<QPushButton *>(button), Qt::LeftButton);
        QCOMPARE(said.takeLast().first().toString(),
                 QStringLiteral("正在回放记录，请先停止回放再发送"));
    }
    QVERIFY(replay->isRunning());
    QCOMPARE(writtenIds(), QList<uint>{ 0x1 });
}

void tst_Replay::speedTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("speed");

    QTest::newRow("ASCII") << "2.5" << 2.5;
    QTest::newRow("full-width digits") << "２.５" << 2.5;
    QTest::newRow("full-width point") << "１２．２５" << 12.25;
    QTest::newRow("letters are no speed") << "ｘ" << 1.0;
}

// The speed field takes what an input method in full-width mode types.
void tst_Replay::speedTyped()
{
    QFETCH(QString, typed);

    ReplayOptions options;
    options.speed = 1.0;
    ReplayDialog dialog(options);
    auto edit = dialog.findChild<QDoubleSpinBox *>("spnSpeed")->findChild<QLineEdit *>();
    edit->selectAll();
    edit->insert(typed);
    QTEST(dialog.options().speed, "speed");
}

QTEST_MAIN(tst_Replay)
#include "tst_replay.moc"
