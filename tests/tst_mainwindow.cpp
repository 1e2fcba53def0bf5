#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "tests/fake/fakecanable.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QtTest>

#include <linux/can/error.h>

#include <memory>

Q_DECLARE_METATYPE(CanInterfaceInfo)

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void objectTree_data();
    void objectTree();
    void initialDeviceBar();
    void openAndClose();
    void openFailureShowsMessage();
    void chosenBitrateReachesAdapter_data();
    void chosenBitrateReachesAdapter();
    void closingWindowClosesDevice();

    void errorEventRowAndCounter_data();
    void errorEventRowAndCounter();
    void busStateFields_data();
    void busStateFields();
    void interfaceCombo_data();
    void interfaceCombo();
    void interfaceListRefreshedOnClose();
    void absentCallsShowUnknown();
    void listenOnly_data();
    void listenOnly();
    void fdMode_data();
    void fdMode();
    void openInProgress();
    void staleResultIgnored_data();
    void staleResultIgnored();

private:
    // The transmit panel reuses some of the window's object names; these look only at the
    // window's own widgets.
    QObject *ownChild(const QString &name) const;
    template<typename T>
    T *child(const char *name) const { return qobject_cast<T *>(ownChild(name)); }
    void verifyDeviceBar(bool open) const;
    void clickOpenAndWait();
    // A window built after the fake's additional calls are in place.
    void reopenWindowWithCalls();
    QString labelText(const char *name) const { return child<QLabel>(name)->text(); }
    // Answers every message box that comes up, remembering the texts.
    void answerBoxes();

    QTimer boxPoll;
    QStringList boxTexts;

    std::unique_ptr<MainWindow> window;
};

void tst_MainWindow::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

void tst_MainWindow::init()
{
    FakeCanable::reset();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_MainWindow::cleanup()
{
    FakeCanable::releaseInit();
    boxPoll.stop();
    boxPoll.disconnect();
    boxTexts.clear();
    window.reset();
    HandleThread::instance()->takeMessages();
    HandleThread::instance()->clearCount();
    FakeCanable::reset();
}

void tst_MainWindow::reopenWindowWithCalls()
{
    window.reset();
    FakeCanable::installAdditionalCalls();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_MainWindow::answerBoxes()
{
    connect(&boxPoll, &QTimer::timeout, this, [this] {
        auto box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        boxTexts << box->text();
        box->button(QMessageBox::Yes)->click();
    });
    boxPoll.start(20);
}

QObject *tst_MainWindow::ownChild(const QString &name) const
{
    const QList<QObject *> found = window->findChildren<QObject *>(name);
    for (QObject *object : found) {
        bool inPanel = false;
        for (QObject *up = object->parent(); up && up != window.get(); up = up->parent())
            inPanel = inPanel || up->objectName() == QLatin1String("DataSendWidget");
        if (!inPanel)
            return object;
    }
    return nullptr;
}

void tst_MainWindow::objectTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QString>("text");

    const QStringList rows = {
        "centralwidget QWidget MainWindow -",
        "widget_77 QWidget centralwidget -",
        "horizontalLayout QHBoxLayout widget_77 -",
        "cbxDevType QComboBox widget_77 -",
        "label QLabel widget_77 波特率:",
        "cbxBaudrate QComboBox widget_77 -",
        "btnOpen QPushButton widget_77 打开",
        "btnClose QPushButton widget_77 关闭",
        "splitter QSplitter centralwidget -",
        "layoutWidget QWidget splitter -",
        "verticalLayout QVBoxLayout layoutWidget -",
        "tbReceive MyTableView layoutWidget -",
        "widget_55 QWidget layoutWidget -",
        "layoutWidget1 QWidget widget_55 -",
        "horizontalLayout_2 QHBoxLayout layoutWidget1 -",
        "label_5 QLabel layoutWidget1 最大显示行数:",
        "txtMaxRowCount QLineEdit layoutWidget1 100",
        "btnClear QPushButton layoutWidget1 清空列表",
        "btnExport QPushButton layoutWidget1 导出",
        "verticalLayoutWidget QWidget splitter -",
        "sendLayout QVBoxLayout verticalLayoutWidget -",
        "menubar QMenuBar MainWindow -",
        "statusbar QStatusBar MainWindow -",
        "DataSendWidget DataSendWidget verticalLayoutWidget -",
    };
    for (const QString &row : rows) {
        const QStringList f = row.split(' ');
        QTest::newRow(qPrintable(f[0])) << f[0] << f[1] << f[2] << (f[3] == "-" ? "" : f[3]);
    }
}

void tst_MainWindow::objectTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QString, text);

    QObject *object = ownChild(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->parent()->objectName(), parentName);
    if (!text.isEmpty())
        QCOMPARE(object->property("text").toString(), text);
}

