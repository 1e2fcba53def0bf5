#include "plot/plotwindow.h"

#include "dbc/dbcdatabase.h"
#include "input/typedspinbox.h"
#include "monitor/framelogmodel.h"
#include "plot/plotchart.h"
#include "plot/plotcurve.h"
#include "plot/sampleextractor.h"

#include <QAction>
#include <QCompleter>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressDialog>
#include <QSaveFile>
#include <QSplitter>
#include <QStatusBar>
#include <QStringListModel>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <qwt_plot_canvas.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_widget.h>

#include <algorithm>
#include <cmath>

namespace {

// Redraws at most this often while frames come: over ten a second at a small share of
// the GUI thread.
constexpr int redrawIntervalMs = 90;
constexpr int rowsPerProgressStep = 65536;
// The view runs on this long after the newest frame, as far as the frame log's ticks
// leave it behind.
constexpr qint64 liveHoldMs = 500;

const QColor lineColours[] = {
    QColor(31, 119, 180), QColor(214, 39, 40), QColor(44, 160, 44), QColor(255, 127, 14),
    QColor(148, 103, 189), QColor(140, 86, 75), QColor(227, 119, 194), QColor(23, 190, 207),
};

QString secondsText(double seconds)
{
    return QString::number(seconds, 'f', 6);
}

QString valueText(double value)
{
    return QString::number(value, 'g', 10);
}

} // namespace

struct PlotWindow::Plotted
{
    PlotSignal signal;
    std::unique_ptr<SampleSeries> series;
    std::unique_ptr<PlotCurve> curve;
    PlotChart *chart = nullptr;
    bool fixedRange = false;
    bool loading = false; // its series is being built from the frame log
};

