#include "health/busload.h"
#include "traceformats/tracefile.h"

#include <algorithm>

namespace busload {

namespace {

// Start of frame to end of CRC is at most 1 + 39 + 64 + 15 = 119 bits, so the stuffed
// region fits one 128-bit number, first bit highest, which lets runs of equal bits be
// measured by counting leading zeros rather than bit by bit.
using Bits = unsigned __int128;

// The bits after the CRC: delimiter, ACK slot, ACK delimiter, end of frame, interframe
// space. None of them is stuffed.
constexpr unsigned int trailerBits = 3 + 7 + 3;

class BitString
{
public:
    void append(uint32_t value, int count)
    {
        m_bits = (m_bits << count) | (value & ((uint64_t(1) << count) - 1));
        m_size += count;
    }
    int size() const { return m_size; }
    // The bits, first at the top.
    Bits aligned() const { return m_bits << (128 - m_size); }

private:
    Bits m_bits = 0;
    int m_size = 0;
};

int leadingZeros(Bits value)
{
    const uint64_t high = uint64_t(value >> 64);
    if (high)
        return __builtin_clzll(high);
    const uint64_t low = uint64_t(value);
    return low ? 64 + __builtin_clzll(low) : 128;
}

constexpr uint32_t crcStep(uint32_t crc, bool bit)
{
    const bool feedback = bit != bool(crc & 0x4000);
    crc = (crc << 1) & 0x7FFF;
    return feedback ? crc ^ 0x4599 : crc;
}

// What eight bits do to the CRC register, for a whole byte of the stream at a time.
struct CrcTable
{
    uint16_t entries[256] = {};
    constexpr CrcTable()
    {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t crc = 0;
            for (int i = 7; i >= 0; --i)
                crc = crcStep(crc, (byte >> i) & 1);
            entries[byte] = uint16_t(crc);
        }
    }
};

constexpr CrcTable crcTable;

// The CRC-15 of the frame from its start bit on: generator 0x4599, zero start value.
uint32_t crc15(const BitString &bits)
{
    const Bits aligned = bits.aligned();
    uint32_t crc = 0;
    int i = 0;
    for (; i + 8 <= bits.size(); i += 8) {
        const uint32_t byte = uint32_t(aligned >> (120 - i)) & 0xFF;
        crc = ((crc << 8) ^ crcTable.entries[((crc >> 7) ^ byte) & 0xFF]) & 0x7FFF;
    }
    for (; i < bits.size(); ++i)
        crc = crcStep(crc, (aligned >> (127 - i)) & 1);
    return crc;
}

// After five equal bits the transmitter inserts their complement, which then begins the
// next run; a run completed by the last CRC bit is stuffed as well.
unsigned int stuffBits(const BitString &bits)
{
    const Bits aligned = bits.aligned();
    const int size = bits.size();
    unsigned int stuffed = 0;
    bool stuffValue = false;
    bool afterStuff = false;
    for (int at = 0; at < size;) {
        const bool value = (aligned >> (127 - at)) & 1;
        const int carried = afterStuff && stuffValue == value ? 1 : 0;
        const int equal = std::min(leadingZeros((value ? ~aligned : aligned) << at), size - at);
        if (carried + equal >= 5) {
            ++stuffed;
            at += 5 - carried;
            afterStuff = true;
            stuffValue = !value;
        } else {
            at += equal;
            afterStuff = false;
        }
    }
    return stuffed;
}

// Start of frame, the arbitration field and, for a standard identifier, the identifier
// extension bit: the same in classic and FD frames, whose remote bit is then 0.
template<typename BitSink>
void appendArbitration(BitSink &bits, uint32_t id, bool extended, bool remote)
{
    bits.append(0, 1); // start of frame
    if (extended) {
        id &= 0x1FFFFFFF;
        bits.append(id >> 18, 11);
        bits.append(3, 2); // substitute remote request, identifier extension
        bits.append(id & 0x3FFFF, 18);
        bits.append(remote, 1);
    } else {
        bits.append(id & 0x7FF, 11);
        bits.append(remote, 1);
        bits.append(0, 1); // identifier extension
    }
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
    appendArbitration(bits, id, extended, remote);
    bits.append(0, extended ? 2 : 1); // r1 and r0, or r0
    bits.append(std::min(dlc, 15u), 4);
    const unsigned int bytes = dataBytes(remote, dlc);
    for (unsigned int i = 0; i < bytes; ++i)
        bits.append(data ? data[i] : 0, 8);
    bits.append(crc15(bits), 15);
    return unsigned(bits.size()) + stuffBits(bits) + trailerBits;
}

namespace {

// The bits from start of frame to the end of the data field, first bit first.
class LongBitString
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
    // 36 arbitration and control bits, 5 more up to the data and 512 data bits.
    bool m_bits[1 + 36 + 5 + 512] = {};
    int m_size = 0;
};

} // namespace

FdFrameBits fdFrameBits(uint32_t id, bool extended, bool brs, unsigned int len,
                        const uint8_t *data)
{
    LongBitString bits;
    appendArbitration(bits, id, extended, false); // an FD frame's remote bit is always 0
    bits.append(1, 1);            // FD format
    bits.append(0, 1);            // reserved
    bits.append(brs, 1);
    const int lastNominal = bits.size() - 1;
    bits.append(0, 1);            // error state indicator, as an error-active sender sends it
    // A length between the FD lengths goes out padded up, as a controller pads it.
    const unsigned int code = trace::fdLengthCode(len);
    bits.append(code, 4);
    const unsigned int bytes = trace::fdCodeLength(code);
    for (unsigned int i = 0; i < bytes; ++i)
        bits.append(data && i < len ? data[i] : 0, 8);

    // After five equal bits the sender inserts their complement, which begins the next
    // run. Five equal bits at the very end of the data field take no dynamic stuff bit:
    // the fixed stuff bit before the stuff count follows them anyway.
    unsigned int nominalStuff = 0;
    unsigned int dataStuff = 0;
    int run = 0;
    bool previous = false;
    for (int i = 0; i < bits.size(); ++i) {
        run = i > 0 && bits[i] == previous ? run + 1 : 1;
        previous = bits[i];
        if (run == 5 && i + 1 < bits.size()) {
            // A stuff bit after the bit rate switch goes at the data rate.
            ++(i < lastNominal ? nominalStuff : dataStuff);
            previous = !previous;
            run = 1;
        }
    }
    const bool crc21 = bytes > 16;
    const unsigned int crcField = 4 + (crc21 ? 21 + 7 : 17 + 6) + 1;
    FdFrameBits result;
    result.nominal = unsigned(lastNominal + 1) + nominalStuff + 12;
    result.data = unsigned(bits.size() - lastNominal - 1) + dataStuff + crcField;
    if (!brs) {
        result.nominal += result.data;
        result.data = 0;
    }
    return result;
}

double nominalBitTimes(FdFrameBits bits, uint32_t bitsPerSecond, uint32_t dataBitsPerSecond)
{
    if (bitsPerSecond == 0 || dataBitsPerSecond == 0)
        return 0;
    return bits.nominal + double(bits.data) * bitsPerSecond / dataBitsPerSecond;
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
    // Frames are counted when they are read, not when they crossed the bus, so a burst read
    // late can put more bits into an interval than the bus carried in it; a bus is never
    // busier than all the time.
    return std::min(100.0, 100.0 * double(bits) / (seconds * double(bitsPerSecond)));
}

} // namespace busload
