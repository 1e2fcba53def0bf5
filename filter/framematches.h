#pragma once

// Collects the numbers of the frame log's frames that pass a test, continuing from what
// was collected before: the few rows left are tested at once, millions on a worker
// (FrameScan), one snapshot after the other until the rows that arrived meanwhile are
// few, and again from the start if the frame log was cleared in between. The result is
// then complete up to the frame log's last row. GUI thread only.

#include "filter/framescan.h"

#include <QElapsedTimer>
#include <QObject>

class FrameMatches : public QObject
{
    Q_OBJECT

public:
    // Up to this many rows are tested at once, in a few milliseconds.
    static constexpr int inlineRows = 262144;

    explicit FrameMatches(const FrameLogModel *log, QObject *parent = nullptr);
    ~FrameMatches() override;

    // Collects the matches of `test` among the rows from number `next` on (every row for
    // -1), after the numbers of `found`, all below `next`. True when that was done at once;
    // otherwise a worker runs and finished() follows. A collection running is given up.
    bool collect(FrameScan::Test test, FrameNumberIndex found = FrameNumberIndex(),
                 qint64 next = -1);
    // Gives a running collection up; finished() does not follow.
    void cancel();
    bool isRunning() const { return scan != nullptr; }
    // How long the collection has run, and the part of the current scan done, 0..1.
    qint64 elapsedMs() const { return clock.isValid() ? clock.elapsed() : 0; }
    double progress() const;

    // Once complete: the numbers of the frames that pass, and the number after the last
    // row tested, for collect() to go on from.
    FrameNumberIndex takeResult(qint64 *next);

signals:
    void finished();

private:
    void scanFinished(bool complete);
    void startScan();
    // Tests the rows left at once if they are few; false when a scan had to start.
    bool complete();

    const FrameLogModel *log;
    FrameScan::Test test;
    FrameNumberIndex found;
    qint64 next = -1;
    FrameScan *scan = nullptr;
    QElapsedTimer clock;
    quint64 clears = 0;      // the frame log became empty this many times
    quint64 scanClears = 0;  // as counted when the scan started
};
