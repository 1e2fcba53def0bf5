#include "health/busload.h"

#include <QtTest>

class tst_BusLoad : public QObject
{
    Q_OBJECT

private slots:
    void frameBits_data();
    void frameBits();
    void bounds_data();
    void bounds();
    void fdFrameBits_data();
    void fdFrameBits();
    void loadPercent();
};

// Worked out bit by bit from the frame layout, the CRC-15 (0x4599) and the stuffing rule,
// independently of the code under test. Example, standard 0x000 with dlc 0: 34 zero bits
// from start of frame to the end of a zero CRC take 6 stuff bits: 47 + 6 = 53.
void tst_BusLoad::frameBits_data()
{
    QTest::addColumn<uint>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<bool>("remote");
    QTest::addColumn<uint>("dlc");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("bits");

    QTest::newRow("std 000 empty") << 0x000u << false << false << 0u << QByteArray() << 53u;
    QTest::newRow("std 7FF empty") << 0x7FFu << false << false << 0u << QByteArray() << 50u;
    QTest::newRow("std 123 1122") << 0x123u << false << false << 2u
                                  << QByteArray::fromHex("1122") << 65u;
    QTest::newRow("std 7FF all ones") << 0x7FFu << false << false << 8u
                                      << QByteArray(8, char(0xFF)) << 126u;
    QTest::newRow("std 000 all zeros") << 0x000u << false << false << 8u
                                       << QByteArray(8, char(0)) << 127u;
    QTest::newRow("std 555 alternating") << 0x555u << false << false << 8u
                                         << QByteArray(8, char(0x55)) << 112u;
    QTest::newRow("std 0C4 counting") << 0x0C4u << false << false << 8u
                                      << QByteArray::fromHex("0102030405060708") << 120u;
    QTest::newRow("std 100 AA") << 0x100u << false << false << 1u
                                << QByteArray::fromHex("AA") << 57u;
    // The length code of a remote frame is sent, its data field is not.
    QTest::newRow("std remote 123 dlc 4") << 0x123u << false << true << 4u
                                          << QByteArray::fromHex("DEADBEEF") << 47u;
    QTest::newRow("ext 00000000 empty") << 0x0u << true << false << 0u << QByteArray() << 74u;
    QTest::newRow("ext 1FFFFFFF all ones") << 0x1FFFFFFFu << true << false << 8u
                                           << QByteArray(8, char(0xFF)) << 149u;
    QTest::newRow("ext remote 12345678 dlc 3") << 0x12345678u << true << true << 3u
                                               << QByteArray() << 68u;
    QTest::newRow("ext 18FEF100 speed") << 0x18FEF100u << true << false << 8u
                                        << QByteArray::fromHex("FF0032FFFFFFFFFF") << 145u;
    // Bits above the identifier's width are not on the wire.
    QTest::newRow("std id masked") << 0xF800u << false << false << 0u << QByteArray() << 53u;
}

void tst_BusLoad::frameBits()
{
    QFETCH(uint, id);
    QFETCH(bool, extended);
    QFETCH(bool, remote);
    QFETCH(uint, dlc);
    QFETCH(QByteArray, data);
    QFETCH(uint, bits);

    const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
    QCOMPARE(busload::frameBits(id, extended, remote, dlc, data.isEmpty() ? nullptr : bytes),
             bits);
}

void tst_BusLoad::bounds_data()
{
    QTest::addColumn<bool>("extended");
    QTest::addColumn<bool>("remote");

    QTest::newRow("standard data") << false << false;
    QTest::newRow("standard remote") << false << true;
    QTest::newRow("extended data") << true << false;
    QTest::newRow("extended remote") << true << true;
}

// Every frame lies between its unstuffed and its worst-case length.
void tst_BusLoad::bounds()
{
    QFETCH(bool, extended);
    QFETCH(bool, remote);

    QRandomGenerator random(12);
    for (uint dlc = 0; dlc <= 8; ++dlc) {
        const uint shortest = busload::unstuffedFrameBits(extended, remote, dlc);
        const uint longest = busload::worstCaseFrameBits(extended, remote, dlc);
        QCOMPARE(shortest, (extended ? 67u : 47u) + (remote ? 0 : 8 * dlc));
        for (int i = 0; i < 2000; ++i) {
            uint8_t data[8];
            for (uint8_t &byte : data)
                byte = uint8_t(i % 3 == 0 ? random.generate() : i % 3 == 1 ? 0 : 0xFF);
            const uint32_t id = random.generate() & (extended ? 0x1FFFFFFF : 0x7FF);
            const uint bits = busload::frameBits(id, extended, remote, dlc, data);
            if (bits < shortest || bits > longest)
                QFAIL(qPrintable(QString("id %1 dlc %2: %3 bits outside [%4, %5]")
                                     .arg(id, 0, 16).arg(dlc).arg(bits).arg(shortest)
                                     .arg(longest)));
        }
    }
    QCOMPARE(busload::worstCaseFrameBits(false, false, 0), 55u);
    QCOMPARE(busload::worstCaseFrameBits(true, false, 8), 67u + 64 + (117 - 1) / 4);
    // Over 8 bytes counts as 8: no classic frame carries more.
    QCOMPARE(busload::unstuffedFrameBits(false, false, 15), 47u + 64);
}

