#include "busload.h"

#include <algorithm>

namespace {

// The CRC-15 of classic CAN, fed one bit at a time, and the stuffing it is computed under
// share one pass over the frame's bits.
class StuffedBits
{
public:
    void add(quint32 value, int width)
    {
        for (int i = width - 1; i >= 0; --i)
            addBit((value >> i) & 1u);
    }

    void addCrc()
    {
        const quint32 sequence = crc;
        inCrc = true;
        add(sequence, 15);
    }

    int count() const { return bits + stuffBits; }

private:
    void addBit(quint32 bit)
    {
        if (!inCrc) {
            const quint32 top = ((crc >> 14) & 1u) ^ bit;
            crc = (crc << 1) & 0x7FFFu;
            if (top)
                crc ^= 0x4599u;
        }
        ++bits;
        // A stuff bit of the opposite level follows five equal bits and starts a new run.
        if (runLength > 0 && bit == lastBit) {
            if (++runLength == 5) {
                ++stuffBits;
                lastBit = bit ^ 1u;
                runLength = 1;
            }
        } else {
            lastBit = bit;
            runLength = 1;
        }
    }

    quint32 crc = 0;
    quint32 lastBit = 0;
    int runLength = 0;
    int bits = 0;
    int stuffBits = 0;
    bool inCrc = false;
};

// CRC delimiter, ACK slot, ACK delimiter, seven bits of end of frame, intermission.
constexpr int unstuffedTail = 1 + 1 + 1 + 7 + 3;

} // namespace

int canFrameBits(quint32 id, bool extended, bool remote, int dlc, const quint8 *data)
{
    dlc = std::clamp(dlc, 0, 8);
    const quint32 rtr = remote ? 1u : 0u;
    StuffedBits frame;
    frame.add(0, 1); // start of frame
    if (extended) {
        id &= 0x1FFFFFFFu;
        frame.add(id >> 18, 11);
        frame.add(1, 1); // substitute remote request
        frame.add(1, 1); // identifier extension
        frame.add(id & 0x3FFFFu, 18);
        frame.add(rtr, 1);
        frame.add(0, 2); // reserved r1, r0
    } else {
        frame.add(id & 0x7FFu, 11);
        frame.add(rtr, 1);
        frame.add(0, 2); // identifier extension, reserved r0
    }
    frame.add(quint32(dlc), 4);
    if (!remote && data) {
        for (int i = 0; i < dlc; ++i)
            frame.add(data[i], 8);
    }
    frame.addCrc();
    return frame.count() + unstuffedTail;
}
