#include "health/busload.h"
#include "health/busloadmeter.h"
#include "health/errorframe.h"

#include <QtTest>

#include <linux/can/error.h>

class tst_BusHealth : public QObject
{
    Q_OBJECT

private slots:
    void errorText_data();
    void errorText();
    void frameBits_data();
    void frameBits();
    void stuffBitsWithinTheirBounds();
    void loadOverTheLastSecond();
};

void tst_BusHealth::errorText_data()
{
    QTest::addColumn<quint32>("errorClass");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("text");

    const auto bytes = [](const char *hex) { return QByteArray::fromHex(hex); };
    QTest::newRow("bus error with stuff error on transmission in data")
        << quint32(CAN_ERR_BUSERROR | CAN_ERR_PROT) << bytes("000084" "0a000000")
        << "总线错误，填充错误(发送时，位置:数据段)";
    QTest::newRow("crc error: no type, crc sequence")
        << quint32(CAN_ERR_PROT) << bytes("00000008") << "CRC错误(位置:CRC序列)";
    QTest::newRow("crc delimiter form error names the form")
        << quint32(CAN_ERR_PROT) << bytes("00000218") << "格式错误(位置:CRC界定符)";
    QTest::newRow("two types at once")
        << quint32(CAN_ERR_PROT) << bytes("00000303") << "位错误，格式错误(位置:帧起始)";
    QTest::newRow("unknown location left out")
        << quint32(CAN_ERR_PROT) << bytes("00000160") << "位错误";
    QTest::newRow("warning on both sides is one condition")
        << quint32(CAN_ERR_CRTL) << bytes("000c") << "错误警告(接收/发送)";
    QTest::newRow("overflow and passive")
        << quint32(CAN_ERR_CRTL) << bytes("0011") << "控制器接收溢出，错误被动(接收)";
    QTest::newRow("counters follow the state")
        << quint32(CAN_ERR_CRTL | CAN_ERR_CNT) << bytes("0020000000008a05")
        << "错误被动(发送)，TEC:138 REC:5";
    QTest::newRow("arbitration lost at bit 3")
        << quint32(CAN_ERR_LOSTARB) << bytes("03") << "仲裁丢失(第3位)";
    QTest::newRow("transceiver wiring")
        << quint32(CAN_ERR_TRX) << bytes("0000000077") << "收发器错误(CANH对地短路，CANL对地短路)";
    QTest::newRow("ack and bus-off together")
        << quint32(CAN_ERR_ACK | CAN_ERR_BUSOFF) << QByteArray() << "ACK错误，总线关闭";
    QTest::newRow("short data reads as zeros")
        << quint32(CAN_ERR_PROT | CAN_ERR_CRTL) << bytes("00") << "控制器错误，协议错误";
    QTest::newRow("no class bits") << quint32(0) << QByteArray() << "未知错误(0x0)";
}

void tst_BusHealth::errorText()
{
    QFETCH(quint32, errorClass);
    QFETCH(QByteArray, data);
    QFETCH(QString, text);
    QCOMPARE(errorEventText(errorClass, data), text);
}

void tst_BusHealth::frameBits_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<bool>("remote");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("dlc");
    QTest::addColumn<int>("bits");

    // A standard frame of zeros has a CRC of zero: 34 equal bits take a stuff bit after
    // every fifth, 6 in all. The other counts come from a bit-by-bit model of the frame
    // written apart from this code.
    QTest::newRow("standard, all zero") << 0u << false << false << QByteArray() << 0 << 53;
    QTest::newRow("extended, all zero") << 0u << true << false << QByteArray() << 0 << 74;
    QTest::newRow("remote: no data bits whatever the length code")
        << 0u << false << true << QByteArray(8, '\xff') << 8 << 52;
    // The code itself goes on the wire (its four ones stuff differently from 8's 1000)
    // with eight data bytes after it.
    QTest::newRow("length code above eight counts eight bytes")
        << 0u << false << false << QByteArray(8, '\0') << 15 << 129;
    QTest::newRow("standard, three bytes")
        << 0x123u << false << false << QByteArray::fromHex("112233") << 3 << 72;
    QTest::newRow("extended, eight bytes")
        << 0x18DAF110u << true << false << QByteArray::fromHex("0102030405060708") << 8 << 141;
}

void tst_BusHealth::frameBits()
{
    QFETCH(quint32, id);
    QFETCH(bool, extended);
    QFETCH(bool, remote);
    QFETCH(QByteArray, data);
    QFETCH(int, dlc);
    QFETCH(int, bits);
    QCOMPARE(int(busload::frameBits(id, extended, remote, unsigned(dlc),
                              reinterpret_cast<const quint8 *>(data.constData()))),
             bits);
}

// Frames of random content: never fewer bits than unstuffed, never more stuff bits than
// one per four after the first, and the same frame always gives the same count.
void tst_BusHealth::stuffBitsWithinTheirBounds()
{
    QRandomGenerator random(12);
    for (int i = 0; i < 2000; ++i) {
        const bool extended = random.bounded(2) == 1;
        const int dlc = random.bounded(9);
        quint8 data[8];
        for (quint8 &byte : data)
            byte = quint8(random.bounded(256));
        const quint32 id = random.generate() & (extended ? 0x1FFFFFFFu : 0x7FFu);
        const int plain = (extended ? 67 : 47) + 8 * dlc;
        const int stuffedRegion = plain - 10;
        const int bits = int(busload::frameBits(id, extended, false, unsigned(dlc), data));
        QVERIFY2(bits >= plain && bits <= plain + (stuffedRegion - 1) / 4,
                 qPrintable(QStringLiteral("id %1 dlc %2: %3").arg(id).arg(dlc).arg(bits)));
        QCOMPARE(int(busload::frameBits(id, extended, false, unsigned(dlc), data)), bits);
    }
}

void tst_BusHealth::loadOverTheLastSecond()
{
    BusLoadMeter meter;
    QCOMPARE(meter.percent(0, 500), 0.0);
    for (int at = 0; at < 1000; at += 100)
        meter.addFrame(at, 55);
    meter.addFrame(950, 78);
    QCOMPARE(meter.percent(999, 10), 100.0 * (550 + 78) / 10000);
    // The frame at 0 ms leaves the window at 1000 ms, the one at 100 ms at 1100 ms.
    QCOMPARE(meter.percent(1000, 10), 100.0 * (495 + 78) / 10000);
    QCOMPARE(meter.percent(1100, 10), 100.0 * (440 + 78) / 10000);
    QCOMPARE(meter.percent(1100, 0), -1.0);
    QCOMPARE(meter.percent(5000, 10), 0.0);
    meter.addFrame(5000, 55);
    meter.clear();
    QCOMPARE(meter.percent(5000, 10), 0.0);
}

QTEST_GUILESS_MAIN(tst_BusHealth)
#include "tst_bushealth.moc"
