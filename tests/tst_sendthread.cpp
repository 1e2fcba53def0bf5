#include "tests/fake/fakecanable.h"
#include "device/listenthread.h"
#include "transmit/sendthread.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(SendFrame)

namespace {

SendFrame entry(quint32 id, int framesPerSend, int repeatCount, int interval,
                const QByteArray &data = QByteArray(1, '\x5a'))
{
    SendFrame frame;
    frame.id = id;
    frame.data = data;
    frame.framesPerSend = framesPerSend;
    frame.repeatCount = repeatCount;
    frame.interval = interval;
    return frame;
}

// The debug lines the send thread writes on its own thread.
struct Observed
{
    QMutex mutex;
    QStringList debugLines;
};

Observed &observed()
{
    static Observed o;
    return o;
}

QtMessageHandler testlibHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg) {
        testlibHandler(type, context, text);
        return;
    }
    QMutexLocker locker(&observed().mutex);
    observed().debugLines << text;
}

QList<uint> writtenIds()
{
    QList<uint> ids;
    const QList<CanFrameRecord> written = FakeCanable::writtenFrames();
    for (const CanFrameRecord &record : written)
        ids << record.id;
    return ids;
}

int debugLinesSaying(const QString &text)
{
    QMutexLocker locker(&observed().mutex);
    return observed().debugLines.count(text);
}

} // namespace

class tst_SendThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void sendOrder_data();
    void sendOrder();
    void recordFields_data();
    void recordFields();
    void failedWrites_data();
    void failedWrites();
    void fdWrites_data();
    void fdWrites();
    void stopSend_data();
    void stopSend();
    void stopInsideLongTick_data();
    void stopInsideLongTick();
    void restartEndsRunningSendSilently();
    void emptyListEndsSilently();
    void quittingApplicationEndsSend();

private:
    void startLongSendAndWaitForFirstTick();

    SendThread *thread = SendThread::instance();
    QList<CanMessage> announced;
    int started = 0;
    int finished = 0;
};

void tst_SendThread::initTestCase()
{
    // The hub registers the type in the application; this test runs without a hub.
    qRegisterMetaType<CanMessage>("CanMessage");
    testlibHandler = qInstallMessageHandler(recordMessage);
    connect(thread, &SendThread::sendMsgSignal, this,
            [this](const CanMessage &msg) { announced << msg; });
    connect(thread, &SendThread::sendStarted, this, [this] { ++started; });
    connect(thread, &SendThread::sendFinished, this, [this] { ++finished; });
}

// Everything a test leaves behind is reset once the send thread has been joined, so that
// nothing the thread wrote is left for the process exit to tear down.
void tst_SendThread::cleanup()
{
    thread->stopSend();
    FakeCanable::reset();
    QCoreApplication::sendPostedEvents();
    announced.clear();
    started = finished = 0;
    QMutexLocker locker(&observed().mutex);
    observed().debugLines.clear();
}

void tst_SendThread::sendOrder_data()
{
    QTest::addColumn<QList<SendFrame>>("frames");
    QTest::addColumn<int>("passes");
    QTest::addColumn<QList<uint>>("expectedIds");

    QTest::newRow("one entry, three copies, one tick")
            << QList<SendFrame>{ entry(0x10, 3, 1, 40) } << 1
            << QList<uint>{ 0x10, 0x10, 0x10 };
    QTest::newRow("two entries, two passes")
            << QList<SendFrame>{ entry(0x1, 1, 2, 20), entry(0x2, 2, 1, 30) } << 2
            << QList<uint>{ 1, 1, 2, 2, 1, 1, 2, 2 };
    QTest::newRow("entry without repeats takes no tick")
            << QList<SendFrame>{ entry(0x1, 1, 0, 50), entry(0x2, 1, 1, 7) } << 1
            << QList<uint>{ 2 };
    QTest::newRow("entry without copies keeps its ticks")
            << QList<SendFrame>{ entry(0x1, 0, 2, 5), entry(0x2, 1, 1, 9) } << 1
            << QList<uint>{ 2 };
    QTest::newRow("no passes") << QList<SendFrame>{ entry(0x1, 1, 1, 5) } << 0
                               << QList<uint>();
    QTest::newRow("negative passes") << QList<SendFrame>{ entry(0x1, 1, 1, 5) } << -1
                                     << QList<uint>();
    QTest::newRow("no entry with repeats")
            << QList<SendFrame>{ entry(0x1, 1, 0, 5), entry(0x2, 1, -1, 5) } << 3
            << QList<uint>();
    QTest::newRow("negative interval counts as none")
            << QList<SendFrame>{ entry(0x1, 1, 2, -5) } << 1
            << QList<uint>{ 1, 1 };
}

