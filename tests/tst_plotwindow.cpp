#include "dbc/dbcdatabase.h"
#include "monitor/framelogmodel.h"
#include "plot/plotchart.h"
#include "plot/plotcurve.h"
#include "plot/plotwindow.h"
#include "plot/sampleseries.h"

#include <QCompleter>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>
#include <qwt_plot_canvas.h>

#include <cstring>
#include <random>
#include <set>

// The plot window with a frame log: names refused, series fed live and trimmed with the
// log, built from the log's rows on a worker without losing the frames that come
// meanwhile, cursors' statistics, a click that names its frame, the exports, and the
// line's columns merged into fewer rectangles without a pixel more or less.
class TestPlotWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedNamesStayOut_data();
    void refusedNamesStayOut();
    void spanTyped_data();
    void spanTyped();
    void liveSeriesFollowTheRowLimit_data();
    void liveSeriesFollowTheRowLimit();
    void historyAndFramesDuringWork_data();
    void historyAndFramesDuringWork();
    void cursorTable();
    void clickSelectsTheFrame();
    void chartsMoveAndGo();
    void mergedColumnsCoverTheSamePixels_data();
    void mergedColumnsCoverTheSamePixels();

private:
    DbcDatabase database;
};

namespace {

constexpr qint64 startUs = 1700000000000000;

// Frame n: identifier 0x100 with a 16-bit counter n * 3 in bytes 0-1 every second frame,
// otherwise an FD frame of 64 bytes, identifier 0x200, with n in bytes 0 and 63; 10 ms
// apart.
CanMessage frame(qint64 n)
{
    CanMessage message;
    message.id = n % 2 ? 0x200 : 0x100;
    message.timestampUs = startUs + n * 10000;
    const quint16 value = quint16(n * 3);
    if (n % 2) {
        message.fd = true;
        message.data = QByteArray(64, '\0');
        message.data[0] = char(n);
        message.data[63] = char(n);
    } else {
        message.data = QByteArray(reinterpret_cast<const char *>(&value), 2);
    }
    message.dlc = message.data.size();
    return message;
}

QList<CanMessage> frames(qint64 first, int count)
{
    QList<CanMessage> list;
    for (int i = 0; i < count; ++i)
        list.append(frame(first + i));
    return list;
}

// The frame numbers of a series, in order.
QVector<qint64> numbers(const SampleSeries &series)
{
    QVector<qint64> result;
    for (qint64 i = series.firstIndex(); i < series.endIndex(); ++i)
        result.append(series.number(i));
    return result;
}

// Every second number from `first` on, below `end`.
QVector<qint64> everySecond(qint64 first, qint64 end)
{
    QVector<qint64> result;
    for (qint64 n = first; n < end; n += 2)
        result.append(n);
    return result;
}

} // namespace

void TestPlotWindow::initTestCase()
{
    QCOMPARE(database.load({QFINDTESTDATA("../docs/examples/vehicle.dbc")}).filesLoaded, 1);
}

void TestPlotWindow::refusedNamesStayOut_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("unknown signal") << "EngineData.Nothing";
    QTest::newRow("unknown message") << "Nothing.EngineSpeed";
    QTest::newRow("bad bit field") << "123[0|99@1+]";
}

// A typed name that names nothing is refused in the status bar and plots nothing; the
// field keeps it for correcting. A good one, offered while typing part of it, is taken
// and the field emptied.
void TestPlotWindow::refusedNamesStayOut()
{
    QFETCH(QString, name);
    PlotWindow window(nullptr);
    window.setDatabase(&database);
    auto *field = window.findChild<QLineEdit *>(QStringLiteral("txtPlotSignal"));
    QVERIFY(field);
    QTest::keyClicks(field, name);
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(window.signalCount(), 0);
    QCOMPARE(window.chartCount(), 0);
    QVERIFY(!window.statusBar()->currentMessage().isEmpty());
    QCOMPARE(field->text(), name);
    field->clear();
    QTest::keyClicks(field, QStringLiteral("enginesp"));
    QCOMPARE(field->completer()->completionCount(), 1);
    field->setText(field->completer()->currentCompletion());
    QCOMPARE(field->text(), QStringLiteral("EngineData.EngineSpeed"));
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(window.signalCount(), 1);
    QCOMPARE(field->text(), QString());
}

