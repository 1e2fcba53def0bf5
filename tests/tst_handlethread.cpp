#include "device/handlethread.h"
#include "device/listenthread.h"
#include "transmit/sendthread.h"

#include <QtTest>

#include <atomic>
#include <thread>

namespace {

std::atomic<qint64> now { 0 };

CanMessage message(quint8 direction, quint32 id, const QTime &time = QTime(12, 0))
{
    CanMessage msg;
    msg.direction = direction;
    msg.id = id;
    msg.time = time;
    return msg;
}

QList<QPair<int, uint>> directionsAndIds(const QList<CanMessage> &messages)
{
    QList<QPair<int, uint>> result;
    for (const CanMessage &msg : messages)
        result << qMakePair(int(msg.direction), msg.id);
    return result;
}

} // namespace

class tst_HandleThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void receiveRate_data();
    void receiveRate();
    void rateHoldsUntilCleared();
    void clearMidWindow();
    void takeMessagesInSlotOrder();
    void takeInSlices_data();
    void takeInSlices();
    void signalsOfBothDeviceThreads();
    void framesQueuedWhenTheSignalReturns_data();
    void framesQueuedWhenTheSignalReturns();
    void errorEventsCountApart();
    void busLoadOfAFrameMix();
    void rateReadsZeroOnceClosed_data();
    void rateReadsZeroOnceClosed();

private:
    void restartWindow();

    HandleThread *hub = HandleThread::instance();
};

void tst_HandleThread::initTestCase()
{
    hub->setClock([] { return now.load(); });
}

// The rate window lives for the whole process, so each test first brings it to a known
// state: two frames 1000 ms apart close whatever window is open and leave a new one that
// starts at the current time and holds nothing.
void tst_HandleThread::restartWindow()
{
    now += 1000;
    hub->receiveDataSlot(message(0, 0));
    now += 1000;
    hub->receiveDataSlot(message(0, 0));
}

void tst_HandleThread::init()
{
    restartWindow();
    hub->clearCount();
    hub->takeMessages();
}

void tst_HandleThread::receiveRate_data()
{
    QTest::addColumn<QList<int>>("arrivals");
    QTest::addColumn<QList<int>>("rates");
    QTest::addColumn<QTime>("firstStamp");

    QList<int> arrivals;
    QList<int> rates;
    for (int at = 0; at <= 2000; at += 10) {
        arrivals << at;
        rates << (at < 1000 ? 0 : at < 2000 ? 101 : 100);
    }
    QTest::newRow("frames 10 ms apart") << arrivals << rates << QTime(12, 0);
    QTest::newRow("999 ms stays in the window, 1000 ms closes it")
            << QList<int>{ 0, 999, 1000 } << QList<int>{ 0, 0, 3 } << QTime(12, 0);
    QTest::newRow("one frame every 5 s")
            << QList<int>{ 0, 5000, 10000, 15000 } << QList<int>{ 0, 2, 1, 1 } << QTime(12, 0);
    QTest::newRow("time of day wraps at midnight")
            << QList<int>{ 0, 400, 700, 1000 } << QList<int>{ 0, 0, 0, 4 }
            << QTime(23, 59, 59, 500);
}

void tst_HandleThread::receiveRate()
{
    QFETCH(QList<int>, arrivals);
    QFETCH(QList<int>, rates);
    QFETCH(QTime, firstStamp);

    const qint64 start = now;
    QList<int> published;
    for (int at : qAsConst(arrivals)) {
        now = start + at;
        hub->receiveDataSlot(message(0, uint(at), firstStamp.addMSecs(at)));
        published << hub->getReceiveRate();
    }
    QCOMPARE(published, rates);
    QCOMPARE(hub->getReceiveCount(), qint64(arrivals.size()));
    QCOMPARE(hub->takeMessages().size(), arrivals.size());
}

