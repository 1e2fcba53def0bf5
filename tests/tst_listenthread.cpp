#include "device/listenthread.h"
#include "tests/fake/fakecanable.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <cstring>

#include <time.h>

Q_DECLARE_METATYPE(CanFrameRecord)
Q_DECLARE_METATYPE(CanFdFrameRecord)

// What the listen thread emitted, delivered to the test thread. QSignalSpy would record on
// the emitting thread and race with the test's reads.
class Recorder : public QObject
{
public:
    explicit Recorder(ListenThread *thread)
    {
        connect(thread, &ListenThread::openSuccess, this, [this] { ++opened; });
        connect(thread, &ListenThread::openFailed, this, [this] { ++failed; });
        connect(thread, &ListenThread::receiveMsgSignal, this,
                [this](const CanMessage &msg) { received.append(msg); });
        connect(thread, &ListenThread::errorEventSignal, this,
                [this](const CanMessage &msg) { errors.append(msg); });
    }

    int opened = 0;
    int failed = 0;
    QList<CanMessage> received;
    QList<CanMessage> errors;
};

class tst_ListenThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void closeWithoutSession();
    void openWhileReceiving();
    void initFailure();
    void receivedFrame_data();
    void receivedFrame();
    void framesKeepTheirOrder();
    void emptyReadsKeepCloseResponsive();
    void frameStamps_data();
    void frameStamps();
    void errorEventsApartFromFrames();
    void statusPublishedWhileOpen();
    void fdSession_data();
    void fdSession();
    void openOptionsReachLibrary_data();
    void openOptionsReachLibrary();

private:
    ListenThread *thread = ListenThread::instance();
};

void tst_ListenThread::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

void tst_ListenThread::init()
{
    FakeCanable::reset();
}

void tst_ListenThread::cleanup()
{
    thread->closeDevice();
    QVERIFY(!thread->isRunning());
}

void tst_ListenThread::closeWithoutSession()
{
    QSignalSpy closed(thread, &ListenThread::deviceClosed);
    thread->closeDevice();
    QCOMPARE(closed.count(), 1);
    QCOMPARE(FakeCanable::callCount("free"), 1);
    QCOMPARE(FakeCanable::callCount("init"), 0);
}

void tst_ListenThread::openWhileReceiving()
{
    Recorder recorder(thread);
    QSignalSpy closed(thread, &ListenThread::deviceClosed);

    thread->openDevice(500);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.opened, 1, 10000);
    QCOMPARE(closed.count(), 1);

    thread->openDevice(1000);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.opened, 2, 10000);
    QCOMPARE(closed.count(), 2);

    QStringList names;
    QList<unsigned int> bitrates;
    const QList<FakeCanable::Call> calls = FakeCanable::calls();
    for (const FakeCanable::Call &call : calls) {
        names << call.name;
        if (call.name == "init")
            bitrates << call.bitrate;
        QCOMPARE(call.deviceIndex, 0);
    }
    QCOMPARE(names, QStringList({ "free", "init", "free", "init" }));
    QCOMPARE(bitrates, QList<unsigned int>({ 500, 1000 }));
}

void tst_ListenThread::initFailure()
{
    FakeCanable::setInitResult(1);
    FakeCanable::queueFrame(FakeCanable::record(0x123, "\x01"));
    Recorder recorder(thread);

    thread->openDevice(250);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.failed, 1, 10000);
    QTRY_VERIFY(thread->isFinished());
    QCoreApplication::processEvents();
    QCOMPARE(recorder.failed, 1);
    QCOMPARE(recorder.opened, 0);
    QCOMPARE(recorder.received.size(), 0);
    QCOMPARE(FakeCanable::pendingFrames(), 1);

    QSignalSpy closed(thread, &ListenThread::deviceClosed);
    const int freesBefore = FakeCanable::callCount("free");
    thread->closeDevice();
    QCOMPARE(FakeCanable::callCount("free"), freesBefore + 1);
    QCOMPARE(closed.count(), 1);
}

