#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "dbc/dbcreader.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

// The reader, the codec and the database, with an independent DBC decoder (system python's
// canmatrix) as the judge of every decoded value.
class TestDbc : public QObject
{
    Q_OBJECT

private slots:
    void oracle_data();
    void oracle();
    void hostile_data();
    void hostile();
    void strings_data();
    void strings();
    void oversizedFileIsRefusedUnread();
    void laterFileReplacesMessage();
    void signalsFoundByName_data();
    void signalsFoundByName();
    void clearedMessagesHeldElsewhereStayIntact_data();
    void clearedMessagesHeldElsewhereStayIntact();
    void physicalToBits_data();
    void physicalToBits();
    void frameFormat_data();
    void frameFormat();
};

namespace {

const int payloadsPerMessage = 3000;

bool sameValue(double ours, double theirs, double scale)
{
    if (std::isnan(ours) || std::isnan(theirs))
        return std::isnan(ours) && std::isnan(theirs);
    if (std::isinf(ours) || std::isinf(theirs))
        return ours == theirs;
    const double magnitude = std::max({1.0, std::fabs(ours), std::fabs(theirs), scale});
    return std::fabs(ours - theirs) <= 1e-12 * magnitude;
}

// Physical values carry the raw value exactly while the raw value and the offset in steps
// stay well inside a double's mantissa; beyond that only the raw bits can travel back.
bool physicalRoundTrips(const DbcSignal &signal, const DbcDecodedSignal &value)
{
    if (signal.valueType != DbcSignal::ValueType::Integer)
        return signal.factor == 1 && signal.offset == 0 && !std::isnan(value.raw);
    return signal.length <= 50 && std::fabs(signal.offset / signal.factor) < std::ldexp(1, 49);
}

QByteArray coveredBits(const DbcMessage &message, const QVector<DbcDecodedSignal> &values,
                       int count)
{
    QByteArray mask(message.length, '\0');
    for (int i = 0; i < count; ++i)
        DbcCodec::insertBits(message.signalList.at(values.at(i).index), ~uint64_t(0),
                             reinterpret_cast<uint8_t *>(mask.data()), mask.size());
    return mask;
}

QByteArray masked(QByteArray bytes, const QByteArray &mask)
{
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(bytes.at(i) & mask.at(i));
    return bytes;
}

// Every length from 1 to 64 in both byte orders at start bits drawn at random among those
// that keep the signal inside the frame, with drawn sign, factor and offset; standard and
// extended identifiers alternate, and lengths 32 and 64 also carry a float or a double.
QByteArray generatedLayouts(quint32 seed)
{
    QRandomGenerator random(seed);
    const char *const factors[] = {"1", "0.5", "0.1", "0.001", "3", "-2", "0.25"};
    const char *const offsets[] = {"0", "-40", "1000.5", "-0.125"};
    QByteArray text = "VERSION \"\"\n\nBU_: A\n\n";
    QByteArray types;
    for (int length = 1; length <= 64; ++length) {
        const quint32 id = length % 2 ? 0x80000000u | (0x1ABC000u + length) : 0x600u + length;
        text += "BO_ " + QByteArray::number(id) + " Layout" + QByteArray::number(length)
            + ": 8 A\n";
        auto signalLine = [&](const QByteArray &name, int start, bool intel, bool isSigned) {
            return " SG_ " + name + " : " + QByteArray::number(start) + '|'
                + QByteArray::number(length) + (intel ? "@1" : "@0") + (isSigned ? "-" : "+")
                + " (" + factors[random.bounded(7)] + ',' + offsets[random.bounded(4)]
                + ") [0|0] \"\" A\n";
        };
        const int intelStart = random.bounded(64 - length + 1);
        // Motorola bits counted from the most significant bit of byte 0 run contiguously.
        const int first = random.bounded(64 - length + 1);
        const int motorolaStart = (first / 8) * 8 + 7 - first % 8;
        text += signalLine("I" + QByteArray::number(length), intelStart, true, random.bounded(2));
        text += signalLine("M" + QByteArray::number(length), motorolaStart, false,
                           random.bounded(2));
        if (length == 32 || length == 64) {
            text += signalLine("FI", intelStart, true, true);
            text += signalLine("FM", motorolaStart, false, true);
            for (const char *name : {"FI", "FM"}) {
                types += "SIG_VALTYPE_ " + QByteArray::number(id) + ' ' + name
                    + (length == 32 ? " : 1;\n" : " : 2;\n");
            }
        }
    }
    return text + types;
}

int signalCount(const DbcFile &file)
{
    int count = 0;
    for (const DbcMessage &message : file.messages)
        count += message.signalList.size();
    return count;
}

} // namespace

