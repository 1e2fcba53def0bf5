#include "tests/tracebuilders.h"
#include "traceformats/tracefile.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <thread>

#include <sys/resource.h>

using trace::Format;
using trace::Frame;
using namespace tracebuilders;

Q_DECLARE_METATYPE(Format)

namespace {

Frame frame(uint32_t id, const QByteArray &data, int64_t us, bool tx = false,
            bool extended = false, bool remote = false, int dlc = -1)
{
    Frame f;
    f.id = id;
    f.extended = extended;
    f.remote = remote;
    f.tx = tx;
    f.dlc = uint8_t(dlc >= 0 ? dlc : data.size());
    std::memcpy(f.data, data.constData(), size_t(data.size()));
    f.timestampUs = us;
    return f;
}

// Frames a user's trace holds: both identifier kinds, remote frames with a length, empty
// and full data, both directions, times that differ in the last microsecond.
QVector<Frame> sampleFrames()
{
    const int64_t t = 1796660000123456LL;
    return {
        frame(0x123, QByteArray::fromHex("1122334455667788"), t),
        frame(0x7ff, QByteArray(), t + 1, true),
        frame(0x1abcdef0, QByteArray::fromHex("deadbeef"), t + 999, false, true),
        frame(0x000, QByteArray::fromHex("00"), t + 1000, true),
        frame(0x321, QByteArray(), t + 123457, false, false, true, 3),
        frame(0x00000001, QByteArray(), t + 3600000001LL, true, true, true, 8),
        frame(0x555, QByteArray::fromHex("0102030405"), t + 3600000002LL, true),
    };
}

Frame fdFrame(uint32_t id, int length, bool brs, bool esi, int64_t us, bool tx = false,
              bool extended = false)
{
    QByteArray data;
    for (int i = 0; i < length; ++i)
        data.append(char(id + i * 7));
    Frame f = frame(id, data, us, tx, extended);
    f.fd = true;
    f.brs = brs;
    f.esi = esi;
    return f;
}

// FD frames of every kind of length, flags and identifier, between classic frames. None is
// FD with no data: python-can reads a CANFD line without data as a remote frame.
QVector<Frame> fdSampleFrames()
{
    const int64_t t = 1796660000123456LL;
    return {
        fdFrame(0x123, 12, true, false, t),
        frame(0x321, QByteArray::fromHex("1122"), t + 1),
        fdFrame(0x1abcdef0, 64, true, true, t + 999, true, true),
        fdFrame(0x7ff, 5, false, false, t + 1000),
        fdFrame(0x000, 20, false, true, t + 123457, true),
        frame(0x10, QByteArray(), t + 200000, false, false, true, 4),
        fdFrame(0x18daf110, 48, true, false, t + 3600000001LL, false, true),
        fdFrame(0x4a0, 8, true, false, t + 3600000002LL, true),
    };
}

QString writeTrace(const QString &path, Format format, const QVector<Frame> &frames)
{
    std::string error;
    auto writer = trace::Writer::create(path.toStdString(), format, &error);
    if (!writer)
        return QString::fromStdString(error);
    for (const Frame &f : frames) {
        if (!writer->write(f))
            return QString::fromStdString(writer->error());
    }
    return writer->close() ? QString() : QString::fromStdString(writer->error());
}

QVector<Frame> readTrace(const QString &path, Format format, uint64_t *skipped = nullptr)
{
    std::string error;
    auto reader = trace::Reader::open(path.toStdString(), format, &error);
    if (!reader)
        return {};
    QVector<Frame> frames;
    Frame f;
    while (reader->next(f))
        frames.append(f);
    if (skipped)
        *skipped = reader->skipped();
    return frames;
}

// One line per frame in the form the python script below prints.
QString describe(const Frame &f, bool withDirection = true, int64_t originUs = 0)
{
    QByteArray data;
    if (!f.remote)
        data = QByteArray(reinterpret_cast<const char *>(f.data), f.dlc).toHex();
    const QString line = QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
            .arg(f.id, 0, 16)
            .arg(int(f.extended))
            .arg(int(f.remote))
            .arg(f.dlc)
            .arg(QString::fromLatin1(data))
            .arg(withDirection ? (f.tx ? "T" : "R") : "-")
            .arg(f.timestampUs - originUs);
    return f.fd ? line + QStringLiteral(" fd %1 %2").arg(int(f.brs)).arg(int(f.esi)) : line;
}

QStringList describeAll(const QVector<Frame> &frames, bool withDirection = true,
                        bool relative = false)
{
    QStringList lines;
    for (const Frame &f : frames)
        lines << describe(f, withDirection, relative ? frames.first().timestampUs : 0);
    return lines;
}

const char readScript[] = R"(
import sys, can
reader = {'log': can.CanutilsLogReader, 'asc': can.ASCReader, 'blf': can.BLFReader}
kind = sys.argv[1]
args = {'relative_timestamp': False} if kind == 'asc' else {}
for m in reader[kind](sys.argv[2], **args):
    data = '' if m.is_remote_frame else bytes(m.data).hex()
    fd = ' fd %d %d' % (m.bitrate_switch, m.error_state_indicator) if m.is_fd else ''
    print('%x %d %d %d %s %s %d%s' % (m.arbitration_id, m.is_extended_id, m.is_remote_frame,
          m.dlc, data, 'R' if m.is_rx else 'T', round(m.timestamp * 1e6), fd))
)";

