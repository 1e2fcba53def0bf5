#include "canable/canable.h"
#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "dbc/dbcreader.h"
#include "plot/plotsignal.h"
#include "plot/sampleextractor.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <cstring>

// The plot's samples against the codec and a bit-by-bit reading, its pyramid and pixel
// columns against brute force, and the export's lines.
class TestPlotData : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void samplesMatchTheCodec_data();
    void samplesMatchTheCodec();
    void bitFields_data();
    void bitFields();
    void refusedNames_data();
    void refusedNames();
    void completionMatchesEveryName_data();
    void completionMatchesEveryName();
    void pyramidMatchesBruteForce_data();
    void pyramidMatchesBruteForce();
    void columnsMatchBruteForce_data();
    void columnsMatchBruteForce();
    void cursorStatistics_data();
    void cursorStatistics();
    void exportLines_data();
    void exportLines();

private:
    DbcDatabase database;
};

namespace {

// The bytes beyond the eighth of the FD records that record() makes.
FrameTails &fdTails()
{
    static FrameTails tails;
    return tails;
}

// A payload longer than 8 bytes makes an FD frame, kept as the hub keeps one: its first
// eight bytes in the record, the rest in fdTails().
FrameRecord record(quint32 id, bool extended, const QByteArray &data, qint64 us = 0)
{
    if (data.size() > 8) {
        CanMessage msg;
        msg.id = id;
        msg.extended = extended;
        msg.fd = true;
        msg.dlc = data.size();
        msg.data = data;
        msg.timestampUs = us;
        return frameRecord(msg, &fdTails());
    }
    FrameRecord r = {};
    r.id = id;
    r.flags = FrameRecord::Success | (extended ? FrameRecord::Extended : 0);
    r.size = quint8(data.size());
    r.dlc = r.size;
    std::memcpy(r.data, data.constData(), size_t(data.size()));
    r.timestampUs = us;
    return r;
}

QByteArray randomPayload(QRandomGenerator &random, int length)
{
    QByteArray data(length, '\0');
    for (char &byte : data)
        byte = char(random.bounded(256));
    return data;
}

bool sameValue(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b);
}

// The field read one bit at a time, as the notation defines it.
qint64 referenceField(const QByteArray &data, int start, int length, bool intel, bool isSigned,
                      bool *present)
{
    quint64 value = 0;
    int position = start;
    *present = true;
    for (int i = 0; i < length; ++i) {
        if (position < 0 || position / 8 >= data.size()) {
            *present = false;
            return 0;
        }
        const quint64 bit = (quint8(data.at(position / 8)) >> (position % 8)) & 1;
        if (intel) {
            value |= bit << i;
            ++position;
        } else {
            value = (value << 1) | bit;
            position = position % 8 == 0 ? position + 15 : position - 1;
        }
    }
    if (isSigned && length < 64 && (value >> (length - 1)) & 1)
        value |= ~quint64(0) << length;
    return qint64(value);
}

} // namespace

void TestPlotData::initTestCase()
{
    const DbcDatabase::LoadReport report = database.load(
        {QFINDTESTDATA("data/dbc/awkward.dbc"), QFINDTESTDATA("../docs/examples/vehicle.dbc")});
    QCOMPARE(report.filesLoaded, 2);
    database.add(DbcReader::parse(
        "VERSION \"\"\n\nBU_: ECU\n\n"
        "BO_ 1200 CellsFd: 64 ECU\n"
        " SG_ First : 0|16@1+ (0.001,0) [0|65.535] \"V\" ECU\n"
        " SG_ Middle : 100|12@1- (1,0) [-2048|2047] \"\" ECU\n"
        " SG_ Motorola : 327|16@0+ (1,0) [0|65535] \"\" ECU\n"
        " SG_ Last : 496|16@1+ (1,0) [0|65535] \"\" ECU\n",
        QStringLiteral("fd.dbc")));
}

