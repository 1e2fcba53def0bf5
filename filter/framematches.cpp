#include "filter/framematches.h"

FrameMatches::FrameMatches(const FrameLogModel *log, QObject *parent)
    : QObject(parent)
    , log(log)
{
    // Numbers start again after a clear, so what a scan found before it means nothing.
    connect(log, &QAbstractItemModel::rowsRemoved, this, [this] {
        if (this->log->rowCount() == 0)
            ++clears;
    });
    connect(log, &QAbstractItemModel::modelReset, this, [this] { ++clears; });
}

FrameMatches::~FrameMatches()
{
    cancel();
}

bool FrameMatches::collect(FrameScan::Test newTest, FrameNumberIndex already, qint64 from)
{
    cancel();
    test = std::move(newTest);
    found = std::move(already);
    next = from;
    clock.start();
    return complete();
}

void FrameMatches::cancel()
{
    delete scan;
    scan = nullptr;
}

double FrameMatches::progress() const
{
    if (!scan || scan->rowsTotal() == 0)
        return 0;
    return double(scan->rowsDone()) / scan->rowsTotal();
}

FrameNumberIndex FrameMatches::takeResult(qint64 *after)
{
    *after = next;
    return std::move(found);
}

bool FrameMatches::complete()
{
    const int rows = log->rowCount();
    const qint64 first = rows > 0 ? log->number(0) : 0;
    if (rows == 0)
        found.clear();
    else
        found.dropBefore(first);
    const qint64 left = next < first ? rows : first + rows - next;
    if (left > inlineRows) {
        startScan();
        return false;
    }
    for (qint64 number : FrameScan::matchNewRows(*log, test, &next))
        found.append(number);
    return true;
}

void FrameMatches::startScan()
{
    const int rows = log->rowCount();
    const qint64 first = rows > 0 ? log->number(0) : 0;
    const int firstRow = int(std::max<qint64>(0, next - first));
    scan = new FrameScan(log->snapshot(rows), firstRow, test, false, this);
    scanClears = clears;
    connect(scan, &FrameScan::finished, this, &FrameMatches::scanFinished);
    scan->start();
}

void FrameMatches::scanFinished(bool done)
{
    FrameScan *ended = scan;
    scan = nullptr;
    ended->deleteLater();
    if (!done)
        return;
    if (scanClears != clears) {
        found.clear();
        next = -1;
    } else {
        FrameNumberIndex more = ended->takeResult();
        if (found.isEmpty()) {
            found = std::move(more);
        } else {
            for (int i = 0; i < more.size(); ++i)
                found.append(more.at(i));
        }
        if (ended->endNumber() >= 0)
            next = ended->endNumber();
    }
    if (complete())
        emit finished();
}