const char writeScript[] = R"(
import sys, can
writer = {'log': can.CanutilsLogWriter, 'asc': can.ASCWriter, 'blf': can.BLFWriter}
w = writer[sys.argv[1]](sys.argv[2])
t = 1796660000.123456
if len(sys.argv) > 3:
    w.on_message_received(can.Message(timestamp=t, arbitration_id=0x123, is_fd=True,
                                      is_extended_id=False, bitrate_switch=True,
                                      data=bytes(range(64))))
    w.on_message_received(can.Message(timestamp=t + 0.000999, arbitration_id=0x1abcdef0,
                                      is_extended_id=True, is_fd=True, is_rx=False,
                                      error_state_indicator=True, data=bytes(range(12))))
    w.on_message_received(can.Message(timestamp=t + 1.5, arbitration_id=0x10, is_fd=True,
                                      is_extended_id=False, data=b'\x01\x02\x03'))
    w.on_message_received(can.Message(timestamp=t + 7200.000001, arbitration_id=0x7ff,
                                      is_extended_id=False, data=b'\xaa'))
    w.stop()
    sys.exit(0)
w.on_message_received(can.Message(timestamp=t, arbitration_id=0x123, is_extended_id=False,
                                  data=bytes.fromhex('1122334455667788')))
w.on_message_received(can.Message(timestamp=t + 0.000999, arbitration_id=0x1abcdef0,
                                  is_extended_id=True, is_rx=False, data=b'\x01\x02'))
w.on_message_received(can.Message(timestamp=t + 1.5, arbitration_id=0x10, is_extended_id=False,
                                  is_remote_frame=True, dlc=4))
w.on_message_received(can.Message(timestamp=t + 7200.000001, arbitration_id=0x7ff,
                                  is_extended_id=False, is_rx=False, data=b''))
w.stop()
)";

QString python()
{
    return QFile::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : QString();
}

bool pythonHasCan()
{
    if (python().isEmpty())
        return false;
    return QProcess::execute(python(), { "-c", "import can" }) == 0;
}

QStringList run(const QString &program, const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.start(program, arguments);
    *ok = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    if (!*ok)
        qWarning().noquote() << program << arguments << process.readAllStandardError();
    return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

const char *kindOf(Format format)
{
    return trace::extensionOf(format);
}

size_t peakRssKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toULong();
    }
    return 0;
}

// A pcapng file as capture tools write it: in either byte order, with the interface's time
// resolution (0: none given, microseconds) and offset, one CAN packet with its direction
// flag (0: none, 1 inbound, 2 outbound) and, optionally, an Ethernet interface's packet.
QByteArray pcapng(bool bigEndian, uint8_t resolution, int64_t offsetSeconds, uint32_t flags,
                  bool ethernetToo, uint64_t stamp)
{
    auto put = [bigEndian](QByteArray &out, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += char(v >> (8 * (bigEndian ? bytes - 1 - i : i)));
    };
    auto block = [&](uint32_t type, const QByteArray &body) {
        QByteArray b;
        const QByteArray padded = body + QByteArray((4 - body.size() % 4) % 4, '\0');
        put(b, type, 4);
        put(b, padded.size() + 12, 4);
        b += padded;
        put(b, padded.size() + 12, 4);
        return b;
    };
    auto option = [&](uint16_t code, const QByteArray &value) {
        QByteArray o;
        put(o, code, 2);
        put(o, value.size(), 2);
        return o + value + QByteArray((4 - value.size() % 4) % 4, '\0');
    };
    QByteArray section;
    put(section, 0x1a2b3c4d, 4);
    put(section, 0x00000001, 4);
    put(section, ~0ULL, 8);
    QByteArray out = block(0x0a0d0d0a, section);
    QByteArray can;
    put(can, 227, 2);
    put(can, 0, 6);
    if (resolution)
        can += option(9, QByteArray(1, char(resolution)));
    if (offsetSeconds) {
        QByteArray value;
        put(value, uint64_t(offsetSeconds), 8);
        can += option(14, value);
    }
    out += block(1, can);
    if (ethernetToo) {
        QByteArray ethernet;
        put(ethernet, 1, 2);
        put(ethernet, 0, 6);
        out += block(1, ethernet);
    }
    auto packet = [&](uint32_t interface, const QByteArray &data, uint32_t packetFlags) {
        QByteArray body;
        put(body, interface, 4);
        put(body, stamp >> 32, 4);
        put(body, uint32_t(stamp), 4);
        put(body, data.size(), 4);
        put(body, data.size(), 4);
        body += data + QByteArray((4 - data.size() % 4) % 4, '\0');
        if (packetFlags) {
            QByteArray value;
            put(value, packetFlags, 4);
            body += option(2, value);
        }
        return block(6, body);
    };
    // The identifier travels in network order whatever the file's byte order.
    const QByteArray frame = QByteArray::fromHex("9abcdef003000000aabbcc0000000000");
    if (ethernetToo)
        out += packet(1, QByteArray(60, '\x11'), 0);
    out += packet(0, frame, flags);
    return out;
}

} // namespace

class TstTraceFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void pythonReadsOurs_data();
    void pythonReadsOurs();
    void oursReadsPython_data();
    void oursReadsPython();
    void canUtilsRoundTrip_data();
    void canUtilsRoundTrip();
    void tsharkDecodesPcap_data();
    void tsharkDecodesPcap();
    void pcapngFromWireshark();
    void pcapngLayouts_data();
    void pcapngLayouts();
    void hostileInput_data();
    void hostileInput();
    void damagedFdFrames_data();
    void damagedFdFrames();
    void writeErrorKeepsCompleteFrames_data();
    void writeErrorKeepsCompleteFrames();
    void csvKeepsTheTableRows_data();
    void csvKeepsTheTableRows();
    void formatForPath_data();
    void formatForPath();
    void identifiersAndTimesAsWritten_data();
    void identifiersAndTimesAsWritten();
    void cancelInsideStretchWithoutFrames_data();
    void cancelInsideStretchWithoutFrames();

private:
    QTemporaryDir m_dir;
};

void TstTraceFile::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A zone away from UTC and with summer time catches local and universal time mixed up
    // in the formats that carry a local calendar date.
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void TstTraceFile::roundTrip_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<bool>("keepsDirection");
    QTest::addColumn<bool>("fd");
    QTest::newRow("log") << Format::CandumpLog << true << false;
    QTest::newRow("asc") << Format::Asc << true << false;
    QTest::newRow("pcap") << Format::Pcap << false << false;
    QTest::newRow("blf") << Format::Blf << true << false;
    QTest::newRow("log fd") << Format::CandumpLog << true << true;
    QTest::newRow("asc fd") << Format::Asc << true << true;
    QTest::newRow("pcap fd") << Format::Pcap << false << true;
    QTest::newRow("blf fd") << Format::Blf << true << true;
}