void TestPlotWindow::spanTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("seconds");
    QTest::newRow("ASCII") << "2.5" << 2.5;
    QTest::newRow("full-width digits and point") << "１２．５" << 12.5;
    QTest::newRow("letters leave the span") << "ｘ" << 30.0;
}

// The time window takes what an input method in full-width mode types, key by key.
void TestPlotWindow::spanTyped()
{
    QFETCH(QString, typed);
    PlotWindow window(nullptr);
    auto box = window.findChild<QDoubleSpinBox *>(QStringLiteral("spnPlotSpan"));
    QVERIFY(box);
    auto edit = box->findChild<QLineEdit *>();
    edit->selectAll();
    edit->del();
    for (const QChar c : typed)
        edit->insert(QString(c));
    QTEST(box->value(), "seconds");
}

void TestPlotWindow::liveSeriesFollowTheRowLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("tickFrames");
    QTest::newRow("no limit") << -1 << 700;
    QTest::newRow("limit below a tick") << 500 << 700;
    QTest::newRow("limit above a tick") << 5000 << 333;
    QTest::newRow("odd limit") << 1001 << 4096;
}

// Fed tick by tick as the frame log is, a signal keeps exactly the samples of the frames
// the log still holds.
void TestPlotWindow::liveSeriesFollowTheRowLimit()
{
    QFETCH(int, limit);
    QFETCH(int, tickFrames);
    FrameLogModel log;
    PlotWindow window(&log);
    QVERIFY(window.addSignal(QStringLiteral("100[0|16@1+]")));
    QVERIFY(!window.isBusy());
    qint64 next = 0;
    for (int tick = 0; tick < 12; ++tick) {
        const QList<CanMessage> batch = frames(next, tickFrames);
        log.appendMessages(batch, next, limit);
        window.addFrames(batch, next);
        next += tickFrames;
        const qint64 first = log.number(0);
        QCOMPARE(numbers(window.seriesAt(0)), everySecond(first + first % 2, next));
    }
    const SampleSeries &series = window.seriesAt(0);
    QCOMPARE(series.value(series.endIndex() - 1), double(quint16((next - 2) * 3)));
    // A limit lowered between ticks trims the plot with the frame log.
    log.applyRowLimit(77);
    QCOMPARE(numbers(series), everySecond(next - 77 + (next - 77) % 2, next));
}

void TestPlotWindow::historyAndFramesDuringWork_data()
{
    QTest::addColumn<bool>("exporting");
    QTest::addColumn<int>("history");
    QTest::newRow("added over a long log") << false << 600000;
    QTest::newRow("exported while frames come") << true << 600000;
}

