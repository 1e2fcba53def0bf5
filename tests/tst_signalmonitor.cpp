#include "dbc/dbcdatabase.h"
#include "dbcview/signalmonitor.h"

#include <QtTest>

// What the signal view shows for frames of the example vehicle and of a multiplexed
// message.
class TestSignalMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shows_data();
    void shows();
    void multiplexedChildrenFollowTheSelector();
    void cycleAndUnknownFrames();

private:
    DbcDatabase m_database;
};

namespace {

CanMessage frame(quint32 id, bool extended, const QByteArray &hex, qint64 us = 0)
{
    CanMessage message;
    message.id = id;
    message.extended = extended;
    message.data = QByteArray::fromHex(hex);
    message.dlc = message.data.size();
    message.timestampUs = us;
    return message;
}

QTreeWidgetItem *child(QTreeWidgetItem *parent, const QString &name)
{
    for (int i = 0; parent && i < parent->childCount(); ++i) {
        if (parent->child(i)->text(SignalMonitor::NameColumn) == name)
            return parent->child(i);
    }
    return nullptr;
}

QStringList childNames(QTreeWidgetItem *parent)
{
    QStringList names;
    for (int i = 0; i < parent->childCount(); ++i)
        names.append(parent->child(i)->text(SignalMonitor::NameColumn));
    return names;
}

} // namespace

void TestSignalMonitor::initTestCase()
{
    QCOMPARE(m_database.load({QFINDTESTDATA("../docs/examples/vehicle.dbc"),
                              QFINDTESTDATA("data/dbc/awkward.dbc")})
                 .filesLoaded,
             2);
}

void TestSignalMonitor::shows_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("raw");
    QTest::addColumn<bool>("outOfRange");

    const QByteArray engine = "b8241937410030c5";
    QTest::newRow("engine speed") << quint32(0xC4) << false << engine << "0x0C4 EngineData"
                                  << "EngineSpeed" << "2350 rpm" << "" << "9400" << false;
    QTest::newRow("gear description") << quint32(0xC4) << false << engine
                                       << "0x0C4 EngineData" << "Gear" << "3" << "Third"
                                       << "3" << false;
    QTest::newRow("offset") << quint32(0xC4) << false << engine << "0x0C4 EngineData"
                            << "IntakeAirTemp" << "25 degC" << "" << "65" << false;
    QTest::newRow("beyond maximum") << quint32(0xC4) << false << QByteArray("0000c8")
                                    << "0x0C4 EngineData" << "ThrottlePosition" << "200 %"
                                    << "" << "200" << true;
    QTest::newRow("extended") << quint32(0x18FEF100) << true << QByteArray("ff0064ffffffffff")
                              << "0x18FEF100 ExtendedBig" << "Speed" << "100 km/h" << ""
                              << "25600" << false;
    QTest::newRow("signed motorola") << quint32(200) << false << QByteArray("ffffffffffffffff")
                                     << "0x0C8 Motorola" << "M64" << "-1" << "" << "-1"
                                     << false;
    QTest::newRow("above maximum of a signed signal")
        << quint32(200) << false << QByteArray("000000000000ffff") << "0x0C8 Motorola"
        << "M17" << "508.75 Nm" << "" << "2047" << true;
    QTest::newRow("below minimum of a signed signal")
        << quint32(200) << false << QByteArray("0000000000200000") << "0x0C8 Motorola"
        << "M17" << "-16387 Nm" << "" << "-65536" << true;
    QTest::newRow("inside a signed signal's range")
        << quint32(200) << false << QByteArray("00000000003fff80") << "0x0C8 Motorola"
        << "M17" << "-4 Nm" << "" << "-4" << false;
}

void TestSignalMonitor::shows()
{
    QFETCH(quint32, id);
    QFETCH(bool, extended);
    QFETCH(QByteArray, hex);
    QFETCH(QString, title);
    QFETCH(QString, signal);
    QFETCH(QString, value);
    QFETCH(QString, description);
    QFETCH(QString, raw);
    QFETCH(bool, outOfRange);

    SignalMonitor monitor;
    monitor.setDatabase(&m_database);
    monitor.addFrames({frame(id, extended, hex)});
    monitor.refresh();
    QCOMPARE(monitor.topLevelItemCount(), 1);
    QTreeWidgetItem *message = monitor.topLevelItem(0);
    QCOMPARE(message->text(SignalMonitor::NameColumn), title);
    QTreeWidgetItem *row = child(message, signal);
    QVERIFY2(row, qPrintable(childNames(message).join(' ')));
    QCOMPARE(row->text(SignalMonitor::ValueColumn), value);
    QCOMPARE(row->text(SignalMonitor::DescriptionColumn), description);
    QCOMPARE(row->text(SignalMonitor::RawColumn), raw);
    QCOMPARE(!row->text(SignalMonitor::RangeColumn).isEmpty(), outOfRange);
}

void TestSignalMonitor::multiplexedChildrenFollowTheSelector()
{
    SignalMonitor monitor;
    monitor.setDatabase(&m_database);
    monitor.addFrames({frame(400, false, "01fe000000260200")});
    monitor.refresh();
    QTreeWidgetItem *message = monitor.topLevelItem(0);
    QCOMPARE(childNames(message), QStringList({"Selector", "Always", "Value1", "Other1"}));
    QCOMPARE(child(message, "Other1")->text(SignalMonitor::ValueColumn), QStringLiteral("0.5"));
    monitor.addFrames({frame(400, false, "0010270000000000")});
    monitor.refresh();
    QCOMPARE(childNames(message), QStringList({"Selector", "Always", "Value0"}));
    QCOMPARE(child(message, "Value0")->text(SignalMonitor::ValueColumn),
             QStringLiteral("1000 km/h"));
    QCOMPARE(child(message, "Selector")->text(SignalMonitor::DescriptionColumn),
             QStringLiteral("Zero"));
}

void TestSignalMonitor::cycleAndUnknownFrames()
{
    SignalMonitor monitor;
    monitor.setDatabase(&m_database);
    QList<CanMessage> frames;
    for (int i = 0; i < 20; ++i) {
        frames.append(frame(0xC4, false, "0000000000000000", 1000000 + i * 10000));
        frames.append(frame(0x7FF, false, "00"));   // not in the database
    }
    CanMessage remote = frame(0x3C0, false, "");
    remote.remote = true;
    frames.append(remote);
    monitor.addFrames(frames);
    QCOMPARE(monitor.topLevelItemCount(), 0);   // nothing decoded before refresh
    monitor.refresh();
    QCOMPARE(monitor.topLevelItemCount(), 1);
    QCOMPARE(monitor.topLevelItem(0)->text(SignalMonitor::CycleColumn),
             QStringLiteral("10.0 / 10"));
    QCOMPARE(monitor.topLevelItem(0)->text(SignalMonitor::CountColumn), QStringLiteral("20"));
    // Frames of identifiers sorted before it go above it.
    monitor.addFrames({frame(5, false, "000000")});
    monitor.refresh();
    QCOMPARE(monitor.topLevelItem(0)->text(SignalMonitor::NameColumn),
             QStringLiteral("0x005 Short"));
    monitor.setDatabase(&m_database);
    QCOMPARE(monitor.topLevelItemCount(), 0);
}

QTEST_MAIN(TestSignalMonitor)
#include "tst_signalmonitor.moc"
