// Measures the whole receive path - listen thread, hub and the main window's frame log,
// offscreen, with the default row limit - fed by the simulated bus of the adapter library
// at full bus load, and, as the ceiling, a bare loop that reads the same library without
// Qt. Each load runs in a process of its own, so that its memory figures are its own.
//
// Usage: bench_pipeline [--load 1000|9009|21277|unlimited|fd10000] [--seconds S] [--soak]
//                       [--ceiling-seconds S] [--csv FILE] [--rss-log FILE]
//                       [--max-rss-mb MB] [--row-limit ROWS] [--backlog FRAMES]
//                       [--identifiers N] [--dbc-messages N] [--decoded-column] [--id-view]
//                       [--filter EXPRESSION] [--data-bitrate KBPS]
//                       [--plot N]
// Without --load every load is run in turn, 30 s each, and FILE is replaced; with --load
// one line is appended to it. --soak runs 9,009 frames/s for 600 s. --backlog holds the
// GUI thread until the hub has queued that many frames of the unthrottled flood, closes
// the device and times how the window takes them. A 5 ms timer on the GUI thread records
// its longest gap in every run. The exit status is 1 when a frame went missing or out of
// order at a bus load or in a backlog.
// --identifiers gives the flood's frames the identifiers 0 to N-1 in turn on their way from
// the library to the listen thread, and 0-byte frames 8 changing data bytes, so that every
// frame decodes (more than a real bus of 21,277 frames/s could carry). --dbc-messages loads
// a generated database of N messages at those identifiers through the window's own
// loading, and implies --identifiers N.
// --decoded-column shows the frame log's "解析" column; --id-view shows the per-identifier
// view instead of the frame log and, with a database, opens 22 rows onto their signals,
// three of them in sight. --filter types the expression into the frame log's filter field
// and applies it before the traffic starts. --data-bitrate opens an FD load at that data
// rate instead of 8 Mbit/s: 10,000 frames of 64 zero-padded bytes a second take more than
// a 1M/8M bus once their stuff bits are counted.
// --plot opens "信号曲线" and plots N 16-bit fields, two of each identifier in one chart
// (with --identifiers), and counts the charts' redraws.

#include "app/mainwindow.h"
#include "bench/benchdbc.h"
#include "bench/benchutil.h"
#include "dbcview/databasemenu.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"
#include "plot/plotchart.h"
#include "plot/plotwindow.h"
#include "plot/sampleseries.h"

#include "canable/canable.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <qwt_plot_canvas.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <vector>

#include <pthread.h>

namespace {

using namespace BenchUtil;

struct Load
{
    const char *name;
    const char *traffic;
    int dataBytes;
    bool busRate; // false: the flood that outruns any bus
    unsigned int dataKbps; // non-zero: the device opens in CAN FD mode at this data rate
};

// 8-byte frames at 1 kHz; 8-byte and 0-byte standard frames filling a 1 Mbit/s bus;
// a flood that hands out a frame for every read; and 64-byte FD frames with BRS at
// 10 kHz on a 1 Mbit/s / 8 Mbit/s bus, near the most it carries.
const Load loads[] = {
    { "1000", "flood:1000,dlc=8", 8, true, 0 },
    { "9009", "flood,dlc=8", 8, true, 0 },
    { "21277", "flood,dlc=0", 0, true, 0 },
    { "unlimited", "flood:unlimited,dlc=8", 8, false, 0 },
    { "fd10000", "flood:10000,fd,brs,dlc=64", 64, true, 8000 },
};

constexpr unsigned int busKbps = 1000;

// The data rate of the load being run, 0 for a classic bus.
unsigned int openDataKbps = 0;

void openBus()
{
    ListenThread::OpenOptions options;
    options.bitrate = busKbps;
    options.dataBitrate = openDataKbps;
    ListenThread::instance()->openDevice(options);
}

constexpr double defaultSeconds = 30;
constexpr double soakSeconds = 600;
constexpr double longestWarmUp = 60;
constexpr double longestCeiling = 10;
constexpr double drainTimeout = 300;

const char csvHeader[] =
    "load,traffic,seconds,frames_offered,frames_hub,frames_numbered,frames_lost,"
    "order_errors,row_mismatches,frames_per_s,tick_p50_ms,tick_p99_ms,tick_max_ms,"
    "paint_p50_ms,paint_p99_ms,paint_max_ms,cpu_s,cpu_ms_per_1000,cpu_core_pct,listen_core_pct,"
    "hub_core_pct,gui_core_pct,rss_warm_mb,rss_end_mb,rss_peak_mb,rss_growth_pct,"
    "ceiling_s,ceiling_frames,ceiling_cpu_ms_per_1000,pipeline_to_ceiling,note,row_limit,"
    "gui_gap_max_ms,rows_kept,bytes_per_kept_frame,backlog_fill_s,backlog_drain_s,view";

// What the library handed out, and whether the flood's sequence numbers came in order.
// Written by the one reading thread; read by the GUI thread after joining it, except the
// frame count, which the progress sampler reads on the way.
struct ReadTally
{
    explicit ReadTally(int dataBytes)
        : sequenceMask(dataBytes >= 8 ? ~quint64(0)
                                      : (quint64(1) << (8 * dataBytes)) - 1)
        , carriesSequence(dataBytes > 0)
    {
    }

