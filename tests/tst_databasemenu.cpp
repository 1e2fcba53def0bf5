#include "app/mainwindow.h"
#include "dbcview/databasemenu.h"

#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

// The 数据库 menu: loading several files, what the user is told, the list of loaded files,
// the transmit panel's composer group that follows them, and unloading.
class TestDatabaseMenu : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
    void interruptedLoad_data();
    void interruptedLoad();
};

namespace {

QStringList fileEntries(QMenu *menu)
{
    QStringList entries;
    bool afterSeparator = false;
    for (QAction *action : menu->actions()) {
        if (action->isSeparator()) {
            afterSeparator = true;
        } else if (afterSeparator) {
            if (action->isEnabled())
                return {QStringLiteral("enabled entry: ") + action->text()};
            entries.append(action->text());
        }
    }
    return entries;
}

} // namespace

void TestDatabaseMenu::load_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("said");   // parts of the status line
    QTest::addColumn<int>("changes");

    const QString vehicle = QFINDTESTDATA("../docs/examples/vehicle.dbc");
    const QString awkward = QFINDTESTDATA("data/dbc/awkward.dbc");
    const QString self = QFINDTESTDATA("tst_databasemenu.cpp");
    QTest::newRow("one file") << QStringList{vehicle}
                              << QStringList{"vehicle.dbc（7 个报文）"}
                              << QStringList{"已加载 1 个DBC文件，7 个报文"} << 1;
    QTest::newRow("two files and a refused one")
        << QStringList{vehicle, self, awkward}
        << QStringList{"vehicle.dbc（6 个报文）", "awkward.dbc（12 个报文）"}
        << QStringList{"已加载 2 个DBC文件", "1 个文件未加载", "tst_databasemenu.cpp",
                       "1 个报文被替换", "CruiseVehicleSpeed"}
        << 1;
    QTest::newRow("only refused") << QStringList{self} << QStringList{"（未加载DBC）"}
                                  << QStringList{"加载DBC失败"} << 0;
    QTest::newRow("same file twice is listed once")
        << QStringList{vehicle, vehicle} << QStringList{"vehicle.dbc（7 个报文）"}
        << QStringList{"7 个报文被替换"} << 1;
}

void TestDatabaseMenu::load()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, said);
    QFETCH(int, changes);

    MainWindow window;
    QMenu *menu = window.menuBar()->findChild<QMenu *>(QStringLiteral("menuDatabase"));
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("数据库"));
    QAction *unload = menu->findChild<QAction *>(QStringLiteral("actionUnloadDbc"));
    QVERIFY(unload);
    QCOMPARE(unload->text(), QStringLiteral("卸载DBC"));
    QVERIFY(!unload->isEnabled());
    QCOMPARE(fileEntries(menu), QStringList{"（未加载DBC）"});
    auto composeGroup = window.findChild<QGroupBox *>(QStringLiteral("grpCompose"));
    QVERIFY(composeGroup);
    QVERIFY(composeGroup->isHidden());

    auto context = window.findChild<MonitorContext *>();
    auto databaseMenu = window.findChild<DatabaseMenu *>();
    QSignalSpy changed(context, &MonitorContext::databaseChanged);
    databaseMenu->loadFiles(files);
    QTRY_VERIFY_WITH_TIMEOUT(!databaseMenu->isLoading(), 10000);
    QCOMPARE(changed.count(), changes);
    QCOMPARE(fileEntries(menu), entries);
    const QString status = window.findChild<QLabel *>(QStringLiteral("lblMessage"))->text();
    for (const QString &part : said)
        QVERIFY2(status.contains(part), qPrintable(status));
    QCOMPARE(unload->isEnabled(), changes > 0);
    QCOMPARE(!composeGroup->isHidden(), changes > 0);

    unload->trigger();
    QVERIFY(context->database().isEmpty());
    QCOMPARE(fileEntries(menu), QStringList{"（未加载DBC）"});
    QVERIFY(!unload->isEnabled());
    QVERIFY(composeGroup->isHidden());
}

void TestDatabaseMenu::interruptedLoad_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("cancelled") << false;
    QTest::newRow("window closed") << true;
}

// A load given up before its result is taken leaves the database as it was, whether the
// user cancels it or closes the window while the files are still being read.
void TestDatabaseMenu::interruptedLoad()
{
    QFETCH(bool, closeWindow);

    const QString vehicle = QFINDTESTDATA("../docs/examples/vehicle.dbc");
    const QString awkward = QFINDTESTDATA("data/dbc/awkward.dbc");
    auto window = std::make_unique<MainWindow>();
    window->show();
    QMenu *menu = window->menuBar()->findChild<QMenu *>(QStringLiteral("menuDatabase"));
    QAction *load = menu->findChild<QAction *>(QStringLiteral("actionLoadDbc"));
    QAction *unload = menu->findChild<QAction *>(QStringLiteral("actionUnloadDbc"));
    auto context = window->findChild<MonitorContext *>();
    auto databaseMenu = window->findChild<DatabaseMenu *>();
    databaseMenu->loadFiles({vehicle});
    QTRY_VERIFY_WITH_TIMEOUT(!databaseMenu->isLoading(), 10000);
    const QStringList before = fileEntries(menu);
    QCOMPARE(before, QStringList{"vehicle.dbc（7 个报文）"});

    QSignalSpy changed(context, &MonitorContext::databaseChanged);
    databaseMenu->loadFiles({awkward, vehicle, awkward, vehicle});
    QVERIFY(databaseMenu->isLoading());
    QVERIFY(!load->isEnabled());
    QVERIFY(!unload->isEnabled());
    if (closeWindow) {
        window->close();
        window.reset();
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 0);
        return;
    }
    auto *progress = window->findChild<QProgressDialog *>(QStringLiteral("dbcLoadProgress"));
    QVERIFY(progress);
    QCOMPARE(progress->labelText(), QStringLiteral("正在加载DBC…"));
    auto *cancel = progress->findChild<QPushButton *>();
    QVERIFY(cancel);
    QCOMPARE(cancel->text(), QStringLiteral("取消"));
    cancel->click();
    QTRY_VERIFY_WITH_TIMEOUT(!databaseMenu->isLoading(), 10000);
    QCoreApplication::processEvents();
    QCOMPARE(changed.count(), 0);
    QCOMPARE(context->database().files(), QStringList{vehicle});
    QCOMPARE(context->database().messages().size(), 7);
    QCOMPARE(fileEntries(menu), before);
    QVERIFY(load->isEnabled());
    QVERIFY(unload->isEnabled());
}

QTEST_MAIN(TestDatabaseMenu)
#include "tst_databasemenu.moc"