// A worker's extraction of some signals from the frame log's rows as they were.
struct PlotLoadJob
{
    FrameLogSnapshot snapshot;
    std::vector<int> indices; // into the window's signals, when it started
    QVector<PlotSignal> signalList;
    std::vector<std::unique_ptr<SampleSeries>> series;
    std::atomic<int> rowsDone{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> done{false};
};

struct PlotExportJob
{
    QString path;
    std::atomic<qint64> lines{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> done{false};
    bool ok = false;
    QString error;
};

PlotWindow::PlotWindow(const FrameLogModel *frameLog, QWidget *parent)
    : QMainWindow(parent)
    , frameLog(frameLog)
{
    setObjectName(QStringLiteral("plotWindow"));
    setWindowTitle(QStringLiteral("信号曲线"));
    setWindowFlag(Qt::Window);
    resize(1100, 760);

    QToolBar *tools = addToolBar(QStringLiteral("曲线"));
    tools->setObjectName(QStringLiteral("plotToolBar"));
    tools->setMovable(false);
    pauseAction = tools->addAction(QStringLiteral("暂停"));
    pauseAction->setObjectName(QStringLiteral("actionPlotPause"));
    pauseAction->setCheckable(true);
    connect(pauseAction, &QAction::toggled, this, [this](bool paused) {
        if (!paused)
            dirty = true;
    });
    cursorAction = tools->addAction(QStringLiteral("光标"));
    cursorAction->setObjectName(QStringLiteral("actionPlotCursors"));
    cursorAction->setCheckable(true);
    connect(cursorAction, &QAction::toggled, this, [this](bool shown) {
        if (shown)
            setCursors(from + (to - from) / 3, from + 2 * (to - from) / 3);
        cursorsShown = shown;
        tableChanged = true;
        redraw();
    });
    tools->addSeparator();
    QAction *exportData = tools->addAction(QStringLiteral("导出数据…"));
    exportData->setObjectName(QStringLiteral("actionPlotExportData"));
    connect(exportData, &QAction::triggered, this, &PlotWindow::chooseDataExport);
    QAction *exportImage = tools->addAction(QStringLiteral("导出图片…"));
    exportImage->setObjectName(QStringLiteral("actionPlotExportImage"));
    connect(exportImage, &QAction::triggered, this, &PlotWindow::chooseImageExport);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    auto *entry = new QHBoxLayout;
    entry->addWidget(new QLabel(QStringLiteral("信号："), central));
    txtPlotSignal = new QLineEdit(central);
    txtPlotSignal->setObjectName(QStringLiteral("txtPlotSignal"));
    txtPlotSignal->setPlaceholderText(QStringLiteral("报文.信号，或 123[8|16@1+]"));
    completer = new QCompleter(new QStringListModel(this), this);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setFilterMode(Qt::MatchContains);
    txtPlotSignal->setCompleter(completer);
    connect(txtPlotSignal, &QLineEdit::textEdited, this, &PlotWindow::offerSignalNames);
    connect(txtPlotSignal, &QLineEdit::returnPressed, this, &PlotWindow::enterSignal);
    entry->addWidget(txtPlotSignal, 1);
    entry->addWidget(new QLabel(QStringLiteral("时间窗(s)："), central));
    spanBox = new TypedDoubleSpinBox(central);
    spanBox->setObjectName(QStringLiteral("spnPlotSpan"));
    spanBox->setRange(0.01, 86400);
    spanBox->setDecimals(2);
    spanBox->setValue(30);
    connect(spanBox, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            [this] { dirty = true; });
    entry->addWidget(spanBox);
    layout->addLayout(entry);

    auto *splitter = new QSplitter(Qt::Vertical, central);
    chartArea = new QWidget(splitter);
    chartArea->setObjectName(QStringLiteral("plotCharts"));
    chartArea->setAutoFillBackground(true);
    chartLayout = new QVBoxLayout(chartArea);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chartLayout->setSpacing(0);
    auto *lower = new QWidget(splitter);
    auto *lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    cursorLabel = new QLabel(lower);
    cursorLabel->setObjectName(QStringLiteral("lblPlotCursors"));
    lowerLayout->addWidget(cursorLabel);
    table = new QTreeWidget(lower);
    table->setObjectName(QStringLiteral("plotSignalTable"));
    table->setRootIsDecorated(false);
    table->setColumnCount(ColumnCount);
    table->setHeaderLabels({QStringLiteral("信号"), QStringLiteral("图表"),
                            QStringLiteral("光标1"), QStringLiteral("光标2"),
                            QStringLiteral("最小"), QStringLiteral("最大"),
                            QStringLiteral("平均")});
    table->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(table, &QTreeWidget::customContextMenuRequested, this,
            &PlotWindow::showTableMenu);
    lowerLayout->addWidget(table);
    splitter->addWidget(chartArea);
    splitter->addWidget(lower);
    splitter->setStretchFactor(0, 4);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({560, 140});
    layout->addWidget(splitter, 1);
    setCentralWidget(central);
    keptLabel = new QLabel(this);
    keptLabel->setObjectName(QStringLiteral("lblPlotKept"));
    statusBar()->addPermanentWidget(keptLabel);

    // A lowered row limit trims the frame log between ticks too.
    if (frameLog) {
        connect(frameLog, &QAbstractItemModel::rowsRemoved, this, [this] {
            trim();
            dirty = true;
        });
    }

    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] {
        // While frames come, a following view scrolls between the frame log's ticks too.
        const bool live = isFollowing() && sinceLatest.isValid()
            && sinceLatest.elapsed() < liveHoldMs;
        if ((dirty || live) && isVisible())
            redraw();
    });
    timer->start(redrawIntervalMs);
}

PlotWindow::~PlotWindow()
{
    if (loadJob)
        loadJob->cancelled = true;
    if (exportJob)
        exportJob->cancelled = true;
    if (loadThread)
        loadThread->wait();
    if (exportThread)
        exportThread->wait();
    delete loadThread;
    delete exportThread;
    delete extractor;
    // The curves go with their charts' items otherwise; they belong to the signals.
    for (const auto &entry : plotted) {
        if (entry->chart)
            entry->chart->takeCurve(entry->curve.get());
    }
}

void PlotWindow::showMessage(const QString &text)
{
    statusBar()->showMessage(text, 10000);
}

void PlotWindow::setDatabase(const DbcDatabase *db)
{
    database = db;
    static_cast<QStringListModel *>(completer->model())->setStringList({});
}

void PlotWindow::offerSignalNames(const QString &text)
{
    // Matching a million names on every change of the database would stall the window
    // whether or not anyone plots; matching what is typed costs only while typing.
    const int shown = 200;
    static_cast<QStringListModel *>(completer->model())
        ->setStringList(database ? plotSignalMatches(*database, text, shown) : QStringList());
    completer->setCompletionPrefix(text);
    if (!text.isEmpty())
        completer->complete();
}

const PlotSignal &PlotWindow::signalAt(int index) const
{
    return plotted.at(size_t(index))->signal;
}

const SampleSeries &PlotWindow::seriesAt(int index) const
{
    return *plotted.at(size_t(index))->series;
}