void TstTraceFile::roundTrip()
{
    QFETCH(Format, format);
    QFETCH(bool, keepsDirection);
    QFETCH(bool, fd);
    QVector<Frame> frames = fd ? fdSampleFrames() : sampleFrames();
    Frame refused = frames[1];
    refused.success = false;
    refused.id = 0x42;
    frames.insert(2, refused);
    const QString path = m_dir.filePath(QStringLiteral("round.") + kindOf(format));
    QCOMPARE(writeTrace(path, format, frames), QString());
    frames.remove(2);
    uint64_t skipped = 0;
    const QVector<Frame> back = readTrace(path, format, &skipped);
    QCOMPARE(describeAll(back, keepsDirection), describeAll(frames, keepsDirection));
    QCOMPARE(skipped, uint64_t(0));
}

void TstTraceFile::pythonReadsOurs_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<bool>("fd");
    QTest::newRow("log") << Format::CandumpLog << false;
    QTest::newRow("asc") << Format::Asc << false;
    QTest::newRow("blf") << Format::Blf << false;
    QTest::newRow("log fd") << Format::CandumpLog << true;
    QTest::newRow("asc fd") << Format::Asc << true;
    QTest::newRow("blf fd") << Format::Blf << true;
}

void TstTraceFile::pythonReadsOurs()
{
    if (!pythonHasCan())
        QSKIP("python3-can is not installed");
    QFETCH(Format, format);
    QFETCH(bool, fd);
    const QVector<Frame> frames = fd ? fdSampleFrames() : sampleFrames();
    const QString path = m_dir.filePath(QStringLiteral("ours.") + kindOf(format));
    QCOMPARE(writeTrace(path, format, frames), QString());
    bool ok = false;
    const QStringList lines = run(python(), { "-c", readScript, kindOf(format), path }, &ok);
    QVERIFY(ok);
    QCOMPARE(lines, describeAll(frames));
}

void TstTraceFile::oursReadsPython_data()
{
    pythonReadsOurs_data();
}

void TstTraceFile::oursReadsPython()
{
    if (!pythonHasCan())
        QSKIP("python3-can is not installed");
    QFETCH(Format, format);
    QFETCH(bool, fd);
    const QString path = m_dir.filePath(QStringLiteral("theirs.") + kindOf(format));
    bool ok = false;
    QStringList arguments = { "-c", writeScript, kindOf(format), path };
    if (fd)
        arguments << "fd";
    run(python(), arguments, &ok);
    QVERIFY(ok);
    if (format == Format::Asc) {
        // The writer stamps its header with the current time and, cutting it to
        // milliseconds, now and then cuts digits elsewhere too, which its own reader then
        // refuses: both readers get the same well-formed date instead.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray text = file.readAll();
        QVERIFY(text.startsWith("date "));
        text.replace(0, text.indexOf('\n'), "date Tue Dec 08 04:20:17.484 PM 2026");
        QVERIFY(file.resize(0));
        QCOMPARE(file.write(text), qint64(text.size()));
    }
    const QStringList theirs = run(python(), { "-c", readScript, kindOf(format), path }, &ok);
    QVERIFY(ok);
    QCOMPARE(theirs.size(), 4);
    uint64_t skipped = 0;
    QCOMPARE(describeAll(readTrace(path, format, &skipped)), theirs);
    QCOMPARE(skipped, uint64_t(0));
}

void TstTraceFile::canUtilsRoundTrip_data()
{
    QTest::addColumn<bool>("fd");
    QTest::newRow("classic") << false;
    QTest::newRow("fd") << true;
}

void TstTraceFile::canUtilsRoundTrip()
{
    QFETCH(bool, fd);
    const QString log2asc = QStandardPaths::findExecutable("log2asc");
    const QString asc2log = QStandardPaths::findExecutable("asc2log");
    if (log2asc.isEmpty() || asc2log.isEmpty())
        QSKIP("can-utils is not installed");
    const QString log = m_dir.filePath("cu.log");
    const QString asc = m_dir.filePath("cu.asc");
    const QString back = m_dir.filePath("cu-back.log");
    const QString ourAsc = m_dir.filePath("cu-ours.asc");
    const QString ourBack = m_dir.filePath("cu-ours-back.log");
    const QVector<Frame> frames = fd ? fdSampleFrames() : sampleFrames();
    QCOMPARE(writeTrace(log, Format::CandumpLog, frames), QString());
    QCOMPARE(writeTrace(ourAsc, Format::Asc, frames), QString());
    bool ok = false;
    // -f writes the classic frames as CANFD lines too, which must read as classic.
    run(log2asc, fd ? QStringList{ "-f", "-I", log, "-O", asc, "can0" }
                    : QStringList{ "-I", log, "-O", asc, "can0" }, &ok);
    QVERIFY(ok);
    run(asc2log, { "-I", asc, "-O", back }, &ok);
    QVERIFY(ok);
    run(asc2log, { "-I", ourAsc, "-O", ourBack }, &ok);
    QVERIFY(ok);
    // asc2log takes the date of the header only with a German or US locale installed,
    // so times are compared from the first frame on.
    const QStringList expected = describeAll(frames, true, true);
    QCOMPARE(describeAll(readTrace(back, Format::CandumpLog), true, true), expected);
    QCOMPARE(describeAll(readTrace(ourBack, Format::CandumpLog), true, true), expected);
    QCOMPARE(describeAll(readTrace(asc, Format::Asc), true, true), expected);
}