    void count(const CanFrameRecord &record) { count(record.data); }
    void count(const CanFdFrameRecord &record) { count(record.data); }
    void count(const uint8_t *data)
    {
        const quint64 read = frames.load(std::memory_order_relaxed);
        if (carriesSequence) {
            quint64 sequence = 0;
            for (int i = 7; i >= 0; --i)
                sequence = sequence << 8 | data[i];
            if (sequence != ((read + gaps) & sequenceMask)) {
                const quint64 expected = (read + gaps) & sequenceMask;
                if (sequence > expected && sequenceMask == ~quint64(0))
                    gaps += sequence - expected;
                else
                    ++disorder;
            }
        }
        frames.store(read + 1, std::memory_order_relaxed);
    }

    // With full 64-bit sequence numbers, frames the library dropped count as offered.
    quint64 offered() const { return frames.load() + gaps; }

    const quint64 sequenceMask;
    const bool carriesSequence;
    std::atomic<quint64> frames { 0 };
    quint64 emptyReads = 0;
    quint64 gaps = 0;
    quint64 disorder = 0;
};

ReadTally *listenTally = nullptr;
std::atomic<pthread_t> listenThreadHandle { 0 };
// Reads past this many frames find none, so that a backlog holds exactly that many.
std::atomic<quint64> readCap { ~quint64(0) };
// Non-zero: the frames read get the identifiers 0 to this minus one in turn.
std::atomic<int> floodIdentifiers { 0 };

// Only the listen thread calls it, after the tally has seen the flood's own frame.
void giveFloodIdentifier(CanFrameRecord *record)
{
    static quint64 frames = 0;
    const int identifiers = floodIdentifiers.load(std::memory_order_relaxed);
    record->id = quint32(frames % quint64(identifiers));
    if (record->dlc == 0) {
        const quint64 payload = BenchUtil::benchPayload(frames / quint64(identifiers));
        for (int i = 0; i < 8; ++i)
            record->data[i] = uint8_t(payload >> (8 * i));
        record->dlc = 8;
    }
    ++frames;
}

} // namespace

// The listen thread's reads come here: this executable's definition takes the place of the
// library's, counts and checks what the library handed out, and passes it on. The cost is
// one indirect call and a few compares per read.
extern "C" int canable_readMessage(int deviceIndex, CanFrameRecord *record, int count)
{
    if (!listenThreadHandle.load(std::memory_order_relaxed))
        listenThreadHandle = pthread_self();
    if (listenTally && listenTally->frames.load(std::memory_order_relaxed) >= readCap.load())
        return 1;
    const int result = libraryRead()(deviceIndex, record, count);
    if (listenTally) {
        if (result == 0)
            listenTally->count(*record);
        else
            ++listenTally->emptyReads;
    }
    if (result == 0 && floodIdentifiers.load(std::memory_order_relaxed) > 0)
        giveFloodIdentifier(record);
    return result;
}

// The same for the listen thread's reads of an FD session.
extern "C" int canable_readMessageFD(int deviceIndex, CanFdFrameRecord *record)
{
    if (!listenThreadHandle.load(std::memory_order_relaxed))
        listenThreadHandle = pthread_self();
    if (listenTally && listenTally->frames.load(std::memory_order_relaxed) >= readCap.load())
        return 1;
    const int result = libraryReadFd()(deviceIndex, record);
    if (listenTally) {
        if (result == 0)
            listenTally->count(*record);
        else
            ++listenTally->emptyReads;
    }
    return result;
}

namespace {

// Sits in front of the window: times each tick and each repaint, and checks every row that
// appeared since the last tick: its sequence number must be its row number.
class FrameLogProbe : public QObject
{
public:
    FrameLogProbe(QWidget *window, int dataBytes)
        : target(window)
        , sequenceMask(dataBytes >= 8 ? ~quint64(0) : (quint64(1) << (8 * dataBytes)) - 1)
        , carriesSequence(dataBytes > 0)
    {
        window->installEventFilter(this);
    }

    // Rows numbered so far: one more than the newest row's number.
    qint64 numbered() const { return lastNumber + 1; }

    std::vector<double> tickTimes;
    std::vector<double> paintTimes;
    quint64 mismatches = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != target
            || (event->type() != QEvent::Timer && event->type() != QEvent::UpdateRequest)) {
            return false;
        }
        QElapsedTimer timer;
        timer.start();
        target->event(event);
        const double msecs = double(timer.nsecsElapsed()) / 1e6;
        if (event->type() == QEvent::Timer) {
            tickTimes.push_back(msecs);
            checkNewRows();
        } else {
            paintTimes.push_back(msecs);
        }
        return true;
    }

private:
    void checkNewRows()
    {
        const int rows = receiveModel->rowCount();
        // Only the rows added since the last tick, so the check costs the same at any limit.
        const int firstNew = rows > 0 ? int(std::clamp<qint64>(
                lastNumber + 1 - receiveModel->number(0), 0, rows)) : 0;
        for (int row = firstNew; row < rows; ++row) {
            const qint64 number = receiveModel->number(row);
            if (number <= lastNumber)
                continue;
            if (carriesSequence) {
                const QByteArray data = receiveModel->message(row).data;
                quint64 sequence = 0;
                for (int i = data.size() - 1; i >= 0; --i)
                    sequence = sequence << 8 | quint8(data.at(i));
                if (sequence != (quint64(number) & sequenceMask))
                    ++mismatches;
            }
            lastNumber = number;
        }
    }

    // QWidget::event() is protected; QObject::event() dispatches to it.
    QObject *target;
    const quint64 sequenceMask;
    const bool carriesSequence;
    qint64 lastNumber = -1;
};