void tst_SendThread::sendOrder()
{
    QFETCH(QList<SendFrame>, frames);
    QFETCH(int, passes);
    QFETCH(QList<uint>, expectedIds);

    thread->startSend(frames, passes);
    QTRY_VERIFY_WITH_TIMEOUT(finished >= 1, 30000);
    QVERIFY(thread->wait(30000));
    QCOMPARE(finished, 1);

    QCOMPARE(writtenIds(), expectedIds);
    QCOMPARE(announced.size(), expectedIds.size());
    QCOMPARE(started, 1);
    QCOMPARE(debugLinesSaying("执行完毕"), 1);
}

void tst_SendThread::recordFields_data()
{
    QTest::addColumn<uint>("id");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<bool>("remote");

    QTest::newRow("standard data frame") << 0x123u << QByteArray::fromHex("0102a0") << false
                                         << false;
    QTest::newRow("extended remote frame") << 0x1abcdef0u << QByteArray() << true << true;
    QTest::newRow("eight bytes") << 0x7ffu << QByteArray::fromHex("ffeeddccbbaa9988") << false
                                 << false;
    QTest::newRow("highest extended identifier") << 0x1fffffffu << QByteArray(1, '\0')
                                                 << true << false;
}

void tst_SendThread::recordFields()
{
    QFETCH(uint, id);
    QFETCH(QByteArray, data);
    QFETCH(bool, extended);
    QFETCH(bool, remote);

    SendFrame frame = entry(id, 1, 1, 0, data);
    frame.extended = extended;
    frame.remote = remote;
    const qint64 beforeUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    thread->startSend({ frame }, 1);
    QTRY_VERIFY_WITH_TIMEOUT(!announced.isEmpty(), 30000);
    QVERIFY(thread->wait(30000));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(announced.size(), 1);
    const qint64 afterUs = (QDateTime::currentMSecsSinceEpoch() + 1) * 1000;

    const QList<CanFrameRecord> written = FakeCanable::writtenFrames();
    QCOMPARE(written.size(), 1);
    const CanFrameRecord &record = written.first();
    QCOMPARE(record.id, id);
    QCOMPARE(int(record.dlc), data.size());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(record.data), 8),
             data + QByteArray(8 - data.size(), '\0'));
    QCOMPARE(bool(record.extended), extended);
    QCOMPARE(bool(record.remote), remote);

    const CanMessage &msg = announced.first();
    QCOMPARE(int(msg.direction), 1);
    QCOMPARE(msg.id, id);
    QCOMPARE(msg.dlc, data.size());
    QCOMPARE(msg.data, data);
    QCOMPARE(msg.extended, extended);
    QCOMPARE(msg.remote, remote);
    QVERIFY(msg.success);
    QVERIFY(msg.time.isValid());
    QVERIFY2(msg.timestampUs >= beforeUs && msg.timestampUs <= afterUs,
             qPrintable(QString::number(msg.timestampUs)));
}

void tst_SendThread::fdWrites_data()
{
    QTest::addColumn<bool>("fdDevice");
    QTest::addColumn<bool>("fd");
    QTest::addColumn<bool>("brs");
    QTest::addColumn<bool>("remote");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QByteArray>("data");
    // "fd <flags> <len> <data>" for an FD-call write, "classic <dlc> <data>" for a classic
    // one, "refused" when nothing reached the library.
    QTest::addColumn<QString>("written");

    const QByteArray bytes64 = QByteArray::fromHex(QByteArray("a5").repeated(64));
    QTest::newRow("64 bytes with BRS on an FD device")
        << true << true << true << false << false << bytes64
        << "fd 3 64 " + QString(bytes64.toHex());
    QTest::newRow("extended FD frame without BRS")
        << true << true << false << false << true << QByteArray::fromHex("010203040506070809"
                                                                         "0a0b0c")
        << "fd 9 12 0102030405060708090a0b0c";
    QTest::newRow("classic frame on an FD device")
        << true << false << false << false << false << QByteArray::fromHex("0102")
        << "fd 0 2 0102";
    QTest::newRow("classic remote frame on an FD device")
        << true << false << false << true << false << QByteArray(4, '\0') << "fd 16 4 00000000";
    QTest::newRow("FD frame on a classic device")
        << false << true << false << false << false << QByteArray::fromHex("01") << "refused";
    QTest::newRow("classic frame on a classic device")
        << false << false << false << false << false << QByteArray::fromHex("0102")
        << "classic 2 0102";
    QTest::newRow("more than 64 bytes")
        << true << true << false << false << false << QByteArray(65, '\1') << "refused";
}