void TstTraceFile::tsharkDecodesPcap_data()
{
    QTest::addColumn<bool>("fd");
    QTest::newRow("classic") << false;
    QTest::newRow("fd") << true;
}

void TstTraceFile::tsharkDecodesPcap()
{
    QFETCH(bool, fd);
    const QString tshark = QStandardPaths::findExecutable("tshark");
    if (tshark.isEmpty())
        QSKIP("tshark is not installed");
    QVector<Frame> frames = fd ? fdSampleFrames() : sampleFrames();
    Frame error;
    error.error = true;
    error.id = 0x004;
    error.dlc = 8;
    error.data[1] = 0x10;
    error.timestampUs = frames.last().timestampUs + 5;
    frames.append(error);
    const QString path = m_dir.filePath("shark.pcap");
    QCOMPARE(writeTrace(path, Format::Pcap, frames), QString());
    bool ok = false;
    // Identifier 0 would otherwise go to the AUTOSAR NM dissector instead of plain data.
    const QStringList lines = run(tshark, { "-r", path, "--disable-protocol", "autosar-nm",
                                            "-T", "fields", "-E", "separator=,",
                                            "-e", "can.id", "-e", "can.flags.xtd",
                                            "-e", "can.flags.rtr", "-e", "can.flags.err",
                                            "-e", "can.len", "-e", "data.data",
                                            "-e", "frame.time_epoch", "-e", "can.err.ctrl",
                                            "-e", "can.err.ctrl.rx_passive",
                                            "-e", "canfd.flags.brs", "-e", "canfd.flags.esi" },
                            &ok);
    QVERIFY(ok);
    QStringList expected;
    for (const Frame &f : frames) {
        const QString time = QStringLiteral("%1.%2").arg(f.timestampUs / 1000000)
                .arg(f.timestampUs % 1000000, 6, 10, QLatin1Char('0'));
        if (f.error) {
            // A controller problem (class 0x004) with the receiver error-passive (0x10).
            expected << QStringLiteral(",,,1,8,,%1,1,1,,").arg(time);
            continue;
        }
        if (f.fd) {
            // An FD frame has no remote or error flag, and its own two.
            expected << QStringLiteral("%1,%2,,,%3,%4,%5,,,%6,%7")
                                .arg(f.id)
                                .arg(int(f.extended))
                                .arg(f.dlc)
                                .arg(QString::fromLatin1(QByteArray(
                                        reinterpret_cast<const char *>(f.data), f.dlc).toHex()))
                                .arg(time)
                                .arg(int(f.brs))
                                .arg(int(f.esi));
            continue;
        }
        // A remote frame's requested length travels as that many zero bytes.
        const QByteArray data = f.remote
                ? QByteArray(f.dlc, '\0').toHex()
                : QByteArray(reinterpret_cast<const char *>(f.data), f.dlc).toHex();
        expected << QStringLiteral("%1,%2,%3,%4,%5,%6,%7,,,,")
                            .arg(f.id)
                            .arg(int(f.extended))
                            .arg(int(f.remote))
                            .arg(int(f.error))
                            .arg(f.dlc)
                            .arg(QString::fromLatin1(data))
                            .arg(time);
    }
    QStringList decoded;
    // tshark prints the epoch with nanoseconds; the capture holds microseconds.
    for (QString line : lines)
        decoded << line.replace(QRegularExpression("(\\.\\d{6})000,"), "\\1,");
    QCOMPARE(decoded, expected);
}

void TstTraceFile::pcapngFromWireshark()
{
    const QString editcap = QStandardPaths::findExecutable("editcap");
    if (editcap.isEmpty())
        QSKIP("editcap (wireshark-common) is not installed");
    const QString path = m_dir.filePath("classic.pcap");
    const QString converted = m_dir.filePath("wireshark.pcapng");
    QCOMPARE(writeTrace(path, Format::Pcap, sampleFrames()), QString());
    bool ok = false;
    run(editcap, { "-F", "pcapng", path, converted }, &ok);
    QVERIFY(ok);
    uint64_t skipped = 0;
    QCOMPARE(describeAll(readTrace(converted, Format::Pcap, &skipped), false),
             describeAll(sampleFrames(), false));
    QCOMPARE(skipped, 0u);
}

void TstTraceFile::pcapngLayouts_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("skipped");
    const QString frame = QStringLiteral("1abcdef0 1 0 3 aabbcc %1 %2");
    QTest::newRow("little-endian, microseconds")
            << pcapng(false, 0, 0, 0, false, 1796660000123456ULL)
            << frame.arg("R").arg(1796660000123456LL) << 0;
    QTest::newRow("big-endian, nanoseconds, outbound")
            << pcapng(true, 9, 0, 2, false, 1796660000123456789ULL)
            << frame.arg("T").arg(1796660000123456LL) << 0;
    QTest::newRow("binary fraction and offset, inbound")
            << pcapng(false, 0x80 | 10, 1000, 1, false, 1024ULL * 5 + 512)
            << frame.arg("R").arg(1005500000LL) << 0;
    QTest::newRow("Ethernet interface beside")
            << pcapng(false, 6, 0, 0, true, 7) << frame.arg("R").arg(7LL) << 1;
    QTest::newRow("stamp beyond any clock")
            << pcapng(false, 0, 0, 0, false, ~0ULL) << QString() << 1;
    QTest::newRow("offset beyond any clock")
            << pcapng(false, 6, INT64_MAX, 0, false, 7) << QString() << 1;
    QByteArray cut = pcapng(false, 6, 0, 0, true, 7);
    cut.chop(5);
    QTest::newRow("last block cut") << cut << QString() << 2;
}

void TstTraceFile::pcapngLayouts()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QFETCH(int, skipped);
    const QString path = m_dir.filePath("layout.pcap");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    uint64_t skippedRead = 0;
    const QStringList frames = describeAll(readTrace(path, Format::Pcap, &skippedRead));
    QCOMPARE(frames, expected.isEmpty() ? QStringList() : QStringList(expected));
    QCOMPARE(skippedRead, uint64_t(skipped));
}

