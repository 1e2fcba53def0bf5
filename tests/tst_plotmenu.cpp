#include "tests/fake/fakecanable.h"
#include "device/handlethread.h"
#include "app/mainwindow.h"
#include "dbcview/databasemenu.h"
#include "dbcview/signalmonitor.h"
#include "plot/plotwindow.h"
#include "plot/sampleseries.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

// The plot window inside the main window, on the fake adapter: frames reach it live with
// the frame log, the row limit trims both alike, a clicked sample's frame number selects
// that row of the frame log, "绘制曲线" in the views that list signals plots there, and an
// opened trace is plotted whole.
class TestPlotMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void plotFollowsTheFrameLog_data();
    void plotFollowsTheFrameLog();
    void plotFromSignalMenus_data();
    void plotFromSignalMenus();
    void openedTraceIsPlotted_data();
    void openedTraceIsPlotted();

private:
    void setRowLimit(int rows);
    void openDevice();
    // Right-clicks `view` at `index` and chooses "绘制曲线"; false if the menu has none.
    bool choosePlot(QAbstractItemView *view, const QModelIndex &index);

    std::unique_ptr<MainWindow> window;
};

void TestPlotMenu::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

void TestPlotMenu::cleanup()
{
    FakeCanable::releaseInit();
    window.reset();
    HandleThread::instance()->takeMessages();
    HandleThread::instance()->clearCount();
    FakeCanable::reset();
}

void TestPlotMenu::setRowLimit(int rows)
{
    auto *limit = window->findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    limit->selectAll();
    QTest::keyClicks(limit, QString::number(rows));
    QTest::keyClick(limit, Qt::Key_Return);
}

void TestPlotMenu::openDevice()
{
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("btnOpen")),
                      Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(
        window->findChild<QPushButton *>(QStringLiteral("btnClose"))->isEnabled(), 10000);
}

bool TestPlotMenu::choosePlot(QAbstractItemView *view, const QModelIndex &index)
{
    view->scrollTo(index);
    bool chosen = false;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        auto *plot = menu->findChild<QAction *>(QStringLiteral("actionPlotSignal"));
        if (plot) {
            chosen = true;
            plot->trigger();
        }
        menu->close();
    });
    answer.start(10);
    emit view->customContextMenuRequested(view->visualRect(index).center());
    return chosen;
}

void TestPlotMenu::plotFollowsTheFrameLog_data()
{
    QTest::addColumn<int>("rowLimit");
    QTest::addColumn<int>("selected"); // the clicked sample's place among the frames sent
    QTest::addColumn<bool>("kept");
    QTest::newRow("all kept") << 1000 << 3 << true;
    QTest::newRow("limit, the newest frame") << 6 << 11 << true;
    QTest::newRow("limit, a frame dropped") << 6 << 1 << false;
}

void TestPlotMenu::plotFollowsTheFrameLog()
{
    QFETCH(int, rowLimit);
    QFETCH(int, selected);
    QFETCH(bool, kept);
    FakeCanable::reset();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    setRowLimit(rowLimit);
    openDevice();
    auto *log = window->findChild<QTableView *>(QStringLiteral("tbReceive"));

    // Four frames before the signal is plotted: its history, taken from the frame log.
    for (int i = 0; i < 4; ++i)
        FakeCanable::queueFrame(FakeCanable::record(0x123, QByteArray(1, char(10 + i))));
    QTRY_COMPARE_WITH_TIMEOUT(log->model()->rowCount(), 4, 10000);
    window->findChild<QAction *>(QStringLiteral("actionPlotWindow"))->trigger();
    auto *plot = window->findChild<PlotWindow *>();
    QVERIFY(plot && plot->isVisible());
    QVERIFY(plot->addSignal(QStringLiteral("123[0|8@1+]")));
    QTRY_VERIFY_WITH_TIMEOUT(!plot->isBusy(), 10000);
    QCOMPARE(plot->seriesAt(0).size(), qint64(4));

    // Eight more, every second of another identifier, come live.
    for (int i = 4; i < 12; ++i) {
        FakeCanable::queueFrame(FakeCanable::record(i % 2 ? 0x124 : 0x123,
                                                    QByteArray(1, char(10 + i))));
    }
    const int rows = std::min(rowLimit, 12);
    QTRY_COMPARE_WITH_TIMEOUT(log->model()->rowCount(), rows, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(plot->seriesAt(0).endIndex(), qint64(8), 10000);
    const SampleSeries &series = plot->seriesAt(0);
    // Exactly the kept frames of 0x123: every one of the last `rows` of twelve up to 4,
    // every second after.
    int expected = 0;
    for (int i = 12 - rows; i < 12; ++i)
        expected += i < 4 || i % 2 == 0;
    QCOMPARE(series.size(), qint64(expected));
    QCOMPARE(series.value(series.endIndex() - 1), 20.0);

    // The frame log numbers frames from 0 in the order they came.
    emit plot->frameSelected(selected);
    const int row = selected - (12 - rows);
    if (kept) {
        QCOMPARE(log->currentIndex().row(), row);
        QVERIFY(log->selectionModel()->isRowSelected(row, QModelIndex()));
        QVERIFY(!window->findChild<QCheckBox *>(QStringLiteral("chkAutoScroll"))
                     ->isChecked());
    } else {
        QVERIFY(!log->selectionModel()->hasSelection());
        QVERIFY(window->findChild<QLabel *>(QStringLiteral("lblMessage"))->text()
                    .contains(QString::number(selected)));
    }
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("btnClear")),
                      Qt::LeftButton);
    QCOMPARE(plot->seriesAt(0).size(), qint64(0));
    QCOMPARE(plot->signalCount(), 1);
}

