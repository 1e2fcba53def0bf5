#include "fakecanable.h"
#include "listenthread.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QtTest>

#include <memory>

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

private:
    // The transmit panel reuses some of the window's object names; these look only at the
    // window's own widgets.
    QObject *ownChild(const QString &name) const;
    template<typename T>
    T *child(const char *name) const { return qobject_cast<T *>(ownChild(name)); }
    void verifyDeviceBar(bool open) const;
    void clickOpenAndWait();

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
    window.reset();
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

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