void tst_HandleThread::rateHoldsUntilCleared()
{
    const qint64 start = now;
    hub->receiveDataSlot(message(0, 1));
    now = start + 1000;
    hub->receiveDataSlot(message(0, 2));
    QCOMPARE(hub->getReceiveRate(), 2);

    now += 60000;
    hub->sendDataSlot(message(1, 3));
    QCOMPARE(hub->getReceiveRate(), 2);

    hub->clearCount();
    QCOMPARE(hub->getReceiveRate(), 0);
    QCOMPARE(hub->getReceiveCount(), qint64(0));
    QCOMPARE(hub->getSendCount(), qint64(0));
}

void tst_HandleThread::clearMidWindow()
{
    const qint64 start = now;
    for (int at : { 0, 100, 200 }) {
        now = start + at;
        hub->receiveDataSlot(message(0, uint(at)));
    }
    hub->sendDataSlot(message(1, 300));
    hub->clearCount();
    QCOMPARE(hub->getReceiveCount(), qint64(0));
    QCOMPARE(hub->getSendCount(), qint64(0));

    for (int at : { 500, 1000 }) {
        now = start + at;
        hub->receiveDataSlot(message(0, uint(at)));
    }
    QCOMPARE(hub->getReceiveRate(), 5);
    QCOMPARE(hub->getReceiveCount(), qint64(2));
    QCOMPARE(hub->takeMessages().size(), 6);
}

void tst_HandleThread::takeInSlices_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("slice");

    QTest::newRow("one chunk, one slice") << 100 << 1000;
    QTest::newRow("chunk boundary in a slice") << 4096 + 10 << 4090;
    QTest::newRow("slices of one across a boundary") << 4100 << 1;
    QTest::newRow("three chunks, uneven slices") << 3 * 4096 + 7 << 5000;
    QTest::newRow("exact chunks") << 2 * 4096 << 4096;
}

// Every field of every frame comes back in order, whatever the slices and the chunks, and
// frames too long for a record keep their data.
void tst_HandleThread::takeInSlices()
{
    QFETCH(int, frames);
    QFETCH(int, slice);

    QVERIFY(hub->takeMessages().isEmpty());
    const auto frameNumber = [](int i) {
        CanMessage msg = message(quint8(i % 2), quint32(i), QTime(1, 2, 3).addMSecs(i));
        msg.extended = i % 3 == 0;
        msg.remote = i % 5 == 0;
        msg.success = i % 7 != 0;
        msg.timestampUs = 1000000 + i;
        msg.error = i % 11 == 0;
        msg.errorClass = msg.error ? quint32(i) : 0;
        msg.data = i % 13 == 0 ? QByteArray(20, char(i)) : QByteArray(i % 9, char(i));
        msg.dlc = msg.data.size();
        return msg;
    };
    for (int i = 0; i < frames; ++i) {
        if (i % 2)
            hub->sendDataSlot(frameNumber(i));
        else
            hub->receiveDataSlot(frameNumber(i));
    }

    int taken = 0;
    bool more = true;
    while (more) {
        const QList<CanMessage> part = hub->takeMessages(slice, &more);
        QVERIFY(!part.isEmpty());
        QVERIFY(part.size() <= slice);
        for (const CanMessage &got : part) {
            const CanMessage want = frameNumber(taken++);
            QCOMPARE(got.direction, want.direction);
            QCOMPARE(got.id, want.id);
            QCOMPARE(got.time, want.time);
            QCOMPARE(got.dlc, want.dlc);
            QCOMPARE(got.data, want.data);
            QCOMPARE(got.extended, want.extended);
            QCOMPARE(got.remote, want.remote);
            QCOMPARE(got.success, want.success);
            QCOMPARE(got.timestampUs, want.timestampUs);
            QCOMPARE(got.error, want.error);
            QCOMPARE(got.errorClass, want.errorClass);
        }
        QCOMPARE(more, taken < frames);
    }
    QCOMPARE(taken, frames);
    QCOMPARE(hub->getReceiveCount() + hub->getSendCount(), qint64(frames));
    hub->receiveDataSlot(message(0, 0x7ff));
    QCOMPARE(directionsAndIds(hub->takeMessages()), (QList<QPair<int, uint>>{ { 0, 0x7ff } }));
}