void tst_MainWindow::verifyDeviceBar(bool open) const
{
    QCOMPARE(child<QComboBox>("cbxDevType")->isEnabled(), !open);
    QCOMPARE(child<QComboBox>("cbxBaudrate")->isEnabled(), !open);
    QCOMPARE(child<QPushButton>("btnOpen")->isEnabled(), !open);
    QCOMPARE(child<QPushButton>("btnClose")->isEnabled(), open);
}

void tst_MainWindow::initialDeviceBar()
{
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Vostrel_V240522"));

    auto devType = child<QComboBox>("cbxDevType");
    QCOMPARE(devType->count(), 1);
    QCOMPARE(devType->itemText(0), QStringLiteral("CANable_candlelight"));
    QVERIFY(!devType->itemData(0).isValid());

    auto bitrate = child<QComboBox>("cbxBaudrate");
    const QStringList texts = { "10k", "20k", "50k", "100k", "500k", "1000k" };
    const QList<int> values = { 10, 20, 50, 100, 500, 1000 };
    QCOMPARE(bitrate->count(), texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        QCOMPARE(bitrate->itemText(i), texts.at(i));
        QCOMPARE(bitrate->itemData(i), QVariant(values.at(i)));
    }
    QCOMPARE(bitrate->currentText(), QStringLiteral("1000k"));
    verifyDeviceBar(false);
}

void tst_MainWindow::clickOpenAndWait()
{
    QTest::mouseClick(child<QPushButton>("btnOpen"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("btnClose")->isEnabled(), 10000);
}

void tst_MainWindow::openAndClose()
{
    clickOpenAndWait();
    verifyDeviceBar(true);

    QTest::mouseClick(child<QPushButton>("btnClose"), Qt::LeftButton);
    verifyDeviceBar(false);
    QVERIFY(!ListenThread::instance()->isRunning());
    QCOMPARE(FakeCanable::calls().last().name, QStringLiteral("free"));
}

void tst_MainWindow::openFailureShowsMessage()
{
    FakeCanable::setInitResult(1);

    QString title;
    QString text;
    QList<QAbstractButton *> buttons;
    QMessageBox::StandardButtons standardButtons;
    QWidget *boxParent = nullptr;
    bool barClosedWhileShown = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        title = box->windowTitle();
        text = box->text();
        buttons = box->buttons();
        standardButtons = box->standardButtons();
        boxParent = box->parentWidget();
        barClosedWhileShown = child<QPushButton>("btnOpen")->isEnabled()
                && !child<QPushButton>("btnClose")->isEnabled();
        box->button(QMessageBox::Yes)->click();
    });
    poll.start(20);

    QTest::mouseClick(child<QPushButton>("btnOpen"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!poll.isActive(), 10000);

    QCOMPARE(title, QStringLiteral("提示"));
    QCOMPARE(text, QStringLiteral("设备打开失败!"));
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(standardButtons, QMessageBox::StandardButtons(QMessageBox::Yes));
    QCOMPARE(boxParent, window.get());
    QVERIFY(barClosedWhileShown);
    verifyDeviceBar(false);
}

