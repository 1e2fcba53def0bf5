#pragma once

// How long a classic CAN frame occupies the bus. A plain function; any thread.

#include <QtGlobal>

// Bits a classic CAN frame takes on the bus: start of frame to the end of the CRC
// sequence with the stuff bits the transmitter inserts there, then the CRC delimiter, ACK
// slot and delimiter, end of frame and the three bits of intermission. A remote frame
// carries no data bits whatever its length code says; dlc is clamped to 0..8.
int canFrameBits(quint32 id, bool extended, bool remote, int dlc, const quint8 *data);