void TestPlotData::samplesMatchTheCodec_data()
{
    QTest::addColumn<QString>("message");
    for (const char *name : {"IntelOdd", "IntelWide", "Motorola", "Floats", "Doubles",
                             "MuxIntel", "MuxMotorola", "EngineData", "CruiseVehicleSpeed",
                             "CellsFd"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// Every signal of the message over random payloads of every length: a sample exactly
// when the codec decodes the signal (multiplexed ones only under their selector value,
// none from a frame too short), with the codec's physical value.
void TestPlotData::samplesMatchTheCodec()
{
    QFETCH(QString, message);
    const DbcMessage *dbc = database.messageByName(message);
    QVERIFY(dbc);
    QVector<PlotSignal> plotted(dbc->signalList.size());
    for (int i = 0; i < plotted.size(); ++i) {
        QString error;
        QVERIFY2(resolvePlotSignal(message + '.' + dbc->signalList.at(i).name, &database,
                                   &plotted[i], &error), qPrintable(error));
    }
    QRandomGenerator random(1234);
    QVector<DbcDecodedSignal> decoded;
    int samples = 0;
    int absent = 0;
    for (int round = 0; round < 3000; ++round) {
        int length = random.bounded(dbc->length + 1);
        // An FD frame carries one of the FD lengths.
        while (!canable_isFdLength(unsigned(length)))
            ++length;
        QByteArray data = randomPayload(random, length);
        // Selectors are small; make every one come up often.
        if (dbc->multiplexorIndex >= 0 && !data.isEmpty() && round % 2)
            data[0] = char(quint8(data.at(0)) % 4);
        const int count = DbcCodec::decode(*dbc, reinterpret_cast<const uint8_t *>(
                                                   data.constData()), data.size(), &decoded);
        for (int i = 0; i < plotted.size(); ++i) {
            const DbcDecodedSignal *expected = nullptr;
            for (int k = 0; k < count; ++k) {
                if (decoded.at(k).index == i)
                    expected = &decoded.at(k);
            }
            double value = 0;
            const FrameRecord frame = record(dbc->id, dbc->extended, data);
            const bool carried = plotted.at(i).sample(frame, &fdTails(), &value);
            QCOMPARE(carried, expected != nullptr);
            if (expected) {
                QVERIFY2(sameValue(value, expected->physical),
                         qPrintable(QStringLiteral("%1: %2 != %3")
                                        .arg(plotted.at(i).name).arg(value)
                                        .arg(expected->physical)));
                ++samples;
            } else {
                ++absent;
            }
        }
    }
    QVERIFY(samples > 0);
    QVERIFY(absent > 0);
    // Neither a remote nor a failed frame, nor the other frame format, carries a value.
    FrameRecord remote = record(dbc->id, dbc->extended, QByteArray(8, '\x11'));
    remote.flags |= FrameRecord::Remote;
    FrameRecord failed = record(dbc->id, dbc->extended, QByteArray(8, '\x11'));
    failed.flags &= ~FrameRecord::Success;
    const FrameRecord otherFormat = record(dbc->id, !dbc->extended, QByteArray(8, '\x11'));
    double value;
    for (const FrameRecord &frame : {remote, failed, otherFormat})
        QVERIFY(!plotted.first().sample(frame, &fdTails(), &value));
}

void TestPlotData::bitFields_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("intel");
    QTest::addColumn<bool>("isSigned");
    QTest::newRow("intel unsigned") << "123[8|16@1+]" << 0x123u << false << 8 << 16 << true
                                    << false;
    QTest::newRow("intel signed odd") << "7ff[3|13@1-]" << 0x7ffu << false << 3 << 13 << true
                                      << true;
    QTest::newRow("motorola unsigned") << "0C4[7|16@0+]" << 0xc4u << false << 7 << 16 << false
                                       << false;
    QTest::newRow("motorola signed across bytes") << "1[12|20@0-]" << 0x1u << false << 12 << 20
                                                  << false << true;
    QTest::newRow("extended") << "18DAF110[0|8@1+]" << 0x18daf110u << true << 0 << 8 << true
                              << false;
    QTest::newRow("extended short form") << "00000005[60|4@1-]" << 0x5u << true << 60 << 4
                                         << true << true;
    QTest::newRow("whole payload") << "100[0|64@1+]" << 0x100u << false << 0 << 64 << true
                                   << false;
    QTest::newRow("full-width forms") << "１２３［８｜１６＠１＋］" << 0x123u << false << 8 << 16
                                      << true << false;
}

// A typed bit field reads what the notation says, for every payload length.
void TestPlotData::bitFields()
{
    QFETCH(QString, name);
    QFETCH(quint32, id);
    QFETCH(bool, extended);
    QFETCH(int, start);
    QFETCH(int, length);
    QFETCH(bool, intel);
    QFETCH(bool, isSigned);
    PlotSignal plotted;
    QString error;
    QVERIFY2(resolvePlotSignal(name, nullptr, &plotted, &error), qPrintable(error));
    QCOMPARE(plotted.title(), name);
    QRandomGenerator random(99);
    for (int round = 0; round < 2000; ++round) {
        const QByteArray data = randomPayload(random, random.bounded(9));
        bool present;
        const qint64 expected = referenceField(data, start, length, intel, isSigned, &present);
        double value = 0;
        QCOMPARE(plotted.sample(record(id, extended, data), nullptr, &value), present);
        if (present)
            QCOMPARE(value, isSigned ? double(expected) : double(quint64(expected)));
        QVERIFY(!plotted.sample(record(id, !extended, data), nullptr, &value));
        QVERIFY(!plotted.sample(record(id ^ 1, extended, data), nullptr, &value));
    }
}

void TestPlotData::refusedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("withDatabase");
    QTest::newRow("unknown message") << "Gearbox.Speed" << true;
    QTest::newRow("unknown signal") << "EngineData.Nope" << true;
    QTest::newRow("signal without message") << "EngineSpeed" << true;
    QTest::newRow("database name without database") << "EngineData.EngineSpeed" << false;
    QTest::newRow("standard identifier too large") << "800[0|8@1+]" << false;
    QTest::newRow("extended identifier too large") << "20000000[0|8@1+]" << false;
    QTest::newRow("length zero") << "123[0|0@1+]" << false;
    QTest::newRow("length 65") << "123[0|65@1+]" << false;
    QTest::newRow("beyond 64 bytes") << "123[510|8@1+]" << false;
    QTest::newRow("no byte order") << "123[0|8+]" << false;
    QTest::newRow("empty") << "" << true;
}

void TestPlotData::refusedNames()
{
    QFETCH(QString, name);
    QFETCH(bool, withDatabase);
    PlotSignal plotted;
    QString error;
    QVERIFY(!resolvePlotSignal(name, withDatabase ? &database : nullptr, &plotted, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(resolvePlotSignal(QStringLiteral("EngineData.EngineSpeed"), &database, &plotted,
                              &error));
}

void TestPlotData::completionMatchesEveryName_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("limit");
    QTest::newRow("inside a message name") << "ngineDa" << 1000;
    QTest::newRow("inside a signal name, any case") << "SPEED" << 1000;
    QTest::newRow("across the dot") << "data.engine" << 1000;
    QTest::newRow("message and dot") << "CellsFd." << 1000;
    QTest::newRow("dot alone") << "." << 1000;
    QTest::newRow("two dots") << "a.b.c" << 1000;
    QTest::newRow("nothing") << "qqqq" << 1000;
    QTest::newRow("capped") << "e" << 3;
}

// The names offered while typing are every "Message.Signal" holding the text, as a plain
// search of all names finds them, up to the limit.
void TestPlotData::completionMatchesEveryName()
{
    QFETCH(QString, text);
    QFETCH(int, limit);
    QStringList expected;
    for (const DbcMessage &message : database.messages()) {
        for (const DbcSignal &signal : message.signalList) {
            const QString name = message.name + QLatin1Char('.') + signal.name;
            if (name.contains(text, Qt::CaseInsensitive))
                expected.append(name);
        }
    }
    const QStringList offered = plotSignalMatches(database, text, limit);
    if (expected.size() <= limit) {
        expected.sort(Qt::CaseInsensitive);
        QCOMPARE(offered, expected);
    } else {
        QCOMPARE(offered.size(), limit);
        for (const QString &name : offered)
            QVERIFY2(expected.contains(name), qPrintable(name));
    }
}

void TestPlotData::pyramidMatchesBruteForce_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<bool>("withNan");
    QTest::newRow("short") << 20 << 0 << false;
    QTest::newRow("one leaf") << 32 << 0 << false;
    QTest::newRow("three levels") << 40000 << 0 << false;
    QTest::newRow("ragged end") << 32 * 8 * 8 + 77 << 0 << false;
    QTest::newRow("front dropped mid-block") << 40000 << 1234 << false;
    QTest::newRow("front dropped on a boundary") << 40000 << 2048 << false;
    QTest::newRow("not a number") << 5000 << 0 << true;
}

// The statistics of random ranges, of every length, equal those of the values themselves.
void TestPlotData::pyramidMatchesBruteForce()
{
    QFETCH(int, count);
    QFETCH(int, dropped);
    QFETCH(bool, withNan);
    QRandomGenerator random(count + dropped);
    std::vector<double> values(static_cast<size_t>(count));
    for (double &value : values) {
        value = withNan && random.bounded(10) == 0 ? std::nan("")
                                                   : random.bounded(2000) - 1000.0;
    }
    // One spike among many, which a coarse block must not lose.
    values[size_t(count / 2)] = 1e9;
    MinMaxPyramid spiked;
    for (double value : values)
        spiked.append(value);
    spiked.dropBefore(dropped);
    bool scansStayAtTheEnds = true;
    auto scan = [&](qint64 b, qint64 e) {
        RangeStats s;
        scansStayAtTheEnds &= b >= dropped && e - b < 2 * MinMaxPyramid::leafSize;
        for (qint64 i = b; i < e; ++i)
            s.add(values[size_t(i)]);
        return s;
    };
    for (int round = 0; round < 3000; ++round) {
        qint64 b = dropped + random.bounded(count - dropped);
        qint64 e = b + random.bounded(int(count - b + 1));
        if (round == 0) {
            b = dropped;
            e = count;
        }
        RangeStats expected;
        for (qint64 i = b; i < e; ++i)
            expected.add(values[size_t(i)]);
        const RangeStats got = spiked.query(b, e, scan);
        QCOMPARE(got.count, expected.count);
        QCOMPARE(got.min, expected.min);
        QCOMPARE(got.max, expected.max);
        QVERIFY(std::abs(got.sum - expected.sum) <= 1e-6 * std::abs(expected.sum) + 1e-3);
    }
    QVERIFY(scansStayAtTheEnds);
}

void TestPlotData::columnsMatchBruteForce_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("width");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::newRow("overview") << 100000 << 997 << 0.0 << 1.0;
    QTest::newRow("fewer samples than pixels") << 300 << 1000 << 0.0 << 1.0;
    QTest::newRow("zoomed in") << 100000 << 640 << 0.4 << 0.401;
    QTest::newRow("view past the end") << 50000 << 333 << 0.9 << 1.7;
    QTest::newRow("view before the start") << 50000 << 128 << -0.5 << 0.2;
    QTest::newRow("one column") << 20000 << 1 << 0.1 << 0.9;
}