void tst_MainWindow::chosenBitrateReachesAdapter_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<unsigned int>("kbps");
    QTest::newRow("10k") << "10k" << 10u;
    QTest::newRow("50k") << "50k" << 50u;
    QTest::newRow("500k") << "500k" << 500u;
}

void tst_MainWindow::chosenBitrateReachesAdapter()
{
    QFETCH(QString, choice);
    QFETCH(unsigned int, kbps);

    auto bitrate = child<QComboBox>("cbxBaudrate");
    bitrate->setCurrentIndex(bitrate->findText(choice));
    clickOpenAndWait();

    unsigned int passed = 0;
    for (const FakeCanable::Call &call : FakeCanable::calls()) {
        if (call.name == "init")
            passed = call.bitrate;
    }
    QCOMPARE(passed, kbps);
}

void tst_MainWindow::closingWindowClosesDevice()
{
    clickOpenAndWait();
    QVERIFY(ListenThread::instance()->isRunning());

    window.reset();
    QVERIFY(!ListenThread::instance()->isRunning());
    QCOMPARE(FakeCanable::calls().last().name, QStringLiteral("free"));
}

void tst_MainWindow::errorEventRowAndCounter_data()
{
    QTest::addColumn<quint32>("errorClass");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("text");

    const auto bytes = [](const char *hex) { return QByteArray::fromHex(hex); };
    QTest::newRow("tx timeout") << quint32(CAN_ERR_TX_TIMEOUT) << QByteArray() << "发送超时";
    QTest::newRow("lost arbitration") << quint32(CAN_ERR_LOSTARB) << bytes("00") << "仲裁丢失";
    QTest::newRow("controller rx overflow")
        << quint32(CAN_ERR_CRTL) << bytes("0001") << "控制器接收溢出";
    QTest::newRow("controller warning") << quint32(CAN_ERR_CRTL) << bytes("0008")
                                        << "错误警告(发送)";
    QTest::newRow("controller passive") << quint32(CAN_ERR_CRTL) << bytes("0010")
                                        << "错误被动(接收)";
    QTest::newRow("bit error") << quint32(CAN_ERR_PROT) << bytes("000001") << "位错误";
    QTest::newRow("stuff error") << quint32(CAN_ERR_PROT) << bytes("000004") << "填充错误";
    QTest::newRow("form error") << quint32(CAN_ERR_PROT) << bytes("000002") << "格式错误";
    QTest::newRow("crc error") << quint32(CAN_ERR_PROT) << bytes("00000008")
                               << "CRC错误(位置:CRC序列)";
    QTest::newRow("transceiver") << quint32(CAN_ERR_TRX) << QByteArray() << "收发器错误";
    QTest::newRow("no ack") << quint32(CAN_ERR_ACK) << QByteArray() << "ACK错误";
    QTest::newRow("bus-off") << quint32(CAN_ERR_BUSOFF) << QByteArray() << "总线关闭";
    QTest::newRow("bus error") << quint32(CAN_ERR_BUSERROR) << QByteArray() << "总线错误";
    QTest::newRow("restarted") << quint32(CAN_ERR_RESTARTED) << QByteArray() << "重启完成";
    QTest::newRow("counters") << quint32(CAN_ERR_CNT) << bytes("0000000000006003")
                              << "TEC:96 REC:3";
}