int PlotWindow::chartOf(int index) const
{
    return charts.indexOf(plotted.at(size_t(index))->chart);
}

bool PlotWindow::isBusy() const
{
    return loadThread || exportThread;
}

bool PlotWindow::isFollowing() const
{
    return !pauseAction->isChecked();
}

void PlotWindow::enterSignal()
{
    if (addSignal(txtPlotSignal->text()))
        txtPlotSignal->clear();
}

bool PlotWindow::addSignal(const QString &name, int chart)
{
    auto entry = std::make_unique<Plotted>();
    QString error;
    if (!resolvePlotSignal(name, database, &entry->signal, &error)) {
        showMessage(error);
        return false;
    }
    for (const auto &other : plotted) {
        if (other->signal.name == entry->signal.name) {
            showMessage(QStringLiteral("已在绘制：%1").arg(entry->signal.name));
            return false;
        }
    }
    entry->series = std::make_unique<SampleSeries>();
    const int colours = int(sizeof lineColours / sizeof *lineColours);
    const QColor colour = lineColours[nextColour++ % colours];
    entry->curve = std::make_unique<PlotCurve>(entry->series.get(), colour);
    entry->curve->setTitle(entry->signal.title());
    entry->chart = chart >= 0 && chart < charts.size() ? charts.at(chart) : newChart();
    entry->chart->addCurve(entry->curve.get());
    axesChanged = true;
    plotted.push_back(std::move(entry));
    showMessage(QStringLiteral("已添加：%1").arg(plotted.back()->signal.title()));
    // Its history is what the frame log keeps; the frames to come follow it.
    const int index = int(plotted.size()) - 1;
    if (frameLog && frameLog->rowCount() > 0) {
        // The first signal over a trace shows all of it.
        bool empty = true;
        for (const auto &other : plotted)
            empty &= other->series->isEmpty();
        showAllAfterLoad |= empty && !isFollowing();
        plotted.back()->loading = true;
        if (isBusy())
            queuedLoads.push_back(index);
        else
            startLoad({index});
    }
    rebuildExtractor();
    updateTable();
    redraw();
    return true;
}

void PlotWindow::removeSignal(int index)
{
    if (index < 0 || index >= signalCount())
        return;
    if (isBusy()) {
        showMessage(QStringLiteral("请等待当前的提取或导出结束"));
        return;
    }
    Plotted &entry = *plotted.at(size_t(index));
    entry.chart->takeCurve(entry.curve.get());
    plotted.erase(plotted.begin() + index);
    dropEmptyCharts();
    rebuildExtractor();
    updateTable();
    redraw();
}

void PlotWindow::moveSignal(int index, int chart)
{
    if (index < 0 || index >= signalCount())
        return;
    Plotted &entry = *plotted.at(size_t(index));
    entry.chart->takeCurve(entry.curve.get());
    entry.chart = chart >= 0 && chart < charts.size() ? charts.at(chart) : newChart();
    entry.chart->addCurve(entry.curve.get());
    dropEmptyCharts();
    updateTable();
    redraw();
}

PlotChart *PlotWindow::newChart()
{
    axesChanged = true;
    auto *chart = new PlotChart(chartArea);
    chart->setObjectName(QStringLiteral("plotChart%1").arg(charts.size() + 1));
    chart->setMinimumHeight(110);
    chartLayout->addWidget(chart);
    charts.append(chart);
    connect(chart, &PlotChart::zoomRequested, this, &PlotWindow::zoomAround);
    connect(chart, &PlotChart::panRequested, this, [this](double by) {
        stopFollowing();
        setView(from + by, to + by);
    });
    connect(chart, &PlotChart::rangeRequested, this, [this](double a, double b) {
        stopFollowing();
        setView(std::min(a, b), std::max(a, b));
    });
    connect(chart, &PlotChart::showAllRequested, this, &PlotWindow::showAll);
    connect(chart, &PlotChart::clicked, this, [this, chart](const QPointF &position) {
        pickSample(chart, position);
    });
    connect(chart, &PlotChart::cursorDragged, this, [this](int which, double seconds) {
        cursor[which] = seconds;
        redraw();
    });
    return chart;
}

void PlotWindow::dropEmptyCharts()
{
    axesChanged = true;
    for (int i = charts.size() - 1; i >= 0; --i) {
        if (charts.at(i)->curves().isEmpty())
            delete charts.takeAt(i);
    }
    for (int i = 0; i < charts.size(); ++i)
        charts.at(i)->setObjectName(QStringLiteral("plotChart%1").arg(i + 1));
}

