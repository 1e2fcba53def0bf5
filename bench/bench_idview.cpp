// Measures the per-identifier view's 200 ms tick: the model's update with the batch of a
// full 1 Mbit/s classic CAN bus (21,277 frames/s, 4,255 frames a tick) over a shown table,
// timed apart from the repaint it schedules, and the process's memory afterwards.
// The clock of the model is simulated, so the run is as fast as the machine allows.
//
// Usage: bench_idview [ticks] (default 600; the 100,000-identifier runs use more ticks,
// enough for every row to fill its window of cycles)

#include "benchutil.h"
#include "canmessage.h"
#include "idbytedelegate.h"
#include "idviewmodel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QRandomGenerator>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace BenchUtil;

constexpr int framesPerSecond = 21277;
constexpr int framesPerTick = framesPerSecond / 5;

qint64 statusKb(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

struct Scenario
{
    const char *name;
    int ids;
    bool random; // a fuzzing sender: identifiers drawn at random, extended
    int sortColumn;
    int ticks;
};

void run(const Scenario &s)
{
    qint64 now = 0;
    const qint64 rssBefore = statusKb("VmRSS:");
    auto model = new IdViewModel(nullptr, IdStatistics::defaultMaxRows, [&now] { return now; });
    QTableView view;
    view.setModel(model);
    view.setItemDelegateForColumn(IdViewModel::DataColumn, new IdByteDelegate(&view));
    view.verticalHeader()->hide();
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.verticalHeader()->setDefaultSectionSize(23);
    view.resize(1200, 700);
    view.show();
    model->sort(s.sortColumn, Qt::AscendingOrder);
    QApplication::processEvents();

    QRandomGenerator random(42);
    std::vector<double> ticks;
    std::vector<double> paints;
    ticks.reserve(size_t(s.ticks));
    paints.reserve(size_t(s.ticks));
    qint64 frame = 0;
    QList<CanMessage> batch;
    batch.reserve(framesPerTick);
    for (int t = 0; t < s.ticks; ++t) {
        batch.clear();
        for (int i = 0; i < framesPerTick; ++i, ++frame) {
            CanMessage m;
            m.id = s.random ? random.bounded(s.ids) : quint32(frame % s.ids);
            m.extended = s.random;
            m.dlc = 8;
            const quint64 counter = quint64(frame / s.ids);
            m.data = QByteArray(reinterpret_cast<const char *>(&counter), 8);
            m.timestampUs = 1700000000000000 + frame * 1000000 / framesPerSecond;
            batch.append(m);
        }
        now += 200;
        QElapsedTimer timer;
        timer.start();
        model->update(batch);
        ticks.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        QApplication::processEvents();
        paints.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    const qint64 rssAfter = statusKb("VmRSS:");
    const Percentiles tick = percentiles(ticks);
    const Percentiles paint = percentiles(paints);
    std::printf("| %s | %d | %d | %lld | %.2f | %.2f | %.2f | %.2f | %.2f | %lld |\n", s.name,
                s.ticks, model->rowCount(), static_cast<long long>(frame),
                tick.p50, tick.p99, tick.max, paint.p50, paint.p99,
                static_cast<long long>((rssAfter - rssBefore) / 1024));
    std::fflush(stdout);
    view.setModel(nullptr);
    delete model;
}

}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int ticks = argc > 1 ? std::max(1, atoi(argv[1])) : 600;
    // Enough ticks for 100,000 rows to see 101 frames each: a full window everywhere.
    const int fillTicks = std::max(ticks, 100000 * 101 / framesPerTick + 1);
    const Scenario scenarios[] = {
        { "2,000 ids, sorted by identifier", 2000, false, IdViewModel::IdColumn, ticks },
        { "2,000 ids, sorted by count", 2000, false, IdViewModel::CountColumn, ticks },
        { "100,000 random ids, by identifier", 100000, true, IdViewModel::IdColumn,
          argc > 1 ? ticks : fillTicks },
        { "100,000 random ids, by mean cycle", 100000, true, IdViewModel::MeanColumn,
          argc > 1 ? ticks : fillTicks / 4 },
    };
    std::printf("| load (21,277 frames/s) | ticks | rows | frames | tick p50 ms | tick p99 ms "
                "| tick max ms | repaint p50 ms | repaint p99 ms | RSS growth MiB |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Scenario &s : scenarios)
        run(s);
    std::printf("peak RSS of the process: %lld MiB\n",
                static_cast<long long>(statusKb("VmHWM:") / 1024));
    return 0;
}
