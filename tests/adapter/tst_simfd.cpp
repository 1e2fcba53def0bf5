#include "canable/canable.h"

#include <QtTest>

#include <chrono>
#include <map>

Q_DECLARE_METATYPE(CanFdFrameRecord)

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool openSimFd(const QByteArray &traffic, unsigned int kbps, unsigned int dataKbps)
{
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", traffic);
    return dataKbps ? canable_initFD(0, kbps, dataKbps) == 0 : canable_initDLL(0, kbps) == 0;
}

// Seconds an FD frame holds the bus without stuff bits, from its fields: start of frame
// to bit rate switch (17 bits, extended 36) plus acknowledgement, end of frame and
// interframe space (12) at the nominal rate; error state indicator, length code, data,
// stuff count, CRC with its fixed stuff bits (17 + 6, or 21 + 7 beyond 16 bytes) and
// CRC delimiter at the data rate when BRS is set.
double fdFrameSeconds(const CanFdFrameRecord &frame, double kbps, double dataKbps)
{
    const bool extended = frame.flags & CANABLE_FD_EXT;
    if (!(frame.flags & CANABLE_FD_FDF))
        return ((extended ? 67 : 47) + 8.0 * frame.len) / (kbps * 1000);
    const double nominal = (extended ? 36 : 17) + 12;
    const double data = 1 + 4 + 8.0 * frame.len + 4 + (frame.len > 16 ? 28 : 23) + 1;
    const double dataRate = (frame.flags & CANABLE_FD_BRS) ? dataKbps : kbps;
    return nominal / (kbps * 1000) + data / (dataRate * 1000);
}

CanFdFrameRecord fdFrame(uint32_t id, uint8_t flags, uint8_t len)
{
    CanFdFrameRecord frame{};
    frame.id = id;
    frame.flags = flags;
    frame.len = len;
    for (int i = 0; i < 64; ++i)
        frame.data[i] = uint8_t(0xA0 + i);
    return frame;
}

constexpr uint8_t fdf = CANABLE_FD_FDF;
constexpr uint8_t brs = CANABLE_FD_BRS;
constexpr uint8_t esi = CANABLE_FD_ESI;
constexpr uint8_t ext = CANABLE_FD_EXT;
constexpr uint8_t rtr = CANABLE_FD_RTR;

} // namespace

class tst_SimFd : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { canable_freeDLL(0); }
    void fdBusBudget_data();
    void fdBusBudget();
    void fdTrafficSetting_data();
    void fdTrafficSetting();
    void fdWrites_data();
    void fdWrites();
    void fdOpen_data();
    void fdOpen();
    void fdMix_data();
    void fdMix();
};

void tst_SimFd::fdBusBudget_data()
{
    QTest::addColumn<QByteArray>("traffic");
    QTest::addColumn<uint>("kbps");
    QTest::addColumn<uint>("dataKbps");
    QTest::addColumn<uint>("len");

    QTest::newRow("64 bytes BRS 1M/8M") << QByteArray("flood,fd,brs,dlc=64") << 1000u << 8000u
                                        << 64u;
    QTest::newRow("64 bytes no BRS 500k") << QByteArray("flood,fd,dlc=64") << 500u << 2000u
                                          << 64u;
    QTest::newRow("12 bytes ext BRS 500k/2M") << QByteArray("flood,ext,brs,fd,dlc=12") << 500u
                                              << 2000u << 12u;
    QTest::newRow("20 bytes BRS 250k/1M") << QByteArray("flood,fd,brs,dlc=20") << 250u
                                          << 1000u << 20u;
    QTest::newRow("classic flood in FD mode") << QByteArray("flood,dlc=8") << 500u << 4000u
                                              << 8u;
}

// The bus time of the frames received never exceeds the time since the open and, with a
// flood, comes near it: pacing by the nominal rate alone or by the data rate alone fails.
void tst_SimFd::fdBusBudget()
{
    QFETCH(QByteArray, traffic);
    QFETCH(uint, kbps);
    QFETCH(uint, dataKbps);
    QFETCH(uint, len);

    const Clock::time_point begin = Clock::now();
    QVERIFY(openSimFd(traffic, kbps, dataKbps));
    double busSeconds = 0;
    double longest = 0;
    uint64_t frames = 0;
    CanFdFrameRecord frame{};
    while (secondsSince(begin) < 1.0) {
        if (canable_readMessageFD(0, &frame) != 0)
            continue;
        QCOMPARE(uint(frame.len), len);
        QCOMPARE(bool(frame.flags & fdf), traffic.contains(",fd"));
        QCOMPARE(bool(frame.flags & brs), traffic.contains(",brs"));
        QCOMPARE(bool(frame.flags & ext), traffic.contains(",ext"));
        uint64_t sequence = 0;
        for (int i = 0; i < 8 && i < frame.len; ++i)
            sequence |= uint64_t(frame.data[i]) << (8 * i);
        if (sequence != frames)
            QFAIL(qPrintable(QString("flood frame %1 lost or out of order").arg(frames)));
        for (int i = 8; i < 64; ++i)
            QCOMPARE(frame.data[i], uint8_t(0));
        ++frames;
        const double seconds = fdFrameSeconds(frame, kbps, dataKbps);
        busSeconds += seconds;
        longest = std::max(longest, seconds);
    }
    const double elapsed = secondsSince(begin);
    const QString measured = QString("%1 frames, %2 s of bus in %3 s").arg(frames)
                                 .arg(busSeconds).arg(elapsed);
    QVERIFY2(busSeconds <= elapsed + longest, qPrintable(measured));
    QVERIFY2(busSeconds >= 0.7 * elapsed, qPrintable(measured));
}