void TestDbc::oracle_data()
{
    QTest::addColumn<QString>("path");   // empty: generatedLayouts() of the seed
    QTest::addColumn<quint32>("seed");
    QTest::newRow("awkward layouts") << QFINDTESTDATA("data/dbc/awkward.dbc") << 0u;
    QTest::newRow("simulated vehicle") << QFINDTESTDATA("../docs/examples/vehicle.dbc") << 0u;
    QTest::newRow("every length, seed 1") << QString() << 1u;
    QTest::newRow("every length, seed 2") << QString() << 2u;
}

void TestDbc::oracle()
{
    QFETCH(QString, path);
    QFETCH(quint32, seed);
    QTemporaryDir directory;
    if (seed) {
        QVERIFY(directory.isValid());
        path = directory.filePath(QStringLiteral("generated.dbc"));
        QFile generated(path);
        QVERIFY(generated.open(QIODevice::WriteOnly));
        QVERIFY(generated.write(generatedLayouts(seed)) > 0);
    }
    QVERIFY(!path.isEmpty());
    const QString python = QStringLiteral("/usr/bin/python3");
    if (!QFileInfo::exists(python))
        QSKIP("the system python that runs the reference decoder is missing");

    const DbcFile file = DbcReader::readFile(path);
    QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
    QVERIFY2(file.warnings.isEmpty(), qPrintable(file.warnings.join('\n')));
    DbcDatabase database;
    database.add(file);

    QProcess reference;
    reference.start(python, {QFINDTESTDATA("dbc/oracle.py"), path, QStringLiteral("17"),
                             QString::number(payloadsPerMessage)});
    QVERIFY(reference.waitForFinished(300000));
    QVERIFY2(reference.exitCode() == 0, reference.readAllStandardError().constData());
    const QList<QByteArray> lines = reference.readAllStandardOutput().split('\n');

    QVector<DbcDecodedSignal> values;
    int compared = 0;
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(' ');
        QVERIFY(fields.size() >= 3);
        const DbcMessage *message = database.message(fields.at(1).toUInt(nullptr, 16),
                                                     fields.at(0) == "1");
        QVERIFY2(message, line.constData());
        const QByteArray payload = fields.at(2) == "-" ? QByteArray()
                                                       : QByteArray::fromHex(fields.at(2));
        const auto *data = reinterpret_cast<const uint8_t *>(payload.constData());
        const int count = DbcCodec::decode(*message, data, payload.size(), &values);

        QHash<QString, DbcDecodedSignal> ours;
        for (int i = 0; i < count; ++i)
            ours.insert(message->signalList.at(values.at(i).index).name, values.at(i));
        QCOMPARE(ours.size(), fields.size() - 3);
        for (int i = 3; i < fields.size(); ++i) {
            const QList<QByteArray> parts = fields.at(i).split('=');
            QCOMPARE(parts.size(), 3);
            const QString name = QString::fromUtf8(parts.at(0));
            QVERIFY2(ours.contains(name), line.constData());
            const DbcDecodedSignal &value = ours.value(name);
            const DbcSignal &signal = message->signalList.at(value.index);
            const QByteArray context = line + " / " + parts.at(0);
            if (signal.valueType == DbcSignal::ValueType::Integer) {
                const bool ok = signal.isSigned
                    ? value.rawInteger == parts.at(1).toLongLong()
                    : value.bits == parts.at(1).toULongLong();
                QVERIFY2(ok, context.constData());
            } else {
                QVERIFY2(sameValue(value.raw, parts.at(1).toDouble(), 0), context.constData());
            }
            QVERIFY2(sameValue(value.physical, parts.at(2).toDouble(), signal.offset),
                     context.constData());
        }

        // Back from values to bytes: every bit a decoded signal covers must come back.
        const QByteArray mask = coveredBits(*message, values, count);
        QByteArray rawCopy(message->length, '\0');
        QHash<QString, double> physical;
        for (int i = 0; i < count; ++i) {
            const DbcSignal &signal = message->signalList.at(values.at(i).index);
            DbcCodec::insertBits(signal, values.at(i).bits,
                                 reinterpret_cast<uint8_t *>(rawCopy.data()), rawCopy.size());
            if (physicalRoundTrips(signal, values.at(i)))
                physical.insert(signal.name, values.at(i).physical);
        }
        QCOMPARE(masked(rawCopy, mask).toHex(), masked(payload, mask).toHex());
        const QByteArray encoded = DbcCodec::encode(*message, physical, rawCopy);
        QCOMPARE(masked(encoded, mask).toHex(), masked(payload, mask).toHex());
        ++compared;
    }
    QCOMPARE(compared, database.messages().size() * payloadsPerMessage);
}