void TstTraceFile::hostileInput_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("sparseSize");
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("opens");

    QRandomGenerator random(11);
    QByteArray noise(1 << 20, '\0');
    random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    const QString valid = m_dir.filePath("valid");
    QMap<Format, QByteArray> good;
    for (Format format : { Format::CandumpLog, Format::Asc, Format::Pcap, Format::Blf }) {
        const QString path = valid + "." + kindOf(format);
        writeTrace(path, format, sampleFrames());
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        good[format] = file.readAll();
    }
    const qint64 twoGiB = 2LL << 30;

    for (Format format : { Format::CandumpLog, Format::Asc, Format::Pcap, Format::Blf,
                           Format::Csv }) {
        const QByteArray kind = kindOf(format);
        QTest::newRow((kind + " empty").constData()) << format << QByteArray() << 0LL << 0
                                       << (format != Format::Pcap && format != Format::Blf);
        QTest::newRow((kind + " noise").constData()) << format << noise << 0LL << 0
                                       << (format != Format::Pcap && format != Format::Blf);
    }
    QTest::newRow("log 2 GiB of zeros") << Format::CandumpLog << QByteArray() << twoGiB << 0
                                        << true;
    QTest::newRow("log long line then frame")
            << Format::CandumpLog
            << QByteArray(10 << 20, 'x') + "\n(1.000001) can0 123#11 R\n" << 0LL << 1 << true;
    QTest::newRow("log bad lines between frames")
            << Format::CandumpLog
            << QByteArray("(1.0) can0 123#11\n(x) can0 1#\n(2.0) can0 1234#\n"
                          "(3.0) can0 800#\n(4.0) can0 12#112233445566778899\n"
                          "(5.0) can0 7FF#R9\n(6.0) can0 7FF#R2 T\n")
            << 0LL << 2 << true;
    QTest::newRow("asc bad lines")
            << Format::Asc
            << QByteArray("date Mon Dec 07 04:47:32.123 pm 2026\n"
                          "   1.000000 1  123 Rx d 9 1 2 3 4 5 6 7 8 9\n"
                          "   1.000000 1  123 Rx d 4 11 22\n"
                          "   1.000000 1  800 Rx d 0\n"
                          "   1.000000 1  123 Qx d 0\n"
                          "   2.000000 1  123 Rx d 1 11\n")
            << 0LL << 1 << true;
    for (int cut : { 10, 24, 30, 40, 50 }) {
        QTest::newRow(qPrintable(QStringLiteral("pcap cut at %1").arg(cut)))
                << Format::Pcap << good[Format::Pcap].left(cut) << 0LL
                << (cut >= 56 ? 1 : 0) << (cut >= 24);
    }
    QByteArray hugeRecord = good[Format::Pcap].left(24);
    hugeRecord += QByteArray::fromHex("0000000000000000ffff0f00ffff0f00");
    hugeRecord += noise.left(1000);
    QTest::newRow("pcap huge record") << Format::Pcap << hugeRecord << 0LL << 0 << true;
    QByteArray otherLink = good[Format::Pcap];
    otherLink[20] = 1;
    QTest::newRow("pcap ethernet") << Format::Pcap << otherLink << 0LL << 0 << false;
    const QByteArray ng = pcapng(false, 6, 0, 0, false, 7);
    QTest::newRow("pcapng 2 GiB of zeros after section")
            << Format::Pcap << ng.left(28) << twoGiB << 0 << true;
    QTest::newRow("pcapng huge block before packet")
            << Format::Pcap
            << ng.left(28) + QByteArray::fromHex("06000000f0ffff7f") + noise.left(4096)
                    + ng.mid(28)
            << 0LL << 0 << true;

    const QByteArray blf = good[Format::Blf];
    for (int cut : { 100, 144, 150, 160, 200, int(blf.size()) - 5 }) {
        QTest::newRow(qPrintable(QStringLiteral("blf cut at %1").arg(cut)))
                << Format::Blf << blf.left(cut) << 0LL << 0 << (cut >= 144);
    }
    QByteArray zeroObject = blf.left(144) + QByteArray("LOBJ\x10\0\x01\0\0\0\0\0\x0a\0\0\0", 16)
            + blf.mid(144);
    QTest::newRow("blf zero-length object first") << Format::Blf << zeroObject << 0LL << 7
                                                  << true;
    QByteArray absurd = blf.left(144)
            + QByteArray("LOBJ\x10\0\x01\0\xff\xff\xff\xff\x0a\0\0\0", 16) + blf.mid(144);
    QTest::newRow("blf absurd object size") << Format::Blf << absurd << 0LL << 7 << true;
    QByteArray garbage = blf.left(144) + noise.left(5000) + blf.mid(144);
    QTest::newRow("blf garbage before container") << Format::Blf << garbage << 0LL << 7
                                                  << true;
    QByteArray badZlib = blf;
    for (int i = 180; i < badZlib.size(); ++i)
        badZlib[i] = char(badZlib[i] ^ 0x5a);
    QTest::newRow("blf damaged compression") << Format::Blf << badZlib << 0LL << 0 << true;
    QByteArray hugeUncompressed = blf;
    hugeUncompressed[144 + 24 + 3] = char(0x7f);
    QTest::newRow("blf absurd uncompressed size") << Format::Blf << hugeUncompressed << 0LL
                                                  << 0 << true;
    QTest::newRow("blf 2 GiB of zeros after header")
            << Format::Blf << blf.left(144) << twoGiB << 0 << true;
}

