#include "datasendwidget.h"
#include "dbcdatabase.h"
#include "signalcomposer.h"

#include <QtTest>

// Composing a frame from physical values: the payload the composer encodes and that the
// transmit panel's editor then holds and would send.
class TestSignalComposer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void compose_data();
    void compose();
    void unloadedDatabaseLeavesNothingToCompose();

private:
    DbcDatabase m_database;
};

void TestSignalComposer::initTestCase()
{
    const DbcDatabase::LoadReport report = m_database.load(
        {QFINDTESTDATA("../docs/examples/vehicle.dbc"), QFINDTESTDATA("data/dbc/awkward.dbc")});
    QCOMPARE(report.filesLoaded, 2);
}

void TestSignalComposer::compose_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("values");   // "signal=physical"
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QByteArray>("hex");

    QTest::newRow("engine")
        << "EngineData"
        << QStringList{"EngineSpeed=2350", "ThrottlePosition=25", "EngineLoad=55",
                       "IntakeAirTemp=25", "Gear=3"}
        << quint32(0xC4) << false << QByteArray("b824193741003000");
    QTest::newRow("limited to what the signal carries")
        << "Temperatures" << QStringList{"CoolantTemp=300", "FuelLevel=-5"} << quint32(0x2F0)
        << false << QByteArray("ff00000000");
    QTest::newRow("only the chosen multiplexer value")
        << "MuxIntel" << QStringList{"Selector=1", "Value1=-2", "Value0=100", "Other1=0.5"}
        << quint32(400) << false << QByteArray("01fe000000260200");
    QTest::newRow("motorola") << "StandardOne" << QStringList{"Word=4660"} << quint32(1)
                              << false << QByteArray("1234");
    QTest::newRow("extended identifier")
        << "ExtendedBig" << QStringList{"Speed=100.5", "State=2"} << quint32(0x18FEF100)
        << true << QByteArray("0280640000000000");
}

void TestSignalComposer::compose()
{
    QFETCH(QString, message);
    QFETCH(QStringList, values);
    QFETCH(quint32, id);
    QFETCH(bool, extended);
    QFETCH(QByteArray, hex);

    DataSendWidget sender;
    SignalComposer composer;
    connect(&composer, &SignalComposer::frameComposed, &sender, &DataSendWidget::setEditorFrame);
    composer.setDatabase(&m_database);
    QVERIFY(composer.selectMessage(message));
    for (const QString &value : values) {
        const QStringList parts = value.split('=');
        QVERIFY(composer.setValue(parts.at(0), parts.at(1).toDouble()));
    }
    QCOMPARE(composer.payload().toHex(), hex);
    const SendFrame frame = sender.frameFromEditor();
    QCOMPARE(frame.id, id);
    QCOMPARE(frame.extended, extended);
    QVERIFY(!frame.remote);
    QCOMPARE(frame.data.toHex(), hex);
}

void TestSignalComposer::unloadedDatabaseLeavesNothingToCompose()
{
    DbcDatabase database = m_database;
    SignalComposer composer;
    composer.setDatabase(&database);
    QVERIFY(composer.selectMessage("EngineData"));
    QVERIFY(!composer.payload().isEmpty());
    QSignalSpy composed(&composer, &SignalComposer::frameComposed);
    database.clear();
    composer.setDatabase(&database);
    QVERIFY(composer.payload().isEmpty());
    QVERIFY(!composer.selectMessage("EngineData"));
    QCOMPARE(composed.count(), 0);
}

QTEST_MAIN(TestSignalComposer)
#include "tst_signalcomposer.moc"
