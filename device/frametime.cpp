#include "device/frametime.h"

#include <QDateTime>

#include <ctime>

namespace {

constexpr qint64 msecsPerDay = 24 * 60 * 60 * 1000;

struct OffsetCache
{
    qint64 validFrom = 0;
    qint64 validUntil = 0;
    qint64 offsetMsecs = 0;
};

} // namespace

QTime currentFrameTime()
{
    thread_local OffsetCache cache;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now < cache.validFrom || now >= cache.validUntil) {
        cache.offsetMsecs = qint64(QDateTime::fromMSecsSinceEpoch(now).offsetFromUtc()) * 1000;
        cache.validFrom = now;
        cache.validUntil = now + 1000;
    }
    const qint64 local = ((now + cache.offsetMsecs) % msecsPerDay + msecsPerDay) % msecsPerDay;
    return QTime::fromMSecsSinceStartOfDay(int(local));
}

qint64 wallClockUs()
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
