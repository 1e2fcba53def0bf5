#include "canable/canable.h"
#include "tests/tracebuilders.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

class tst_SimReplay : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void playsTheTraceInOrderAndLoops_data();
    void playsTheTraceInOrderAndLoops();
    void refusesWhatHoldsNoFrame_data();
    void refusesWhatHoldsNoFrame();
    void opensAndClosesInsideStretch_data();
    void opensAndClosesInsideStretch();
    void fdFramesOnlyInFdMode_data();
    void fdFramesOnlyInFdMode();

private:
    QString tracePath(const char *extension) const
    {
        return directory.filePath(QStringLiteral("trace.") + extension);
    }
    void writeFile(const QString &path, const QByteArray &content);

    QTemporaryDir directory;
};

namespace {

void putLe32(QByteArray &out, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out += char(value >> shift);
}

// A classic pcap of SocketCAN frames, identifier flags included, as the kernel captures it.
QByteArray socketCanPcap(const QList<QPair<qint64, QByteArray>> &frames)
{
    QByteArray out;
    for (quint32 word : { 0xa1b2c3d4u, 0x00040002u, 0u, 0u, 65535u, 227u })
        putLe32(out, word);
    for (const auto &frame : frames) {
        putLe32(out, quint32(frame.first / 1000000));
        putLe32(out, quint32(frame.first % 1000000));
        putLe32(out, 16);
        putLe32(out, 16);
        out += frame.second.leftJustified(16, '\0');
    }
    return out;
}

QString describe(const CanFrameRecord &record)
{
    return QStringLiteral("%1%2 %3 %4")
        .arg(record.id, 0, 16)
        .arg(record.extended ? "x" : "")
        .arg(record.remote ? "r" : "d")
        .arg(QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(record.data),
                       record.remote ? 0 : record.dlc).toHex()))
        + QStringLiteral("/%1").arg(record.dlc);
}

} // namespace

void tst_SimReplay::init()
{
    QVERIFY(directory.isValid());
    qputenv("CANABLE_INTERFACE", "sim");
}

void tst_SimReplay::cleanup()
{
    canable_freeDLL(0);
    qunsetenv("CANABLE_SIM_TRAFFIC");
}

void tst_SimReplay::writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void tst_SimReplay::playsTheTraceInOrderAndLoops_data()
{
    QTest::addColumn<QByteArray>("extension");
    QTest::addColumn<QByteArray>("content");
    // Between the first two frames the trace puts on the bus.
    QTest::addColumn<qint64>("firstGapUs");
    // The content is a classic pcap the test turns into a capture tool's pcapng.
    QTest::addColumn<bool>("toPcapng");
    QTest::newRow("log")
        << QByteArray("log")
        << QByteArray("(1000.000000) can0 123#1122 R\n(1000.020000) can0 1ABCDEF0#DEADBEEF T\n"
                      "(1000.020000) can0 20000004#0000000000000000\n"
                      "(1000.040000) can0 7FF#R3 R\n")
        << 20000LL << false;
    QTest::newRow("asc")
        << QByteArray("asc")
        << QByteArray("date Mon Dec 07 04:47:32.123 pm 2026\nbase hex  timestamps absolute\n"
                      "Begin Triggerblock Mon Dec 07 04:47:32.123 pm 2026\n"
                      "   0.000000 1  123             Rx   d 2 11 22\n"
                      "   0.010000 1  1ABCDEF0x       Tx   d 4 DE AD BE EF\n"
                      "   0.015000 1  ErrorFrame\n"
                      "   0.030000 1  7FF             Rx   r 3\nEnd TriggerBlock\n")
        << 10000LL << false;
    QTest::newRow("csv with a refused write")
        << QByteArray("csv")
        << QByteArray("序号,帧ID,数据,DLC,传输方向,状态,时间标识,格式,类型,\n"
                      "0,0x123,11 22,0x02,接收,成功,10:00:00:000,数据帧,标准帧,\n"
                      "1,0x456,01,0x01,发送,失败,10:00:00:001,数据帧,标准帧,\n"
                      "2,0x1abcdef0,de ad be ef,0x04,发送,成功,10:00:00:005,数据帧,扩展帧,\n"
                      "3,0x7ff,,0x03,接收,成功,10:00:00:009,远程帧,标准帧,\n")
        << 5000LL << false;
    const QByteArray pcap = socketCanPcap(
        { { 1000000000, QByteArray("\x00\x00\x01\x23\x02\0\0\0\x11\x22", 10) },
          { 1000020000, QByteArray("\x9a\xbc\xde\xf0\x04\0\0\0\xde\xad\xbe\xef", 12) },
          { 1000020000, QByteArray("\x20\x00\x00\x04\x08", 5) },
          { 1000040000, QByteArray("\x40\x00\x07\xff\x03", 5) } });
    QTest::newRow("pcap") << QByteArray("pcap") << pcap << 20000LL << false;
    QTest::newRow("pcapng named .pcapng") << QByteArray("pcapng") << pcap << 20000LL << true;
    QTest::newRow("pcapng named .pcap") << QByteArray("pcap") << pcap << 20000LL << true;
    QTest::newRow("pcap named .pcapng") << QByteArray("pcapng") << pcap << 20000LL << false;
}

