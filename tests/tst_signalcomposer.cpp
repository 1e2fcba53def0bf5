#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "dbc/dbcreader.h"
#include "dbcview/composegroup.h"
#include "dbcview/signalcomposer.h"
#include "dbcview/signalcomposerwidget.h"
#include "tests/fake/fakecanable.h"
#include "transmit/datasendwidget.h"
#include "transmit/sendthread.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
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
    void panelCompose_data() { compose_data(); }
    void panelCompose();
    void panelFollowsDatabase();
    void panelTellsMessagesOfOneNameApart();
    void panelKeepsTheValueForTextThatIsNoNumber_data();
    void panelKeepsTheValueForTextThatIsNoNumber();
    void panelSendsTheDataField();
    void panelReadsFullWidthValues_data();
    void panelReadsFullWidthValues();
    void panelLeavesTheEditorRoom_data();
    void panelLeavesTheEditorRoom();

private:
    struct Panel
    {
        QGroupBox *group = nullptr;
        QComboBox *messages = nullptr;
        QTableWidget *table = nullptr;
        QLineEdit *data = nullptr;
    };
    static Panel panelParts(DataSendWidget &sender);
    static void typeValue(const Panel &panel, const QString &signal, const QString &text);

    DbcDatabase m_database;
};

TestSignalComposer::Panel TestSignalComposer::panelParts(DataSendWidget &sender)
{
    Panel parts;
    parts.group = sender.findChild<QGroupBox *>("grpCompose");
    if (parts.group) {
        parts.messages = parts.group->findChild<QComboBox *>("cbxMessage");
        parts.table = parts.group->findChild<QTableWidget *>("tbSignals");
    }
    parts.data = sender.findChild<QLineEdit *>("txtData");
    return parts;
}

void TestSignalComposer::typeValue(const Panel &panel, const QString &signal,
                                   const QString &text)
{
    const QList<QTableWidgetItem *> found = panel.table->findItems(signal, Qt::MatchExactly);
    QVERIFY2(!found.isEmpty(), qPrintable(signal));
    panel.table->item(found.first()->row(), SignalComposerWidget::ValueColumn)->setText(text);
}

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

void TestSignalComposer::panelCompose()
{
    QFETCH(QString, message);
    QFETCH(QStringList, values);
    QFETCH(quint32, id);
    QFETCH(bool, extended);
    QFETCH(QByteArray, hex);

    DataSendWidget sender;
    auto *group = new ComposeGroup(&sender);
    group->setDatabase(&m_database);
    const Panel panel = panelParts(sender);
    QVERIFY(panel.group && panel.messages && panel.table);
    QVERIFY(!panel.group->isHidden());
    // Nothing is chosen, so opening the group leaves the editor as it was.
    QCOMPARE(panel.messages->currentIndex(), -1);
    const QString before = panel.data->text();
    panel.group->setChecked(true);
    QCOMPARE(panel.data->text(), before);

    const DbcMessage *described = m_database.messageByName(message);
    QVERIFY(described);
    panel.messages->setCurrentIndex(panel.messages->findData(message));
    SendFrame frame = sender.frameFromEditor();
    QCOMPARE(frame.id, id);
    QCOMPARE(frame.extended, extended);
    QVERIFY(!frame.remote);
    QCOMPARE(frame.data.size(), described->length);
    QCOMPARE(sender.findChild<QLineEdit *>("txtDlc")->text().toInt(nullptr, 16),
             described->length);

    QHash<QString, double> physical;
    for (const QString &value : values) {
        const QStringList parts = value.split('=');
        typeValue(panel, parts.at(0), parts.at(1));
        physical.insert(parts.at(0), parts.at(1).toDouble());
    }
    frame = sender.frameFromEditor();
    QCOMPARE(frame.data.toHex(), hex);
    QCOMPARE(panel.data->text(), QString::fromLatin1(QByteArray::fromHex(hex).toHex(' ')));
    // Without a multiplexer every value given is written, as the codec writes them.
    if (described->multiplexorIndex < 0)
        QCOMPARE(frame.data.toHex(), DbcCodec::encode(*described, physical).toHex());
}