void tst_SimFd::fdTrafficSetting_data()
{
    QTest::addColumn<QByteArray>("traffic");
    QTest::addColumn<bool>("fdOpen");
    QTest::addColumn<bool>("accepted");

    for (const char *traffic : {"flood,fd", "flood,fd,brs,dlc=64", "flood:100,dlc=48,fd",
                                "flood:unlimited,fd,brs,ext,dlc=24", "mix", "flood,dlc=8"})
        QTest::newRow(traffic) << QByteArray(traffic) << true << true;
    // FD frames cannot reach a reader of a classic device, so the open says so.
    QTest::newRow("classic open, fd flood") << QByteArray("flood,fd") << false << false;
    QTest::newRow("classic open, unlimited fd") << QByteArray("flood:unlimited,fd,dlc=12")
                                                << false << false;
    for (const char *traffic : {"flood,brs", "flood,dlc=12", "flood,fd,dlc=9",
                                "flood,fd,dlc=65", "flood,fd,dlc=640", "flood,fd,fd",
                                "flood,fd,brs,brs", "flood,fd,dlc=064", "flood,fd,dlc=012",
                                "mix,fd"})
        QTest::newRow(traffic) << QByteArray(traffic) << true << false;
}

void tst_SimFd::fdTrafficSetting()
{
    QFETCH(QByteArray, traffic);
    QFETCH(bool, fdOpen);
    QFETCH(bool, accepted);

    QCOMPARE(openSimFd(traffic, 500, fdOpen ? 2000 : 0), accepted);
    if (!accepted) {
        QVERIFY(QByteArray(canable_lastError()).contains("CANABLE_SIM_TRAFFIC"));
        return;
    }
    CanFdFrameRecord frame{};
    const Clock::time_point begin = Clock::now();
    while (canable_readMessageFD(0, &frame) != 0)
        QVERIFY(secondsSince(begin) < 10);
}

void tst_SimFd::fdWrites_data()
{
    QTest::addColumn<CanFdFrameRecord>("frame");
    QTest::addColumn<bool>("onFdDevice");
    QTest::addColumn<bool>("onClassicDevice");

    QTest::newRow("fd 64 brs") << fdFrame(0x123, fdf | brs, 64) << true << false;
    QTest::newRow("fd 12 ext") << fdFrame(0x1FFFFFFF, fdf | ext, 12) << true << false;
    QTest::newRow("fd 0") << fdFrame(0x7FF, fdf, 0) << true << false;
    QTest::newRow("fd 8 esi") << fdFrame(0x100, fdf | esi, 8) << true << false;
    QTest::newRow("classic 8") << fdFrame(0x7FF, 0, 8) << true << true;
    QTest::newRow("classic remote") << fdFrame(0x3C0, rtr, 4) << true << true;
    QTest::newRow("classic ext remote") << fdFrame(0x18FEEE00, rtr | ext, 8) << true << true;
    for (int len : {9, 10, 11, 13, 17, 25, 33, 49, 63, 65, 255})
        QTest::addRow("fd len %d", len) << fdFrame(0x123, fdf | brs, uint8_t(len)) << false
                                        << false;
    QTest::newRow("classic 12") << fdFrame(0x123, 0, 12) << false << false;
    QTest::newRow("classic 9") << fdFrame(0x123, 0, 9) << false << false;
    QTest::newRow("brs without fd") << fdFrame(0x123, brs, 8) << false << false;
    QTest::newRow("esi without fd") << fdFrame(0x123, esi, 8) << false << false;
    QTest::newRow("fd remote") << fdFrame(0x123, fdf | rtr, 8) << false << false;
    QTest::newRow("fd std 0x800") << fdFrame(0x800, fdf, 8) << false << false;
    QTest::newRow("fd ext 0x20000000") << fdFrame(0x20000000, fdf | ext, 8) << false << false;
    QTest::newRow("unknown flag") << fdFrame(0x123, fdf | 0x20, 8) << false << false;
}