// An error event becomes a row of its own between the frames and counts apart from them.
void tst_MainWindow::errorEventRowAndCounter()
{
    QFETCH(quint32, errorClass);
    QFETCH(QByteArray, data);
    QFETCH(QString, text);

    reopenWindowWithCalls();
    QCOMPARE(labelText("lblErrorCount"), QStringLiteral("错误帧:0"));
    clickOpenAndWait();
    FakeCanable::queueErrorEvent(errorClass, data);
    FakeCanable::queueFrame(FakeCanable::record(0x321, "\x01"));
    QAbstractItemModel *model = child<QTableView>("tbReceive")->model();
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, 10000);

    QCOMPARE(model->index(0, 8).data().toString(), QStringLiteral("错误帧"));
    QCOMPARE(model->index(0, 2).data().toString(), text);
    QCOMPARE(model->index(0, 1).data().toString(),
             QStringLiteral("0x%1").arg(errorClass, 3, 16, QLatin1Char('0')));
    QVERIFY(model->index(0, 0).data(Qt::BackgroundRole)
            != model->index(1, 0).data(Qt::BackgroundRole));
    QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("01"));
    QTRY_COMPARE(labelText("lblErrorCount"), QStringLiteral("错误帧:1"));
    QCOMPARE(HandleThread::instance()->getReceiveCount(), qint64(1));
}

void tst_MainWindow::busStateFields_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("tec");
    QTest::addColumn<int>("rec");
    QTest::addColumn<quint64>("kernelDrops");
    QTest::addColumn<quint64>("adapterDrops");
    QTest::addColumn<QString>("stateText");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("counters");
    QTest::addColumn<QString>("drops");

    QTest::newRow("active") << int(CANABLE_STATE_ERROR_ACTIVE) << 0 << 0 << quint64(0)
                            << quint64(0) << "状态:主动错误" << "#4caf50" << "TEC:0 REC:0"
                            << "丢帧:0";
    QTest::newRow("warning") << int(CANABLE_STATE_ERROR_WARNING) << 97 << 2 << quint64(3)
                             << quint64(0) << "状态:错误警告" << "#fdd835" << "TEC:97 REC:2"
                             << "丢帧:3";
    QTest::newRow("passive") << int(CANABLE_STATE_ERROR_PASSIVE) << 130 << 0 << quint64(0)
                             << quint64(4) << "状态:错误被动" << "#fdd835" << "TEC:130 REC:0"
                             << "丢帧:4";
    QTest::newRow("bus-off, both drop counts add up")
        << int(CANABLE_STATE_BUS_OFF) << 255 << 0 << quint64(5000000000) << quint64(7)
        << "状态:总线关闭" << "#f44336" << "TEC:255 REC:0" << "丢帧:5000000007";
    QTest::newRow("counters unknown") << int(CANABLE_STATE_ERROR_ACTIVE) << -1 << -1
                                      << quint64(0) << quint64(0) << "状态:主动错误"
                                      << "#4caf50" << "TEC:-- REC:--" << "丢帧:0";
    QTest::newRow("state unknown") << int(CANABLE_STATE_UNKNOWN) << 1 << 1 << quint64(0)
                                   << quint64(0) << "状态:未知" << "" << "TEC:1 REC:1"
                                   << "丢帧:0";
}