// On a device opened in FD mode every frame goes through the FD call with its flags; a
// classic device never gets an FD frame.
void tst_SendThread::fdWrites()
{
    QFETCH(bool, fdDevice);
    QFETCH(bool, fd);
    QFETCH(bool, brs);
    QFETCH(bool, remote);
    QFETCH(bool, extended);
    QFETCH(QByteArray, data);
    QFETCH(QString, written);

    FakeCanable::installAdditionalCalls();
    ListenThread *listen = ListenThread::instance();
    ListenThread::OpenOptions options;
    options.bitrate = 500;
    options.dataBitrate = fdDevice ? 2000 : 0;
    bool opened = false;
    connect(listen, &ListenThread::openSuccess, this, [&opened] { opened = true; });
    listen->openDevice(options);
    QTRY_VERIFY_WITH_TIMEOUT(opened, 30000);
    disconnect(listen, nullptr, this, nullptr);

    SendFrame frame = entry(0x123, 1, 1, 0, data);
    frame.fd = fd;
    frame.brs = brs;
    frame.remote = remote;
    frame.extended = extended;
    thread->startSend({ frame }, 1);
    QTRY_VERIFY_WITH_TIMEOUT(!announced.isEmpty(), 30000);
    QVERIFY(thread->wait(30000));
    listen->closeDevice();
    QCoreApplication::sendPostedEvents();

    QStringList seen;
    for (const CanFdFrameRecord &r : FakeCanable::writtenFdFrames()) {
        seen << QStringLiteral("fd %1 %2 %3").arg(r.flags).arg(r.len)
                        .arg(QString(QByteArray(reinterpret_cast<const char *>(r.data), r.len)
                                             .toHex()));
    }
    for (const CanFrameRecord &r : FakeCanable::writtenFrames()) {
        seen << QStringLiteral("classic %1 %2").arg(r.dlc)
                        .arg(QString(QByteArray(reinterpret_cast<const char *>(r.data), r.dlc)
                                             .toHex()));
    }
    QCOMPARE(seen.join('|'), written == "refused" ? QString() : written);
    QCOMPARE(announced.size(), 1);
    const CanMessage &msg = announced.first();
    QCOMPARE(msg.success, written != "refused");
    QCOMPARE(msg.fd, fd);
    QCOMPARE(msg.brs, fd && brs);
    QCOMPARE(msg.data, data);
}

void tst_SendThread::failedWrites_data()
{
    QTest::addColumn<uint>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<bool>("sendable");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("refusedWrite");
    QTest::addColumn<QList<bool>>("successes");
    QTest::addColumn<int>("adapterWrites");

    const QByteArray twoBytes = QByteArray::fromHex("0102");
    const QList<bool> threeFailed = { false, false, false };
    QTest::newRow("adapter refuses the second write")
            << 0x42u << false << true << twoBytes << 1 << QList<bool>{ true, false, true }
            << 3;
    QTest::newRow("nine bytes never reach the adapter")
            << 0x42u << false << true << QByteArray::fromHex("010203040506070809") << -1
            << threeFailed << 0;
    QTest::newRow("standard identifier above 0x7ff")
            << 0x800u << false << true << twoBytes << -1 << threeFailed << 0;
    QTest::newRow("identifier not masked into range")
            << 0xffffffffu << false << true << twoBytes << -1 << threeFailed << 0;
    QTest::newRow("extended identifier above 29 bits")
            << 0x20000000u << true << true << twoBytes << -1 << threeFailed << 0;
    QTest::newRow("row that describes no frame")
            << 0x42u << false << false << twoBytes << -1 << threeFailed << 0;
}