void PlotWindow::rebuildExtractor()
{
    delete extractor;
    QVector<const PlotSignal *> signalList;
    QVector<SampleSeries *> series;
    for (const auto &entry : plotted) {
        if (entry->loading)
            continue;
        signalList.append(&entry->signal);
        series.append(entry->series.get());
    }
    extractor = new SampleExtractor(signalList, series);
}

void PlotWindow::addFrames(const QList<CanMessage> &frames, qint64 firstNumber)
{
    if (frames.isEmpty())
        return;
    const FrameRecord newest = frameRecord(frames.last());
    if (!haveOrigin) {
        originUs = plotFrameTimeUs(frameRecord(frames.first()));
        haveOrigin = true;
    }
    latestUs = std::max(latestUs, plotFrameTimeUs(newest));
    sinceLatest.start();
    dirty = true;
    if (plotted.empty())
        return;
    qint64 number = firstNumber;
    for (const CanMessage &frame : frames) {
        if (extractor->wants(frame.id, frame.extended) || isBusy())
            applyFrame(frameRecord(frame, &liveTails), number);
        ++number;
    }
    if (pending.empty())
        liveTails.clear();
    trim();
}

void PlotWindow::applyFrame(const FrameRecord &record, qint64 number)
{
    if (isBusy()) {
        pending.emplace_back(number, record);
        return;
    }
    extractor->add(record, number, &liveTails);
}

void PlotWindow::flushPending()
{
    std::vector<std::pair<qint64, FrameRecord>> frames;
    frames.swap(pending);
    for (const auto &frame : frames)
        extractor->add(frame.second, frame.first, &liveTails);
    liveTails.clear();
    trim();
}

void PlotWindow::trim()
{
    if (!frameLog || isBusy())
        return;
    if (frameLog->rowCount() == 0) {
        // Emptied without a clear(): nothing the frame log shows remains.
        for (const auto &entry : plotted) {
            if (!entry->loading)
                entry->series->dropBefore(std::numeric_limits<qint64>::max());
        }
        return;
    }
    const qint64 first = frameLog->number(0);
    for (const auto &entry : plotted)
        entry->series->dropBefore(first);
}

void PlotWindow::clear()
{
    // Nothing queued may start from the load's end, and nothing waiting is wanted now.
    queuedLoads.clear();
    pending.clear();
    liveTails.clear();
    if (loadJob)
        loadJob->cancelled = true;
    if (exportJob)
        exportJob->cancelled = true;
    if (loadThread) {
        loadThread->wait();
        finishLoad();
    }
    if (exportThread)
        exportThread->wait();
    pending.clear();
    liveTails.clear();
    for (const auto &entry : plotted) {
        entry->series->clear();
        entry->loading = false;
    }
    queuedLoads.clear();
    rebuildExtractor();
    haveOrigin = false;
    originUs = 0;
    latestUs = 0;
    sinceLatest.invalidate();
    from = 0;
    to = spanBox->value();
    pauseAction->setChecked(false);
    redraw();
}

void PlotWindow::reload()
{
    if (!frameLog)
        return;
    const FrameLogSnapshot rows = frameLog->snapshot(frameLog->rowCount());
    if (rows.rowCount() > 0) {
        originUs = plotFrameTimeUs(rows.record(0));
        latestUs = plotFrameTimeUs(rows.record(rows.rowCount() - 1));
        haveOrigin = true;
    }
    sinceLatest.invalidate();
    // The whole trace is shown, not the newest seconds.
    pauseAction->setChecked(true);
    showAllAfterLoad = true;
    std::vector<int> all;
    for (int i = 0; i < signalCount(); ++i) {
        plotted.at(size_t(i))->loading = true;
        all.push_back(i);
    }
    if (all.empty() || frameLog->rowCount() == 0) {
        for (const auto &entry : plotted)
            entry->loading = false;
        showAll();
        return;
    }
    if (isBusy()) {
        queuedLoads = all;
        if (loadJob)
            loadJob->cancelled = true;
    } else {
        startLoad(all);
    }
    rebuildExtractor();
}