struct Options
{
    double seconds = defaultSeconds;
    double ceilingSeconds = -1; // negative: as long as the run, at most longestCeiling
    double maxRssMb = 2048;
    QString csvPath;
    QString rssLogPath;
    bool soak = false;
    QString rowLimit; // empty: the window's default
    qint64 backlog = 0;
    int identifiers = 0;
    int dbcMessages = 0;
    bool decodedColumn = false;
    bool idView = false;
    QString filter;
    int plotSignals = 0;
};

struct Result
{
    QString load;
    QString traffic;
    double seconds = 0;
    quint64 offered = 0;
    qint64 hub = 0;
    qint64 numbered = 0;
    qint64 lost = 0;
    quint64 orderErrors = 0;
    quint64 rowMismatches = 0;
    double framesPerSecond = 0;
    Percentiles tick;
    Percentiles paint;
    double cpu = 0;
    double cpuPer1000 = 0;
    double corePct = 0;
    double listenPct = 0;
    double hubPct = 0; // the hub has no thread of its own: its work counts in listenPct
    double guiPct = 0;
    double rssWarm = 0;
    double rssEnd = 0;
    double rssPeak = 0;
    double rssGrowthPct = 0;
    double ceilingSeconds = 0;
    quint64 ceilingFrames = 0;
    double ceilingPer1000 = 0;
    double ratio = 0;
    QStringList notes;
    QString rowLimit;
    double guiGapMs = 0;
    int rowsKept = 0;
    double bytesPerKeptFrame = 0;
    double backlogFillSeconds = 0;
    double backlogDrainSeconds = 0;
    QString view;
};

// The GUI thread sleeps, as behind a long stall, until the hub has queued the backlog and
// the device is closed; then the window takes it all while the heartbeat runs.
void runBacklog(const Options &options, ReadTally *tally, FrameLogProbe *probe,
                Heartbeat *heartbeat, Result *result)
{
    HandleThread *hub = HandleThread::instance();
    QCoreApplication::processEvents();
    const double rssBefore = statusMegabytes("VmRSS");
    const double cpuStart = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    readCap = quint64(options.backlog);
    openBus();
    while (hub->getReceiveCount() < options.backlog && wall.elapsed() < drainTimeout * 1000)
        QThread::msleep(1);
    ListenThread::instance()->closeDevice();
    const qint64 read = qint64(tally->frames.load());
    while (hub->getReceiveCount() < read && wall.elapsed() < drainTimeout * 1000)
        QThread::msleep(1);
    result->backlogFillSeconds = secondsOf(wall);
    const double rssFull = statusMegabytes("VmRSS");

    QElapsedTimer drain;
    drain.start();
    heartbeat->start();
    const bool drained = waitUntil([&] { return probe->numbered() >= read; }, drainTimeout);
    result->backlogDrainSeconds = secondsOf(drain);
    // A beat or two more, so that the repaint after the last slice counts too.
    waitUntil([&] { return drain.elapsed() > result->backlogDrainSeconds * 1000 + 300; }, 1);
    result->guiGapMs = heartbeat->stop();
    if (!drained)
        result->notes << QStringLiteral("backlog not numbered after %1 s").arg(drainTimeout);

    const double cpu = processCpuSeconds() - cpuStart;
    result->seconds = secondsOf(wall);
    result->offered = tally->offered();
    result->hub = hub->getReceiveCount();
    result->numbered = probe->numbered();
    result->lost = qint64(result->offered) - result->numbered;
    result->orderErrors = tally->disorder;
    result->rowMismatches = probe->mismatches;
    result->framesPerSecond = double(result->hub) / result->backlogFillSeconds;
    result->tick = percentiles(probe->tickTimes);
    result->paint = percentiles(probe->paintTimes);
    result->cpu = cpu;
    result->cpuPer1000 = result->hub > 0 ? 1000 * cpu / double(result->hub) * 1000 : 0;
    result->rowsKept = receiveModel->rowCount();
    result->rssWarm = rssFull;
    result->rssEnd = statusMegabytes("VmRSS");
    result->rssPeak = std::max(rssFull, statusMegabytes("VmHWM"));
    result->bytesPerKeptFrame = result->rowsKept > 0
            ? (result->rssEnd - rssBefore) * 1048576 / result->rowsKept : 0;
    if (tally->gaps > 0)
        result->notes << QStringLiteral("%1 frames missing at the library").arg(tally->gaps);
}

QString viewName(const Options &options)
{
    QString name = options.idView ? QStringLiteral("per-identifier view")
                                  : QStringLiteral("frame log");
    if (options.decodedColumn)
        name += QStringLiteral(" + decoded column");
    if (options.plotSignals > 0)
        name += QStringLiteral(" + plot of %1 signals").arg(options.plotSignals);
    if (options.identifiers > 0)
        name += QStringLiteral(", %1 identifiers").arg(options.identifiers);
    if (options.dbcMessages > 0)
        name += QStringLiteral(", %1-message DBC").arg(options.dbcMessages);
    if (options.dbcMessages > 0 && options.idView)
        name += QStringLiteral(", 22 rows expanded");
    if (!options.filter.isEmpty())
        name += QStringLiteral(", filter %1").arg(options.filter);
    return name;
}