// Every pixel column holds exactly the samples whose times fall in it, with their true
// minimum and maximum; a one-sample spike shows in its column.
void TestPlotData::columnsMatchBruteForce()
{
    QFETCH(int, count);
    QFETCH(int, width);
    QFETCH(double, from);
    QFETCH(double, to);
    QRandomGenerator random(width);
    SampleSeries series;
    std::vector<qint64> times;
    std::vector<double> values;
    const qint64 base = 1700000000000000;
    const qint64 spanUs = 600 * 1000000LL;
    qint64 t = base;
    for (int i = 0; i < count; ++i) {
        // Irregular steps, some zero, some long gaps that start blocks of their own.
        t += random.bounded(10) == 0 ? 0 : random.bounded(int(2 * spanUs / count));
        if (i == count / 3)
            t += qint64(5000) * 1000000;
        times.push_back(t);
        values.push_back(i == count / 2 ? 1e6 : std::sin(i * 0.01) * 100);
        series.append(t, i * 3, values.back());
    }
    const double end = double(t - base);
    const double fromUs = base + from * end;
    const double toUs = base + to * end;
    const QVector<PlotColumn> columns = series.columns(fromUs, toUs, width);
    QCOMPARE(columns.size(), width);
    const double step = (toUs - fromUs) / width;
    size_t i = 0;
    while (i < times.size() && double(times[i]) < std::ceil(fromUs))
        ++i;
    for (int x = 0; x < width; ++x) {
        const double columnEnd = x + 1 == width ? std::ceil(toUs)
                                                : std::ceil(fromUs + step * (x + 1));
        double lo = INFINITY;
        double hi = -INFINITY;
        const size_t begin = i;
        for (; i < times.size() && double(times[i]) < columnEnd; ++i) {
            lo = std::min(lo, values[i]);
            hi = std::max(hi, values[i]);
        }
        QCOMPARE(columns[x].begin, qint64(begin));
        QCOMPARE(columns[x].end, qint64(i));
        if (i > begin) {
            QCOMPARE(columns[x].min, lo);
            QCOMPARE(columns[x].max, hi);
        }
        for (size_t k = begin; k < i; ++k) {
            QCOMPARE(series.timeUs(qint64(k)), times[k]);
            QCOMPARE(series.number(qint64(k)), qint64(k) * 3);
        }
    }
}