void TestDbc::hostile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("messages");
    QTest::addColumn<int>("signalCount");
    QTest::addColumn<QString>("firstWarning");   // empty: none expected

    const QByteArray message = "BO_ 100 M: 8 ECU\n";
    const QByteArray tail = "BO_ 101 After: 8 ECU\n SG_ Ok : 0|8@1+ (1,0) [0|0] \"\" X\n";

    QByteArray random(65536, '\0');
    QRandomGenerator generator(5);
    for (char &c : random)
        c = char(generator.bounded(256));
    QByteArray printable(65536, ' ');
    for (char &c : printable)
        c = char(generator.bounded(32, 127));

    QTest::newRow("random bytes") << random << true << 0 << 0 << QString();
    QTest::newRow("printable nonsense") << printable << true << 0 << 0 << QString();
    QTest::newRow("empty") << QByteArray() << true << 0 << 0 << QString();
    QTest::newRow("signal longer than frame")
        << QByteArray("BO_ 100 M: 2 ECU\n SG_ S : 8|16@1+ (1,0) [0|0] \"\" X\n") + tail
        << false << 2 << 1 << "t.dbc:2:";
    QTest::newRow("start bit outside frame")
        << message + " SG_ S : 70|1@1+ (1,0) [0|0] \"\" X\n" + tail << false << 2 << 1
        << "t.dbc:2:";
    QTest::newRow("motorola running past the end")
        << message + " SG_ S : 56|16@0+ (1,0) [0|0] \"\" X\n" + tail << false << 2 << 1
        << "t.dbc:2:";
    QTest::newRow("motorola exactly filling the frame")
        << message + " SG_ S : 7|64@0+ (1,0) [0|0] \"\" X\n" << false << 1 << 1 << QString();
    QTest::newRow("zero length") << message + " SG_ S : 0|0@1+ (1,0) [0|0] \"\" X\n" + tail
                                 << false << 2 << 1 << "t.dbc:2:";
    QTest::newRow("65 bits") << message + " SG_ S : 0|65@1+ (1,0) [0|0] \"\" X\n" + tail
                             << false << 2 << 1 << "t.dbc:2:";
    QTest::newRow("negative length")
        << message + " SG_ S : 0|-3@1+ (1,0) [0|0] \"\" X\n" + tail << false << 2 << 1
        << "t.dbc:2:";
    QTest::newRow("byte order 2") << message + " SG_ S : 0|8@2+ (1,0) [0|0] \"\" X\n" + tail
                                  << false << 2 << 1 << "t.dbc:2:";
    QTest::newRow("factor not a number")
        << message + " SG_ S : 0|8@1+ (x,0) [0|0] \"\" X\n" + tail << false << 2 << 1
        << "t.dbc:2:";
    QTest::newRow("infinite factor")
        << message + " SG_ S : 0|8@1+ (1e999,0) [0|0] \"\" X\n" + tail << false << 2 << 1
        << "t.dbc:2:";
    QTest::newRow("start bit too large to count")
        << message + " SG_ S : 99999999999999999999|8@1+ (1,0) [0|0] \"\" X\n" + tail
        << false << 2 << 1 << "t.dbc:2:";
    QTest::newRow("signal before any message")
        << QByteArray(" SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n") + tail << false << 1 << 1
        << "t.dbc:1:";
    QTest::newRow("standard id above 11 bits")
        << QByteArray("BO_ 2048 Big: 8 ECU\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n") + tail
        << false << 1 << 1 << "t.dbc:1:";
    QTest::newRow("id beyond 32 bits")
        << QByteArray("BO_ 99999999999 Big: 8 ECU\n") + tail << false << 1 << 1 << "t.dbc:1:";
    QTest::newRow("length 65 bytes") << QByteArray("BO_ 7 Big: 65 ECU\n") + tail << false << 1
                                     << 1 << "t.dbc:1:";
    QTest::newRow("duplicate id in one file")
        << tail + "BO_ 101 Again: 1 ECU\n SG_ B : 0|1@1+ (1,0) [0|0] \"\" X\n" << false << 1
        << 1 << "t.dbc:3:";
    QTest::newRow("multiplexed signal without multiplexor")
        << message + " SG_ S m1 : 0|8@1+ (1,0) [0|0] \"\" X\n" + tail << false << 2 << 1
        << "t.dbc:1:";
    QTest::newRow("two multiplexors")
        << message + " SG_ A M : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ B M : 8|8@1+ (1,0) [0|0] \"\" X\n"
        << false << 1 << 1 << "t.dbc:3:";
    QTest::newRow("bad multiplexer value")
        << message + " SG_ A mx : 0|8@1+ (1,0) [0|0] \"\" X\n" + tail << false << 2 << 1
        << "t.dbc:2:";
    QTest::newRow("float of 16 bits")
        << message + " SG_ A : 0|16@1+ (1,0) [0|0] \"\" X\nSIG_VALTYPE_ 100 A : 1;\n" << false
        << 1 << 1 << "t.dbc:3:";
    QTest::newRow("values for unknown signal")
        << tail + "VAL_ 101 Nope 0 \"a\" ;\nVAL_ 999 Ok 0 \"a\" ;\n" << false << 1 << 1
        << "t.dbc:3:";
    QTest::newRow("value without description")
        << tail + "VAL_ 101 Ok 0 \"a\" 1 ;\n" << false << 1 << 1 << "t.dbc:3:";
    QTest::newRow("negative cycle time")
        << tail + "BA_ \"GenMsgCycleTime\" BO_ 101 -5;\n" << false << 1 << 1 << "t.dbc:3:";
    QTest::newRow("unterminated comment stops at the next message")
        << QByteArray("CM_ BO_ 101 \"never closed\n") + tail << false << 1 << 1 << "t.dbc:1:";
    QTest::newRow("deep brackets")
        << message + " SG_ S : " + QByteArray(1 << 20, '(') + "\n" + tail << false << 2 << 1
        << "t.dbc:2:";
    QTest::newRow("unknown statements are skipped quietly")
        << QByteArray("VERSION \"\"\nNS_ :\n\tCM_\n\tBA_\nBS_:\nBU_: A B\nEV_ x: 0 [0|1];\n")
            + tail + "BO_TX_BU_ 101 : A,B;\nSG_MUL_VAL_ 101 a b 1-2;\n"
        << false << 1 << 1 << QString();
    QTest::newRow("container of loose signals")
        << QByteArray("BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n"
                      " SG_ Loose : 0|8@1+ (1,0) [0|0] \"\" X\n") + tail
        << false << 1 << 1 << QString();
    QTest::newRow("windows line ends")
        << QByteArray("BO_ 101 After: 8 ECU\r\n SG_ Ok : 0|8@1+ (1,0) [0|0] \"\" X\r\n")
        << false << 1 << 1 << QString();
    QByteArray shortLines;
    for (int i = 0; i < 500000; ++i)
        shortLines += "x\n";
    QTest::newRow("unterminated comment over half a million short lines")
        << tail + "CM_ BO_ 101 \"" + shortLines << false << 1 << 1 << "t.dbc:3:";
    QByteArray manySignals = message;
    for (int i = 0; i <= DbcReader::maxSignalsPerMessage; ++i)
        manySignals += " SG_ S" + QByteArray::number(i) + " : 0|1@1+ (1,0) [0|0] \"\" X\n";
    QTest::newRow("more signals than any message has")
        << manySignals << false << 1 << DbcReader::maxSignalsPerMessage
        << "t.dbc:" + QString::number(DbcReader::maxSignalsPerMessage + 2) + ":";
    QByteArray manyBad = message;
    for (int i = 0; i < 5000; ++i)
        manyBad += " SG_ broken\n";
    QTest::newRow("thousands of broken lines") << manyBad + tail << false << 2 << 1
                                               << "t.dbc:2:";
}