// Sets the window up as the options ask, through its own menus. False when the database
// did not load.
bool setUpView(MainWindow *window, const Options &options, const QTemporaryDir &scratch)
{
    if (options.dbcMessages > 0) {
        const QString path = scratch.filePath(QStringLiteral("generated.dbc"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)
            || !file.write(BenchUtil::generatedDbc(options.dbcMessages))) {
            qWarning("cannot write %s", qPrintable(path));
            return false;
        }
        file.close();
        auto databaseMenu = window->findChild<DatabaseMenu *>();
        databaseMenu->loadFiles({ path });
        while (databaseMenu->isLoading())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (window->findChild<MonitorContext *>()->database().messages().size()
            != options.dbcMessages) {
            qWarning("the generated database did not load");
            return false;
        }
    }
    floodIdentifiers = options.identifiers;
    if (options.decodedColumn)
        window->findChild<QAction *>(QStringLiteral("actionShowDecodedColumn"))->trigger();
    if (options.idView)
        window->findChild<QAction *>(QStringLiteral("actionIdView"))->trigger();
    if (!options.filter.isEmpty()) {
        auto *field = window->findChild<QLineEdit *>(QStringLiteral("txtFilter"));
        field->setText(options.filter);
        QMetaObject::invokeMethod(field, "returnPressed");
        if (field->property("inputRefused").toBool()) {
            qWarning("the filter was refused");
            return false;
        }
    }
    if (options.plotSignals > 0) {
        window->findChild<QAction *>(QStringLiteral("actionPlotWindow"))->trigger();
        auto *plot = window->findChild<PlotWindow *>();
        plot->resize(1280, 720);
        const int identifiers = std::max(options.identifiers, 1);
        for (int k = 0; k < options.plotSignals; ++k) {
            const int id = k % identifiers;
            const QString field = QStringLiteral("%1[%2|16@1+]")
                                      .arg(id, 3, 16, QLatin1Char('0'))
                                      .arg(16 * (k / identifiers % 4));
            if (!plot->addSignal(field, k < identifiers ? -1 : id)) {
                qWarning("cannot plot %s", qPrintable(field));
                return false;
            }
        }
    }
    return true;
}

// Counts the paintings of the plot's charts.
class RedrawCounter : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// The user's clicks on the per-identifier view once its rows are there: the first three,
// in sight, and every hundredth row after them.
void expandIdViewRows(MainWindow *window, Result *result)
{
    auto *view = window->findChild<QTreeView *>(QStringLiteral("tbIdView"));
    QAbstractItemModel *model = view->model();
    const int rows = model->rowCount();
    int expanded = 0;
    QElapsedTimer timer;
    timer.start();
    for (int row = 0; row < rows && expanded < 22; row += expanded < 3 ? 1 : 100) {
        view->expand(model->index(row, 0));
        ++expanded;
    }
    // The window measures its signal columns anew at every opening.
    result->notes << QStringLiteral("%1 of %2 rows expanded, %3 ms a row")
                         .arg(expanded).arg(rows)
                         .arg(double(timer.nsecsElapsed()) / 1e6 / std::max(expanded, 1), 0,
                              'f', 1);
}

