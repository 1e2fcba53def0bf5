#pragma once

// The bus load of the last second, from the bit counts of the frames seen. No locking:
// one thread owns a meter (the hub's).

#include <QtGlobal>

#include <deque>
#include <utility>

class BusLoadMeter
{
public:
    // Counts a frame of `bits` bits seen at `msecs` on a monotonic clock. Times must not
    // go backwards.
    void addFrame(qint64 msecs, int bits);

    // Bits of the frames seen in the second up to `msecs`, as a percentage of what
    // `bitrateKbps` carries in a second (at most 100); -1 when the bit rate is unknown (0).
    double percent(qint64 msecs, quint32 bitrateKbps);

    void clear();

private:
    void expire(qint64 msecs);

    std::deque<std::pair<qint64, qint64>> frames; // bits seen in each millisecond
    qint64 bitsInWindow = 0;
};
