#include "health/busloadmeter.h"

#include "health/busload.h"

void BusLoadMeter::addFrame(qint64 msecs, int bits)
{
    // One entry a millisecond: a burst of a million frames costs no more than a quiet bus.
    if (!frames.empty() && frames.back().first == msecs)
        frames.back().second += bits;
    else
        frames.emplace_back(msecs, bits);
    bitsInWindow += bits;
    expire(msecs);
}

double BusLoadMeter::percent(qint64 msecs, quint32 bitrateKbps)
{
    expire(msecs);
    if (bitrateKbps == 0)
        return -1.0;
    return busload::loadPercent(quint64(bitsInWindow), 1.0, bitrateKbps * 1000u);
}

void BusLoadMeter::clear()
{
    frames.clear();
    bitsInWindow = 0;
}

void BusLoadMeter::expire(qint64 msecs)
{
    while (!frames.empty() && frames.front().first <= msecs - 1000) {
        bitsInWindow -= frames.front().second;
        frames.pop_front();
    }
}