void runPipeline(const Load &load, const Options &options, Result *result)
{
    MainWindow window;
    window.resize(1680, 622);
    window.show();
    if (!options.rowLimit.isEmpty()) {
        window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"))
                ->setText(options.rowLimit);
        QMetaObject::invokeMethod(&window, "on_txtMaxRowCount_editingFinished");
    }
    QTemporaryDir scratch;
    result->view = viewName(options);
    if (!setUpView(&window, options, scratch))
        return;
    RedrawCounter redraws;
    PlotWindow *plot = options.plotSignals > 0 ? window.findChild<PlotWindow *>() : nullptr;
    for (int i = 0; plot && i < plot->chartCount(); ++i)
        plot->chart(i)->canvas()->installEventFilter(&redraws);
    FrameLogProbe probe(&window, load.dataBytes);
    ReadTally tally(load.dataBytes);
    listenTally = &tally;
    HandleThread *hub = HandleThread::instance();

    QFile rssLog(options.rssLogPath);
    if (!options.rssLogPath.isEmpty()) {
        if (rssLog.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            rssLog.write("seconds,rss_mb,frames_hub\n");
        else
            result->notes << QStringLiteral("cannot write %1").arg(options.rssLogPath);
    }

    Heartbeat heartbeat;
    if (options.backlog > 0) {
        runBacklog(options, &tally, &probe, &heartbeat, result);
        listenTally = nullptr;
        return;
    }

    const double warmUp = std::min(longestWarmUp, options.seconds / 10);
    bool warm = false;
    bool capped = false;
    QEventLoop loop;
    QElapsedTimer wall;
    QTimer sampler;
    sampler.setInterval(warmUp < 1 ? int(warmUp * 1000) + 1 : 1000);
    QObject::connect(&sampler, &QTimer::timeout, &loop, [&] {
        const double rss = statusMegabytes("VmRSS");
        const double at = secondsOf(wall);
        if (rssLog.isOpen()) {
            rssLog.write(QStringLiteral("%1,%2,%3\n").arg(at, 0, 'f', 1).arg(rss, 0, 'f', 1)
                         .arg(hub->getReceiveCount()).toLatin1());
        }
        if (!warm && at >= warmUp) {
            warm = true;
            result->rssWarm = rss;
        }
        if (warm)
            result->rssGrowthPct = std::max(result->rssGrowthPct,
                                            100 * (rss - result->rssWarm) / result->rssWarm);
        result->rssEnd = rss;
        result->rssPeak = std::max(result->rssPeak, rss);
        if (rss > options.maxRssMb) {
            capped = true;
            result->notes << QStringLiteral("stopped after %1 s at %2 MB resident")
                                 .arg(at, 0, 'f', 1).arg(rss, 0, 'f', 0);
            loop.quit();
        }
    });
    QTimer::singleShot(int(options.seconds * 1000), &loop, &QEventLoop::quit);
    if (options.idView && options.dbcMessages > 0) {
        // After the warm-up every identifier has a row.
        QTimer::singleShot(int(warmUp * 1000), &window,
                           [&window, result] { expandIdViewRows(&window, result); });
    }

    const double cpuStart = processCpuSeconds();
    const double guiStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    wall.start();
    sampler.start();
    heartbeat.start();
    const int redrawsBefore = redraws.count;
    openBus();
    loop.exec();
    sampler.stop();
    result->guiGapMs = heartbeat.stop();

    const double runSeconds = secondsOf(wall);
    if (plot) {
        result->notes << QStringLiteral("%1 chart redraws a second, %2 samples plotted")
                             .arg(double(redraws.count - redrawsBefore) / runSeconds
                                      / plot->chartCount(), 0, 'f', 1)
                             .arg([plot] {
                                 qint64 samples = 0;
                                 for (int i = 0; i < plot->signalCount(); ++i)
                                     samples += plot->seriesAt(i).size();
                                 return samples;
                             }());
    }
    const double listenCpu = threadCpuSeconds(listenThreadHandle);
    const double guiCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - guiStart;
    ListenThread::instance()->closeDevice();
    listenTally = nullptr;

    // Everything read must still reach the hub and be numbered by the frame log.
    const qint64 read = qint64(tally.frames.load());
    const auto drained = [&] {
        return hub->getReceiveCount() >= read && probe.numbered() >= read;
    };
    waitUntil(drained, drainTimeout);
    if (!drained())
        result->notes << QStringLiteral("not all frames numbered %1 s after closing")
                             .arg(drainTimeout);
    const double totalSeconds = secondsOf(wall);
    const double cpu = processCpuSeconds() - cpuStart;
    if (totalSeconds - runSeconds > 1) {
        result->notes << QStringLiteral("%1 s to drain the queues after closing")
                             .arg(totalSeconds - runSeconds, 0, 'f', 1);
    }

    result->seconds = runSeconds;
    result->offered = tally.offered();
    result->hub = hub->getReceiveCount();
    result->numbered = probe.numbered();
    result->lost = qint64(result->offered) - result->numbered;
    result->orderErrors = tally.disorder;
    result->rowMismatches = probe.mismatches;
    result->framesPerSecond = double(result->hub) / runSeconds;
    result->tick = percentiles(probe.tickTimes);
    result->paint = percentiles(probe.paintTimes);
    result->cpu = cpu;
    result->cpuPer1000 = result->hub > 0 ? 1000 * cpu / double(result->hub) * 1000 : 0;
    result->corePct = 100 * cpu / totalSeconds;
    result->listenPct = 100 * listenCpu / runSeconds;
    result->guiPct = 100 * guiCpu / runSeconds;
    // The kernel brings the high-water mark up to date only now and then.
    result->rssPeak = std::max(result->rssPeak, statusMegabytes("VmHWM"));
    result->rowsKept = receiveModel->rowCount();
    if (tally.gaps > 0)
        result->notes << QStringLiteral("%1 frames missing at the library").arg(tally.gaps);
    if (!warm)
        result->rssWarm = result->rssEnd;
    if (capped && load.busRate)
        result->notes << QStringLiteral("a bus load must not reach the memory cap");
}

// The same library read in a tight loop on this thread, no Qt in between.
void runCeiling(const Load &load, double seconds, Result *result)
{
    if (seconds <= 0)
        return;
    const ReadFunction read = libraryRead();
    const ReadFdFunction readFd = load.dataKbps ? libraryReadFd() : nullptr;
    if ((load.dataKbps ? canable_initFD(0, busKbps, load.dataKbps) : canable_initDLL(0, busKbps))
        != 0) {
        result->notes << QStringLiteral("ceiling: the simulated bus did not open");
        return;
    }
    ReadTally tally(load.dataBytes);
    CanFrameRecord record = {};
    CanFdFrameRecord fdRecord = {};
    const double cpuStart = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    const qint64 limit = qint64(seconds * 1e9);
    do {
        for (int i = 0; i < 64; ++i) {
            if (readFd) {
                if (readFd(0, &fdRecord) == 0)
                    tally.count(fdRecord);
            } else if (read(0, &record, 1) == 0) {
                tally.count(record);
            }
        }
    } while (wall.nsecsElapsed() < limit);
    const double cpu = processCpuSeconds() - cpuStart;
    result->ceilingSeconds = secondsOf(wall);
    canable_freeDLL(0);

    result->ceilingFrames = tally.frames;
    if (tally.frames > 0)
        result->ceilingPer1000 = 1000 * cpu / double(tally.frames) * 1000;
    if (result->ceilingPer1000 > 0)
        result->ratio = result->cpuPer1000 / result->ceilingPer1000;
    if (tally.gaps > 0 || tally.disorder > 0)
        result->notes << QStringLiteral("ceiling: %1 frames missing, %2 out of order")
                             .arg(tally.gaps).arg(tally.disorder);
}

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString csvRow(const Result &r)
{
    QString note = r.notes.join(QStringLiteral("; "));
    note.replace(QLatin1Char('"'), QLatin1Char('\''));
    const QStringList fields = {
        r.load, QStringLiteral("\"%1\"").arg(r.traffic), fixed(r.seconds, 1),
        QString::number(r.offered),
        QString::number(r.hub), QString::number(r.numbered), QString::number(r.lost),
        QString::number(r.orderErrors), QString::number(r.rowMismatches),
        fixed(r.framesPerSecond, 0), fixed(r.tick.p50, 2),
        fixed(r.tick.p99, 2), fixed(r.tick.max, 2), fixed(r.paint.p50, 2),
        fixed(r.paint.p99, 2), fixed(r.paint.max, 2), fixed(r.cpu, 2),
        fixed(r.cpuPer1000, 3), fixed(r.corePct, 1), fixed(r.listenPct, 1),
        fixed(r.hubPct, 1), fixed(r.guiPct, 1), fixed(r.rssWarm, 1), fixed(r.rssEnd, 1),
        fixed(r.rssPeak, 1), fixed(r.rssGrowthPct, 1), fixed(r.ceilingSeconds, 1),
        QString::number(r.ceilingFrames), fixed(r.ceilingPer1000, 4), fixed(r.ratio, 1),
        QStringLiteral("\"%1\"").arg(note), r.rowLimit, fixed(r.guiGapMs, 1),
        QString::number(r.rowsKept), fixed(r.bytesPerKeptFrame, 1),
        fixed(r.backlogFillSeconds, 2), fixed(r.backlogDrainSeconds, 2),
        QStringLiteral("\"%1\"").arg(r.view),
    };
    return fields.join(QLatin1Char(','));
}

void appendCsv(const QString &path, const Result &result)
{
    QFile file(path);
    if (!file.open(QIODevice::Append | QIODevice::Text)) {
        qWarning("cannot write %s", qPrintable(path));
        return;
    }
    if (file.size() == 0)
        file.write(QByteArray(csvHeader) + '\n');
    file.write(csvRow(result).toUtf8() + '\n');
}

void printResult(const Result &r)
{
    QTextStream out(stdout);
    out << "load " << r.load << " (" << r.traffic << " at " << busKbps << " kbit/s), "
        << fixed(r.seconds, 1) << " s\n"
        << "  frames   offered " << r.offered << ", hub " << r.hub << ", numbered "
        << r.numbered << ", lost " << r.lost << ", out of order " << r.orderErrors
        << ", rows misnumbered " << r.rowMismatches << "; "
        << fixed(r.framesPerSecond, 0) << " frames/s\n"
        << "  tick     p50 " << fixed(r.tick.p50, 2) << " ms, p99 " << fixed(r.tick.p99, 2)
        << " ms, max " << fixed(r.tick.max, 2) << " ms; repaint p99 "
        << fixed(r.paint.p99, 2) << " ms, max " << fixed(r.paint.max, 2) << " ms\n"
        << "  CPU      " << fixed(r.cpu, 2) << " s, " << fixed(r.cpuPer1000, 3)
        << " ms per 1,000 frames, " << fixed(r.corePct, 1) << "% of one core (listen "
        << fixed(r.listenPct, 1) << "%, hub " << fixed(r.hubPct, 1) << "%, GUI "
        << fixed(r.guiPct, 1) << "%)\n"
        << "  memory   resident " << fixed(r.rssWarm, 1) << " MB after warm-up, "
        << fixed(r.rssEnd, 1) << " MB at the end, peak " << fixed(r.rssPeak, 1)
        << " MB, growth " << fixed(r.rssGrowthPct, 1) << "%\n"
        << "  window   row limit " << r.rowLimit << ", " << r.rowsKept
        << " rows kept, longest GUI gap " << fixed(r.guiGapMs, 1) << " ms; " << r.view
        << '\n';
    if (r.backlogFillSeconds > 0) {
        out << "  backlog  queued in " << fixed(r.backlogFillSeconds, 2) << " s while the GUI"
            << " slept, taken in " << fixed(r.backlogDrainSeconds, 2) << " s; resident "
            << fixed(r.rssWarm, 1) << " MB when queued, " << fixed(r.bytesPerKeptFrame, 1)
            << " bytes per kept frame once taken\n";
    }
    if (r.ceilingSeconds > 0) {
        out << "  ceiling  " << r.ceilingFrames << " frames in " << fixed(r.ceilingSeconds, 1)
            << " s, " << fixed(r.ceilingPer1000, 4) << " ms CPU per 1,000 frames; pipeline "
            << fixed(r.ratio, 1) << " times that\n";
    }
    for (const QString &note : r.notes)
        out << "  note     " << note << '\n';
    out << '\n';
}

const Load *findLoad(const QString &name)
{
    for (const Load &load : loads) {
        if (name == QLatin1String(load.name))
            return &load;
    }
    return nullptr;
}

int runLoad(QApplication &app, const Load &load, const Options &options)
{
    QFile styleFile(QStringLiteral(":/style.qss"));
    if (styleFile.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromUtf8(styleFile.readAll()));

    Result result;
    result.load = options.soak ? QStringLiteral("soak %1").arg(load.name)
                               : QString::fromLatin1(load.name);
    if (options.backlog > 0)
        result.load = QStringLiteral("backlog %1").arg(options.backlog);
    result.rowLimit = options.rowLimit.isEmpty() ? QStringLiteral("100") : options.rowLimit;
    result.traffic = QString::fromLatin1(load.traffic);
    if (load.dataKbps)
        result.traffic += QStringLiteral(" data %1 kbit/s").arg(load.dataKbps);
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", load.traffic);
    openDataKbps = load.dataKbps;

    bool opened = false;
    QObject::connect(ListenThread::instance(), &ListenThread::openSuccess, &app,
                     [&opened] { opened = true; });
    runPipeline(load, options, &result);
    if (!opened) {
        qWarning("the simulated bus did not open");
        return 2;
    }
    const double ceiling = options.ceilingSeconds >= 0
        ? options.ceilingSeconds
        : (options.soak || options.backlog > 0 ? 0 : std::min(options.seconds, longestCeiling));
    runCeiling(load, ceiling, &result);

    printResult(result);
    if (!options.csvPath.isEmpty())
        appendCsv(options.csvPath, result);
    const bool intact = result.lost == 0 && result.orderErrors == 0
        && result.rowMismatches == 0;
    return (load.busRate || options.backlog > 0) && !intact ? 1 : 0;
}

// The fields of one line as csvRow() writes it: quoted fields hold no quotes.
QStringList csvFields(const QString &line)
{
    QStringList fields(QString{});
    bool quoted = false;
    for (const QChar c : line) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (c == QLatin1Char(',') && !quoted)
            fields.append(QString());
        else
            fields.last().append(c);
    }
    return fields;
}