void PlotWindow::startLoad(const std::vector<int> &indices)
{
    auto job = std::make_shared<PlotLoadJob>();
    job->snapshot = frameLog->snapshot(frameLog->rowCount());
    const int rows = job->snapshot.rowCount();
    if (!haveOrigin) {
        originUs = plotFrameTimeUs(job->snapshot.record(0));
        haveOrigin = true;
    }
    latestUs = std::max(latestUs, plotFrameTimeUs(job->snapshot.record(rows - 1)));
    job->indices = indices;
    for (int index : indices) {
        job->signalList.append(plotted.at(size_t(index))->signal);
        job->series.push_back(std::make_unique<SampleSeries>());
    }
    loadJob = job;
    loadThread = QThread::create([job] {
        QVector<const PlotSignal *> signalList;
        QVector<SampleSeries *> series;
        for (int i = 0; i < job->signalList.size(); ++i) {
            signalList.append(&job->signalList.at(i));
            series.append(job->series.at(size_t(i)).get());
        }
        SampleExtractor work(signalList, series);
        const FrameLogSnapshot &rows = job->snapshot;
        const int count = rows.rowCount();
        for (int row = 0; row < count; ++row) {
            work.add(rows.record(row), rows.number(row), &rows.tails());
            if ((row & (rowsPerProgressStep - 1)) == 0) {
                job->rowsDone.store(row, std::memory_order_relaxed);
                if (job->cancelled.load(std::memory_order_relaxed))
                    break;
            }
        }
        job->done.store(true, std::memory_order_release);
    });
    loadThread->setObjectName(QStringLiteral("plotLoad"));
    progress = progressDialog(QStringLiteral("正在提取曲线…"), job->snapshot.rowCount());
    connect(progress, &QProgressDialog::canceled, this, [job] { job->cancelled = true; });
    auto *poll = new QTimer(progress);
    connect(poll, &QTimer::timeout, this, [this, job] {
        if (job->done.load(std::memory_order_acquire)) {
            loadThread->wait();
            finishLoad();
            return;
        }
        progress->setValue(job->rowsDone.load(std::memory_order_relaxed));
    });
    poll->start(30);
    loadThread->start();
}

void PlotWindow::finishLoad()
{
    const std::shared_ptr<PlotLoadJob> job = std::move(loadJob);
    delete loadThread;
    loadThread = nullptr;
    progress->deleteLater();
    progress = nullptr;
    const bool cancelled = job->cancelled.load();
    for (size_t i = 0; i < job->indices.size(); ++i) {
        const int index = job->indices.at(i);
        if (index >= signalCount())
            continue;
        Plotted &entry = *plotted.at(size_t(index));
        // A cancelled extraction leaves the signal with what comes from now on.
        if (!cancelled)
            entry.series.swap(job->series.at(i));
        else
            entry.series->clear();
        entry.curve->setSeries(entry.series.get());
        entry.loading = false;
    }
    if (cancelled)
        showMessage(QStringLiteral("提取曲线已取消"));
    startQueuedWork();
}

void PlotWindow::startQueuedWork()
{
    // The frames that waited reach the series ready now; the signals still to be loaded
    // find them in the frame log.
    rebuildExtractor();
    flushPending();
    if (!queuedLoads.empty()) {
        std::vector<int> next;
        next.swap(queuedLoads);
        startLoad(next);
    } else if (showAllAfterLoad) {
        showAllAfterLoad = false;
        showAll();
    }
    updateTable();
    redraw();
}

QProgressDialog *PlotWindow::progressDialog(const QString &label, int maximum)
{
    auto *dialog = new QProgressDialog(label, QStringLiteral("取消"), 0, std::max(maximum, 1),
                                       this);
    dialog->setObjectName(QStringLiteral("plotProgress"));
    dialog->setWindowTitle(windowTitle());
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setMinimumDuration(300);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setValue(0);
    return dialog;
}

qint64 PlotWindow::secondsToUs(double seconds) const
{
    return originUs + qint64(std::llround(seconds * 1e6));
}

void PlotWindow::setView(double fromSeconds, double toSeconds)
{
    if (!(toSeconds > fromSeconds))
        toSeconds = fromSeconds + 1e-6;
    from = fromSeconds;
    to = toSeconds;
    redraw();
}

void PlotWindow::showAll()
{
    qint64 first = std::numeric_limits<qint64>::max();
    qint64 last = std::numeric_limits<qint64>::min();
    for (const auto &entry : plotted) {
        const SampleSeries &series = *entry->series;
        if (series.isEmpty())
            continue;
        first = std::min(first, series.timeUs(series.firstIndex()));
        last = std::max(last, series.timeUs(series.endIndex() - 1));
    }
    if (first > last) {
        setView(0, spanBox->value());
        return;
    }
    // A little room on both sides, so that the first and last samples are not on the edge.
    const double a = (first - originUs) / 1e6;
    const double b = std::max((last - originUs) / 1e6, a + 1e-3);
    const double margin = (b - a) * 0.01;
    if (isFollowing())
        pauseAction->setChecked(true);
    setView(a - margin, b + margin);
}