void TestPlotMenu::plotFromSignalMenus_data()
{
    QTest::addColumn<bool>("idView"); // else the dock "信号"
    QTest::newRow("per-identifier view") << true;
    QTest::newRow("dock 信号") << false;
}

// A signal line's "绘制曲线" brings the plot window up with that signal, its history
// taken from the frame log; rows that are no signal offer no such entry.
void TestPlotMenu::plotFromSignalMenus()
{
    QFETCH(bool, idView);
    FakeCanable::reset();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    auto *databaseMenu = window->findChild<DatabaseMenu *>();
    databaseMenu->loadFiles({ QFINDTESTDATA("../docs/examples/vehicle.dbc") });
    QTRY_VERIFY_WITH_TIMEOUT(!databaseMenu->isLoading(), 10000);
    openDevice();
    // EngineData (196): EngineSpeed is bits 0-15 at 0.25 rpm.
    for (int i = 0; i < 3; ++i) {
        QByteArray data(8, 0);
        data[0] = char(4 * (i + 1));
        FakeCanable::queueFrame(FakeCanable::record(196, data));
    }
    auto *log = window->findChild<QTableView *>(QStringLiteral("tbReceive"));
    QTRY_COMPARE_WITH_TIMEOUT(log->model()->rowCount(), 3, 10000);

    QAbstractItemView *view = nullptr;
    if (idView) {
        window->findChild<QAction *>(QStringLiteral("actionIdView"))->trigger();
        view = window->findChild<QTreeView *>(QStringLiteral("tbIdView"));
    } else {
        window->findChild<QAction *>(QStringLiteral("actionShowSignals"))->trigger();
        view = window->findChild<SignalMonitor *>();
    }
    QTRY_COMPARE_WITH_TIMEOUT(view->model()->rowCount(), 1, 10000);
    const QModelIndex message = view->model()->index(0, 0);
    static_cast<QTreeView *>(view)->expand(message);
    QTRY_VERIFY_WITH_TIMEOUT(view->model()->rowCount(message) > 0, 10000);
    QModelIndex speed;
    for (int row = 0; row < view->model()->rowCount(message); ++row) {
        for (int column = 0; column < view->model()->columnCount(message); ++column) {
            const QModelIndex cell = view->model()->index(row, column, message);
            if (cell.data().toString() == QLatin1String("EngineSpeed"))
                speed = cell;
        }
    }
    QVERIFY(speed.isValid());

    auto *plot = window->findChild<PlotWindow *>();
    QVERIFY(!plot->isVisible());
    QVERIFY(!choosePlot(view, message));
    QCOMPARE(plot->signalCount(), 0);
    QVERIFY(choosePlot(view, speed));
    QVERIFY(plot->isVisible());
    QCOMPARE(plot->signalCount(), 1);
    QCOMPARE(plot->signalAt(0).name, QStringLiteral("EngineData.EngineSpeed"));
    QTRY_VERIFY_WITH_TIMEOUT(!plot->isBusy(), 10000);
    const SampleSeries &series = plot->seriesAt(0);
    QCOMPARE(series.size(), qint64(3));
    QCOMPARE(series.value(series.endIndex() - 1), 3.0);
}

void TestPlotMenu::openedTraceIsPlotted_data()
{
    QTest::addColumn<int>("rowLimit");
    QTest::newRow("all kept") << 1000;
    QTest::newRow("row limit") << 4;
}

// Frames read from a file reach the frame log without a tick; the plot takes them from it
// once the trace is open, replacing what it showed before.
void TestPlotMenu::openedTraceIsPlotted()
{
    QFETCH(int, rowLimit);
    FakeCanable::reset();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    setRowLimit(rowLimit);
    window->findChild<QAction *>(QStringLiteral("actionPlotWindow"))->trigger();
    auto *plot = window->findChild<PlotWindow *>();
    QVERIFY(plot->addSignal(QStringLiteral("123[0|8@1+]")));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("trace.log"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // Ten frames of 0x123 with the values 1 to 10, one of 0x124 between each.
    for (int i = 1; i <= 10; ++i) {
        file.write(QStringLiteral("(%1.000000) can0 123#%2\n(%1.500000) can0 124#FF\n")
                       .arg(i).arg(i, 2, 16, QLatin1Char('0')).toLatin1());
    }
    file.close();

    bool answered = false;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || answered)
            return;
        answered = true;
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    answer.start(10);
    window->findChild<QAction *>(QStringLiteral("actionOpenTrace"))->trigger();
    answer.stop();
    QVERIFY(answered);
    auto *status = window->findChild<QLabel *>(QStringLiteral("lblMessage"));
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(QStringLiteral("已打开")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!plot->isBusy(), 10000);

    // The kept rows are the newest of the twenty; half of them are 0x123.
    const int kept = std::min(rowLimit, 20);
    const SampleSeries &series = plot->seriesAt(0);
    QCOMPARE(series.size(), qint64(kept / 2));
    QCOMPARE(series.value(series.endIndex() - 1), 10.0);
    QCOMPARE(series.value(series.endIndex() - series.size()), double(10 - kept / 2 + 1));
}

QTEST_MAIN(TestPlotMenu)
#include "tst_plotmenu.moc"
