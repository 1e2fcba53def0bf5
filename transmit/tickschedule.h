#pragma once

// The due times of a periodic send: every due time is the start of the send plus the
// intervals of the ticks before it, so lateness never accumulates and a late tick does not
// move the ones after it. The clock is injected (nanoseconds on a monotonic scale) so that
// the arithmetic can be checked without waiting.
//
// A value type; one thread at a time.

#include <QtGlobal>

#include <functional>

class TickSchedule
{
public:
    using Clock = std::function<qint64()>;

    // CLOCK_MONOTONIC in nanoseconds, the clock the send thread sleeps on.
    static qint64 monotonicNs();

    explicit TickSchedule(Clock clock = &TickSchedule::monotonicNs);

    // The first tick is due now.
    void start();
    // Moves the next due time on by the interval of the tick just sent; a negative
    // interval counts as 0 (back to back), and the due time saturates rather than wrap.
    void advance(int intervalMs);
    // The same for a step in nanoseconds, as a replayed trace's time gaps come.
    void advanceNs(qint64 stepNs);

    qint64 startNs() const { return origin; }
    qint64 dueNs() const { return due; }
    // Time left until the next tick is due, negative when it is overdue.
    qint64 remainingNs() const;
    // When to stop the coarse wait: precisionNs before the due time, or now when the due
    // time is nearer than that.
    qint64 coarseWakeNs(qint64 precisionNs) const;

private:
    Clock clock;
    qint64 origin = 0;
    qint64 due = 0;
};
