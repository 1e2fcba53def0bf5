#include "transmit/tickschedule.h"

#include <ctime>
#include <limits>

qint64 TickSchedule::monotonicNs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

TickSchedule::TickSchedule(Clock clock)
    : clock(std::move(clock))
{
}

void TickSchedule::start()
{
    origin = clock();
    due = origin;
}

void TickSchedule::advance(int intervalMs)
{
    advanceNs(qint64(intervalMs) * 1000000);
}

void TickSchedule::advanceNs(qint64 stepNs)
{
    const qint64 step = qMax<qint64>(0, stepNs);
    const qint64 limit = std::numeric_limits<qint64>::max();
    due = due > limit - step ? limit : due + step;
}

qint64 TickSchedule::remainingNs() const
{
    return due - clock();
}

qint64 TickSchedule::coarseWakeNs(qint64 precisionNs) const
{
    const qint64 now = clock();
    const qint64 wake = due - precisionNs;
    return wake > now ? wake : now;
}
