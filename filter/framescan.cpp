#include "filter/framescan.h"

#include <QMetaObject>

namespace {

// Progress and cancellation are looked at this often: some 0.1 ms of scanning.
constexpr int reportRows = 16384;

} // namespace

FrameScan::FrameScan(FrameLogSnapshot snapshot, int firstRow, Test test, bool firstOnly,
                     QObject *parent)
    : QObject(parent)
    , snapshot(std::move(snapshot))
    , firstRow(firstRow)
    , test(std::move(test))
    , firstOnly(firstOnly)
    , total(std::max(0, this->snapshot.rowCount() - firstRow))
    , end(this->snapshot.rowCount() > 0
          ? this->snapshot.number(this->snapshot.rowCount() - 1) + 1 : -1)
{
}

FrameScan::~FrameScan()
{
    cancelled = true;
    if (thread.joinable())
        thread.join();
}

void FrameScan::start()
{
    thread = std::thread([this] { run(); });
}

void FrameScan::cancel()
{
    cancelled = true;
}

void FrameScan::run()
{
    const int rows = snapshot.rowCount();
    for (int row = firstRow; row < rows;) {
        const int stop = std::min(rows, row + reportRows);
        for (; row < stop; ++row) {
            if (test(snapshot.record(row), &snapshot.tails())) {
                result.append(snapshot.number(row));
                if (firstOnly)
                    break;
            }
        }
        done.store(row - firstRow, std::memory_order_relaxed);
        if (cancelled || (firstOnly && !result.isEmpty()))
            break;
    }
    // Queued to this object: dropped if it is deleted first, whose destructor joins. Posted
    // by name so that the toolkit, not this thread, builds the call that crosses over.
    QMetaObject::invokeMethod(this, "endScan", Qt::QueuedConnection,
                              Q_ARG(bool, !cancelled));
}

void FrameScan::endScan(bool complete)
{
    if (thread.joinable())
        thread.join();
    emit finished(complete);
}

std::vector<qint64> FrameScan::matchNewRows(const FrameLogModel &log, const Test &test,
                                            qint64 *next)
{
    std::vector<qint64> found;
    const int rows = log.rowCount();
    if (rows == 0)
        return found;
    const qint64 first = log.number(0);
    for (int row = int(std::max<qint64>(0, *next - first)); row < rows; ++row) {
        if (test(log.record(row), &log.fdTails()))
            found.push_back(first + row);
    }
    *next = first + rows;
    return found;
}
