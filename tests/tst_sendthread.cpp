#include "fakecanable.h"
#include "sendthread.h"

#include <QCoreApplication>
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

// What the send thread shows of itself on its own thread: debug lines and the tick
// timer's state after each tick.
struct Observed
{
    QMutex mutex;
    QStringList debugLines;
    QList<int> intervalsAfterTicks;
    QList<Qt::TimerType> timerTypes;
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

// The tick timer is private to the send thread; watching its timer events from inside
// that thread reads its state at the moment each tick is over, without a race.
class TickWatchingApplication : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        const bool handled = QCoreApplication::notify(receiver, event);
        const auto timer = qobject_cast<QTimer *>(receiver);
        if (timer && event->type() == QEvent::Timer
                && qobject_cast<SendThread *>(QThread::currentThread())) {
            QMutexLocker locker(&observed().mutex);
            observed().intervalsAfterTicks << timer->interval();
            observed().timerTypes << timer->timerType();
        }
        return handled;
    }
};

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
    void stopSend_data();
    void stopSend();
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
    observed().intervalsAfterTicks.clear();
    observed().timerTypes.clear();
}

void tst_SendThread::sendOrder_data()
{
    QTest::addColumn<QList<SendFrame>>("frames");
    QTest::addColumn<int>("passes");
    QTest::addColumn<QList<uint>>("expectedIds");
    QTest::addColumn<QList<int>>("intervalsAfterTicks");

    QTest::newRow("one entry, three copies, one tick")
            << QList<SendFrame>{ entry(0x10, 3, 1, 40) } << 1
            << QList<uint>{ 0x10, 0x10, 0x10 } << QList<int>{ 40 };
    QTest::newRow("two entries, two passes")
            << QList<SendFrame>{ entry(0x1, 1, 2, 20), entry(0x2, 2, 1, 30) } << 2
            << QList<uint>{ 1, 1, 2, 2, 1, 1, 2, 2 } << QList<int>{ 20, 20, 30, 20, 20, 30 };
    QTest::newRow("entry without repeats takes no tick")
            << QList<SendFrame>{ entry(0x1, 1, 0, 50), entry(0x2, 1, 1, 7) } << 1
            << QList<uint>{ 2 } << QList<int>{ 7 };
    QTest::newRow("entry without copies keeps its ticks")
            << QList<SendFrame>{ entry(0x1, 0, 2, 5), entry(0x2, 1, 1, 9) } << 1
            << QList<uint>{ 2 } << QList<int>{ 5, 5, 9 };
    QTest::newRow("no passes") << QList<SendFrame>{ entry(0x1, 1, 1, 5) } << 0
                               << QList<uint>() << QList<int>{ 0 };
    QTest::newRow("negative passes") << QList<SendFrame>{ entry(0x1, 1, 1, 5) } << -1
                                     << QList<uint>() << QList<int>{ 0 };
    QTest::newRow("no entry with repeats")
            << QList<SendFrame>{ entry(0x1, 1, 0, 5), entry(0x2, 1, -1, 5) } << 3
            << QList<uint>() << QList<int>{ 0 };
    QTest::newRow("negative interval counts as none")
            << QList<SendFrame>{ entry(0x1, 1, 2, -5) } << 1
            << QList<uint>{ 1, 1 } << QList<int>{ 0, 0 };
}

void tst_SendThread::sendOrder()
{
    QFETCH(QList<SendFrame>, frames);
    QFETCH(int, passes);
    QFETCH(QList<uint>, expectedIds);
    QFETCH(QList<int>, intervalsAfterTicks);

    thread->startSend(frames, passes);
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 30000);
    QVERIFY(thread->wait(30000));

    QCOMPARE(writtenIds(), expectedIds);
    QCOMPARE(announced.size(), expectedIds.size());
    QCOMPARE(started, 1);
    QCOMPARE(debugLinesSaying("执行完毕"), 1);

    QMutexLocker locker(&observed().mutex);
    QCOMPARE(observed().intervalsAfterTicks, intervalsAfterTicks);
    QCOMPARE(observed().timerTypes.count(Qt::PreciseTimer), intervalsAfterTicks.size());
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
    QTest::newRow("identifier not masked") << 0xffffffffu << QByteArray(1, '\0') << false
                                           << false;
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
    thread->startSend({ frame }, 1);
    QTRY_COMPARE_WITH_TIMEOUT(announced.size(), 1, 30000);
    QVERIFY(thread->wait(30000));

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
}

void tst_SendThread::failedWrites_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("refusedWrite");
    QTest::addColumn<QList<bool>>("successes");
    QTest::addColumn<int>("adapterWrites");

    QTest::newRow("adapter refuses the second write")
            << QByteArray::fromHex("0102") << 1 << QList<bool>{ true, false, true } << 3;
    QTest::newRow("nine bytes never reach the adapter")
            << QByteArray::fromHex("010203040506070809") << -1
            << QList<bool>{ false, false, false } << 0;
}

void tst_SendThread::failedWrites()
{
    QFETCH(QByteArray, data);
    QFETCH(int, refusedWrite);
    QFETCH(QList<bool>, successes);
    QFETCH(int, adapterWrites);

    FakeCanable::refuseWriteNumber(refusedWrite);
    thread->startSend({ entry(0x42, successes.size(), 1, 0, data) }, 1);
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 30000);
    QVERIFY(thread->wait(30000));
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
    QTRY_COMPARE_WITH_TIMEOUT(FakeCanable::callCount("write"), 2, 30000);
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

void tst_SendThread::restartEndsRunningSendSilently()
{
    startLongSendAndWaitForFirstTick();
    thread->startSend({ entry(0x2, 1, 1, 0) }, 1);
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 30000);
    QVERIFY(thread->wait(30000));

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
    TickWatchingApplication app(argc, argv);
    tst_SendThread test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sendthread.moc"