// What may go out, through the FD call on either kind of device; a refusal says why.
void tst_SimFd::fdWrites()
{
    QFETCH(CanFdFrameRecord, frame);
    QFETCH(bool, onFdDevice);
    QFETCH(bool, onClassicDevice);

    for (const char *traffic : {"mix", "flood:unlimited"}) {
        for (const bool fd : {true, false}) {
            QVERIFY(openSimFd(traffic, 500, fd ? 2000 : 0));
            const bool accepted = canable_writeMessageFD(0, &frame) == 0;
            QCOMPARE(accepted, fd ? onFdDevice : onClassicDevice);
            QCOMPARE(QByteArray(canable_lastError()).isEmpty(), accepted);
            canable_freeDLL(0);
        }
    }
}

void tst_SimFd::fdOpen_data()
{
    QTest::addColumn<uint>("kbps");
    QTest::addColumn<uint>("dataKbps");
    QTest::addColumn<bool>("opens");

    QTest::newRow("500/2000") << 500u << 2000u << true;
    QTest::newRow("1000/8000") << 1000u << 8000u << true;
    QTest::newRow("1000/15000") << 1000u << 15000u << true;
    QTest::newRow("data rate 0") << 500u << 0u << false;
    QTest::newRow("data rate 15001") << 500u << 15001u << false;
    QTest::newRow("nominal 0") << 0u << 2000u << false;
    QTest::newRow("nominal 2000") << 2000u << 2000u << false;
}

void tst_SimFd::fdOpen()
{
    QFETCH(uint, kbps);
    QFETCH(uint, dataKbps);
    QFETCH(bool, opens);

    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", "flood,fd,brs,dlc=64");
    QCOMPARE(canable_initFD(0, kbps, dataKbps) == 0, opens);
    QCOMPARE(QByteArray(canable_lastError()).isEmpty(), opens);
    CanFdFrameRecord frame{};
    if (!opens)
        QVERIFY(canable_readMessageFD(0, &frame) != 0);
}

void tst_SimFd::fdMix_data()
{
    QTest::addColumn<bool>("fdOpen");
    QTest::addColumn<bool>("fdReader");

    QTest::newRow("FD device, FD reader") << true << true;
    QTest::newRow("FD device, classic reader") << true << false;
    QTest::newRow("classic device, FD reader") << false << true;
    QTest::newRow("classic device, classic reader") << false << false;
}

// The two FD messages join the mix only on an FD device and reach only an FD reader; the
// classic messages keep coming either way. Each FD message keeps its counter and sum.
void tst_SimFd::fdMix()
{
    QFETCH(bool, fdOpen);
    QFETCH(bool, fdReader);

    QVERIFY(openSimFd("mix", 500, fdOpen ? 2000 : 0));
    std::map<uint32_t, int> frames;
    std::map<uint32_t, int> lastCounter;
    const Clock::time_point begin = Clock::now();
    while (frames[0x0C4] < 120) {
        QVERIFY2(secondsSince(begin) < 60, "the engine frames stopped");
        CanFdFrameRecord frame{};
        if (fdReader) {
            if (canable_readMessageFD(0, &frame) != 0)
                continue;
        } else {
            CanFrameRecord classic{};
            if (canable_readMessage(0, &classic, 1) != 0)
                continue;
            frame.id = classic.id;
            frame.len = classic.dlc;
            memcpy(frame.data, classic.data, 8);
        }
        ++frames[frame.id];
        if (frame.id != 0x2A8 && frame.id != 0x4A0)
            continue;
        QCOMPARE(uint(frame.len), frame.id == 0x4A0 ? 64u : 20u);
        QCOMPARE(uint(frame.flags),
                 uint(frame.id == 0x4A0 ? CANABLE_FD_FDF | CANABLE_FD_BRS : CANABLE_FD_FDF));
        unsigned int sum = frame.id & 0xFF;
        for (int i = 0; i + 1 < frame.len; ++i)
            sum += frame.data[i];
        QCOMPARE(frame.data[frame.len - 1], uint8_t(sum));
        const int counter = frame.data[frame.id == 0x4A0 ? 60 : 18] & 0x0F;
        if (lastCounter.count(frame.id))
            QCOMPARE(counter, (lastCounter[frame.id] + 1) & 0x0F);
        lastCounter[frame.id] = counter;
        if (frame.id == 0x4A0) {
            for (int cell = 0; cell < 30; ++cell) {
                const int millivolts = frame.data[2 * cell] | frame.data[2 * cell + 1] << 8;
                QVERIFY2(millivolts > 3700 && millivolts < 3900, qPrintable(QString::number(
                                                                     millivolts)));
            }
        }
    }
    const bool fdSeen = fdOpen && fdReader;
    // 1.2 s of bus: 60 chassis frames every 20 ms, 24 battery frames every 50 ms.
    QCOMPARE(frames[0x2A8] >= 50, fdSeen);
    QCOMPARE(frames[0x4A0] >= 20, fdSeen);
    QVERIFY(frames[0x1A0] >= 50 && frames[0x2F0] >= 10);
}

QTEST_GUILESS_MAIN(tst_SimFd)

#include "tst_simfd.moc"