void TestPlotData::cursorStatistics_data()
{
    QTest::addColumn<int>("droppedFrames");
    QTest::newRow("all kept") << 0;
    QTest::newRow("oldest dropped") << 4999;
}

// Min, max and mean between two cursors and the value holding at each, against the
// samples themselves, also after the oldest frames left.
void TestPlotData::cursorStatistics()
{
    QFETCH(int, droppedFrames);
    QRandomGenerator random(7);
    SampleSeries series;
    std::vector<qint64> times;
    std::vector<double> values;
    for (int i = 0; i < 20000; ++i) {
        times.push_back(qint64(i) * 1000 + random.bounded(500));
        values.push_back(random.bounded(100000) / 7.0);
        // Frames of other identifiers come between: every second frame number.
        series.append(times.back(), 2 * i, values.back());
    }
    series.dropBefore(droppedFrames);
    const size_t first = size_t((droppedFrames + 1) / 2);
    QCOMPARE(series.firstIndex(), qint64(first));
    for (int round = 0; round < 500; ++round) {
        qint64 a = random.bounded(21000000);
        qint64 b = random.bounded(21000000);
        RangeStats expected;
        for (size_t i = first; i < times.size(); ++i) {
            if (times[i] >= std::min(a, b) && times[i] <= std::max(a, b))
                expected.add(values[i]);
        }
        const RangeStats got = series.statsBetween(a, b);
        QCOMPARE(got.count, expected.count);
        if (got.count) {
            QCOMPARE(got.min, expected.min);
            QCOMPARE(got.max, expected.max);
            QVERIFY(std::abs(got.sum / got.count - expected.sum / expected.count) < 1e-6);
        }
        double held = 0;
        qint64 index = -1;
        const bool any = series.valueAt(a, &held, &index);
        size_t last = first;
        while (last < times.size() && times[last] <= a)
            ++last;
        QCOMPARE(any, last > first);
        if (any) {
            QCOMPARE(index, qint64(last - 1));
            QCOMPARE(held, values[last - 1]);
        }
    }
}

