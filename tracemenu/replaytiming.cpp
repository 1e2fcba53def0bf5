#include "tracemenu/replaytiming.h"

#include <cmath>
#include <limits>

ReplayTiming::ReplayTiming(double speed)
    : speed(speed)
{
}

qint64 ReplayTiming::dueOffsetNs(qint64 timestampUs)
{
    if (timestampUs == 0)
        return lastOffsetNs;
    if (!stretchOpen || timestampUs < lastTimestampUs) {
        stretchOpen = true;
        stretchTimestampUs = timestampUs;
        stretchOffsetNs = lastOffsetNs;
    }
    lastTimestampUs = timestampUs;
    // In floating point the difference of two extreme stamps cannot overflow; the sum is
    // clamped before it turns back into an integer.
    const double limit = double(std::numeric_limits<qint64>::max()) / 2;
    const double offset = double(stretchOffsetNs)
            + std::round((double(timestampUs) - double(stretchTimestampUs)) * 1000.0 / speed);
    lastOffsetNs = offset >= limit ? qint64(limit) : qint64(offset);
    return lastOffsetNs;
}

void ReplayTiming::startPass()
{
    stretchOpen = false;
}