void tst_ListenThread::receivedFrame_data()
{
    QTest::addColumn<CanFrameRecord>("record");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<bool>("remote");

    QTest::newRow("extended id masked to 29 bits")
        << FakeCanable::record(0xFFFFFFFF, "\x11\x22", true) << 0x1FFFFFFFu
        << QByteArray("\x11\x22") << true << false;
    QTest::newRow("standard id not masked")
        << FakeCanable::record(0x800, "\xAA") << 0x800u << QByteArray("\xAA") << false << false;
    // A mask of every record to 29 bits would still pass the row above.
    QTest::newRow("standard id with bits above 29 not masked")
        << FakeCanable::record(0xE0000123, "\x01") << 0xE0000123u << QByteArray("\x01") << false
        << false;
    QTest::newRow("no data bytes")
        << FakeCanable::record(0x7DF, QByteArray()) << 0x7DFu << QByteArray() << false << false;
    QTest::newRow("eight bytes")
        << FakeCanable::record(0x18DAF110, QByteArray::fromHex("0102030405060708"), true)
        << 0x18DAF110u << QByteArray::fromHex("0102030405060708") << true << false;
    QTest::newRow("remote frame keeps its data bytes")
        << FakeCanable::record(0x321, QByteArray::fromHex("aabbcc"), false, true) << 0x321u
        << QByteArray::fromHex("aabbcc") << false << true;

    CanFrameRecord oversized = FakeCanable::record(0x100, QByteArray::fromHex("0102030405060708"));
    oversized.dlc = 15;
    QTest::newRow("length above eight clamped to the record")
        << oversized << 0x100u << QByteArray::fromHex("0102030405060708") << false << false;
}

void tst_ListenThread::receivedFrame()
{
    QFETCH(CanFrameRecord, record);
    QFETCH(quint32, id);
    QFETCH(QByteArray, data);
    QFETCH(bool, extended);
    QFETCH(bool, remote);

    Recorder recorder(thread);
    FakeCanable::queueFrame(record);
    thread->openDevice(1000);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.received.size(), 1, 10000);

    const CanMessage msg = recorder.received.at(0);
    QCOMPARE(msg.direction, quint8(0));
    QCOMPARE(msg.id, id);
    QCOMPARE(msg.data, data);
    QCOMPARE(msg.dlc, data.size());
    QCOMPARE(msg.extended, extended);
    QCOMPARE(msg.remote, remote);
    QVERIFY(msg.success);
    QVERIFY(msg.time.isValid());
}

void tst_ListenThread::framesKeepTheirOrder()
{
    QList<CanFrameRecord> frames;
    for (int i = 0; i < 500; ++i)
        frames << FakeCanable::record(quint32(i), QByteArray(1, char(i)));
    Recorder recorder(thread);
    FakeCanable::queueFrames(frames);
    thread->openDevice(1000);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.received.size(), frames.size(), 20000);
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(recorder.received.at(i).id, quint32(i));
}

void tst_ListenThread::emptyReadsKeepCloseResponsive()
{
    Recorder recorder(thread);
    thread->openDevice(1000);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.opened, 1, 10000);
    QVERIFY(thread->isRunning());

    QSignalSpy closed(thread, &ListenThread::deviceClosed);
    thread->closeDevice();
    QVERIFY(!thread->isRunning());
    QCOMPARE(closed.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(recorder.received.size(), 0);
}

namespace {

qint64 wallClockUsecs()
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

void tst_ListenThread::frameStamps_data()
{
    QTest::addColumn<bool>("withCalls");
    QTest::addColumn<qint64>("libraryStamp");
    QTest::newRow("library stamps") << true << qint64(1700000000123456);
    QTest::newRow("library has no stamp for the frame") << true << qint64(0);
    QTest::newRow("library without the call") << false << qint64(0);
}

void tst_ListenThread::frameStamps()
{
    QFETCH(bool, withCalls);
    QFETCH(qint64, libraryStamp);
    if (withCalls)
        FakeCanable::installAdditionalCalls();
    Recorder recorder(thread);
    const qint64 before = wallClockUsecs();
    FakeCanable::queueStampedFrame(FakeCanable::record(0x10, "\x01"), libraryStamp);
    thread->openDevice(500);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.received.size(), 1, 10000);
    const qint64 after = wallClockUsecs();
    const qint64 stamp = recorder.received.at(0).timestampUs;
    if (libraryStamp != 0)
        QCOMPARE(stamp, libraryStamp);
    else
        QVERIFY2(stamp >= before && stamp <= after, qPrintable(QString::number(stamp)));
}

