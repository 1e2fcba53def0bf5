#include "canable/canable.h"
#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"

#include <QDeadlineTimer>
#include <QtTest>

// The example database shipped for newcomers must describe the simulated bus truthfully:
// every frame decodes into plausible values, counters roll and checksums hold.
class TestVehicleDbc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyMessageSeen();
    void signalsArePlausible_data();
    void signalsArePlausible();
    void countersRollAndChecksumsHold_data();
    void countersRollAndChecksumsHold();

private:
    DbcDatabase m_database;
    QVector<CanFrameRecord> m_frames;
};

namespace {

const DbcSignal *findSignal(const DbcMessage &message, const QString &name, int *index)
{
    for (int i = 0; i < message.signalList.size(); ++i) {
        if (message.signalList.at(i).name == name) {
            *index = i;
            return &message.signalList.at(i);
        }
    }
    return nullptr;
}

} // namespace

void TestVehicleDbc::initTestCase()
{
    const DbcFile file = DbcReader::readFile(QFINDTESTDATA("../../docs/examples/vehicle.dbc"));
    QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
    QVERIFY2(file.warnings.isEmpty(), qPrintable(file.warnings.join('\n')));
    m_database.add(file);

    qputenv("CANABLE_INTERFACE", "sim");
    qunsetenv("CANABLE_SIM_TRAFFIC");
    QCOMPARE(canable_initDLL(0, 500), 0);
    // The odometer answers remote requests only; ask once so that it need not be awaited.
    CanFrameRecord request = {};
    request.id = 0x3C0;
    request.dlc = 4;
    request.remote = 1;
    QCOMPARE(canable_writeMessage(0, &request), 0);

    QSet<uint64_t> missing;
    for (const DbcMessage &message : m_database.messages())
        missing.insert(dbcMessageKey(message.id, message.extended));
    QDeadlineTimer deadline(20000);
    // Two of the slowest frames each give the counters something to compare.
    QDeadlineTimer minimum(2500);
    while ((!missing.isEmpty() || !minimum.hasExpired()) && !deadline.hasExpired()) {
        CanFrameRecord record;
        if (canable_readMessage(0, &record, 1) != 0 || record.remote)
            continue;
        missing.remove(dbcMessageKey(record.id, record.extended));
        m_frames.append(record);
    }
    QStringList names;
    for (uint64_t key : qAsConst(missing))
        names.append(QString::number(key, 16));
    QVERIFY2(missing.isEmpty(), qPrintable("never came: " + names.join(' ')));
}

void TestVehicleDbc::cleanupTestCase()
{
    canable_freeDLL(0);
}

void TestVehicleDbc::everyMessageSeen()
{
    QVector<DbcDecodedSignal> values;
    for (const CanFrameRecord &frame : m_frames) {
        const DbcMessage *message = m_database.message(frame.id, frame.extended);
        if (!message)
            continue;
        QCOMPARE(int(frame.dlc), message->length);
        QCOMPARE(DbcCodec::decode(*message, frame.data, frame.dlc, &values),
                 message->signalList.size());
        for (int i = 0; i < message->signalList.size(); ++i) {
            QVERIFY2(!values.at(i).outOfRange,
                     qPrintable(message->signalList.at(values.at(i).index).name));
        }
    }
}

void TestVehicleDbc::signalsArePlausible_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("low");
    QTest::addColumn<double>("high");
    QTest::addColumn<QString>("description");   // expected for every frame, or empty

    QTest::newRow("engine speed") << "EngineSpeed" << 800.0 << 6000.0 << QString();
    QTest::newRow("throttle") << "ThrottlePosition" << 5.0 << 35.0 << QString();
    QTest::newRow("gear") << "Gear" << 1.0 << 6.0 << QString();
    QTest::newRow("intake air") << "IntakeAirTemp" << 21.0 << 29.0 << QString();
    QTest::newRow("front left wheel") << "WheelSpeedFL" << 14.0 << 86.0 << QString();
    QTest::newRow("rear right wheel") << "WheelSpeedRR" << 14.0 << 86.0 << QString();
    QTest::newRow("coolant") << "CoolantTemp" << 84.0 << 92.0 << QString();
    QTest::newRow("oil") << "OilTemp" << 91.0 << 101.0 << QString();
    QTest::newRow("fuel level") << "FuelLevel" << 5.0 << 64.0 << QString();
    QTest::newRow("node state") << "NodeState" << 1.0 << 1.0 << "Running";
    QTest::newRow("vehicle speed") << "WheelBasedSpeed" << 14.0 << 86.0 << QString();
    QTest::newRow("engine oil") << "EngineOilTemp" << 91.0 << 101.0 << QString();
    QTest::newRow("fuel temperature") << "FuelTemp" << 32.0 << 38.0 << QString();
    QTest::newRow("odometer") << "TotalDistance" << 123456.0 << 123500.0 << QString();
}

void TestVehicleDbc::signalsArePlausible()
{
    QFETCH(QString, name);
    QFETCH(double, low);
    QFETCH(double, high);
    QFETCH(QString, description);
    int seen = 0;
    QVector<DbcDecodedSignal> values;
    for (const CanFrameRecord &frame : m_frames) {
        const DbcMessage *message = m_database.message(frame.id, frame.extended);
        int index;
        if (!message || !findSignal(*message, name, &index))
            continue;
        const int count = DbcCodec::decode(*message, frame.data, frame.dlc, &values);
        for (int i = 0; i < count; ++i) {
            if (values.at(i).index != index)
                continue;
            const double value = values.at(i).physical;
            QVERIFY2(value >= low && value <= high, qPrintable(QString::number(value)));
            const DbcSignal &signal = message->signalList.at(index);
            if (!description.isEmpty())
                QCOMPARE(DbcCodec::valueDescription(signal, values.at(i).rawInteger), description);
            ++seen;
        }
    }
    QVERIFY(seen > 0);
}

void TestVehicleDbc::countersRollAndChecksumsHold_data()
{
    QTest::addColumn<QString>("counter");
    QTest::addColumn<QString>("checksum");   // empty: the message has none
    QTest::newRow("engine") << "EngineCounter" << "EngineChecksum";
    QTest::newRow("wheels") << "WheelCounter" << "WheelChecksum";
    QTest::newRow("temperatures") << "TemperatureCounter" << QString();
    QTest::newRow("heartbeat") << "HeartbeatCounter" << QString();
}

void TestVehicleDbc::countersRollAndChecksumsHold()
{
    QFETCH(QString, counter);
    QFETCH(QString, checksum);
    int previous = -1;
    int steps = 0;
    QVector<DbcDecodedSignal> values;
    for (const CanFrameRecord &frame : m_frames) {
        const DbcMessage *message = m_database.message(frame.id, frame.extended);
        int counterIndex;
        if (!message || !findSignal(*message, counter, &counterIndex))
            continue;
        DbcCodec::decode(*message, frame.data, frame.dlc, &values);
        const int value = int(values.at(counterIndex).rawInteger);
        if (previous >= 0) {
            QCOMPARE(value, (previous + 1) % 16);
            ++steps;
        }
        previous = value;
        int checksumIndex;
        if (!checksum.isEmpty() && findSignal(*message, checksum, &checksumIndex)) {
            unsigned int sum = frame.id & 0xFF;
            for (int i = 0; i < 7; ++i)
                sum += frame.data[i];
            QCOMPARE(values.at(checksumIndex).rawInteger, int64_t(sum & 0xFF));
        }
    }
    QVERIFY(steps > 0);
}

QTEST_GUILESS_MAIN(TestVehicleDbc)
#include "tst_vehicledbc.moc"