void tst_MainWindow::busStateFields()
{
    QFETCH(int, state);
    QFETCH(int, tec);
    QFETCH(int, rec);
    QFETCH(quint64, kernelDrops);
    QFETCH(quint64, adapterDrops);
    QFETCH(QString, stateText);
    QFETCH(QString, colour);
    QFETCH(QString, counters);
    QFETCH(QString, drops);

    reopenWindowWithCalls();
    QCOMPARE(labelText("lblBusState"), QStringLiteral("状态:未知"));
    clickOpenAndWait();
    FakeCanable::setStatus(FakeCanable::status(state, tec, rec, kernelDrops, adapterDrops));
    QTRY_COMPARE_WITH_TIMEOUT(labelText("lblErrorCounters"), counters, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(labelText("lblBusState"), stateText, 10000);
    QCOMPARE(child<QLabel>("lblBusState")->styleSheet().contains(colour), true);
    QCOMPARE(child<QLabel>("lblBusState")->styleSheet().isEmpty(), colour.isEmpty());
    QCOMPARE(labelText("lblDrops"), drops);
    QCOMPARE(labelText("lblBusLoad"), QStringLiteral("总线负载:0.0%"));

    QTest::mouseClick(child<QPushButton>("btnClose"), Qt::LeftButton);
    QTRY_COMPARE(labelText("lblBusLoad"), QStringLiteral("总线负载:--"));
    QCOMPARE(labelText("lblBusState"), QStringLiteral("状态:未知"));
    QCOMPARE(labelText("lblErrorCounters"), QStringLiteral("TEC:-- REC:--"));
}

void tst_MainWindow::interfaceCombo_data()
{
    QTest::addColumn<QList<CanInterfaceInfo>>("interfaces");
    QTest::addColumn<int>("listResult");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QByteArray>("opened");

    QTest::newRow("no adapter: the simulated bus") << QList<CanInterfaceInfo>() << 0
                                                   << QStringList{ "模拟总线" }
                                                   << QByteArray("sim");
    QTest::newRow("first interface is the default")
        << QList<CanInterfaceInfo>{ FakeCanable::interface("can0", true, 500000),
                                    FakeCanable::interface("can1", false, 0),
                                    FakeCanable::interface("vcan0", true, 0, true),
                                    FakeCanable::interface("slcan0", true, 83333) }
        << 0
        << QStringList{ "can0 (已启动, 500k)", "can1 (未启动)", "vcan0 (已启动, 虚拟)",
                        "slcan0 (已启动, 83333 bit/s)", "模拟总线" }
        << QByteArray("can0");
    QTest::newRow("listing fails: the library's default")
        << QList<CanInterfaceInfo>() << -1 << QStringList{ "默认接口", "模拟总线" }
        << QByteArray();
}

void tst_MainWindow::interfaceCombo()
{
    QFETCH(QList<CanInterfaceInfo>, interfaces);
    QFETCH(int, listResult);
    QFETCH(QStringList, texts);
    QFETCH(QByteArray, opened);

    FakeCanable::setInterfaces(interfaces);
    FakeCanable::setListInterfacesResult(listResult);
    reopenWindowWithCalls();
    auto combo = child<QComboBox>("cbxInterface");
    QVERIFY(combo);
    QCOMPARE(combo->parent()->objectName(), QStringLiteral("widget_77"));
    auto layout = child<QHBoxLayout>("horizontalLayout");
    QCOMPARE(layout->indexOf(combo), layout->indexOf(child<QComboBox>("cbxDevType")) + 1);
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown << combo->itemText(i);
    QCOMPARE(shown, texts);
    QCOMPARE(combo->currentIndex(), 0);
    QVERIFY(combo->isEnabled());

    clickOpenAndWait();
    QVERIFY(!combo->isEnabled());
    QStringList order;
    QByteArray selected = "none";
    for (const FakeCanable::Call &call : FakeCanable::calls()) {
        order << call.name;
        if (call.name == "select")
            selected = call.interfaceName;
    }
    QCOMPARE(selected, opened);
    QVERIFY(order.indexOf("select") < order.lastIndexOf("init"));
}

void tst_MainWindow::interfaceListRefreshedOnClose()
{
    FakeCanable::setInterfaces({ FakeCanable::interface("can0", true, 500000) });
    reopenWindowWithCalls();
    auto combo = child<QComboBox>("cbxInterface");
    combo->setCurrentIndex(combo->findText("模拟总线"));
    clickOpenAndWait();

    FakeCanable::setInterfaces({ FakeCanable::interface("can7", false, 0),
                                 FakeCanable::interface("can0", true, 250000) });
    QCOMPARE(combo->count(), 2);
    QTest::mouseClick(child<QPushButton>("btnClose"), Qt::LeftButton);
    QCOMPARE(combo->count(), 3);
    QCOMPARE(combo->itemText(0), QStringLiteral("can7 (未启动)"));
    QCOMPARE(combo->currentText(), QStringLiteral("模拟总线"));
}

// A library of the four calls alone: the health fields say they know nothing and the
// window works as before.
void tst_MainWindow::absentCallsShowUnknown()
{
    auto combo = child<QComboBox>("cbxInterface");
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->itemText(0), QStringLiteral("默认接口"));
    QVERIFY(!window->findChild<QAction *>("actListenOnly")->isEnabled());

    clickOpenAndWait();
    // The load covers the last second only: on a starved machine one frame may have left
    // the window before the field is drawn, so frames keep coming until the field shows one.
    bool loaded = false;
    for (int i = 0; i < 100 && !loaded; ++i) {
        FakeCanable::queueFrame(FakeCanable::record(0x100, "\x05"));
        loaded = QTest::qWaitFor([this] {
            return labelText("lblBusLoad") != QStringLiteral("总线负载:0.0%");
        }, 300);
    }
    QVERIFY(loaded);
    QTRY_VERIFY(HandleThread::instance()->getReceiveCount() >= 1);
    QCOMPARE(labelText("lblErrorCount"), QStringLiteral("错误帧:--"));
    QCOMPARE(labelText("lblBusState"), QStringLiteral("状态:未知"));
    QCOMPARE(labelText("lblErrorCounters"), QStringLiteral("TEC:-- REC:--"));
    QCOMPARE(labelText("lblDrops"), QStringLiteral("丢帧:--"));
    QStringList names;
    for (const FakeCanable::Call &call : FakeCanable::calls())
        names << call.name;
    QCOMPARE(names, QStringList({ "free", "init", "read" }));
}

