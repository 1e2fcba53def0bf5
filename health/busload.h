#pragma once

// Bus time of classic CAN frames: how many bit times a frame occupies on the wire, with
// the stuff bits its own content causes, so that a bus load in percent is the sum of
// these over a second divided by the bit rate. Plain functions without state; any thread.

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

// Bits over the bit rate in percent of the interval; 0 when either is not positive.
double loadPercent(uint64_t bits, double seconds, uint32_t bitsPerSecond);

} // namespace busload