void TestDbc::hostile()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, refused);
    QFETCH(int, messages);
    QFETCH(int, signalCount);
    QFETCH(QString, firstWarning);

    const DbcFile file = DbcReader::parse(text, QStringLiteral("/some/where/t.dbc"));
    QCOMPARE(!file.error.isEmpty(), refused);
    QCOMPARE(file.messages.size(), messages);
    QCOMPARE(::signalCount(file), signalCount);
    if (firstWarning.isEmpty()) {
        QVERIFY2(file.warnings.isEmpty(), qPrintable(file.warnings.join('\n')));
    } else {
        QVERIFY(!file.warnings.isEmpty());
        QVERIFY2(file.warnings.first().startsWith(firstWarning),
                 qPrintable(file.warnings.first()));
    }
    QVERIFY(file.warnings.size() <= DbcReader::maxWarnings);
    // Whatever was kept must decode without touching bytes beyond the frame.
    QVector<DbcDecodedSignal> values;
    const QByteArray payload(64, '\xff');
    for (const DbcMessage &message : file.messages) {
        QVERIFY(DbcCodec::decode(message, reinterpret_cast<const uint8_t *>(payload.constData()),
                                 message.length, &values) <= message.signalList.size());
    }
}

void TestDbc::strings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("messageComment");
    QTest::addColumn<QString>("signalComment");
    QTest::addColumn<QString>("description");   // of raw value 1
    QTest::addColumn<QString>("unit");

    const QByteArray message = "BO_ 16 Q: 8 A\n SG_ S : 0|8@1- (1,0) [0|0] \"\xb0" "C\" X\n";
    QTest::newRow("escaped quotes")
        << message + "CM_ BO_ 16  \"frame ; \\\"x\\\"\";\nCM_ SG_ 16 S \"say \\\"hi\\\"; ok\";\n"
                     "VAL_ 16 S 1 \"a \\\"b\\\"\" 2 \"c\";\n"
        << "frame ; \"x\"" << "say \"hi\"; ok" << "a \"b\"" << QString::fromUtf8("°C");
    QTest::newRow("other backslashes stay")
        << message + "CM_ SG_ 16 S \"C:\\dir\\x\nnext line\";\nVAL_ 16 S 1 \"\\n\";\n"
        << "" << "C:\\dir\\x\nnext line" << "\\n" << QString::fromUtf8("°C");
}

