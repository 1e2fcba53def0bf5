#include "mainwindow.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QtTest>

// The 数据库 menu: loading several files, what the user is told, the list of loaded files
// and unloading.
class TestDatabaseMenu : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
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

    QSignalSpy changed(&window, &MainWindow::databaseChanged);
    window.loadDbcFiles(files);
    QCOMPARE(changed.count(), changes);
    QCOMPARE(fileEntries(menu), entries);
    const QString status = window.findChild<QLabel *>(QStringLiteral("lblMessage"))->text();
    for (const QString &part : said)
        QVERIFY2(status.contains(part), qPrintable(status));
    QCOMPARE(unload->isEnabled(), changes > 0);

    unload->trigger();
    QVERIFY(window.database().isEmpty());
    QCOMPARE(fileEntries(menu), QStringList{"（未加载DBC）"});
    QVERIFY(!unload->isEnabled());
}

QTEST_MAIN(TestDatabaseMenu)
#include "tst_databasemenu.moc"