void tst_ListenThread::errorEventsApartFromFrames()
{
    FakeCanable::installAdditionalCalls();
    Recorder recorder(thread);
    const int events = 1000; // more than one pass of the read loop takes
    for (int i = 0; i < events; ++i)
        FakeCanable::queueErrorEvent(0x80 | quint32(i % 2) << 3, QByteArray(1, char(i)),
                                     i % 2 ? 0 : 1600000000000000 + i);
    FakeCanable::queueFrame(FakeCanable::record(0x55, "\xaa"));
    thread->openDevice(500);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.errors.size(), events, 20000);
    QTRY_COMPARE(recorder.received.size(), 1);
    QCOMPARE(recorder.received.at(0).error, false);
    for (int i = 0; i < events; ++i) {
        const CanMessage &msg = recorder.errors.at(i);
        QVERIFY(msg.error);
        QCOMPARE(msg.errorClass, 0x80 | quint32(i % 2) << 3);
        QCOMPARE(msg.data.size(), 8);
        QCOMPARE(quint8(msg.data.at(0)), quint8(i));
        QVERIFY(msg.time.isValid());
        if (i % 2 == 0)
            QCOMPARE(msg.timestampUs, 1600000000000000 + i);
        else
            QVERIFY(msg.timestampUs > 1600000000000000);
    }
}

void tst_ListenThread::statusPublishedWhileOpen()
{
    FakeCanable::installAdditionalCalls();
    QVERIFY(!thread->busStatus().known);
    FakeCanable::setStatus(FakeCanable::status(CANABLE_STATE_ERROR_PASSIVE, 130, 4, 9));
    thread->openDevice(250);
    QTRY_VERIFY_WITH_TIMEOUT(thread->busStatus().known, 10000);
    QCOMPARE(thread->busStatus().report.txErrors, 130);
    QCOMPARE(thread->busStatus().report.kernelDrops, quint64(9));
    QCOMPARE(thread->sessionBitrate(), 250u);

    FakeCanable::setStatusResult(1);
    QTRY_VERIFY_WITH_TIMEOUT(!thread->busStatus().known, 10000);
    FakeCanable::setStatusResult(0);
    QTRY_VERIFY_WITH_TIMEOUT(thread->busStatus().known, 10000);
    thread->closeDevice();
    QVERIFY(!thread->busStatus().known);
    QCOMPARE(thread->sessionBitrate(), 0u);
}

namespace {

CanFdFrameRecord fdRecord(quint32 id, quint8 flags, const QByteArray &data)
{
    CanFdFrameRecord record = {};
    record.id = id;
    record.flags = flags;
    record.len = quint8(data.size());
    std::memcpy(record.data, data.constData(), size_t(data.size()));
    return record;
}

} // namespace

void tst_ListenThread::fdSession_data()
{
    QTest::addColumn<bool>("libraryHasFd");
    QTest::addColumn<CanFdFrameRecord>("record");
    QTest::addColumn<QString>("expected"); // empty: the open fails

    const QByteArray bytes64 = QByteArray::fromHex(QByteArray("0123456789abcdef").repeated(8));
    QTest::newRow("64 bytes BRS")
        << true << fdRecord(0x123, CANABLE_FD_FDF | CANABLE_FD_BRS, bytes64)
        << QString::fromLatin1("123 fd brs - 64 " + bytes64.toHex());
    QTest::newRow("12 bytes ESI extended")
        << true << fdRecord(0x1ABCDEF0, CANABLE_FD_FDF | CANABLE_FD_ESI | CANABLE_FD_EXT,
                            bytes64.left(12))
        << QString::fromLatin1("1abcdef0x fd - esi 12 " + bytes64.left(12).toHex());
    QTest::newRow("FD without data")
        << true << fdRecord(0x7FF, CANABLE_FD_FDF, QByteArray()) << QString("7ff fd - - 0 ");
    // A classic remote frame on an FD device stays classic, BRS and ESI do not stick to it.
    QTest::newRow("classic remote")
        << true << fdRecord(0x321, CANABLE_FD_RTR | CANABLE_FD_BRS, QByteArray(3, 0))
        << QString("321 remote - - 3 000000");
    QTest::newRow("library without FD calls")
        << false << fdRecord(0x123, CANABLE_FD_FDF, QByteArray(8, 1)) << QString();
}