void tst_SendThread::failedWrites()
{
    QFETCH(uint, id);
    QFETCH(bool, extended);
    QFETCH(bool, sendable);
    QFETCH(QByteArray, data);
    QFETCH(int, refusedWrite);
    QFETCH(QList<bool>, successes);
    QFETCH(int, adapterWrites);

    FakeCanable::refuseWriteNumber(refusedWrite);
    SendFrame frame = entry(id, successes.size(), 1, 0, data);
    frame.extended = extended;
    frame.sendable = sendable;
    thread->startSend({ frame }, 1);
    QTRY_VERIFY_WITH_TIMEOUT(finished >= 1, 30000);
    QVERIFY(thread->wait(30000));
    QCOMPARE(finished, 1);
    QCOMPARE(announced.size(), successes.size());

    QCOMPARE(FakeCanable::callCount("write"), adapterWrites);
    QList<bool> announcedSuccesses;
    for (const CanMessage &msg : qAsConst(announced)) {
        announcedSuccesses << msg.success;
        QCOMPARE(msg.data, data);
        QCOMPARE(msg.dlc, data.size());
    }
    QCOMPARE(announcedSuccesses, successes);
    QCOMPARE(debugLinesSaying("发送失败"), int(successes.count(false)));
}

void tst_SendThread::startLongSendAndWaitForFirstTick()
{
    thread->startSend({ entry(0x1, 2, 1000, 3600 * 1000) }, 1);
    QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::callCount("write") >= 2, 30000);
    QCOMPARE(FakeCanable::callCount("write"), 2);
}

void tst_SendThread::stopSend_data()
{
    QTest::addColumn<bool>("sending");

    QTest::newRow("while sending") << true;
    QTest::newRow("while idle") << false;
}

void tst_SendThread::stopSend()
{
    QFETCH(bool, sending);

    if (sending)
        startLongSendAndWaitForFirstTick();
    const int writes = FakeCanable::callCount("write");
    thread->stopSend();

    QVERIFY(!thread->isRunning());
    QCOMPARE(finished, 1);
    QCOMPARE(FakeCanable::callCount("write"), writes);
    QTRY_COMPARE(announced.size(), writes);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(finished, 1);
    QCOMPARE(debugLinesSaying("执行完毕"), 0);
}

void tst_SendThread::stopInsideLongTick_data()
{
    QTest::addColumn<QString>("how");

    QTest::newRow("stop") << QStringLiteral("stop");
    QTest::newRow("new start") << QStringLiteral("start");
    QTest::newRow("application quits") << QStringLiteral("quit");
}

// Ten million copies take the fake adapter many seconds; whatever ends the send must cut
// the tick short, and nothing may be written once it has returned.
void tst_SendThread::stopInsideLongTick()
{
    QFETCH(QString, how);

    thread->startSend({ entry(0x1, 10000000, 1, 0) }, 1);
    QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::callCount("write") >= 100, 30000);
    if (how == QLatin1String("stop"))
        thread->stopSend();
    else if (how == QLatin1String("start"))
        thread->startSend({ entry(0x2, 0, 1, 0) }, 1);
    else
        QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit"));
    QVERIFY(thread->wait(30000));

    const int writes = FakeCanable::callCount("write");
    QVERIFY(writes < 10000000);
    QTRY_COMPARE(announced.size(), writes);
    QCoreApplication::processEvents();
    QCOMPARE(FakeCanable::callCount("write"), writes);
    QCOMPARE(announced.size(), writes);
    QCOMPARE(debugLinesSaying("执行完毕"), how == QLatin1String("start") ? 1 : 0);
}

void tst_SendThread::restartEndsRunningSendSilently()
{
    startLongSendAndWaitForFirstTick();
    thread->startSend({ entry(0x2, 1, 1, 0) }, 1);
    QTRY_VERIFY_WITH_TIMEOUT(finished >= 1, 30000);
    QVERIFY(thread->wait(30000));
    QCOMPARE(finished, 1);

    QCOMPARE(writtenIds(), QList<uint>({ 1, 1, 2 }));
    QCOMPARE(announced.size(), 3);
    QCOMPARE(started, 2);
    QCOMPARE(finished, 1);
}

void tst_SendThread::emptyListEndsSilently()
{
    thread->startSend({}, 5);
    QVERIFY(thread->wait(30000));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(started, 0);
    QCOMPARE(finished, 0);
}

void tst_SendThread::quittingApplicationEndsSend()
{
    startLongSendAndWaitForFirstTick();
    QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit"));
    QVERIFY(thread->isFinished());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(finished, 0);
    QCOMPARE(FakeCanable::callCount("write"), 2);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    tst_SendThread test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sendthread.moc"
