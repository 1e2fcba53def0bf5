#pragma once

// Goes through rows of a frame log snapshot on a thread of its own and collects the
// numbers of the frames that pass a test, so that a filter or a search over millions of
// rows never holds up the window. Construct, start(), cancel(), the progress getters and
// takeResult() on the GUI thread; finished() arrives there. The test runs on the scan's
// thread: it must be safe to call there (a FrameFilter is).
// matchNewRows() is the same work for the few rows a tick adds, on the GUI thread.

#include "filter/framenumberindex.h"
#include "monitor/framelogmodel.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <thread>

class FrameScan : public QObject
{
    Q_OBJECT

public:
    // The record and the store of its FD bytes beyond the eighth.
    using Test = std::function<bool(const FrameRecord &, const FrameTails *)>;

    // Scans the snapshot's rows from `firstRow` on; with `firstOnly` it stops at the first
    // frame that passes.
    FrameScan(FrameLogSnapshot snapshot, int firstRow, Test test, bool firstOnly,
              QObject *parent = nullptr);
    // Cancels a running scan and waits for its thread, which stops within a few
    // thousand rows.
    ~FrameScan() override;

    void start();
    void cancel();

    int rowsTotal() const { return total; }
    int rowsDone() const { return done.load(std::memory_order_relaxed); }
    // The number the frame after the snapshot's last row will have; -1 for an empty
    // snapshot, whose successor rows start wherever the model's rows do.
    qint64 endNumber() const { return end; }
    // After finished(true): the numbers of the frames that passed.
    FrameNumberIndex takeResult() { return std::move(result); }

    // The numbers of the model's rows from number *next on that pass (all rows when
    // *next is below the first row's number, as after a clear); *next moves past the
    // last row.
    static std::vector<qint64> matchNewRows(const FrameLogModel &log, const Test &test,
                                            qint64 *next);

signals:
    // false when cancelled.
    void finished(bool complete);

private:
    void run();
    Q_INVOKABLE void endScan(bool complete);

    const FrameLogSnapshot snapshot;
    const int firstRow;
    const Test test;
    const bool firstOnly;
    const int total;
    const qint64 end;
    std::thread thread;
    std::atomic<bool> cancelled { false };
    std::atomic<int> done { 0 };
    // Written by the thread before it ends, read after the join.
    FrameNumberIndex result;
};