void tst_MainWindow::listenOnly_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("message");

    QTest::newRow("normal") << false << 0 << true << "";
    QTest::newRow("listen-only") << true << 0 << true << "";
    QTest::newRow("refused")
        << true << 1 << false << "设备打开失败：只听模式被拒绝：Operation not permitted";
}

void tst_MainWindow::listenOnly()
{
    QFETCH(bool, checked);
    QFETCH(int, result);
    QFETCH(bool, opens);
    QFETCH(QString, message);

    FakeCanable::setListenOnlyResult(result);
    FakeCanable::setLastError("Operation not permitted");
    reopenWindowWithCalls();
    auto action = window->findChild<QAction *>("actListenOnly");
    QVERIFY(action->isEnabled());
    QCOMPARE(action->text(), QStringLiteral("只听模式"));
    action->setChecked(checked);
    answerBoxes();
    QTest::mouseClick(child<QPushButton>("btnOpen"), Qt::LeftButton);
    if (opens) {
        QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("btnClose")->isEnabled(), 10000);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(boxTexts, QStringList{ "设备打开失败!" }, 10000);
        QCOMPARE(labelText("lblMessage"), message);
        verifyDeviceBar(false);
    }
    QList<bool> requests;
    for (const FakeCanable::Call &call : FakeCanable::calls()) {
        if (call.name == "listenOnly")
            requests << call.enabled;
    }
    QCOMPARE(requests, QList<bool>{ checked });
    QCOMPARE(FakeCanable::callCount("init"), opens ? 1 : 0);
}

void tst_MainWindow::fdMode_data()
{
    QTest::addColumn<bool>("libraryHasFd");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("dataRate");
    QTest::addColumn<QString>("opened"); // the open call: "<name> <bitrate> <data bitrate>"

    QTest::newRow("FD at 5M") << true << true << "5M" << "initFD 1000 5000";
    QTest::newRow("FD at 8M") << true << true << "8M" << "initFD 1000 8000";
    QTest::newRow("FD off") << true << false << "2M" << "init 1000 0";
    QTest::newRow("library without FD") << false << true << "2M" << "init 1000 0";
}