void tst_SimReplay::playsTheTraceInOrderAndLoops()
{
    QFETCH(QByteArray, extension);
    QFETCH(QByteArray, content);
    QFETCH(qint64, firstGapUs);
    QFETCH(bool, toPcapng);
    const QString path = tracePath(extension.constData());
    if (toPcapng) {
        const QString editcap = QStandardPaths::findExecutable("editcap");
        if (editcap.isEmpty())
            QSKIP("editcap (wireshark-common) is not installed");
        const QString classic = directory.filePath("classic.pcap");
        writeFile(classic, content);
        QFile::remove(path);
        QCOMPARE(QProcess::execute(editcap, { "-F", "pcapng", classic, path }), 0);
    } else {
        writeFile(path, content);
    }
    qputenv("CANABLE_SIM_TRAFFIC", "replay:" + QFile::encodeName(path));
    QCOMPARE(canable_initDLL(0, 500), 0);
    const QStringList pass = { "123 d 1122/2", "1abcdef0x d deadbeef/4", "7ff r /3" };
    QStringList received;
    QVector<int64_t> stamps;
    QDeadlineTimer deadline(30000);
    while (received.size() < 3 * pass.size() && !deadline.hasExpired()) {
        CanFrameRecord record = {};
        if (canable_readMessage(0, &record, 1) == 0) {
            received << describe(record);
            int64_t stamp = 0;
            QCOMPARE(canable_lastReadTimestamp(0, &stamp), 0);
            stamps << stamp;
        }
    }
    QCOMPARE(received, pass + pass + pass);
    // The stamps follow the trace's gaps, however late the reads came.
    QCOMPARE(stamps.at(1) - stamps.at(0), firstGapUs);
    QCOMPARE(stamps.at(4) - stamps.at(3), firstGapUs);
}

void tst_SimReplay::refusesWhatHoldsNoFrame_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("create");
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("only error events")
        << QByteArray("(1.000000) can0 20000004#0000000000000000\n") << true;
    QTest::newRow("not a trace") << QByteArray("hello\nworld\n") << true;
}

void tst_SimReplay::refusesWhatHoldsNoFrame()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, create);
    const QString path = tracePath("log");
    QFile::remove(path);
    if (create)
        writeFile(path, content);
    qputenv("CANABLE_SIM_TRAFFIC", "replay:" + QFile::encodeName(path));
    QVERIFY(canable_initDLL(0, 500) != 0);
    CanFrameRecord record = {};
    QVERIFY(canable_readMessage(0, &record, 1) != 0);
}

void tst_SimReplay::opensAndClosesInsideStretch_data()
{
    using tracebuilders::Stretch;
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("stretch");
    QTest::addColumn<int>("gib");
    QTest::addColumn<bool>("firstFrame");

    for (bool first : { false, true }) {
        const QString where = first ? QStringLiteral(" after the first frame")
                                    : QStringLiteral(" before any frame");
        QTest::newRow(qPrintable("log, 64 GiB of zeros" + where))
                << "z.log" << int(Stretch::Zeros) << 64 << first;
        QTest::newRow(qPrintable("blf, containers of 20 GiB of zeros" + where))
                << "b.blf" << int(Stretch::BlfBomb) << 20 << first;
    }
}