void TestSignalComposer::panelFollowsDatabase()
{
    DataSendWidget sender;
    auto *group = new ComposeGroup(&sender);
    const Panel panel = panelParts(sender);
    QVERIFY(panel.group && panel.messages && panel.table);
    QVERIFY(panel.group->isHidden());

    DbcDatabase database = m_database;
    group->setDatabase(&database);
    QVERIFY(!panel.group->isHidden());
    panel.group->setChecked(true);
    panel.messages->setCurrentIndex(panel.messages->findData("EngineData"));
    typeValue(panel, "EngineSpeed", "2350");
    QCOMPARE(panel.data->text(), QStringLiteral("b8 24 00 00 00 00 00 00"));

    // A reload keeps the message and the typed value, and does not touch the editor.
    panel.data->setText("01 02");
    DbcDatabase reloaded = m_database;
    group->setDatabase(&reloaded);
    QCOMPARE(panel.messages->currentData().toString(), QStringLiteral("EngineData"));
    QCOMPARE(panel.data->text(), QStringLiteral("01 02"));
    typeValue(panel, "Gear", "2");
    QCOMPARE(panel.data->text(), QStringLiteral("b8 24 00 00 00 00 20 00"));

    DbcDatabase empty;
    group->setDatabase(&empty);
    QVERIFY(panel.group->isHidden());
    QCOMPARE(panel.table->rowCount(), 0);
}

void TestSignalComposer::panelTellsMessagesOfOneNameApart()
{
    DbcDatabase database;
    database.add(DbcReader::parse("BO_ 100 Twin: 1 A\n SG_ S : 0|8@1+ (1,0) [0|0] \"\" X\n",
                                  "a.dbc"));
    database.add(DbcReader::parse("BO_ 200 Twin: 2 B\n SG_ S : 8|8@1+ (1,0) [0|0] \"\" X\n",
                                  "b.dbc"));
    DataSendWidget sender;
    auto *group = new ComposeGroup(&sender);
    group->setDatabase(&database);
    const Panel panel = panelParts(sender);
    QVERIFY(panel.group && panel.messages && panel.table);
    panel.group->setChecked(true);
    QCOMPARE(panel.messages->count(), 2);
    panel.messages->setCurrentIndex(1);
    typeValue(panel, "S", "7");
    QCOMPARE(sender.frameFromEditor().id, 200u);
    QCOMPARE(panel.data->text(), QStringLiteral("00 07"));
    // A reload keeps the choice of the same identifier.
    group->setDatabase(&database);
    QCOMPARE(panel.messages->currentIndex(), 1);
}

void TestSignalComposer::panelKeepsTheValueForTextThatIsNoNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("letters") << "fast";
    QTest::newRow("empty") << "";
    QTest::newRow("infinite") << "inf";
}

void TestSignalComposer::panelKeepsTheValueForTextThatIsNoNumber()
{
    QFETCH(QString, text);
    DataSendWidget sender;
    auto *group = new ComposeGroup(&sender);
    group->setDatabase(&m_database);
    const Panel panel = panelParts(sender);
    QVERIFY(panel.group && panel.messages && panel.table);
    panel.group->setChecked(true);
    panel.messages->setCurrentIndex(panel.messages->findData("EngineData"));
    typeValue(panel, "EngineSpeed", "2350");
    const QString sent = panel.data->text();
    typeValue(panel, "EngineSpeed", text);
    QCOMPARE(panel.data->text(), sent);
    const QTableWidgetItem *name = panel.table->findItems("EngineSpeed", Qt::MatchExactly).first();
    QCOMPARE(panel.table->item(name->row(), SignalComposerWidget::ValueColumn)->text(),
             QStringLiteral("2350"));
}

void TestSignalComposer::panelReadsFullWidthValues_data()
{
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("ascii");
    QTest::addColumn<QString>("fullWidth");
    QTest::newRow("speed") << "EngineSpeed" << "1000" << "１０００";
    QTest::newRow("fraction and blanks") << "ThrottlePosition" << "12.5" << "　１２．５";
    QTest::newRow("negative") << "IntakeAirTemp" << "-20" << "－２０";
}