void TstTraceFile::hostileInput()
{
    QFETCH(Format, format);
    QFETCH(QByteArray, content);
    QFETCH(qint64, sparseSize);
    QFETCH(int, frames);
    QFETCH(bool, opens);
    const QString path = m_dir.filePath(QStringLiteral("hostile.") + kindOf(format));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), qint64(content.size()));
        if (sparseSize > 0)
            QVERIFY(file.resize(sparseSize));
    }
    const size_t peakBefore = peakRssKiB();
    std::string error;
    auto reader = trace::Reader::open(path.toStdString(), format, &error);
    QCOMPARE(reader != nullptr, opens);
    if (!reader) {
        QVERIFY(!error.empty());
        return;
    }
    int count = 0;
    Frame f;
    while (reader->next(f))
        ++count;
    QCOMPARE(count, frames);
    QVERIFY(reader->bytesRead() <= reader->totalBytes());
    QVERIFY2(peakRssKiB() < peakBefore + 64 * 1024, "reading grew the memory");
    QFile::remove(path);
}

void TstTraceFile::damagedFdFrames_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("frames");

    QTest::newRow("log")
            << Format::CandumpLog
            << QByteArray("(1.0) can0 123##\n(1.0) can0 123##1" + QByteArray(10, 'A').toHex()
                          + "\n(1.0) can0 123##G00\n(1.0) can0 123##0" + QByteArray(65, 'A')
                          .toHex() + "\n(1.0) can0 20000004##1\n(1.0) can0 800##100\n"
                          "(2.0) can0 123##30011 T\n(3.0) can0 12345678##0" + QByteArray(64, 'B')
                          .toHex() + "\n")
            << 2;
    const QByteArray fdLine = "   1.000000 CANFD   1 Rx 123 1 0 ";
    const QByteArray tail = " 0 0 3000 0 0 0 0 0\n";
    QTest::newRow("asc")
            << Format::Asc
            << QByteArray("date Mon Dec 07 04:47:32.123 pm 2026\n" + fdLine + "9 11"
                          + QByteArray(11, ' ').replace(" ", " 01") + tail + fdLine + "f 65"
                          + QByteArray(65, ' ').replace(" ", " 01") + tail + fdLine + "9 12 01"
                          + tail + "   1.000000 CANFD   1 Rx 123 0 0 c 12"
                          + QByteArray(12, ' ').replace(" ", " 01") + " 0 0 0 0 0 0 0 0\n"
                          + "   1.000000 CANFD   1 Qx 123 1 0 1 1 01" + tail + fdLine + "2 3 01 02"
                          + tail + fdLine + "9 12" + QByteArray(12, ' ').replace(" ", " 02")
                          + tail)
            << 1;
    const QString path = m_dir.filePath("fd-source.pcap");
    writeTrace(path, Format::Pcap, fdSampleFrames().mid(0, 1) + fdSampleFrames().mid(0, 1));
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    const QByteArray pcap = file.readAll();
    for (int length : { 10, 65, 255 }) {
        QByteArray damaged = pcap;
        damaged[24 + 16 + 4] = char(length);
        QTest::addRow("pcap length %d", length) << Format::Pcap << damaged << 1;
    }
}

// A frame the line or record contradicts is passed over and counted, never cut or padded
// into something the bus did not carry.
void TstTraceFile::damagedFdFrames()
{
    QFETCH(Format, format);
    QFETCH(QByteArray, content);
    QFETCH(int, frames);
    const QString path = m_dir.filePath(QStringLiteral("damaged-fd.") + kindOf(format));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    uint64_t skipped = 0;
    const QVector<Frame> read = readTrace(path, format, &skipped);
    QCOMPARE(read.size(), frames);
    QVERIFY(skipped > 0);
    for (const Frame &f : read) {
        QVERIFY(f.fd);
        QVERIFY(trace::isFdLength(f.dlc));
    }
}

void TstTraceFile::writeErrorKeepsCompleteFrames_data()
{
    roundTrip_data();
}

void TstTraceFile::writeErrorKeepsCompleteFrames()
{
    QFETCH(Format, format);
    QFETCH(bool, keepsDirection);
    const QString path = m_dir.filePath(QStringLiteral("full.") + kindOf(format));
    std::string error;
    auto writer = trace::Writer::create(path.toStdString(), format, &error);
    QVERIFY(writer);
    // A file size limit stands in for a full disk: writes beyond it fail as they would.
    struct rlimit old = {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit limit = old;
    limit.rlim_cur = 300 * 1024 + 17;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    QVector<Frame> written;
    bool failed = false;
    for (int i = 0; i < 200000 && !failed; ++i) {
        Frame f = sampleFrames()[i % 7];
        f.timestampUs += i * 100LL;
        f.data[0] = uint8_t(i);
        if (!f.remote && f.dlc == 0)
            f.dlc = 1;
        failed = !writer->write(f) || (i % 1000 == 999 && !writer->flush());
        written.append(f);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(failed);
    QVERIFY(!writer->error().empty());
    writer.reset();
    uint64_t skipped = 0;
    const QVector<Frame> back = readTrace(path, format, &skipped);
    QVERIFY(back.size() > 1000);
    QCOMPARE(skipped, uint64_t(0));
    QCOMPARE(describeAll(back, keepsDirection),
             describeAll(written.mid(0, back.size()), keepsDirection));
}

void TstTraceFile::csvKeepsTheTableRows_data()
{
    QTest::addColumn<bool>("fd");
    QTest::newRow("classic") << false;
    // FD rows say FD, BRS and ESI in 格式 and hold every byte.
    QTest::newRow("fd") << true;
}

void TstTraceFile::csvKeepsTheTableRows()
{
    QFETCH(bool, fd);
    QVector<Frame> frames = fd ? fdSampleFrames() : sampleFrames();
    frames[1].success = false;
    const QString path = m_dir.filePath("table.csv");
    QCOMPARE(writeTrace(path, Format::Csv, frames), QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readLine()),
             QStringLiteral("序号,帧ID,数据,DLC,传输方向,状态,时间标识,格式,类型,\n"));
    std::string error;
    auto reader = trace::Reader::open(path.toStdString(), Format::Csv, &error);
    QVERIFY(reader);
    QVERIFY(reader->timeOfDayOnly());
    QVector<Frame> expected = frames;
    for (Frame &f : expected) {
        // The table shows the local time of day to the millisecond.
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(f.timestampUs / 1000);
        f.timestampUs = qint64(local.time().msecsSinceStartOfDay()) * 1000;
    }
    QVector<Frame> back;
    Frame f;
    while (reader->next(f))
        back.append(f);
    QCOMPARE(reader->skipped(), uint64_t(0));
    QCOMPARE(describeAll(back), describeAll(expected));
    QCOMPARE(back[1].success, false);
    QCOMPARE(back[0].success, true);
}

void TstTraceFile::formatForPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<Format>("format");
    QTest::newRow("log") << "/a/b.log" << Format::CandumpLog;
    QTest::newRow("upper asc") << "C.ASC" << Format::Asc;
    QTest::newRow("pcap") << "x.y.pcap" << Format::Pcap;
    QTest::newRow("blf") << "t.blf" << Format::Blf;
    QTest::newRow("csv") << "t.csv" << Format::Csv;
    QTest::newRow("dot in folder only") << "/a.log/trace" << Format::Unknown;
    QTest::newRow("other") << "t.txt" << Format::Unknown;
}