// Worked out bit by bit from the FD frame layout and the stuffing rule, independently of
// the code under test. Example, standard 0x000 with 0 bytes and BRS: start of frame,
// identifier, RRS and IDE are 14 zero bits and take 2 stuff bits; FDF 1, res 0, BRS 1:
// 17 + 2 bits, with ACK, delimiter, end of frame and interframe space 12 more, 31 at the
// nominal rate. ESI and the length code are five zero bits ending the dynamic region, so
// the fixed stuff bit serves: 5 + stuff count 4 + CRC-17 + 6 fixed stuff bits + CRC
// delimiter = 33 at the data rate. Without BRS all 64 + 1 (BRS 0 makes res, BRS, ESI and
// the length code a run of 7 zeros: one more stuff bit) go at the nominal rate.
void tst_BusLoad::fdFrameBits_data()
{
    QTest::addColumn<uint>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<bool>("brs");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("nominal");
    QTest::addColumn<uint>("dataPhase");

    const auto counting = [](int from, int count) {
        QByteArray bytes;
        for (int i = 0; i < count; ++i)
            bytes.append(char(from + i));
        return bytes;
    };
    QTest::newRow("std 000 0 bytes") << 0x000u << false << false << QByteArray() << 65u << 0u;
    QTest::newRow("std 000 0 bytes brs") << 0x000u << false << true << QByteArray() << 31u
                                         << 33u;
    QTest::newRow("std 7FF 8 x FF brs") << 0x7FFu << false << true << QByteArray(8, char(0xFF))
                                        << 31u << 109u;
    QTest::newRow("std 123 12 counting brs") << 0x123u << false << true << counting(1, 12)
                                             << 29u << 138u;
    // The last length with CRC-17, and the first with CRC-21.
    QTest::newRow("std 555 16 x 55") << 0x555u << false << false << QByteArray(16, 0x55)
                                     << 190u << 0u;
    QTest::newRow("std 555 20 x 55 brs") << 0x555u << false << true << QByteArray(20, 0x55)
                                         << 29u << 198u;
    QTest::newRow("std 000 64 x 00 brs") << 0x000u << false << true << QByteArray(64, 0)
                                         << 31u << 652u;
    QTest::newRow("std 7FF 64 x FF brs") << 0x7FFu << false << true
                                         << QByteArray(64, char(0xFF)) << 31u << 653u;
    QTest::newRow("ext 1FFFFFFF 64 x FF") << 0x1FFFFFFFu << true << false
                                          << QByteArray(64, char(0xFF)) << 707u << 0u;
    QTest::newRow("ext 00000000 24 x 00 brs") << 0x0u << true << true << QByteArray(24, 0)
                                              << 53u << 268u;
    QTest::newRow("ext 18DAF110 48 counting brs") << 0x18DAF110u << true << true
                                                  << counting(0, 48) << 49u << 443u;
    QTest::newRow("std 4A0 32 x 0F brs") << 0x4A0u << false << true << QByteArray(32, 0x0F)
                                         << 30u << 294u;
    // A length between FD lengths goes out padded with zeros to the next one.
    QTest::newRow("std 000 10 bytes as 12 brs") << 0x000u << false << true
                                                << QByteArray(10, 0) << 31u
                                                << 148u;
}

void tst_BusLoad::fdFrameBits()
{
    QFETCH(uint, id);
    QFETCH(bool, extended);
    QFETCH(bool, brs);
    QFETCH(QByteArray, data);
    QFETCH(uint, nominal);
    QFETCH(uint, dataPhase);

    const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
    const busload::FdFrameBits bits = busload::fdFrameBits(id, extended, brs, uint(data.size()),
                                                           data.isEmpty() ? nullptr : bytes);
    QCOMPARE(bits.nominal, nominal);
    QCOMPARE(bits.data, dataPhase);
    // At four times the nominal rate the data phase takes a quarter of the bit times.
    QCOMPARE(busload::nominalBitTimes(bits, 500000, 2000000), nominal + dataPhase / 4.0);
    QCOMPARE(busload::nominalBitTimes(bits, 500000, 0), 0.0);
}

void tst_BusLoad::loadPercent()
{
    QCOMPARE(busload::loadPercent(250000, 1.0, 500000), 50.0);
    QCOMPARE(busload::loadPercent(1000000, 2.0, 1000000), 50.0);
    QCOMPARE(busload::loadPercent(1, 0.0, 500000), 0.0);
    QCOMPARE(busload::loadPercent(1, 1.0, 0), 0.0);
    QCOMPARE(busload::loadPercent(1005000, 1.0, 1000000), 100.0);
}

QTEST_APPLESS_MAIN(tst_BusLoad)
#include "tst_busload.moc"