void tst_HandleThread::takeMessagesInSlotOrder()
{
    QVERIFY(hub->takeMessages().isEmpty());
    hub->sendDataSlot(message(1, 1));
    hub->receiveDataSlot(message(0, 2));
    hub->sendDataSlot(message(1, 3));
    hub->receiveDataSlot(message(0, 4));

    const QList<QPair<int, uint>> expected{ { 1, 1 }, { 0, 2 }, { 1, 3 }, { 0, 4 } };
    QCOMPARE(directionsAndIds(hub->takeMessages()), expected);
    QVERIFY(hub->takeMessages().isEmpty());
    QCOMPARE(hub->getSendCount(), qint64(2));
    QCOMPARE(hub->getReceiveCount(), qint64(2));
}

void tst_HandleThread::signalsOfBothDeviceThreads()
{
    emit ListenThread::instance()->receiveMsgSignal(message(0, 1));
    emit SendThread::instance()->sendMsgSignal(message(1, 2));
    emit ListenThread::instance()->receiveMsgSignal(message(0, 3));

    QTRY_COMPARE_WITH_TIMEOUT(hub->getReceiveCount() + hub->getSendCount(), qint64(3), 30000);
    QCOMPARE(hub->getReceiveCount(), qint64(2));
    const QList<QPair<int, uint>> expected{ { 0, 1 }, { 1, 2 }, { 0, 3 } };
    QCOMPARE(directionsAndIds(hub->takeMessages()), expected);
}

void tst_HandleThread::framesQueuedWhenTheSignalReturns_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("frames");

    for (int frames : { 1, 3 * 4096 + 5 }) {
        QTest::addRow("received, %d", frames) << 0 << frames;
        QTest::addRow("error events, %d", frames) << 1 << frames;
        QTest::addRow("sent, %d", frames) << 2 << frames;
    }
}

// A device thread's frames are counted and queued by the time its signal returns, with no
// event loop running anywhere: a backlog never waits as events of its own in front of
// the hub, however long the window stands still.
void tst_HandleThread::framesQueuedWhenTheSignalReturns()
{
    QFETCH(int, source);
    QFETCH(int, frames);

    std::thread device([source, frames] {
        for (int i = 0; i < frames; ++i) {
            CanMessage msg = message(source == 2 ? 1 : 0, quint32(i));
            if (source == 0) {
                emit ListenThread::instance()->receiveMsgSignal(msg);
            } else if (source == 1) {
                msg.error = true;
                msg.errorClass = quint32(i);
                emit ListenThread::instance()->errorEventSignal(msg);
            } else {
                emit SendThread::instance()->sendMsgSignal(msg);
            }
        }
    });
    device.join();

    QCOMPARE(hub->getReceiveCount(), qint64(source == 0 ? frames : 0));
    QCOMPARE(hub->getErrorCount(), qint64(source == 1 ? frames : 0));
    QCOMPARE(hub->getSendCount(), qint64(source == 2 ? frames : 0));
    const QList<CanMessage> taken = hub->takeMessages();
    QCOMPARE(taken.size(), frames);
    for (int i = 0; i < frames; ++i) {
        QCOMPARE(taken.at(i).id, quint32(i));
        QCOMPARE(taken.at(i).error, source == 1);
    }
}

void tst_HandleThread::errorEventsCountApart()
{
    CanMessage event = message(0, 0x20);
    event.error = true;
    event.errorClass = 0x20;
    const qint64 start = now;
    hub->receiveDataSlot(message(0, 1));
    for (int i = 0; i < 50; ++i)
        hub->errorEventSlot(event);
    now = start + 1000;
    hub->receiveDataSlot(message(0, 2));

    QCOMPARE(hub->getErrorCount(), qint64(50));
    QCOMPARE(hub->getReceiveCount(), qint64(2));
    QCOMPARE(hub->getReceiveRate(), 2);
    QCOMPARE(hub->snapshot().errorCount, qint64(50));
    QCOMPARE(hub->takeMessages().size(), 52);
    hub->clearCount();
    QCOMPARE(hub->getErrorCount(), qint64(0));
}