void TestDbc::strings()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, messageComment);
    QFETCH(QString, signalComment);
    QFETCH(QString, description);
    QFETCH(QString, unit);
    const DbcFile file = DbcReader::parse(text, QStringLiteral("t.dbc"));
    QVERIFY2(file.warnings.isEmpty(), qPrintable(file.warnings.join('\n')));
    QCOMPARE(::signalCount(file), 1);
    const DbcMessage &message = file.messages.first();
    const DbcSignal &signal = message.signalList.first();
    QCOMPARE(message.comment, messageComment);
    QCOMPARE(signal.comment, signalComment);
    QCOMPARE(signal.valueDescriptions.value(1), description);
    QCOMPARE(signal.unit, unit);
}

void TestDbc::oversizedFileIsRefusedUnread()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QFile file(directory.filePath(QStringLiteral("huge.dbc")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(100 * 1024 * 1024));   // sparse: costs no disk
    file.close();
    const DbcFile read = DbcReader::readFile(file.fileName());
    QVERIFY(!read.error.isEmpty());
    QVERIFY(read.messages.isEmpty());
    const QString missing = directory.filePath(QStringLiteral("missing.dbc"));
    QVERIFY(!DbcReader::readFile(missing).error.isEmpty());
}

void TestDbc::laterFileReplacesMessage()
{
    const DbcFile first = DbcReader::parse(
        "BO_ 100 Old: 8 A\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n"
        "BO_ 2147483748 Extended: 8 A\n SG_ E : 0|8@1+ (1,0) [0|0] \"\" X\n", "first.dbc");
    const DbcFile second = DbcReader::parse(
        "BO_ 100 New: 2 B\n SG_ T : 8|8@1+ (2,0) [0|0] \"\" X\nBO_ 7 Other: 1 B\n", "second.dbc");
    DbcDatabase database;
    QVERIFY(database.add(first).isEmpty());
    const QStringList replaced = database.add(second);
    QCOMPARE(replaced.size(), 1);
    QVERIFY(replaced.first().contains("Old") && replaced.first().contains("New"));
    QCOMPARE(database.messages().size(), 3);
    QCOMPARE(database.message(100, false)->name, QStringLiteral("New"));
    QCOMPARE(database.message(100, true)->name, QStringLiteral("Extended"));
    QCOMPARE(database.files(), QStringList({"first.dbc", "second.dbc"}));
    database.clear();
    QVERIFY(!database.message(100, false));
}

