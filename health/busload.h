#pragma once

// How long classic CAN frames occupy the bus: the bit count of one frame, and a meter that
// turns the frames of the last second into a load figure. Plain functions and a class
// without locking: the hub's thread owns its meter.

#include <QtGlobal>

#include <deque>

// Bits a classic CAN frame takes on the bus: start of frame to the end of the CRC
// sequence with the stuff bits the transmitter inserts there, then the CRC delimiter, ACK
// slot and delimiter, end of frame and the three bits of intermission. A remote frame
// carries no data bits whatever its length code says; dlc is clamped to 0..8.
int canFrameBits(quint32 id, bool extended, bool remote, int dlc, const quint8 *data);

class BusLoadMeter
{
public:
    // Counts a frame of `bits` bits seen at `msecs` on a monotonic clock. Times must not
    // go backwards.
    void addFrame(qint64 msecs, int bits);

    // Bits of the frames seen in the second up to `msecs`, as a percentage of what
    // `bitrateKbps` carries in a second; -1 when the bit rate is unknown (0).
    double percent(qint64 msecs, quint32 bitrateKbps);

    void clear();

private:
    void expire(qint64 msecs);

    std::deque<std::pair<qint64, int>> frames;
    qint64 bitsInWindow = 0;
};
