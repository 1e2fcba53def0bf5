#pragma once

// The window "信号曲线": signals of the loaded database ("Message.Signal") or bit fields of
// an identifier ("123[8|16@1+]") plotted over time in charts stacked under one time axis,
// with cursors, statistics between them, and the data (CSV) and the picture (PNG) exported.
// It keeps its own series of the plotted signals: fed with each tick's frames, built on a
// worker thread from the frame log's rows when a signal is added or a trace was opened,
// and trimmed with the frame log, so the row limit bounds both. While a worker reads or
// builds series, the frames handed over wait and are added after it. GUI thread only.

#include "plot/plotsignal.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <atomic>
#include <memory>
#include <vector>

struct CanMessage;
class DbcDatabase;
class FrameLogModel;
class PlotChart;
class PlotCurve;
class QAction;
class QCompleter;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QProgressDialog;
class QThread;
class QTreeWidget;
class QVBoxLayout;
class SampleSeries;
struct PlotLoadJob;
struct PlotExportJob;

class PlotWindow : public QMainWindow
{
    Q_OBJECT

public:
    enum Column {
        NameColumn, ChartColumn, FirstColumn, SecondColumn, MinColumn, MaxColumn, MeanColumn,
        ColumnCount
    };

    // `frameLog` gives the rows a newly added signal is extracted from, and the first
    // frame number still kept, below which samples go.
    explicit PlotWindow(const FrameLogModel *frameLog, QWidget *parent = nullptr);
    ~PlotWindow() override;

    void setDatabase(const DbcDatabase *database);
    // Plots the signal a name stands for, on a chart of its own or chart `chart`; false
    // with the reason in the status bar for a name that names nothing.
    bool addSignal(const QString &name, int chart = -1);
    void removeSignal(int index);
    void moveSignal(int index, int chart);
    // One tick's frames, numbered from `firstNumber` on as the frame log numbers them.
    void addFrames(const QList<CanMessage> &frames, qint64 firstNumber);
    // The frame log was emptied: so are the series; the signals stay.
    void clear();
    // The frame log was filled anew (an opened trace): the series are built again from it
    // and the whole trace is shown.
    void reload();

    int signalCount() const { return int(plotted.size()); }
    const PlotSignal &signalAt(int index) const;
    const SampleSeries &seriesAt(int index) const;
    int chartOf(int index) const;
    int chartCount() const { return charts.size(); }
    PlotChart *chart(int index) const { return charts.at(index); }
    // True while series are being built or read on a worker.
    bool isBusy() const;

    // The shown time range, in seconds from the first frame.
    void setView(double fromSeconds, double toSeconds);
    double viewFrom() const { return from; }
    double viewTo() const { return to; }
    void showAll();
    bool isFollowing() const;
    // Shows the cursors at these seconds.
    void setCursors(double first, double second);
    // Frames the charts now, as the next timer tick would.
    void redraw();

    bool exportData(const QString &path);
    bool exportImage(const QString &path);

signals:
    // A plotted sample was clicked: the frame log should show the frame of this number.
    void frameSelected(qint64 number);

private:
    struct Plotted;

    void showMessage(const QString &text);
    void enterSignal();
    void offerSignalNames(const QString &text);
    PlotChart *newChart();
    void dropEmptyCharts();
    void startLoad(const std::vector<int> &indices);
    void finishLoad();
    void startQueuedWork();
    void applyFrame(const FrameRecord &record, qint64 number);
    void flushPending();
    void trim();
    void rebuildExtractor();
    // True when a line's scale changed.
    bool updateRanges();
    void updateTable();
    void layoutAxes();
    void zoomAround(double anchor, double factor);
    void stopFollowing();
    void pickSample(PlotChart *chart, const QPointF &position);
    void showTableMenu(const QPoint &position);
    void chooseDataExport();
    void chooseImageExport();
    QProgressDialog *progressDialog(const QString &label, int maximum);
    qint64 secondsToUs(double seconds) const;

    const FrameLogModel *frameLog;
    const DbcDatabase *database = nullptr;
    std::vector<std::unique_ptr<Plotted>> plotted;
    QList<PlotChart *> charts;
    class SampleExtractor *extractor = nullptr;

    // Time: seconds on the axis count from originUs, the first frame's time.
    bool haveOrigin = false;
    qint64 originUs = 0;
    qint64 latestUs = 0;
    QElapsedTimer sinceLatest; // since latestUs came
    double from = 0;
    double to = 30;
    bool cursorsShown = false;
    double cursor[2] = {0, 0};
    bool dirty = false;
    bool axesChanged = true; // charts or lines changed: axes to lay out again
    bool tableChanged = true;
    QElapsedTimer keptShown;
    bool showAllAfterLoad = false;

    // Frames handed over while a worker works, added after it, and the bytes beyond the
    // eighth of their FD frames until they are.
    std::vector<std::pair<qint64, FrameRecord>> pending;
    FrameTails liveTails;
    std::shared_ptr<PlotLoadJob> loadJob;
    QThread *loadThread = nullptr;
    std::vector<int> queuedLoads;
    std::shared_ptr<PlotExportJob> exportJob;
    QThread *exportThread = nullptr;
    QProgressDialog *progress = nullptr;

    QLineEdit *txtPlotSignal = nullptr;
    QCompleter *completer = nullptr;
    QDoubleSpinBox *spanBox = nullptr;
    QAction *pauseAction = nullptr;
    QAction *cursorAction = nullptr;
    QWidget *chartArea = nullptr;
    QVBoxLayout *chartLayout = nullptr;
    QLabel *cursorLabel = nullptr;
    QLabel *keptLabel = nullptr;
    QTreeWidget *table = nullptr;
    int nextColour = 0;
};
