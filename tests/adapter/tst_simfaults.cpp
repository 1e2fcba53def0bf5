#include "canable/canable.h"

#include <QtTest>

#include <linux/can/error.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t wallMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

bool openSim(const QByteArray &traffic, const QByteArray &faults, unsigned int kbps = 500)
{
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", traffic);
    qputenv("CANABLE_SIM_FAULTS", faults);
    return canable_initDLL(0, kbps) == 0;
}

struct Frame
{
    CanFrameRecord record;
    int64_t stamp;
};

// Reads frames and error events until `done` says so or `seconds` passed, as the
// monitor's receive loop does: error events after every read.
template<typename Done>
bool collect(std::vector<Frame> &frames, std::vector<CanErrorEvent> &events, double seconds,
             Done done)
{
    const Clock::time_point begin = Clock::now();
    while (!done()) {
        if (std::chrono::duration<double>(Clock::now() - begin).count() > seconds)
            return false;
        Frame frame{};
        if (canable_readMessage(0, &frame.record, 1) == 0) {
            if (canable_lastReadTimestamp(0, &frame.stamp) != 0)
                return false;
            frames.push_back(frame);
        }
        CanErrorEvent event{};
        while (canable_readErrorEvent(0, &event) == 0)
            events.push_back(event);
    }
    return true;
}

CanBusStatus status()
{
    CanBusStatus current{};
    current.state = -1;
    canable_getStatus(0, &current);
    return current;
}

} // namespace

class tst_SimFaults : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        canable_freeDLL(0);
        canable_selectInterface(nullptr);
        canable_setListenOnly(0);
        qunsetenv("CANABLE_SIM_FAULTS");
    }
    void faultSetting_data();
    void faultSetting();
    void errorClass_data();
    void errorClass();
    void stateCycle_data();
    void stateCycle();
    void adapterDrops();
    void stamps_data();
    void stamps();
    void interfaceChoice();
    void listenOnly();
    void statusWithoutDevice();
};

void tst_SimFaults::faultSetting_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<bool>("accepted");

    for (const char *faults : {"", "errors:ack", "errors:crc:100000/s", "errors:bit,errors:form",
                               "passive", "busoff:0.1s", "busoff:3600s", "drop:1/s",
                               "drop:1000000/s,errors:stuff:5/s,passive:2.5s"})
        QTest::newRow(*faults ? faults : "none") << QByteArray(faults) << true;
    for (const char *faults : {"errors", "errors:", "errors:nack", "errors:ack:0/s",
                               "errors:ack:100001/s", "errors:ack:5", "errors:ack,errors:ack",
                               "passive,busoff", "busoff:0.09s", "busoff:3601s", "busoff:1",
                               "busoff:1.2345s", "drop", "drop:5", "drop:0/s", "noise", ",",
                               "passive,"})
        QTest::newRow(faults) << QByteArray(faults) << false;
}

void tst_SimFaults::faultSetting()
{
    QFETCH(QByteArray, faults);
    QFETCH(bool, accepted);

    QCOMPARE(openSim("mix", faults), accepted);
    QCOMPARE(QByteArray(canable_lastError()).contains("CANABLE_SIM_FAULTS"), !accepted);
    // Without bus timing there is nothing to time faults by.
    if (!faults.isEmpty())
        QVERIFY(!openSim("flood:unlimited", faults));
}

void tst_SimFaults::errorClass_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<uint>("errorClass");
    QTest::addColumn<int>("byte");  // -1: no data byte is set
    QTest::addColumn<uint>("value");

    QTest::newRow("ack") << QByteArray("ack") << uint(CAN_ERR_ACK) << -1 << 0u;
    QTest::newRow("bit") << QByteArray("bit") << uint(CAN_ERR_PROT) << 2 << uint(CAN_ERR_PROT_BIT);
    QTest::newRow("stuff") << QByteArray("stuff") << uint(CAN_ERR_PROT) << 2
                           << uint(CAN_ERR_PROT_STUFF);
    QTest::newRow("form") << QByteArray("form") << uint(CAN_ERR_PROT) << 2
                          << uint(CAN_ERR_PROT_FORM);
    QTest::newRow("crc") << QByteArray("crc") << uint(CAN_ERR_PROT) << 3
                         << uint(CAN_ERR_PROT_LOC_CRC_SEQ);
    QTest::newRow("lostarb") << QByteArray("lostarb") << uint(CAN_ERR_LOSTARB) << -1 << 0u;
    QTest::newRow("overflow") << QByteArray("overflow") << uint(CAN_ERR_CRTL) << 1
                              << uint(CAN_ERR_CRTL_RX_OVERFLOW);
    QTest::newRow("txtimeout") << QByteArray("txtimeout") << uint(CAN_ERR_TX_TIMEOUT) << -1
                               << 0u;
}