// Runs each load in a child process of this program and prints one line per load.
int runAll(const QStringList &loadNames, const QStringList &childArguments, QString csvPath)
{
    QTemporaryDir scratch;
    if (csvPath.isEmpty())
        csvPath = scratch.filePath(QStringLiteral("results.csv"));
    QFile::remove(csvPath);

    int status = 0;
    for (const QString &name : loadNames) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{ QStringLiteral("--load"), name, QStringLiteral("--csv"),
                                 csvPath } + childArguments);
        if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit) {
            qWarning("load %s: the benchmark process crashed", qPrintable(name));
            status = std::max(status, 2);
        } else {
            status = std::max(status, child.exitCode());
        }
    }

    QFile csv(csvPath);
    if (csv.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream out(stdout);
        out << "load       frames/s   lost  tick p99 ms  CPU ms/1000  core %  growth %\n";
        const QStringList lines = QString::fromUtf8(csv.readAll()).split(QLatin1Char('\n'));
        for (const QString &line : lines.mid(1)) {
            const QStringList f = csvFields(line);
            if (f.size() < 26)
                continue;
            out << f.at(0).leftJustified(10) << ' ' << f.at(9).rightJustified(8) << ' '
                << f.at(6).rightJustified(6) << ' ' << f.at(11).rightJustified(12) << ' '
                << f.at(17).rightJustified(12) << ' ' << f.at(18).rightJustified(7) << ' '
                << f.at(25).rightJustified(9) << '\n';
        }
    }
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The same event dispatcher as the program (app/main.cpp).
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Receive pipeline benchmark"));
    parser.addHelpOption();
    const QCommandLineOption loadOption(QStringLiteral("load"),
        QStringLiteral("One load: 1000, 9009, 21277 or unlimited (default: all)."),
        QStringLiteral("load"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
        QStringLiteral("Duration of each load (default 30, 600 for the soak)."),
        QStringLiteral("seconds"));
    const QCommandLineOption soakOption(QStringLiteral("soak"),
        QStringLiteral("Run 9,009 frames/s for 10 minutes, without the ceiling."));
    const QCommandLineOption ceilingOption(QStringLiteral("ceiling-seconds"),
        QStringLiteral("Duration of the bare read loop (default: the run's, at most 10)."),
        QStringLiteral("seconds"));
    const QCommandLineOption csvOption(QStringLiteral("csv"),
        QStringLiteral("Append one line of results per load to this file."),
        QStringLiteral("file"));
    const QCommandLineOption rssLogOption(QStringLiteral("rss-log"),
        QStringLiteral("Write resident memory once a second to this file (one load only)."),
        QStringLiteral("file"));
    const QCommandLineOption maxRssOption(QStringLiteral("max-rss-mb"),
        QStringLiteral("Stop a load early when resident memory passes this (default 2048)."),
        QStringLiteral("megabytes"));
    const QCommandLineOption rowLimitOption(QStringLiteral("row-limit"),
        QStringLiteral("Text typed into the row limit field (default: the window's 100)."),
        QStringLiteral("rows"));
    const QCommandLineOption backlogOption(QStringLiteral("backlog"),
        QStringLiteral("Queue this many frames of the unthrottled flood while the GUI thread "
                       "sleeps, then time how the window takes them."),
        QStringLiteral("frames"));
    const QCommandLineOption dbcOption(QStringLiteral("dbc-messages"),
        QStringLiteral("Load a generated database of this many messages and give the "
                       "flood's frames their identifiers."),
        QStringLiteral("messages"));
    const QCommandLineOption identifiersOption(QStringLiteral("identifiers"),
        QStringLiteral("Give the flood's frames this many identifiers in turn, and 8 data "
                       "bytes to 0-byte frames."),
        QStringLiteral("count"));
    const QCommandLineOption decodedOption(QStringLiteral("decoded-column"),
        QStringLiteral("Show the frame log's decoded column."));
    const QCommandLineOption idViewOption(QStringLiteral("id-view"),
        QStringLiteral("Show the per-identifier view, with a database 22 rows expanded."));
    const QCommandLineOption plotOption(QStringLiteral("plot"),
        QStringLiteral("Open the plot window with this many 16-bit fields plotted."),
        QStringLiteral("signals"));
    const QCommandLineOption filterOption(QStringLiteral("filter"),
        QStringLiteral("Apply this expression as the frame log's filter."),
        QStringLiteral("expression"));
    const QCommandLineOption dataBitrateOption(QStringLiteral("data-bitrate"),
        QStringLiteral("Data bit rate of an FD load in kbit/s (default 8000)."),
        QStringLiteral("kbps"));
    parser.addOptions({ loadOption, secondsOption, soakOption, ceilingOption, csvOption,
                        rssLogOption, maxRssOption, rowLimitOption, backlogOption, dbcOption,
                        identifiersOption, decodedOption, idViewOption, filterOption,
                        dataBitrateOption, plotOption });
    parser.process(arguments);

    Options options;
    options.soak = parser.isSet(soakOption);
    options.seconds = options.soak ? soakSeconds : defaultSeconds;
    if (parser.isSet(secondsOption))
        options.seconds = std::max(0.1, parser.value(secondsOption).toDouble());
    if (parser.isSet(ceilingOption))
        options.ceilingSeconds = std::max(0.0, parser.value(ceilingOption).toDouble());
    if (parser.isSet(maxRssOption))
        options.maxRssMb = std::max(64.0, parser.value(maxRssOption).toDouble());
    options.csvPath = parser.value(csvOption);
    options.rssLogPath = parser.value(rssLogOption);
    options.rowLimit = parser.value(rowLimitOption);
    options.backlog = std::max(0LL, parser.value(backlogOption).toLongLong());
    options.dbcMessages = std::clamp(parser.value(dbcOption).toInt(), 0, 0x800);
    options.identifiers = parser.isSet(identifiersOption)
        ? std::clamp(parser.value(identifiersOption).toInt(), 0, 0x800)
        : options.dbcMessages;
    options.decodedColumn = parser.isSet(decodedOption);
    options.idView = parser.isSet(idViewOption);
    options.filter = parser.value(filterOption);
    options.plotSignals = std::clamp(parser.value(plotOption).toInt(), 0, 64);

    QString loadName = parser.value(loadOption);
    if (loadName.isEmpty() && options.soak)
        loadName = QStringLiteral("9009");
    if (loadName.isEmpty() && options.backlog > 0)
        loadName = QStringLiteral("unlimited");
    if (loadName.isEmpty()) {
        QCoreApplication app(argc, argv);
        QStringList childArguments = { QStringLiteral("--seconds"),
                                       QString::number(options.seconds) };
        if (parser.isSet(ceilingOption))
            childArguments << QStringLiteral("--ceiling-seconds")
                           << QString::number(options.ceilingSeconds);
        if (parser.isSet(maxRssOption))
            childArguments << QStringLiteral("--max-rss-mb")
                           << QString::number(options.maxRssMb);
        if (parser.isSet(rowLimitOption))
            childArguments << QStringLiteral("--row-limit") << options.rowLimit;
        if (options.dbcMessages > 0)
            childArguments << QStringLiteral("--dbc-messages")
                           << QString::number(options.dbcMessages);
        if (options.identifiers > 0)
            childArguments << QStringLiteral("--identifiers")
                           << QString::number(options.identifiers);
        if (options.decodedColumn)
            childArguments << QStringLiteral("--decoded-column");
        if (options.idView)
            childArguments << QStringLiteral("--id-view");
        if (!options.filter.isEmpty())
            childArguments << QStringLiteral("--filter") << options.filter;
        if (options.plotSignals > 0)
            childArguments << QStringLiteral("--plot") << QString::number(options.plotSignals);
        QStringList names;
        for (const Load &load : loads)
            names << QString::fromLatin1(load.name);
        return runAll(names, childArguments, options.csvPath);
    }

    const Load *found = findLoad(loadName);
    if (!found) {
        QTextStream(stderr) << "unknown load \"" << loadName << "\"\n";
        return 2;
    }
    Load load = *found;
    if (load.dataKbps && parser.isSet(dataBitrateOption))
        load.dataKbps = std::clamp(parser.value(dataBitrateOption).toUInt(), 1000u, 15000u);
    QApplication app(argc, argv);
    return runLoad(app, load, options);
}
