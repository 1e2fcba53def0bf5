#pragma once

// Bus time of classic and CAN FD frames: how many bit times a frame occupies on the wire,
// with the stuff bits its own content causes, so that a bus load in percent is the sum of
// these over a second divided by the bit rate; an FD frame with BRS counts its data phase
// at the data bit rate. Plain functions without state; any thread.

#include <cstdint>

namespace busload {

// Bits on the wire of one classic CAN frame: start of frame through the CRC sequence with
// the exact stuff bits for this identifier, length and data, then the CRC delimiter, the
// ACK slot and delimiter, the end of frame (7) and the interframe space (3). A remote
// frame carries no data field whatever its length code says. dlc above 8 counts as 8
// data bytes with the length code kept; id is masked to 11 or 29 bits. data may be null
// for a remote frame or dlc 0.
unsigned int frameBits(uint32_t id, bool extended, bool remote, unsigned int dlc,
                       const uint8_t *data);

// The same without stuff bits: the shortest the frame can be.
unsigned int unstuffedFrameBits(bool extended, bool remote, unsigned int dlc);

// The longest the frame can be: every stuff bit the stuffed region allows.
unsigned int worstCaseFrameBits(bool extended, bool remote, unsigned int dlc);

// An FD frame's bits by the rate they go at. Without BRS every bit is nominal.
struct FdFrameBits
{
    unsigned int nominal = 0;
    unsigned int data = 0;
};

// Bits on the wire of one CAN FD frame. At the nominal rate: start of frame through the
// bit rate switch with their dynamic stuff bits, then the ACK slot and delimiter, end of
// frame (7) and interframe space (3). In the data phase (at the nominal rate too without
// BRS): error state indicator, length code and data with their dynamic stuff bits, the
// stuff count (4 bits), the CRC (17 bits up to 16 data bytes, else 21), the fixed stuff
// bits of those two fields (one before the stuff count and one after every fourth bit:
// 6 with CRC-17, 7 with CRC-21) and the CRC delimiter. len is the number of data bytes;
// one between the FD lengths counts as the next one up. id is masked to 11 or 29 bits.
// data may be null for len 0.
FdFrameBits fdFrameBits(uint32_t id, bool extended, bool brs, unsigned int len,
                        const uint8_t *data);

// The bus time of those bits in nominal bit times; 0 when a rate is not positive.
double nominalBitTimes(FdFrameBits bits, uint32_t bitsPerSecond, uint32_t dataBitsPerSecond);

// Bits over the bit rate in percent of the interval, at most 100; 0 when either is not
// positive.
double loadPercent(uint64_t bits, double seconds, uint32_t bitsPerSecond);

} // namespace busload