void PlotWindow::stopFollowing()
{
    pauseAction->setChecked(true);
}

void PlotWindow::zoomAround(double anchor, double factor)
{
    stopFollowing();
    setView(anchor - (anchor - from) * factor, anchor + (to - anchor) * factor);
}

void PlotWindow::setCursors(double first, double second)
{
    cursor[0] = first;
    cursor[1] = second;
    cursorsShown = true;
    if (!cursorAction->isChecked()) {
        const QSignalBlocker block(cursorAction);
        cursorAction->setChecked(true);
    }
    redraw();
}

void PlotWindow::redraw()
{
    dirty = false;
    if (isFollowing() && haveOrigin) {
        // The newest frame came a moment ago: the view's edge is now, not then.
        const qint64 ageMs = sinceLatest.isValid() ? std::min(sinceLatest.elapsed(), liveHoldMs)
                                                   : 0;
        const double newest = (latestUs - originUs) / 1e6 + ageMs / 1e3;
        to = newest;
        from = newest - spanBox->value();
    }
    const bool rescaled = updateRanges();
    for (PlotChart *chart : charts) {
        for (PlotCurve *curve : chart->curves())
            curve->setTime(originUs, latestUs);
        chart->setAxisScale(QwtPlot::xBottom, from, to);
        chart->setCursors(cursorsShown, cursor[0], cursor[1]);
    }
    if (rescaled || axesChanged) {
        for (PlotChart *chart : charts) {
            chart->enableAxis(QwtPlot::xBottom, chart == charts.last());
            // A hidden axis still measures its labels whenever the view scrolls.
            chart->axisScaleDraw(QwtPlot::xBottom)
                ->enableComponent(QwtAbstractScaleDraw::Labels, chart == charts.last());
            chart->setAxisTitle(QwtPlot::xBottom, chart == charts.last()
                                                      ? QStringLiteral("时间 (s)") : QString());
        }
        layoutAxes();
        axesChanged = false;
    }
    for (PlotChart *chart : charts)
        chart->replot();
    // The table shows nothing that scrolling changes unless the cursors are out.
    if (cursorsShown || tableChanged)
        updateTable();
    // The series hold what the frame log holds; the row limit is why history ends.
    if (frameLog && (!keptShown.isValid() || keptShown.elapsed() >= 500)) {
        keptLabel->setText(QStringLiteral("曲线数据：列表中的 %1 帧").arg(frameLog->rowCount()));
        keptShown.start();
    }
}

bool PlotWindow::updateRanges()
{
    bool changed = false;
    for (const auto &entry : plotted) {
        if (entry->fixedRange)
            continue;
        const SampleSeries &series = *entry->series;
        // The value held at the left edge counts, since its line crosses the view.
        const qint64 begin = series.lowerBound(secondsToUs(from)) - 1;
        const qint64 end = series.lowerBound(secondsToUs(to) + 1);
        const RangeStats visible = series.stats(begin, end);
        if (visible.isEmpty())
            continue;
        const double lo = visible.min;
        const double hi = visible.max;
        const QwtInterval now = entry->curve->range();
        // A scrolling view keeps its scale while the data stay inside and fill most of
        // it, so that the axes are not laid out anew at every redraw.
        if (isFollowing() && lo >= now.minValue() && hi <= now.maxValue()
            && (hi - lo) >= 0.6 * now.width()) {
            continue;
        }
        const double pad = hi > lo ? (hi - lo) * 0.05 : std::max(std::abs(lo) * 0.05, 0.5);
        const QwtInterval fitted(lo - pad, hi + pad);
        if (fitted != now) {
            entry->curve->setRange(fitted);
            changed = true;
        }
    }
    return changed;
}