void TstTraceFile::formatForPath()
{
    QFETCH(QString, path);
    QFETCH(Format, format);
    QCOMPARE(trace::formatForPath(path.toStdString()), format);
}

void TstTraceFile::identifiersAndTimesAsWritten_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<int>("skipped");

    const auto log = [](const char *identifier) {
        return "(1.000000) can0 " + QByteArray(identifier) + "#11 R\n(2.000000) can0 123#22 R\n";
    };
    const QString second = QStringLiteral("123 0 0 1 22 R 2000000");
    QTest::newRow("log standard") << Format::CandumpLog << log("7FF")
                                  << QStringList { "7ff 0 0 1 11 R 1000000", second } << 0;
    QTest::newRow("log extended, leading zeros")
            << Format::CandumpLog << log("00000123")
            << QStringList { "123 1 0 1 11 R 1000000", second } << 0;
    QTest::newRow("log extended, highest") << Format::CandumpLog << log("1FFFFFFF")
                                           << QStringList { "1fffffff 1 0 1 11 R 1000000",
                                                            second } << 0;
    for (const char *skipped : { "800", "0800", "0123", "12", "12345", "123456789",
                                 "40000123", "C0000123", "80000123", "A0000004",
                                 "60000001" }) {
        QTest::newRow(qPrintable(QStringLiteral("log %1 skipped").arg(skipped)))
                << Format::CandumpLog << log(skipped) << QStringList { second } << 1;
    }
    QTest::newRow("log error event")
            << Format::CandumpLog
            << QByteArray("(3.000000) can0 20000004#0000080000000000\n")
            << QStringList { "4 0 0 8 0000080000000000 R 3000000" } << 0;
    QTest::newRow("log at the epoch")
            << Format::CandumpLog << QByteArray("(0.000000) can0 001#\n")
            << QStringList { "1 0 0 0  R 0" } << 0;

    const QByteArray farDate = "date Fri Dec 31 11:59:59.000 pm 9999\n"
                               "base hex  timestamps absolute\n";
    const QByteArray farOffset = "8999999999999.000000 1  123 Rx d 1 11\n";
    const QByteArray nearOffset = "   1.000000 1  124 Rx d 1 22\n";
    const int64_t farStartUs = QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59))
                                       .toMSecsSinceEpoch() * 1000;
    QTest::newRow("asc far date, far offset refused")
            << Format::Asc << farDate + farOffset + nearOffset
            << QStringList { QStringLiteral("124 0 0 1 22 R %1").arg(farStartUs + 1000000) }
            << 1;
    QTest::newRow("asc no date, far offset read")
            << Format::Asc << farOffset
            << QStringList { "123 0 0 1 11 R 8999999999999000000" } << 0;
    QTest::newRow("asc relative offsets adding up beyond any clock")
            << Format::Asc
            << QByteArray("base hex  timestamps relative\n"
                          "5000000000000.000000 1  123 Rx d 1 11\n"
                          "5000000000000.000000 1  123 Rx d 1 22\n")
            << QStringList { "123 0 0 1 11 R 5000000000000000000" } << 1;
    const QByteArray farFdOffset = "8999999999999.000000 CANFD   1 Rx 123 1 0 1 1 11\n";
    QTest::newRow("asc far date, far offset refused, FD line")
            << Format::Asc << farDate + farFdOffset + nearOffset
            << QStringList { QStringLiteral("124 0 0 1 22 R %1").arg(farStartUs + 1000000) }
            << 1;
    QTest::newRow("asc relative FD offsets adding up beyond any clock")
            << Format::Asc
            << QByteArray("base hex  timestamps relative\n"
                          "5000000000000.000000 CANFD   1 Rx 123 1 0 1 1 11\n"
                          "5000000000000.000000 CANFD   1 Rx 123 1 0 1 1 22\n")
            << QStringList { "123 0 0 1 11 R 5000000000000000000 fd 1 0" } << 1;
    QTest::newRow("asc at the epoch") << Format::Asc
                                      << QByteArray("   0.000000 1  7 Rx d 0\n")
                                      << QStringList { "7 0 0 0  R 0" } << 0;

    const QByteArray data = QByteArray::fromHex("a1");
    QTest::newRow("blf 10 us steps and nanoseconds")
            << Format::Blf
            << blfFile(blfContainer(blfCanObject(0x123, 1, 123, data)
                                    + blfCanObject(0x123, 2, 123456789, data)
                                    + blfCanObject(0x123, 2, 1500, data)
                                    + blfCanObject(0x123, 1, 1, data), true))
            << QStringList { "123 0 0 1 a1 R 1230", "123 0 0 1 a1 R 123457",
                             "123 0 0 1 a1 R 2", "123 0 0 1 a1 R 10" } << 0;
    QTest::newRow("blf standard identifiers beyond 11 bits skipped")
            << Format::Blf
            << blfFile(blfContainer(blfCanObject(0x7ff, 2, 0, data)
                                    + blfCanObject(0x800, 2, 1000, data)
                                    + blfCanObject(0x1fffffff, 2, 2000, data)
                                    + blfCanObject(0x9fffffffu, 2, 3000, data)
                                    + blfCanObject(0xa0000000u, 2, 4000, data), false))
            << QStringList { "7ff 0 0 1 a1 R 0", "1fffffff 1 0 1 a1 R 3" } << 3;
    const QByteArray twelve = QByteArray::fromHex("000102030405060708090a0b");
    const QString fdBytes = QStringLiteral("12 000102030405060708090a0b R");
    QTest::newRow("blf FD objects: 10 us steps, nanoseconds, identifiers beyond 11 bits")
            << Format::Blf
            << blfFile(blfContainer(blfFdObject(true, 0x123, 1, 123, twelve, true)
                                    + blfFdObject(true, 0x800, 2, 5000, twelve, false)
                                    + blfFdObject(false, 0x7ff, 1, 7, twelve, false)
                                    + blfFdObject(false, 0x800, 1, 8, twelve, true)
                                    + blfFdObject(false, 0x80000800u, 2, 1500, twelve, false),
                                    true))
            << QStringList { "123 0 0 " + fdBytes + " 1230 fd 1 0",
                             "7ff 0 0 " + fdBytes + " 70 fd 0 0",
                             "800 1 0 " + fdBytes + " 2 fd 0 0" } << 2;
    QTest::newRow("blf stamps beyond any clock skipped")
            << Format::Blf
            << blfFile(blfContainer(blfCanObject(0x1, 1, uint64_t(1) << 62, data)
                                    + blfCanObject(0x2, 2, ~uint64_t(0), data)
                                    + blfCanObject(0x3, 1, 7, data), true))
            << QStringList { "2 0 0 1 a1 R 18446744073709552", "3 0 0 1 a1 R 70" } << 1;

    QByteArray pcap = QByteArray::fromHex("d4c3b2a1020004000000000000000000ffff0000e3000000");
    for (const char *id : { "00000800", "000007ff" }) {
        pcap += QByteArray::fromHex("0100000000000000"
                                    "1000000010000000")
                + QByteArray::fromHex(id) + QByteArray::fromHex("0100000033000000"
                                                                "00000000");
    }
    QTest::newRow("pcap standard identifier beyond 11 bits skipped")
            << Format::Pcap << pcap << QStringList { "7ff 0 0 1 33 - 1000000" } << 1;
}