void TestDbc::signalsFoundByName_data()
{
    QTest::addColumn<int>("signalCount");
    QTest::addColumn<bool>("interleaved");
    QTest::addColumn<bool>("redefined");

    for (int count : { 1, 32, 33, 300 }) {
        QTest::addRow("%d signals", count) << count << false << false;
        QTest::addRow("%d signals, comments between messages", count) << count << true << false;
        QTest::addRow("%d signals, message defined twice", count) << count << false << true;
    }
}

// Comments, value tables and value types reach the signal they name in the message they
// name, wherever they stand in the file and however many signals the message has; two
// messages with signals of the same names keep theirs apart.
void TestDbc::signalsFoundByName()
{
    QFETCH(int, signalCount);
    QFETCH(bool, interleaved);
    QFETCH(bool, redefined);

    const auto definition = [signalCount](int id, int firstBit) {
        QByteArray text = "BO_ " + QByteArray::number(id) + " M" + QByteArray::number(id)
                + ": 64 A\n";
        for (int i = 0; i < signalCount; ++i) {
            text += " SG_ S" + QByteArray::number(i) + " : "
                    + QByteArray::number((firstBit + i) % 480) + "|1@1+ (1,0) [0|1] \"\" B\n";
        }
        return text;
    };
    const auto annotations = [signalCount](int id) {
        QByteArray text;
        const QByteArray idText = QByteArray::number(id);
        for (int i = signalCount - 1; i >= 0; --i) {
            text += "CM_ SG_ " + idText + " S" + QByteArray::number(i) + " \"c" + idText + "_"
                    + QByteArray::number(i) + "\";\n";
        }
        text += "VAL_ " + idText + " S" + QByteArray::number(signalCount - 1) + " 1 \"On"
                + idText + "\" ;\n";
        return text;
    };
    QByteArray text;
    if (redefined)
        text += definition(100, 7);
    text += definition(100, 0);
    if (interleaved)
        text += annotations(100);
    text += definition(200, 3);
    if (!interleaved)
        text += annotations(100);
    text += annotations(200);

    const DbcFile file = DbcReader::parse(text, QStringLiteral("t.dbc"));
    QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
    QCOMPARE(file.messages.size(), 2);
    for (const DbcMessage &message : file.messages) {
        const int firstBit = message.id == 100 ? 0 : 3;
        QCOMPARE(message.signalList.size(), signalCount);
        for (int i = 0; i < signalCount; ++i) {
            const DbcSignal &signal = message.signalList.at(i);
            QCOMPARE(signal.name, QStringLiteral("S%1").arg(i));
            QCOMPARE(signal.startBit, (firstBit + i) % 480);
            QCOMPARE(signal.comment, QStringLiteral("c%1_%2").arg(message.id).arg(i));
            QCOMPARE(signal.valueDescriptions.value(1),
                     i == signalCount - 1 ? QStringLiteral("On%1").arg(message.id) : QString());
        }
    }
}

void TestDbc::clearedMessagesHeldElsewhereStayIntact_data()
{
    QTest::addColumn<int>("messageCount");
    QTest::addColumn<bool>("replaced");

    for (int count : { 1, 2000 }) {
        QTest::addRow("%d messages, cleared", count) << count << false;
        QTest::addRow("%d messages, replaced", count) << count << true;
    }
}