void TestPlotData::exportLines_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("two signals of one frame share a line")
        << "EngineData.EngineSpeed" << "EngineData.ThrottlePosition"
        << QStringList{"时间(s),EngineData.EngineSpeed [rpm],EngineData.ThrottlePosition [%]",
                       "1700000000.000001,2358,100", "1700000000.010000,4096,1"};
    QTest::newRow("frames of two identifiers interleave by time")
        << "EngineData.EngineSpeed" << "1A0[0|16@1+]"
        << QStringList{"时间(s),EngineData.EngineSpeed [rpm],1A0[0|16@1+]",
                       "1700000000.000001,2358,", "1700000000.005000,,4660",
                       "1700000000.010000,4096,", "1700000000.020000,,1"};
}

// The export's header and lines for frames of the log: one line a frame, in time order,
// the time with six decimals, the codec's physical values, empty cells for signals the
// frame does not carry.
void TestPlotData::exportLines()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QStringList, lines);
    PlotSignal signalA;
    PlotSignal signalB;
    QString error;
    QVERIFY(resolvePlotSignal(first, &database, &signalA, &error));
    QVERIFY(resolvePlotSignal(second, &database, &signalB, &error));
    SampleSeries seriesA;
    SampleSeries seriesB;
    SampleExtractor extractor({&signalA, &signalB}, {&seriesA, &seriesB});
    const qint64 t0 = 1700000000000000;
    // EngineSpeed 0.25 rpm a bit in bytes 0-1, ThrottlePosition 1 % in byte 2 (vehicle.dbc).
    const QVector<FrameRecord> frames = {
        record(0xc4, false, QByteArray::fromHex("d8246400000000"), t0 + 1),
        record(0x1a0, false, QByteArray::fromHex("3412"), t0 + 5000),
        record(0x123, false, QByteArray::fromHex("ffff"), t0 + 7000),
        record(0xc4, false, QByteArray::fromHex("00400100000000"), t0 + 10000),
        record(0x1a0, false, QByteArray::fromHex("0100"), t0 + 20000),
    };
    for (int i = 0; i < frames.size(); ++i)
        extractor.add(frames.at(i), 100 + i, &fdTails());
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(writePlotCsv(&buffer, {&signalA, &signalB}, {&seriesA, &seriesB}, nullptr,
                         &error));
    QCOMPARE(QString::fromUtf8(buffer.data()), lines.join('\n') + '\n');
}

QTEST_GUILESS_MAIN(TestPlotData)
#include "tst_plotdata.moc"