// Each frame on the bus counts once: received frames and accepted writes, never a refused
// write or an error event. Frame lengths are those of the frame bit tests.
void tst_HandleThread::busLoadOfAFrameMix()
{
    now += 5000;
    const qint64 start = now;
    QCOMPARE(hub->busLoadPercent(10), 0.0);
    QCOMPARE(hub->busLoadPercent(0), -1.0);

    CanMessage threeBytes = message(0, 0x123);
    threeBytes.dlc = 3;
    threeBytes.data = QByteArray::fromHex("112233");
    CanMessage eightBytes = message(1, 0x18DAF110);
    eightBytes.extended = true;
    eightBytes.dlc = 8;
    eightBytes.data = QByteArray::fromHex("0102030405060708");
    CanMessage remote = message(0, 0);
    remote.remote = true;
    remote.dlc = 8;
    CanMessage refused = eightBytes;
    refused.success = false;
    CanMessage event = message(0, 0x80);
    event.error = true;

    for (int i = 0; i < 10; ++i) {
        now = start + 90 * i;
        hub->receiveDataSlot(threeBytes);  // 72 bits
        hub->sendDataSlot(eightBytes);     // 141 bits
        hub->sendDataSlot(refused);
        hub->errorEventSlot(event);
    }
    now = start + 950;
    hub->receiveDataSlot(remote);          // 52 bits
    QCOMPARE(hub->busLoadPercent(10), 100.0 * (10 * (72 + 141) + 52) / 10000);
    QCOMPARE(hub->busLoadPercent(500), 100.0 * (10 * (72 + 141) + 52) / 500000);

    // A second after the first pair it leaves the window.
    now = start + 1000;
    QCOMPARE(hub->busLoadPercent(10), 100.0 * (9 * (72 + 141) + 52) / 10000);
    now = start + 5000;
    QCOMPARE(hub->busLoadPercent(10), 0.0);
    QCOMPARE(hub->snapshot().busLoadPercent, -1.0); // no device open
}

void tst_HandleThread::rateReadsZeroOnceClosed_data()
{
    QTest::addColumn<QList<int>>("before");
    QTest::addColumn<int>("rateBefore");
    QTest::addColumn<QList<int>>("after");
    QTest::addColumn<int>("rateAfter");

    QTest::newRow("rate published, closed, reopened")
            << QList<int>{ 0, 500, 1000 } << 3 << QList<int>{ 5000, 6000 } << 2;
    QTest::newRow("closed mid-window, reopened")
            << QList<int>{ 0, 300 } << 0 << QList<int>{ 2000, 2500, 3000 } << 3;
    QTest::newRow("closed, nothing after") << QList<int>{ 0, 1000 } << 2 << QList<int>() << 0;
}

// The device's close reaches the hub as the window's close does, queued; the frames of
// the session before count for nothing after it.
void tst_HandleThread::rateReadsZeroOnceClosed()
{
    QFETCH(QList<int>, before);
    QFETCH(int, rateBefore);
    QFETCH(QList<int>, after);
    QFETCH(int, rateAfter);
    const qint64 start = now;
    for (int at : qAsConst(before)) {
        now = start + at;
        hub->receiveDataSlot(message(0, uint(at)));
    }
    QCOMPARE(hub->getReceiveRate(), rateBefore);
    emit ListenThread::instance()->deviceClosed();
    QCOMPARE(hub->getReceiveRate(), 0);
    QCOMPARE(hub->snapshot().receiveRate, 0);
    for (int at : qAsConst(after)) {
        now = start + at;
        hub->receiveDataSlot(message(0, uint(at)));
    }
    QCOMPARE(hub->getReceiveRate(), rateAfter);
}

QTEST_GUILESS_MAIN(tst_HandleThread)

#include "tst_handlethread.moc"
