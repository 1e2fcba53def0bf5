#include "tests/fake/fakecanable.h"
#include "device/handlethread.h"
#include "app/mainwindow.h"
#include "plot/plotwindow.h"
#include "plot/sampleseries.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QtTest>

// The plot window inside the main window, on the fake adapter: frames reach it live with
// the frame log, the row limit trims both alike, and a clicked sample's frame number
// selects that row of the frame log.
class TestPlotMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void plotFollowsTheFrameLog_data();
    void plotFollowsTheFrameLog();

private:
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
    auto *limit = window->findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    limit->selectAll();
    QTest::keyClicks(limit, QString::number(rowLimit));
    QTest::keyClick(limit, Qt::Key_Return);
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("btnOpen")),
                      Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(
        window->findChild<QPushButton *>(QStringLiteral("btnClose"))->isEnabled(), 10000);
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

QTEST_MAIN(TestPlotMenu)
#include "tst_plotmenu.moc"