// Each class comes as asked, with the counters of an undisturbed controller, in time
// order, and data frames keep coming beside a flood of them.
void tst_SimFaults::errorClass()
{
    QFETCH(QByteArray, name);
    QFETCH(uint, errorClass);
    QFETCH(int, byte);
    QFETCH(uint, value);

    const int64_t opened = wallMicroseconds();
    QVERIFY(openSim("mix", "errors:" + name + ":10000/s"));
    std::vector<Frame> frames;
    std::vector<CanErrorEvent> events;
    QVERIFY(collect(frames, events, 30, [&] {
        return events.size() >= 2000 && frames.size() >= 5;
    }));
    int64_t previous = opened;
    for (const CanErrorEvent &event : events) {
        QCOMPARE(event.errorClass, errorClass | CAN_ERR_CNT);
        for (int i = 0; i < 8; ++i)
            QCOMPARE(uint(event.data[i]), i == byte ? value : 0u);
        QVERIFY(event.timestampUs >= previous);
        previous = event.timestampUs;
    }
    QVERIFY(previous <= wallMicroseconds());
    const CanBusStatus current = status();
    QCOMPARE(current.state, int(CANABLE_STATE_ERROR_ACTIVE));
    QCOMPARE(current.txErrors, 0);
    QCOMPARE(current.rxErrors, 0);
    QCOMPARE(current.adapterDrops > 0, errorClass == CAN_ERR_CRTL);
}

void tst_SimFaults::stateCycle_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QVector<uint>>("classes"); // without CAN_ERR_CNT
    QTest::addColumn<QVector<int>>("controller"); // data[1]
    QTest::addColumn<QVector<int>>("tec");

    QTest::newRow("passive")
        << QByteArray("passive:0.8s")
        << QVector<uint>{CAN_ERR_CRTL, CAN_ERR_CRTL, CAN_ERR_CRTL}
        << QVector<int>{CAN_ERR_CRTL_TX_WARNING, CAN_ERR_CRTL_TX_PASSIVE, CAN_ERR_CRTL_ACTIVE}
        << QVector<int>{96, 128, 0};
    QTest::newRow("bus-off")
        << QByteArray("busoff:0.8s")
        << QVector<uint>{CAN_ERR_CRTL, CAN_ERR_CRTL, CAN_ERR_BUSOFF, CAN_ERR_RESTARTED}
        << QVector<int>{CAN_ERR_CRTL_TX_WARNING, CAN_ERR_CRTL_TX_PASSIVE, 0, 0}
        << QVector<int>{96, 128, 255, 0};
}

