#include "busload.h"

#include <algorithm>

namespace busload {

namespace {

// Start of frame to end of CRC is at most 1 + 39 + 64 + 15 bits.
constexpr int maxStuffedRegion = 128;

// The bits after the CRC: delimiter, ACK slot, ACK delimiter, end of frame, interframe
// space. None of them is stuffed.
constexpr unsigned int trailerBits = 3 + 7 + 3;

class BitString
{
public:
    void append(uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i)
            m_bits[m_size++] = (value >> i) & 1;
    }
    int size() const { return m_size; }
    bool operator[](int i) const { return m_bits[i]; }

private:
    bool m_bits[maxStuffedRegion] = {};
    int m_size = 0;
};

// The CRC-15 of the frame from its start bit on: generator 0x4599, zero start value.
uint32_t crc15(const BitString &bits)
{
    uint32_t crc = 0;
    for (int i = 0; i < bits.size(); ++i) {
        const bool feedback = bits[i] != bool(crc & 0x4000);
        crc = (crc << 1) & 0x7FFF;
        if (feedback)
            crc ^= 0x4599;
    }
    return crc;
}

// After five equal bits the transmitter inserts their complement, which then begins the
// next run; a run completed by the last CRC bit is stuffed as well.
unsigned int stuffBits(const BitString &bits)
{
    unsigned int stuffed = 0;
    bool last = !bits[0];
    int run = 0;
    for (int i = 0; i < bits.size(); ++i) {
        if (bits[i] == last) {
            ++run;
        } else {
            last = bits[i];
            run = 1;
        }
        if (run == 5) {
            ++stuffed;
            last = !last;
            run = 1;
        }
    }
    return stuffed;
}

unsigned int dataBytes(bool remote, unsigned int dlc)
{
    return remote ? 0 : std::min(dlc, 8u);
}

} // namespace

unsigned int frameBits(uint32_t id, bool extended, bool remote, unsigned int dlc,
                       const uint8_t *data)
{
    BitString bits;
    bits.append(0, 1); // start of frame
    if (extended) {
        id &= 0x1FFFFFFF;
        bits.append(id >> 18, 11);
        bits.append(3, 2);        // substitute remote request, identifier extension
        bits.append(id & 0x3FFFF, 18);
        bits.append(remote, 1);
        bits.append(0, 2);        // r1, r0
    } else {
        bits.append(id & 0x7FF, 11);
        bits.append(remote, 1);
        bits.append(0, 2);        // identifier extension, r0
    }
    bits.append(std::min(dlc, 15u), 4);
    const unsigned int bytes = dataBytes(remote, dlc);
    for (unsigned int i = 0; i < bytes; ++i)
        bits.append(data ? data[i] : 0, 8);
    bits.append(crc15(bits), 15);
    return unsigned(bits.size()) + stuffBits(bits) + trailerBits;
}

unsigned int unstuffedFrameBits(bool extended, bool remote, unsigned int dlc)
{
    return (extended ? 67 : 47) + 8 * dataBytes(remote, dlc);
}

unsigned int worstCaseFrameBits(bool extended, bool remote, unsigned int dlc)
{
    // The first stuff bit needs five bits, every further one four more (the stuff bit
    // itself starts the next run).
    const unsigned int region = (extended ? 54 : 34) + 8 * dataBytes(remote, dlc);
    return region + (region - 1) / 4 + trailerBits;
}

double loadPercent(uint64_t bits, double seconds, uint32_t bitsPerSecond)
{
    if (seconds <= 0 || bitsPerSecond == 0)
        return 0;
    return 100.0 * double(bits) / (seconds * double(bitsPerSecond));
}

} // namespace busload