void PlotWindow::layoutAxes()
{
    // The right axes only where some chart has a second line, on all charts alike.
    bool secondLine = false;
    for (PlotChart *chart : charts)
        secondLine |= chart->curves().size() > 1;
    for (PlotChart *chart : charts) {
        chart->enableAxis(QwtPlot::yRight, secondLine);
        chart->updateAxes();
    }
    // Every chart's axes as wide as the widest, so that the canvases line up in time.
    for (int axis : {int(QwtPlot::yLeft), int(QwtPlot::yRight)}) {
        int widest = 0;
        for (PlotChart *chart : charts) {
            QwtScaleDraw *draw = chart->axisScaleDraw(axis);
            draw->setMinimumExtent(0);
            widest = std::max(widest, int(draw->extent(chart->axisWidget(axis)->font())));
        }
        for (PlotChart *chart : charts)
            chart->axisScaleDraw(axis)->setMinimumExtent(widest);
    }
}

void PlotWindow::updateTable()
{
    tableChanged = false;
    cursorLabel->setText(cursorsShown
                             ? QStringLiteral("光标1：%1 s    光标2：%2 s    Δt：%3 s")
                                   .arg(secondsText(cursor[0]), secondsText(cursor[1]),
                                        secondsText(std::abs(cursor[1] - cursor[0])))
                             : QString());
    while (table->topLevelItemCount() > signalCount())
        delete table->takeTopLevelItem(table->topLevelItemCount() - 1);
    while (table->topLevelItemCount() < signalCount())
        table->addTopLevelItem(new QTreeWidgetItem);
    for (int i = 0; i < signalCount(); ++i) {
        const Plotted &entry = *plotted.at(size_t(i));
        QTreeWidgetItem *item = table->topLevelItem(i);
        item->setText(NameColumn, entry.signal.title());
        item->setForeground(NameColumn, entry.curve->colour());
        item->setText(ChartColumn, QString::number(charts.indexOf(entry.chart) + 1));
        QString cells[ColumnCount];
        if (entry.loading) {
            cells[FirstColumn] = QStringLiteral("提取中…");
        } else if (cursorsShown) {
            const qint64 a = secondsToUs(cursor[0]);
            const qint64 b = secondsToUs(cursor[1]);
            double value;
            if (entry.series->valueAt(a, &value))
                cells[FirstColumn] = valueText(value);
            if (entry.series->valueAt(b, &value))
                cells[SecondColumn] = valueText(value);
            const RangeStats between = entry.series->statsBetween(a, b);
            if (!between.isEmpty()) {
                cells[MinColumn] = valueText(between.min);
                cells[MaxColumn] = valueText(between.max);
                cells[MeanColumn] = valueText(between.sum / between.count);
            }
        }
        for (int column = FirstColumn; column < ColumnCount; ++column)
            item->setText(column, cells[column]);
    }
}

void PlotWindow::pickSample(PlotChart *chart, const QPointF &position)
{
    const QwtScaleMap xMap = chart->canvasMap(QwtPlot::xBottom);
    const QwtScaleMap yMap = chart->canvasMap(QwtPlot::yLeft);
    constexpr double reach = 6; // pixels
    const double t = xMap.invTransform(position.x());
    const double slack = std::abs(xMap.invTransform(position.x() + reach) - t);
    double best = reach * reach;
    const Plotted *found = nullptr;
    qint64 foundIndex = -1;
    for (const auto &entry : plotted) {
        if (entry->chart != chart || entry->loading)
            continue;
        const SampleSeries &series = *entry->series;
        const QwtScaleMap values = entry->curve->valueMap(yMap);
        qint64 begin = series.lowerBound(secondsToUs(t - slack));
        const qint64 end = series.lowerBound(secondsToUs(t + slack) + 1);
        // Thousands of samples share a pixel in an overview; a million is plenty to look at.
        begin = std::max(begin, end - 1000000);
        for (qint64 i = begin; i < end; ++i) {
            const double dx = xMap.transform((series.timeUs(i) - originUs) / 1e6) - position.x();
            const double dy = values.transform(series.value(i)) - position.y();
            if (dx * dx + dy * dy <= best) {
                best = dx * dx + dy * dy;
                found = entry.get();
                foundIndex = i;
            }
        }
    }
    if (!found)
        return;
    const SampleSeries &series = *found->series;
    const qint64 number = series.number(foundIndex);
    showMessage(QStringLiteral("帧 %1：%2 = %3，%4 s")
                    .arg(number)
                    .arg(found->signal.name, valueText(series.value(foundIndex)),
                         secondsText((series.timeUs(foundIndex) - originUs) / 1e6)));
    emit frameSelected(number);
}