// Clearing or replacing a database lets its messages go on a thread of its own; a copy
// taken before (a view's, a decoder's) keeps every message and signal as they were, and
// the database holds what it was given at once.
void TestDbc::clearedMessagesHeldElsewhereStayIntact()
{
    QFETCH(int, messageCount);
    QFETCH(bool, replaced);

    QByteArray text;
    for (int i = 0; i < messageCount; ++i) {
        text += "BO_ " + QByteArray::number(0x80000000u + quint32(i)) + " M"
                + QByteArray::number(i) + ": 8 A\n SG_ S : 0|8@1+ (1,0) [0|0] \"V\" B\n"
                + " SG_ T" + QByteArray::number(i) + " : 8|8@1+ (1,0) [0|0] \"\" B\n";
        text += "VAL_ " + QByteArray::number(0x80000000u + quint32(i)) + " S 0 \"Off\" ;\n";
    }
    DbcDatabase database;
    QVERIFY(database.add(DbcReader::parse(text, QStringLiteral("a.dbc"))).isEmpty());
    const QVector<DbcMessage> held = database.messages();
    if (replaced) {
        DbcDatabase other;
        other.add(DbcReader::parse("BO_ 5 Five: 1 A\n SG_ F : 0|8@1+ (1,0) [0|0] \"\" B\n",
                                   QStringLiteral("b.dbc")));
        database.replace(std::move(other));
        QCOMPARE(database.messages().size(), 1);
        QCOMPARE(database.message(5, false)->signalList.at(0).name, QStringLiteral("F"));
        QCOMPARE(database.files(), QStringList{ QStringLiteral("b.dbc") });
    } else {
        database.clear();
        QVERIFY(database.isEmpty());
        QVERIFY(database.files().isEmpty());
    }
    QVERIFY(!database.message(0, true));
    QCOMPARE(held.size(), messageCount);
    for (int i = 0; i < messageCount; ++i) {
        const DbcMessage &message = held.at(i);
        QCOMPARE(message.name, QStringLiteral("M%1").arg(i));
        QCOMPARE(message.signalList.size(), 2);
        QCOMPARE(message.signalList.at(0).unit, QStringLiteral("V"));
        QCOMPARE(message.signalList.at(0).valueDescriptions.value(0), QStringLiteral("Off"));
        QCOMPARE(message.signalList.at(1).name, QStringLiteral("T%1").arg(i));
    }
}

void TestDbc::physicalToBits_data()
{
    QTest::addColumn<QByteArray>("definition");
    QTest::addColumn<double>("physical");
    QTest::addColumn<quint64>("bits");
    QTest::addColumn<bool>("clamped");

    const QByteArray unsigned8 = "0|8@1+ (0.5,-10)";
    const QByteArray signed12 = "4|12@0- (0.1,0)";
    QTest::newRow("nearest step") << unsigned8 << 0.26 << quint64(21) << false;
    QTest::newRow("half step rounds away") << unsigned8 << -9.75 << quint64(1) << false;
    QTest::newRow("above the top") << unsigned8 << 200.0 << quint64(255) << true;
    QTest::newRow("below zero") << unsigned8 << -11.0 << quint64(0) << true;
    QTest::newRow("not a number") << unsigned8 << double(NAN) << quint64(0) << true;
    QTest::newRow("signed negative") << signed12 << -0.3 << quint64(0xFFD) << false;
    QTest::newRow("signed lowest") << signed12 << -1e6 << quint64(0x800) << true;
    QTest::newRow("signed highest") << signed12 << 204.7 << quint64(0x7FF) << false;
    QTest::newRow("64 bits top") << QByteArray("0|64@1+ (1,0)") << 1e30 << ~quint64(0) << true;
    QTest::newRow("64 bits signed")
        << QByteArray("0|64@1- (1,0)") << -2.0 << quint64(0xFFFFFFFFFFFFFFFE) << false;
}

void TestDbc::physicalToBits()
{
    QFETCH(QByteArray, definition);
    QFETCH(double, physical);
    QFETCH(quint64, bits);
    QFETCH(bool, clamped);
    const DbcFile file = DbcReader::parse(
        "BO_ 1 M: 8 A\n SG_ S : " + definition + " [0|0] \"\" X\n", "t.dbc");
    QCOMPARE(::signalCount(file), 1);
    const DbcSignal &signal = file.messages.first().signalList.first();
    bool wasClamped = !clamped;
    QCOMPARE(DbcCodec::physicalToBits(signal, physical, &wasClamped), bits);
    QCOMPARE(wasClamped, clamped);
}

