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

void tst_BusLoad::loadPercent()
{
    QCOMPARE(busload::loadPercent(250000, 1.0, 500000), 50.0);
    QCOMPARE(busload::loadPercent(1000000, 2.0, 1000000), 50.0);
    QCOMPARE(busload::loadPercent(1, 0.0, 500000), 0.0);
    QCOMPARE(busload::loadPercent(1, 1.0, 0), 0.0);
}

QTEST_APPLESS_MAIN(tst_BusLoad)
#include "tst_busload.moc"
