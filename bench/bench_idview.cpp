// Measures the per-identifier view's 200 ms tick: the model's update with the batch of a
// full 1 Mbit/s classic CAN bus (21,277 frames/s, 4,255 frames a tick) over a shown tree,
// set up as the window sets up its own, timed apart from the repaint it schedules, with
// the process's CPU time per tick and its memory afterwards. With a database of the 2,000
// messages seen, rows are named and some are expanded into their decoded signals.
// The clock of the model is simulated, so the run is as fast as the machine allows.
//
// Usage: bench_idview [ticks] (default 600; the 100,000-identifier runs use more ticks,
// enough for every row to fill its window of cycles)

#include "bench/benchdbc.h"
#include "bench/benchutil.h"
#include "dbc/dbcdatabase.h"
#include "device/canmessage.h"
#include "idview/idbytedelegate.h"
#include "idview/idviewmodel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QRandomGenerator>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace BenchUtil;

constexpr int framesPerSecond = 21277;
constexpr int framesPerTick = framesPerSecond / 5;
constexpr int ticksPerSecond = 5;

struct Scenario
{
    const char *name;
    int ids;
    bool random; // a fuzzing sender: identifiers drawn at random, extended
    int sortColumn;
    int ticks;
    const DbcDatabase *database;
    // Top-level rows expanded once they exist: the first ones, in sight, and then every
    // hundredth, out of sight, whose children the model keeps decoding all the same.
    int expandedInSight;
    int expandedOutOfSight;
};

// As the window's own tree: one row height, the byte delegate, sorting by the header.
void setUpLikeWindow(QTreeView *view, IdViewModel *model, int sortColumn)
{
    view->setModel(model);
    view->setItemDelegateForColumn(IdViewModel::DataColumn, new IdByteDelegate(view));
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setStyleSheet(QStringLiteral(
        "QTreeView::item:pressed, QTreeView::item:selected {"
        " background: rgb(0, 0, 255); color: rgb(255, 255, 255); }"));
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->header()->setStretchLastSection(false);
    view->header()->setSortIndicator(sortColumn, Qt::AscendingOrder);
    view->setSortingEnabled(true);
    view->resize(1200, 700);
    view->show();
}

// What the user and the window do once the first rows are there: rows opened by a click,
// then every column sized to the rows in sight. Returns the number of rows expanded, or -1
// when an expanded row shows no decoded value.
int expandRows(QTreeView *view, IdViewModel *model, const Scenario &s)
{
    const int rows = model->rowCount();
    for (int row = 0; row < std::min(rows, s.expandedInSight); ++row)
        view->expand(model->index(row, 0));
    for (int i = 1; i <= s.expandedOutOfSight && i * 100 < rows; ++i)
        view->expand(model->index(i * 100, 0));
    for (int column = 0; column < IdViewModel::ColumnCount; ++column)
        view->resizeColumnToContents(column);
    QApplication::processEvents();
    int expanded = 0;
    for (int row = 0; row < rows; ++row) {
        const QModelIndex parent = model->index(row, 0);
        if (!view->isExpanded(parent))
            continue;
        ++expanded;
        const QModelIndex value = model->index(0, IdViewModel::ValueColumn, parent);
        if (value.data().toString().isEmpty())
            return -1;
    }
    return expanded;
}