void TestDbc::frameFormat_data()
{
    // After the messages: "<id>:<fd>" for each message in file order.
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<QString>("formats");

    const QByteArray definition =
        "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\","
        "\"J1939PG\",\"reserved\",\"reserved\",\"reserved\",\"reserved\",\"reserved\","
        "\"reserved\",\"reserved\",\"reserved\",\"reserved\",\"reserved\","
        "\"StandardCAN_FD\",\"ExtendedCAN_FD\";\n";
    QTest::newRow("no attribute") << QByteArray() << "100:0 200:0 300:0";
    QTest::newRow("by index into the definition")
        << definition + "BA_ \"VFrameFormat\" BO_ 100 14;\n"
                        "BA_ \"VFrameFormat\" BO_ 2147483848 15;\n"
        << "100:1 200:1 300:0";
    QTest::newRow("classic index stays classic")
        << definition + "BA_ \"VFrameFormat\" BO_ 100 0;\n" << "100:0 200:0 300:0";
    QTest::newRow("default FD, one message classic")
        << definition + "BA_DEF_DEF_ \"VFrameFormat\" \"StandardCAN_FD\";\n"
           "BA_ \"VFrameFormat\" BO_ 300 0;\n"
        << "100:1 200:1 300:0";
    QTest::newRow("by name") << QByteArray("BA_ \"VFrameFormat\" BO_ 300 \"StandardCAN_FD\";\n")
                             << "100:0 200:0 300:1";
    QTest::newRow("index beyond the definition")
        << definition + "BA_ \"VFrameFormat\" BO_ 100 16;\n" << "100:0 200:0 300:0";
    QTest::newRow("index without a definition")
        << QByteArray("BA_ \"VFrameFormat\" BO_ 100 14;\n") << "100:0 200:0 300:0";
}

// VFrameFormat marks FD messages; a message of 64 bytes decodes and composes its signals
// beyond the eighth byte in either byte order.
void TestDbc::frameFormat()
{
    QFETCH(QByteArray, attributes);
    QFETCH(QString, formats);

    const QByteArray text = "VERSION \"\"\nBU_: A\n"
                            "BO_ 100 Long: 64 A\n"
                            " SG_ Tail : 496|16@1+ (1,0) [0|0] \"\" A\n"
                            " SG_ Mid : 103|12@0- (0.5,0) [0|0] \"\" A\n"
                            "BO_ 2147483848 Ext: 12 A\n"
                            " SG_ Last : 88|8@1+ (1,0) [0|0] \"\" A\n"
                            "BO_ 300 Short: 8 A\n"
                            " SG_ S : 0|8@1+ (1,0) [0|0] \"\" A\n"
                            + attributes;
    const DbcFile file = DbcReader::parse(text, QStringLiteral("fd.dbc"));
    QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
    QStringList seen;
    for (const DbcMessage &message : file.messages)
        seen << QStringLiteral("%1:%2").arg(message.id).arg(message.fd);
    QCOMPARE(seen.join(' '), formats);

    const DbcMessage &longMessage = file.messages.at(0);
    QCOMPARE(longMessage.length, 64);
    const QByteArray payload = DbcCodec::encode(longMessage, {{"Tail", 0xBEEF}, {"Mid", -3.5}});
    QCOMPARE(payload.size(), 64);
    // Tail is bytes 62 and 63, Intel; Mid the twelve bits from bit 103 down, Motorola.
    QCOMPARE(quint8(payload.at(62)), quint8(0xEF));
    QCOMPARE(quint8(payload.at(63)), quint8(0xBE));
    QCOMPARE(quint8(payload.at(12)), quint8(0xFF));
    QCOMPARE(quint8(payload.at(13)), quint8(0x90));
    QVector<DbcDecodedSignal> values;
    QCOMPARE(DbcCodec::decode(longMessage, reinterpret_cast<const uint8_t *>(payload.data()),
                              payload.size(), &values), 2);
    QCOMPARE(values.at(0).physical, double(0xBEEF));
    QCOMPARE(values.at(1).physical, -3.5);
    // A frame cut short carries only the signals that fit.
    QCOMPARE(DbcCodec::decode(longMessage, reinterpret_cast<const uint8_t *>(payload.data()),
                              48, &values), 1);
}

QTEST_GUILESS_MAIN(TestDbc)
#include "tst_dbc.moc"