// A session opened with a data rate goes through the FD calls and delivers every byte and
// flag; without the calls it fails rather than silently opening a classic device.
void tst_ListenThread::fdSession()
{
    QFETCH(bool, libraryHasFd);
    QFETCH(CanFdFrameRecord, record);
    QFETCH(QString, expected);

    FakeCanable::installAdditionalCalls();
    if (!libraryHasFd)
        adapterCalls().readMessageFD = nullptr;
    FakeCanable::queueFdFrames({ record });
    QString failure;
    connect(thread, &ListenThread::openFailed, this,
            [&](quint64, const QString &text) { failure = text; });
    Recorder recorder(thread);
    ListenThread::OpenOptions options;
    options.bitrate = 500;
    options.dataBitrate = 2000;
    thread->openDevice(options);
    if (expected.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(failure, QString("适配器库不支持 CAN FD"), 10000);
        disconnect(thread, nullptr, this, nullptr);
        QCOMPARE(FakeCanable::callCount("initFD") + FakeCanable::callCount("init"), 0);
        return;
    }
    disconnect(thread, nullptr, this, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.received.size(), 1, 10000);
    QCOMPARE(thread->sessionDataBitrate(), 2000u);
    const CanMessage msg = recorder.received.at(0);
    const QString seen = QStringLiteral("%1%2 %3 %4 %5 %6 %7")
            .arg(msg.id, 0, 16).arg(msg.extended ? "x" : "")
            .arg(msg.fd ? "fd" : msg.remote ? "remote" : "classic")
            .arg(msg.brs ? "brs" : "-").arg(msg.esi ? "esi" : "-").arg(msg.dlc)
            .arg(QString::fromLatin1(msg.data.toHex()));
    QCOMPARE(seen, expected);
    const QList<FakeCanable::Call> calls = FakeCanable::calls();
    const auto init = std::find_if(calls.begin(), calls.end(),
                                   [](const FakeCanable::Call &c) { return c.name == "initFD"; });
    QVERIFY(init != calls.end());
    QCOMPARE(init->bitrate, 500u);
    QCOMPARE(init->dataBitrate, 2000u);
    thread->closeDevice();
    QCOMPARE(thread->sessionDataBitrate(), 0u);
}

void tst_ListenThread::openOptionsReachLibrary_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("listenOnly");
    QTest::addColumn<int>("selectResult");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("reason");

    QTest::newRow("interface and normal mode")
        << QByteArray("can1") << false << 0
        << QStringList{ "free", "select", "listenOnly", "receiveFilter", "init" }
        << "";
    QTest::newRow("default interface, listen-only")
        << QByteArray() << true << 0
        << QStringList{ "free", "select", "listenOnly", "receiveFilter", "init" }
        << "";
    QTest::newRow("selection refused")
        << QByteArray("can9") << false << 1 << QStringList{ "free", "select" }
        << "无法选择接口 can9：No such device";
}

void tst_ListenThread::openOptionsReachLibrary()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, listenOnly);
    QFETCH(int, selectResult);
    QFETCH(QStringList, calls);
    QFETCH(QString, reason);

    FakeCanable::installAdditionalCalls();
    FakeCanable::setSelectResult(selectResult);
    FakeCanable::setLastError("No such device");
    QList<QPair<quint64, QString>> failures;
    QList<quint64> successes;
    connect(thread, &ListenThread::openFailed, this,
            [&](quint64 session, const QString &text) { failures.append({ session, text }); });
    connect(thread, &ListenThread::openSuccess, this,
            [&](quint64 session) { successes.append(session); });

    ListenThread::OpenOptions options;
    options.bitrate = 100;
    options.chooseInterface = true;
    options.interfaceName = name;
    options.listenOnly = listenOnly;
    const quint64 session = thread->openDevice(options);
    QTRY_COMPARE_WITH_TIMEOUT(failures.size() + successes.size(), 1, 10000);
    disconnect(thread, nullptr, this, nullptr);

    QStringList names;
    for (const FakeCanable::Call &call : FakeCanable::calls()) {
        names << call.name;
        if (call.name == "select")
            QCOMPARE(call.interfaceName, name);
        if (call.name == "listenOnly")
            QCOMPARE(call.enabled, listenOnly);
    }
    QCOMPARE(names, calls);
    QCOMPARE(session, thread->session());
    if (reason.isEmpty()) {
        QCOMPARE(successes, QList<quint64>{ session });
    } else {
        QCOMPARE(failures.size(), 1);
        QCOMPARE(failures.at(0).first, session);
        QCOMPARE(failures.at(0).second, reason);
    }
}

QTEST_GUILESS_MAIN(tst_ListenThread)
#include "tst_listenthread.moc"