// Two whole cycles: the events come in the documented order with the counters the status
// reports, and a bus-off controller receives nothing until it has restarted.
void tst_SimFaults::stateCycle()
{
    QFETCH(QByteArray, faults);
    QFETCH(QVector<uint>, classes);
    QFETCH(QVector<int>, controller);
    QFETCH(QVector<int>, tec);

    QVERIFY(openSim("flood:2000,dlc=1", faults));
    std::vector<Frame> frames;
    std::vector<CanErrorEvent> events;
    const size_t wanted = size_t(2 * classes.size());
    std::vector<int> states;
    QVERIFY(collect(frames, events, 30, [&] {
        const CanBusStatus current = status();
        if (states.empty() || states.back() != current.state)
            states.push_back(current.state);
        return events.size() >= wanted;
    }));
    for (size_t i = 0; i < wanted; ++i) {
        const CanErrorEvent &event = events[i];
        const int k = int(i % classes.size());
        QCOMPARE(event.errorClass, classes[k] | CAN_ERR_CNT);
        QCOMPARE(int(event.data[1]), controller[k]);
        QCOMPARE(int(event.data[6]), tec[k]);
    }
    const std::vector<int> walk = faults.startsWith("busoff")
        ? std::vector<int>{CANABLE_STATE_ERROR_WARNING, CANABLE_STATE_ERROR_PASSIVE,
                           CANABLE_STATE_BUS_OFF, CANABLE_STATE_ERROR_ACTIVE}
        : std::vector<int>{CANABLE_STATE_ERROR_WARNING, CANABLE_STATE_ERROR_PASSIVE,
                           CANABLE_STATE_ERROR_ACTIVE};
    // Polled every few milliseconds, each state of 200 ms shows, and only those.
    for (int state : walk)
        QVERIFY2(std::count(states.begin(), states.end(), state) >= 1, qPrintable(
                     QString("state %1 never reported").arg(state)));
    for (int state : states)
        QVERIFY(std::find(walk.begin(), walk.end(), state) != walk.end());
    const CanBusStatus current = status();
    if (faults.startsWith("busoff")) {
        QVERIFY(current.busOffCount >= 2 && current.restarts >= 2);
        QVERIFY(current.busOffCount - current.restarts <= 1);
        for (size_t i = 0; i + 1 < wanted; ++i) {
            if (!(events[i].errorClass & CAN_ERR_BUSOFF))
                continue;
            const int64_t off = events[i].timestampUs;
            const int64_t on = events[i + 1].timestampUs;
            for (const Frame &frame : frames)
                QVERIFY2(frame.stamp <= off || frame.stamp >= on, qPrintable(
                             QString("frame received while bus-off at %1").arg(frame.stamp)));
        }
    } else {
        QCOMPARE(current.busOffCount, 0u);
        QCOMPARE(current.restarts, 0u);
    }
}

// Every frame the adapter drops is missing from the flood's sequence and counted.
void tst_SimFaults::adapterDrops()
{
    QVERIFY(openSim("flood:2000,dlc=4", "drop:100/s"));
    std::vector<Frame> frames;
    std::vector<CanErrorEvent> events;
    QVERIFY(collect(frames, events, 30, [&] { return frames.size() >= 1000; }));
    const CanBusStatus before = status();
    const int64_t asked = wallMicroseconds();
    QVERIFY(collect(frames, events, 30, [&] { return frames.back().stamp > asked; }));
    const CanBusStatus after = status();
    uint32_t last = 0;
    std::memcpy(&last, frames.back().record.data, 4);
    const uint64_t missing = uint64_t(last) + 1 - frames.size();
    QVERIFY2(before.adapterDrops <= missing && missing <= after.adapterDrops,
             qPrintable(QString("%1 frames missing, %2 then %3 counted").arg(missing)
                            .arg(before.adapterDrops).arg(after.adapterDrops)));
    QVERIFY(missing > 0);
    QCOMPARE(after.kernelDrops, 0u);
    QVERIFY(events.empty());
}

void tst_SimFaults::stamps_data()
{
    QTest::addColumn<QByteArray>("traffic");
    QTest::newRow("mix") << QByteArray("mix");
    QTest::newRow("flood") << QByteArray("flood:4000");
    QTest::newRow("unlimited") << QByteArray("flood:unlimited");
}

// Stamps rise with the frames, lie between the open and the read (within the millisecond
// by which the system clock may drift from the bus's steady one), and exist only after a
// frame was read.
void tst_SimFaults::stamps()
{
    QFETCH(QByteArray, traffic);

    const int64_t opened = wallMicroseconds();
    QVERIFY(openSim(traffic, QByteArray()));
    int64_t stamp = 0;
    QVERIFY(canable_lastReadTimestamp(0, &stamp) != 0);
    std::vector<Frame> frames;
    std::vector<CanErrorEvent> events;
    const Clock::time_point begin = Clock::now();
    while (frames.size() < 300) {
        QVERIFY(std::chrono::duration<double>(Clock::now() - begin).count() < 30);
        Frame frame{};
        if (canable_readMessage(0, &frame.record, 1) != 0)
            continue;
        QCOMPARE(canable_lastReadTimestamp(0, &frame.stamp), 0);
        QVERIFY2(frame.stamp >= (frames.empty() ? opened : frames.back().stamp)
                     && frame.stamp <= wallMicroseconds() + 1000,
                 qPrintable(QString("frame %1 stamped %2").arg(frames.size()).arg(frame.stamp)));
        frames.push_back(frame);
    }
    canable_freeDLL(0);
    QVERIFY(canable_lastReadTimestamp(0, &stamp) != 0);
}