void TstTraceFile::identifiersAndTimesAsWritten()
{
    QFETCH(Format, format);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, frames);
    QFETCH(int, skipped);
    const QString path = m_dir.filePath(QStringLiteral("ids.") + kindOf(format));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    uint64_t skippedRead = 0;
    const QVector<Frame> read = readTrace(path, format, &skippedRead);
    QCOMPARE(describeAll(read, format != Format::Pcap), frames);
    QCOMPARE(skippedRead, uint64_t(skipped));
}

void TstTraceFile::cancelInsideStretchWithoutFrames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("stretch");
    QTest::addColumn<int>("gib");

    QTest::newRow("log, 64 GiB of zeros") << "z.log" << int(Stretch::Zeros) << 64;
    QTest::newRow("asc, 64 GiB of zeros") << "z.asc" << int(Stretch::Zeros) << 64;
    QTest::newRow("csv, 64 GiB of zeros") << "z.csv" << int(Stretch::Zeros) << 64;
    QTest::newRow("pcap, 64 GiB of zeros") << "z.pcap" << int(Stretch::Zeros) << 64;
    QTest::newRow("pcapng, 64 GiB of blocks") << "b.pcapng" << int(Stretch::PcapngBlocks)
                                              << 64;
    QTest::newRow("blf, 64 GiB of zeros") << "z.blf" << int(Stretch::Zeros) << 64;
    QTest::newRow("blf, containers of 20 GiB of zeros") << "b.blf" << int(Stretch::BlfBomb)
                                                        << 20;
}

// The reader runs on a thread of its own and is cancelled once it has handed out the
// first frame, inside the stretch: it must give up there, long before the file's end,
// and say so.
void TstTraceFile::cancelInsideStretchWithoutFrames()
{
    QFETCH(QString, name);
    QFETCH(int, stretch);
    QFETCH(int, gib);
    const QString path = m_dir.filePath(name);
    QVERIFY(writeStretchedTrace(path, Stretch(stretch), gib));
    std::string error;
    auto reader = trace::Reader::open(path.toStdString(), trace::formatForFile(
                                              path.toStdString()), &error);
    QVERIFY2(reader, error.c_str());
    std::atomic<bool> cancel { false };
    reader->setCancelFlag(&cancel);
    std::atomic<int> frames { 0 };
    std::atomic<bool> done { false };
    std::thread reading([&] {
        Frame f;
        while (reader->next(f))
            ++frames;
        done = true;
    });
    QTRY_COMPARE_WITH_TIMEOUT(frames.load(), 1, 10000);
    QTest::qWait(50);
    QElapsedTimer sinceCancel;
    sinceCancel.start();
    cancel = true;
    // Far beyond the step a reader takes between looks at the flag, far below the time
    // reading to the end takes.
    QTRY_VERIFY_WITH_TIMEOUT(done.load() || sinceCancel.elapsed() > 3000, 5000);
    const qint64 took = sinceCancel.elapsed();
    reading.join();
    QVERIFY2(took < 3000, qPrintable(QStringLiteral("cancelled after %1 ms").arg(took)));
    QCOMPARE(frames.load(), 1);
    QVERIFY(reader->cancelled());
    QVERIFY(reader->error().empty());
    QVERIFY(reader->bytesRead() < reader->totalBytes());
    QFile::remove(path);
}

QTEST_GUILESS_MAIN(TstTraceFile)
#include "tst_tracefile.moc"