// A signal added over a filled log gets the log's history from a worker; frames handed
// over while a worker extracts or exports are added once it is done, none twice and none
// lost. The export holds every frame that carried a plotted signal.
void TestPlotWindow::historyAndFramesDuringWork()
{
    QFETCH(bool, exporting);
    QFETCH(int, history);
    FrameLogModel log;
    PlotWindow window(&log);
    window.setDatabase(&database);
    QList<CanMessage> batch = frames(0, history);
    log.appendMessages(batch, 0, -1);
    qint64 next = history;
    // The last byte of an FD frame: the history's from the frame log's store, the live
    // frames' and those held back during the work from the window's own.
    QVERIFY(window.addSignal(QStringLiteral("200[504|8@1+]")));
    if (exporting) {
        QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 60000);
        QVERIFY(window.addSignal(QStringLiteral("100[0|16@1+]"), 0));
        QTRY_VERIFY_WITH_TIMEOUT(!window.isBusy(), 60000);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plot.csv"));
    if (exporting)
        QVERIFY(window.exportData(path));
    int ticks = 0;
    do {
        batch = frames(next, 1000);
        log.appendMessages(batch, next, -1);
        window.addFrames(batch, next);
        next += batch.size();
        ++ticks;
        QCoreApplication::processEvents();
    } while (window.isBusy() || ticks < 3);
    QCOMPARE(numbers(window.seriesAt(0)), everySecond(1, next));
    if (!exporting)
        return;
    QCOMPARE(numbers(window.seriesAt(1)), everySecond(0, next));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.first(), QByteArray("时间(s),200[504|8@1+],100[0|16@1+]"));
    // Every frame of the log at export time is one line: the frames handed over during
    // the export came after it.
    QVERIFY(lines.size() - 2 >= history);
    QCOMPARE(lines.at(1), QByteArray("1700000000.000000,,0"));
    QCOMPARE(lines.at(2), QByteArray("1700000000.010000,1,"));
    QCOMPARE(lines.at(history), QByteArray("1700005999.990000,") + QByteArray::number(
                                    (history - 1) % 256) + ',');
}

// The cursors' table: values held at each cursor, and min, max and mean of the samples
// between them, for each signal.
void TestPlotWindow::cursorTable()
{
    FrameLogModel log;
    PlotWindow window(&log);
    QVERIFY(window.addSignal(QStringLiteral("100[0|16@1+]")));
    QVERIFY(window.addSignal(QStringLiteral("200[0|8@1+]"), 0));
    const QList<CanMessage> batch = frames(0, 2000);
    log.appendMessages(batch, 0, -1);
    window.addFrames(batch, 0);
    // From frame 100 (1.0 s) to frame 151 (1.51 s).
    window.setCursors(1.0, 1.51);
    auto *table = window.findChild<QTreeWidget *>(QStringLiteral("plotSignalTable"));
    QVERIFY(table);
    QCOMPARE(table->topLevelItemCount(), 2);
    QTreeWidgetItem *even = table->topLevelItem(0);
    QCOMPARE(even->text(PlotWindow::FirstColumn), QStringLiteral("300"));
    QCOMPARE(even->text(PlotWindow::SecondColumn), QStringLiteral("450"));
    QCOMPARE(even->text(PlotWindow::MinColumn), QStringLiteral("300"));
    QCOMPARE(even->text(PlotWindow::MaxColumn), QStringLiteral("450"));
    QCOMPARE(even->text(PlotWindow::MeanColumn), QStringLiteral("375"));
    QTreeWidgetItem *odd = table->topLevelItem(1);
    QCOMPARE(odd->text(PlotWindow::FirstColumn), QStringLiteral("99"));
    QCOMPARE(odd->text(PlotWindow::SecondColumn), QStringLiteral("151"));
    QCOMPARE(odd->text(PlotWindow::MinColumn), QStringLiteral("101"));
    QCOMPARE(odd->text(PlotWindow::MaxColumn), QStringLiteral("151"));
    QCOMPARE(odd->text(PlotWindow::MeanColumn), QStringLiteral("126"));
}