bool run(const Scenario &s)
{
    qint64 now = 0;
    const double rssBefore = residentMegabytes();
    auto model = new IdViewModel(nullptr, IdStatistics::defaultMaxRows, [&now] { return now; });
    model->setDatabase(s.database);
    QTreeView view;
    setUpLikeWindow(&view, model, s.sortColumn);
    QApplication::processEvents();

    QRandomGenerator random(42);
    std::vector<double> ticks;
    std::vector<double> paints;
    ticks.reserve(size_t(s.ticks));
    paints.reserve(size_t(s.ticks));
    qint64 frame = 0;
    QList<CanMessage> batch;
    batch.reserve(framesPerTick);
    double cpu = 0;
    int expandedRows = 0;
    for (int t = 0; t < s.ticks; ++t) {
        batch.clear();
        for (int i = 0; i < framesPerTick; ++i, ++frame) {
            CanMessage m;
            m.id = s.random ? random.bounded(s.ids) : quint32(frame % s.ids);
            m.extended = s.random;
            m.dlc = 8;
            const quint64 payload = benchPayload(quint64(frame / s.ids));
            m.data = QByteArray(reinterpret_cast<const char *>(&payload), 8);
            m.timestampUs = 1700000000000000 + frame * 1000000 / framesPerSecond;
            batch.append(m);
        }
        now += 1000 / ticksPerSecond;
        const double cpuStart = processCpuSeconds();
        QElapsedTimer timer;
        timer.start();
        model->update(batch);
        ticks.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        QApplication::processEvents();
        paints.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpu += processCpuSeconds() - cpuStart;
        // The user's clicks and the window's first sizing are no part of the ticks timed.
        if (t == 0)
            expandedRows = expandRows(&view, model, s);
    }
    const double rssAfter = residentMegabytes();
    const Percentiles tick = percentiles(ticks);
    const Percentiles paint = percentiles(paints);
    // A tick and its repaint come five times a second in the window.
    const double cpuPerTickMs = 1000 * cpu / s.ticks;
    std::printf("| %s | %d | %d | %d | %.2f / %.2f / %.2f | %.2f / %.2f | %.2f | %.1f "
                "| %.0f |\n",
                s.name, s.ticks, model->rowCount(), expandedRows, tick.p50, tick.p99,
                tick.max, paint.p50, paint.p99, cpuPerTickMs,
                cpuPerTickMs * ticksPerSecond / 10,
                rssAfter - rssBefore);
    std::fflush(stdout);
    view.setModel(nullptr);
    delete model;
    if (expandedRows < 0)
        std::fprintf(stderr, "%s: an expanded row shows no decoded signal\n", s.name);
    return expandedRows >= 0;
}

}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int ticks = argc > 1 ? std::max(1, atoi(argv[1])) : 600;
    // Enough ticks for 100,000 rows to see 101 frames each: a full window everywhere.
    const int fillTicks = std::max(ticks, 100000 * 101 / framesPerTick + 1);

    const QByteArray text = generatedDbc(2000);
    const DbcFile file = DbcReader::parse(text, QStringLiteral("generated.dbc"));
    DbcDatabase database;
    const int signalCount = BenchUtil::addGenerated(file, database);
    if (signalCount < 0)
        return 1;
    std::printf("database: %d messages, %d signals, %.0f KiB\n", database.messages().size(),
                signalCount, text.size() / 1024.0);

    const int id = IdViewModel::IdColumn;
    const int count = IdViewModel::CountColumn;
    const Scenario scenarios[] = {
        { "2,000 ids, by identifier", 2000, false, id, ticks, nullptr, 0, 0 },
        { "2,000 ids, by count", 2000, false, count, ticks, nullptr, 0, 0 },
        { "2,000 ids + DBC, by identifier, 3 expanded", 2000, false, id, ticks, &database, 3, 0 },
        { "2,000 ids + DBC, by identifier, 22 expanded", 2000, false, id, ticks, &database,
          3, 19 },
        { "2,000 ids + DBC, by count, 22 expanded", 2000, false, count, ticks, &database, 3,
          19 },
        { "100,000 random ids, by identifier", 100000, true, id, argc > 1 ? ticks : fillTicks,
          nullptr, 0, 0 },
        { "100,000 random ids, by mean cycle", 100000, true, IdViewModel::MeanColumn,
          argc > 1 ? ticks : fillTicks / 4, nullptr, 0, 0 },
    };
    std::printf("| Load (21,277 frames/s) | Ticks | Rows | Expanded | Tick p50 / p99 / max ms "
                "| Repaint p50 / p99 ms | CPU ms per tick | %% of one core | RSS growth MiB |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    bool decoded = true;
    for (const Scenario &s : scenarios)
        decoded = run(s) && decoded;
    std::printf("peak RSS of the process: %.0f MiB\n", peakResidentMegabytes());
    return decoded ? 0 : 1;
}