// Opening and closing each return within a bound far below the time the file takes to
// read, wherever the reading stands.
void tst_SimReplay::opensAndClosesInsideStretch()
{
    QFETCH(QString, name);
    QFETCH(int, stretch);
    QFETCH(int, gib);
    QFETCH(bool, firstFrame);
    const QString path = directory.filePath(name);
    QVERIFY(tracebuilders::writeStretchedTrace(path, tracebuilders::Stretch(stretch), gib,
                                               firstFrame));
    qputenv("CANABLE_SIM_TRAFFIC", "replay:" + QFile::encodeName(path));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(canable_initDLL(0, 500), 0);
    const qint64 opening = timer.elapsed();
    CanFrameRecord record = {};
    if (firstFrame) {
        QDeadlineTimer deadline(10000);
        while (canable_readMessage(0, &record, 1) != 0 && !deadline.hasExpired()) {
        }
        QCOMPARE(record.id, 1u);
    }
    // The reads find nothing, and take no longer for the stretch.
    timer.restart();
    for (int i = 0; i < 20; ++i)
        QVERIFY(canable_readMessage(0, &record, 1) != 0);
    const qint64 reading = timer.elapsed();
    timer.restart();
    QCOMPARE(canable_freeDLL(0), 0);
    const qint64 closing = timer.elapsed();
    const QString took = QStringLiteral("open %1 ms, 20 reads %2 ms, close %3 ms")
                                 .arg(opening).arg(reading).arg(closing);
    QVERIFY2(opening < 3000 && reading < 3000 && closing < 3000, qPrintable(took));
    QFile::remove(path);
}

void tst_SimReplay::fdFramesOnlyInFdMode_data()
{
    QTest::addColumn<bool>("fdOpen");
    QTest::addColumn<bool>("fdReader");
    QTest::addColumn<QStringList>("pass");

    const QStringList all = { "123 d 1122/2 00", "7ff d 000102030405060700010203/12 03",
                              "1abcdef0x d " + QByteArray(64, '\xab').toHex() + "/64 05",
                              "321 r /3 10" };
    const QStringList classic = { all[0], all[3] };
    QTest::newRow("FD device, FD reader") << true << true << all;
    QTest::newRow("FD device, classic reader") << true << false << classic;
    QTest::newRow("classic device, FD reader") << false << true << classic;
    QTest::newRow("classic device, classic reader") << false << false << classic;
}

void tst_SimReplay::fdFramesOnlyInFdMode()
{
    QFETCH(bool, fdOpen);
    QFETCH(bool, fdReader);
    QFETCH(QStringList, pass);
    const QString path = tracePath("log");
    writeFile(path, "(1000.000000) can0 123#1122 R\n"
                    "(1000.001000) can0 7FF##1000102030405060700010203 R\n"
                    "(1000.002000) can0 1ABCDEF0##2" + QByteArray(64, '\xab').toHex() + " T\n"
                    "(1000.003000) can0 321#R3 R\n");
    qputenv("CANABLE_SIM_TRAFFIC", "replay:" + QFile::encodeName(path));
    QCOMPARE(fdOpen ? canable_initFD(0, 500, 2000) : canable_initDLL(0, 500), 0);
    QStringList received;
    QDeadlineTimer deadline(30000);
    while (received.size() < 2 * pass.size() && !deadline.hasExpired()) {
        CanFdFrameRecord fd = {};
        CanFrameRecord record = {};
        if (fdReader) {
            if (canable_readMessageFD(0, &fd) != 0)
                continue;
            QByteArray data(reinterpret_cast<const char *>(fd.data), 64);
            QVERIFY(data.mid(fd.len) == QByteArray(64 - fd.len, '\0'));
            received << QStringLiteral("%1%2 %3 %4/%5 %6").arg(fd.id, 0, 16)
                            .arg(fd.flags & CANABLE_FD_EXT ? "x" : "")
                            .arg(fd.flags & CANABLE_FD_RTR ? "r" : "d")
                            .arg(QString::fromLatin1(data.left(fd.flags & CANABLE_FD_RTR ? 0
                                                                                   : fd.len)
                                                         .toHex()))
                            .arg(fd.len).arg(fd.flags & ~CANABLE_FD_EXT, 2, 16, QChar('0'));
        } else if (canable_readMessage(0, &record, 1) == 0) {
            received << describe(record) + (record.remote ? " 10" : " 00");
        }
    }
    QCOMPARE(received, pass + pass);
}

QTEST_GUILESS_MAIN(tst_SimReplay)
#include "tst_simreplay.moc"