// A click on a drawn sample names that sample's frame; a click on empty canvas none.
void TestPlotWindow::clickSelectsTheFrame()
{
    FrameLogModel log;
    PlotWindow window(&log);
    QVERIFY(window.addSignal(QStringLiteral("200[0|8@1+]")));
    const QList<CanMessage> batch = frames(0, 200);
    log.appendMessages(batch, 0, -1);
    window.addFrames(batch, 7000);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setView(0, 2);
    QSignalSpy selected(&window, &PlotWindow::frameSelected);
    PlotChart *chart = window.chart(0);
    // Frame 7101 holds 101 at 1.01 s; the chart's y scale follows the visible data.
    const QwtScaleMap x = chart->canvasMap(QwtPlot::xBottom);
    const QwtScaleMap y = chart->curves().first()->valueMap(chart->canvasMap(QwtPlot::yLeft));
    const QPoint at(int(std::lround(x.transform(1.01))), int(std::lround(y.transform(101))));
    QTest::mouseClick(chart->canvas(), Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(selected.count(), 1);
    QCOMPARE(selected.first().first().toLongLong(), 7101);
    QTest::mouseClick(chart->canvas(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(at.x(), int(std::lround(y.transform(250)))));
    QCOMPARE(selected.count(), 1);
}

// Signals move between charts and leave; a chart left empty goes. The picture holds them.
void TestPlotWindow::chartsMoveAndGo()
{
    FrameLogModel log;
    PlotWindow window(&log);
    window.setDatabase(&database);
    for (const char *name : {"EngineData.EngineSpeed", "EngineData.ThrottlePosition",
                             "100[0|16@1+]"})
        QVERIFY(window.addSignal(QString::fromLatin1(name)));
    QCOMPARE(window.chartCount(), 3);
    window.moveSignal(1, 0);
    QCOMPARE(window.chartCount(), 2);
    QCOMPARE(window.chartOf(0), 0);
    QCOMPARE(window.chartOf(1), 0);
    QCOMPARE(window.chartOf(2), 1);
    window.removeSignal(2);
    QCOMPARE(window.chartCount(), 1);
    QCOMPARE(window.chart(0)->curves().size(), 2);
    window.moveSignal(0, -1);
    QCOMPARE(window.chartCount(), 2);
    QCOMPARE(window.chartOf(0), 1);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plot.png"));
    QVERIFY(window.exportImage(path));
    QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.height(), window.chart(0)->height() + window.chart(1)->height());
}

void TestPlotWindow::mergedColumnsCoverTheSamePixels_data()
{
    QTest::addColumn<int>("height");  // of the band the columns fall in
    QTest::addColumn<int>("spread");  // how far a column's ends wander in it
    QTest::addColumn<int>("gapEvery"); // a missing column every n (0: none)
    QTest::newRow("noise over the whole chart") << 150 << 20 << 0;
    QTest::newRow("noise with gaps") << 150 << 20 << 7;
    QTest::newRow("wild columns") << 150 << 150 << 0;
    QTest::newRow("short columns") << 3 << 3 << 5;
}

void TestPlotWindow::mergedColumnsCoverTheSamePixels()
{
    QFETCH(int, height);
    QFETCH(int, spread);
    QFETCH(int, gapEvery);
    std::mt19937 random(height * 131 + spread * 7 + gapEvery);
    std::uniform_int_distribution<int> wander(0, spread - 1);
    for (int round = 0; round < 20; ++round) {
        std::vector<PlotCurve::Upright> columns;
        std::set<std::pair<int, int>> expected;
        qint64 columnRows = 0;
        for (int x = 0; x < 600; ++x) {
            if (gapEvery > 0 && x % gapEvery == 0)
                continue;
            int top = std::min(wander(random), height - 1);
            int bottom = height - 1 - std::min(wander(random), height - 1);
            if (top > bottom)
                std::swap(top, bottom);
            columns.push_back({ x, top, bottom });
            columnRows += bottom - top + 1;
            for (int y = top; y <= bottom; ++y)
                expected.insert({ x, y });
        }
        QVector<QRect> rects;
        PlotCurve::mergeUprights(columns, &rects);
        std::set<std::pair<int, int>> covered;
        qint64 rectRows = 0;
        for (const QRect &rect : rects) {
            rectRows += rect.height();
            for (int x = rect.left(); x <= rect.right(); ++x) {
                for (int y = rect.top(); y <= rect.bottom(); ++y)
                    covered.insert({ x, y });
            }
        }
        QVERIFY(covered == expected);
        // Never more pixel rows to fill than the columns one by one.
        QVERIFY(rectRows <= columnRows);
        if (spread < height / 4)
            QVERIFY2(rectRows * 2 < columnRows, qPrintable(QString::number(rectRows)));
    }
}

QTEST_MAIN(TestPlotWindow)
#include "tst_plotwindow.moc"