// An input method in full-width mode types the digits it shows.
void TestSignalComposer::panelReadsFullWidthValues()
{
    QFETCH(QString, signal);
    QFETCH(QString, ascii);
    QFETCH(QString, fullWidth);
    DataSendWidget sender;
    auto *group = new ComposeGroup(&sender);
    group->setDatabase(&m_database);
    const Panel panel = panelParts(sender);
    QVERIFY(panel.group && panel.messages && panel.table);
    panel.group->setChecked(true);
    panel.messages->setCurrentIndex(panel.messages->findData("EngineData"));
    typeValue(panel, signal, ascii);
    const QString sent = panel.data->text();
    typeValue(panel, signal, "0");
    QVERIFY(panel.data->text() != sent);
    typeValue(panel, signal, fullWidth);
    QCOMPARE(panel.data->text(), sent);
}

void TestSignalComposer::panelSendsTheDataField()
{
    qRegisterMetaType<CanMessage>("CanMessage");
    FakeCanable::reset();
    DataSendWidget sender;
    auto *group = new ComposeGroup(&sender);
    group->setDatabase(&m_database);
    sender.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sender));
    const Panel panel = panelParts(sender);
    QVERIFY(panel.group && panel.messages && panel.table);
    panel.group->setChecked(true);
    panel.messages->setCurrentIndex(panel.messages->findData("EngineData"));
    typeValue(panel, "EngineSpeed", "2350");
    QCOMPARE(panel.data->text(), QStringLiteral("b8 24 00 00 00 00 00 00"));

    // A byte that no signal covers, typed by hand, outlives later values.
    panel.data->selectAll();
    QTest::keyClicks(panel.data, "b8 24 19 37 41 aa 30 00");
    const QList<QTableWidgetItem *> gear = panel.table->findItems("Gear", Qt::MatchExactly);
    QCOMPARE(gear.size(), 1);
    QCOMPARE(panel.table->item(gear.first()->row(), SignalComposerWidget::ValueColumn)->text(),
             QStringLiteral("3"));
    typeValue(panel, "ThrottlePosition", "50");
    QCOMPARE(panel.data->text(), QStringLiteral("b8 24 32 37 41 aa 30 00"));

    auto send = sender.findChild<QPushButton *>("btnSend");
    const QString idle = send->text();
    QTest::mouseClick(send, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(FakeCanable::writtenFrames().size(), 1, 30000);
    const CanFrameRecord written = FakeCanable::writtenFrames().first();
    QCOMPARE(written.id, 0xC4u);
    QVERIFY(!written.extended && !written.remote);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(written.data), written.dlc).toHex(),
             QByteArray("b8243237" "41aa3000"));
    QTRY_COMPARE_WITH_TIMEOUT(send->text(), idle, 30000);
    SendThread::instance()->stopSend();
}

void TestSignalComposer::panelLeavesTheEditorRoom_data()
{
    QTest::addColumn<int>("height");
    QTest::newRow("room for both parts") << 760;
    QTest::newRow("a short panel") << 420;
}

// The group appears and opens in a panel laid out already: the editor's buttons above it
// must keep their height rather than be squeezed under it.
void TestSignalComposer::panelLeavesTheEditorRoom()
{
    QFETCH(int, height);
    DataSendWidget sender;
    auto *group = new ComposeGroup(&sender);
    sender.resize(900, height);
    sender.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sender));
    auto send = sender.findChild<QPushButton *>("btnSend");
    QVERIFY(send);
    const int readable = send->minimumSizeHint().height();
    QVERIFY(send->height() >= readable);

    group->setDatabase(&m_database);
    const Panel panel = panelParts(sender);
    QTRY_VERIFY(panel.group->isVisible() && panel.group->height() > 0);
    QTRY_VERIFY2(send->height() >= readable, qPrintable(QString::number(send->height())));
    panel.group->setChecked(true);
    QTRY_VERIFY(panel.table->isVisible() && panel.table->height() > 0);
    QTRY_VERIFY2(send->height() >= readable, qPrintable(QString::number(send->height())));
}

QTEST_MAIN(TestSignalComposer)
#include "tst_signalcomposer.moc"