void tst_SimFaults::interfaceChoice()
{
    CanFrameRecord frame{};
    qunsetenv("CANABLE_INTERFACE");
    QCOMPARE(canable_selectInterface("sim"), 0);
    QCOMPARE(canable_initDLL(0, 500), 0);
    QVERIFY(QTest::qWaitFor([&] { return canable_readMessage(0, &frame, 1) == 0; }, 10000));
    canable_freeDLL(0);

    // The environment wins over the choice.
    QCOMPARE(canable_selectInterface("nosuch0"), 0);
    qputenv("CANABLE_INTERFACE", "sim");
    QCOMPARE(canable_initDLL(0, 500), 0);
    canable_freeDLL(0);
    qputenv("CANABLE_INTERFACE", "");
    QVERIFY(canable_initDLL(0, 500) != 0);
    QVERIFY(*canable_lastError());

    for (const char *name : {"a b", "can0\n", "sixteen-chars-xx", "../can0", "can\x1b"}) {
        QVERIFY2(canable_selectInterface(name) != 0, name);
        QVERIFY(*canable_lastError());
    }
    QCOMPARE(canable_selectInterface("fifteen-chars-x"), 0);
    QCOMPARE(*canable_lastError(), '\0');

    CanInterfaceInfo list[4];
    const int count = canable_listInterfaces(list, 4);
    QCOMPARE(canable_listInterfaces(nullptr, 0), count);
    QVERIFY(canable_listInterfaces(nullptr, 1) < 0);
    QVERIFY(canable_listInterfaces(list, -1) < 0);
    for (int i = 0; i < count && i < 4; ++i)
        QVERIFY(list[i].name[0] && std::strlen(list[i].name) < sizeof list[i].name);
}

void tst_SimFaults::listenOnly()
{
    const CanFrameRecord frame = {0x123, {1, 2}, 2, {}, 0, 0, {}};
    CanFrameRecord received{};
    for (const char *traffic : {"mix", "flood:unlimited"}) {
        QCOMPARE(canable_setListenOnly(1), 0);
        QVERIFY(openSim(traffic, QByteArray()));
        QVERIFY(canable_writeMessage(0, &frame) != 0);
        QVERIFY(QTest::qWaitFor([&] { return canable_readMessage(0, &received, 1) == 0; },
                                10000));
        QCOMPARE(canable_setListenOnly(0), 0);
        QVERIFY(canable_writeMessage(0, &frame) != 0); // applies from the next open
        QVERIFY(openSim(traffic, QByteArray()));
        QCOMPARE(canable_writeMessage(0, &frame), 0);
    }
}

void tst_SimFaults::statusWithoutDevice()
{
    CanBusStatus current{};
    CanErrorEvent event{};
    QVERIFY(canable_getStatus(0, &current) != 0);
    QVERIFY(*canable_lastError());
    QVERIFY(canable_readErrorEvent(0, &event) != 0);
    QVERIFY(openSim("mix", QByteArray()));
    QVERIFY(canable_getStatus(1, &current) != 0);
    QCOMPARE(canable_getStatus(0, &current), 0);
    QCOMPARE(current.state, int(CANABLE_STATE_ERROR_ACTIVE));
    QCOMPARE(current.txErrors, 0);
    QCOMPARE(current.rxErrors, 0);
    QCOMPARE(current.adapterDrops + current.kernelDrops, 0u);
}

QTEST_APPLESS_MAIN(tst_SimFaults)
#include "tst_simfaults.moc"