// "设备" → "CAN FD" makes the next open an FD open at the data rate chosen in the combo,
// which appears only while FD is on; without the library's calls the entry is disabled.
void tst_MainWindow::fdMode()
{
    QFETCH(bool, libraryHasFd);
    QFETCH(bool, checked);
    QFETCH(QString, dataRate);
    QFETCH(QString, opened);

    if (libraryHasFd)
        reopenWindowWithCalls();
    auto action = window->findChild<QAction *>("actCanFd");
    auto combo = child<QComboBox>("cbxDataBaudrate");
    QCOMPARE(action->isEnabled(), libraryHasFd);
    QCOMPARE(action->toolTip().contains(QStringLiteral("不支持")), !libraryHasFd);
    QVERIFY(combo->isHidden());
    action->setChecked(checked);
    QCOMPARE(combo->isHidden(), !(checked && libraryHasFd));
    QCOMPARE(combo->count(), 5);
    combo->setCurrentText(dataRate);
    QCOMPARE(combo->currentText(), dataRate);
    QTest::mouseClick(child<QPushButton>("btnOpen"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("btnClose")->isEnabled(), 10000);
    QVERIFY(!combo->isEnabled());
    QStringList opens;
    for (const FakeCanable::Call &call : FakeCanable::calls()) {
        if (call.name == "init" || call.name == "initFD")
            opens << QStringLiteral("%1 %2 %3").arg(call.name).arg(call.bitrate)
                             .arg(call.dataBitrate);
    }
    QCOMPARE(opens, QStringList{ opened });
    QTest::mouseClick(child<QPushButton>("btnClose"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("btnOpen")->isEnabled(), 10000);
    QVERIFY(combo->isEnabled());
}

void tst_MainWindow::openInProgress()
{
    FakeCanable::holdInit();
    QTest::mouseClick(child<QPushButton>("btnOpen"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::initWaiting(), 10000);
    QCOMPARE(labelText("lblMessage"), QStringLiteral("正在打开…"));
    QVERIFY(!child<QPushButton>("btnOpen")->isEnabled());
    QVERIFY(!child<QPushButton>("btnClose")->isEnabled());
    QVERIFY(!child<QComboBox>("cbxBaudrate")->isEnabled());

    // A second press, even one that reaches the slot, neither waits nor opens again.
    QMetaObject::invokeMethod(window.get(), "on_btnOpen_clicked");
    QCOMPARE(FakeCanable::callCount("init"), 1);
    QVERIFY(FakeCanable::initWaiting());

    FakeCanable::releaseInit();
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("btnClose")->isEnabled(), 10000);
    verifyDeviceBar(true);
    QCOMPARE(labelText("lblMessage"), QString());
    QCOMPARE(FakeCanable::callCount("init"), 1);
}

void tst_MainWindow::staleResultIgnored_data()
{
    QTest::addColumn<int>("initResult");
    QTest::newRow("success of a closed session") << 0;
    QTest::newRow("failure of a closed session") << 1;
}

// The session is closed (here by another part of the program) while its result is still
// on its way to the window: the bar stays closed and no failure is reported.
void tst_MainWindow::staleResultIgnored()
{
    QFETCH(int, initResult);
    FakeCanable::setInitResult(initResult);
    FakeCanable::setLastError("no such device");
    FakeCanable::holdInit();
    answerBoxes();
    QTest::mouseClick(child<QPushButton>("btnOpen"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::initWaiting(), 10000);

    FakeCanable::releaseInit();
    // The listen thread ends once it has emitted a failure and reads on after a success;
    // either way the result is queued for the window but not yet delivered.
    ListenThread *thread = ListenThread::instance();
    while (FakeCanable::initWaiting()
           || (initResult == 0 ? thread->sessionBitrate() == 0 : !thread->isFinished()))
        QThread::yieldCurrentThread();
    thread->closeDevice();
    verifyDeviceBar(false);

    // The result was posted before the thread ended, so this delivers it.
    QCoreApplication::processEvents();
    verifyDeviceBar(false);
    QVERIFY(boxTexts.isEmpty());
    QVERIFY(!labelText("lblMessage").startsWith(QStringLiteral("设备打开失败")));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