void PlotWindow::showTableMenu(const QPoint &position)
{
    QTreeWidgetItem *item = table->itemAt(position);
    if (!item)
        return;
    const int index = table->indexOfTopLevelItem(item);
    Plotted &entry = *plotted.at(size_t(index));
    QMenu menu(this);
    QMenu *move = menu.addMenu(QStringLiteral("移到图表"));
    for (int i = 0; i < charts.size(); ++i) {
        QAction *to = move->addAction(QStringLiteral("图表 %1").arg(i + 1));
        to->setEnabled(charts.at(i) != entry.chart);
        connect(to, &QAction::triggered, this, [this, index, i] { moveSignal(index, i); });
    }
    connect(move->addAction(QStringLiteral("新图表")), &QAction::triggered, this,
            [this, index] { moveSignal(index, -1); });
    QAction *fixed = menu.addAction(QStringLiteral("固定Y轴范围"));
    fixed->setCheckable(true);
    fixed->setChecked(entry.fixedRange);
    connect(fixed, &QAction::toggled, this, [this, index](bool on) {
        plotted.at(size_t(index))->fixedRange = on;
        axesChanged = true;
        redraw();
    });
    menu.addSeparator();
    connect(menu.addAction(QStringLiteral("移除")), &QAction::triggered, this,
            [this, index] { removeSignal(index); });
    menu.exec(table->viewport()->mapToGlobal(position));
}

void PlotWindow::chooseDataExport()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("导出数据"),
                                                      QString(),
                                                      QStringLiteral("CSV 文件 (*.csv)"));
    if (!path.isEmpty())
        exportData(path);
}

void PlotWindow::chooseImageExport()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("导出图片"),
                                                      QString(),
                                                      QStringLiteral("PNG 图片 (*.png)"));
    if (!path.isEmpty())
        exportImage(path);
}

bool PlotWindow::exportData(const QString &path)
{
    if (plotted.empty()) {
        showMessage(QStringLiteral("没有可导出的曲线"));
        return false;
    }
    if (isBusy()) {
        showMessage(QStringLiteral("请等待当前的提取或导出结束"));
        return false;
    }
    auto file = std::make_shared<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly)) {
        showMessage(QStringLiteral("导出数据失败：%1：%2").arg(path, file->errorString()));
        return false;
    }
    auto job = std::make_shared<PlotExportJob>();
    job->path = path;
    QVector<const PlotSignal *> signalList;
    QVector<const SampleSeries *> series;
    qint64 samples = 0;
    for (const auto &entry : plotted) {
        signalList.append(&entry->signal);
        series.append(entry->series.get());
        samples += entry->series->size();
    }
    exportJob = job;
    // The series stay as they are while the worker reads them: frames wait meanwhile.
    exportThread = QThread::create([job, file, signalList, series] {
        job->ok = writePlotCsv(file.get(), signalList, series, [job](qint64 lines) {
            job->lines.store(lines, std::memory_order_relaxed);
            return !job->cancelled.load(std::memory_order_relaxed);
        }, &job->error);
        if (job->ok && !file->commit()) {
            job->ok = false;
            job->error = file->errorString();
        }
        job->done.store(true, std::memory_order_release);
    });
    exportThread->setObjectName(QStringLiteral("plotExport"));
    // Lines are at most the samples; the bar counts in thousands to stay within an int.
    progress = progressDialog(QStringLiteral("正在导出…"), int(samples / 1000 + 1));
    connect(progress, &QProgressDialog::canceled, this, [job] { job->cancelled = true; });
    auto *poll = new QTimer(progress);
    connect(poll, &QTimer::timeout, this, [this, job] {
        if (!job->done.load(std::memory_order_acquire)) {
            progress->setValue(int(job->lines.load(std::memory_order_relaxed) / 1000));
            return;
        }
        exportThread->wait();
        delete exportThread;
        exportThread = nullptr;
        exportJob.reset();
        progress->deleteLater();
        progress = nullptr;
        showMessage(job->ok ? QStringLiteral("已导出数据：%1").arg(job->path)
                            : QStringLiteral("导出数据失败：%1：%2").arg(job->path, job->error));
        startQueuedWork();
    });
    poll->start(30);
    exportThread->start();
    return true;
}

bool PlotWindow::exportImage(const QString &path)
{
    const QImage image = chartArea->grab().toImage();
    if (charts.isEmpty() || !image.save(path, "PNG")) {
        showMessage(QStringLiteral("导出图片失败：%1").arg(path));
        return false;
    }
    showMessage(QStringLiteral("已导出图片：%1").arg(path));
    return true;
}
