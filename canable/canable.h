#pragma once

// The adapter library's public interface: four C calls with unmangled names and the
// 24-byte frame record that the reader and the writer share. Device index 0 is the one
// adapter; every result is 0 on success.
//
// Thread use: canable_readMessage (one reader thread) and canable_writeMessage (another
// thread) may run at the same time; canable_initDLL and canable_freeDLL may run while a
// writer is inside canable_writeMessage and wait for it to leave.

#include <stddef.h>
#include <stdint.h>

#if defined(CANABLE_BUILDING_LIBRARY)
#  define CANABLE_EXPORT __attribute__((visibility("default")))
#else
#  define CANABLE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CanFrameRecord
{
    uint32_t id;           /* 11-bit or 29-bit identifier */
    uint8_t data[8];       /* on a write the bytes past dlc are 0 */
    uint8_t dlc;           /* number of valid data bytes, 0 to 8 */
    uint8_t reserved1[7];
    uint8_t remote;        /* non-zero: remote frame */
    uint8_t extended;      /* non-zero: 29-bit identifier */
    uint8_t reserved2[2];
} CanFrameRecord;

#ifdef __cplusplus
static_assert(sizeof(CanFrameRecord) == 24, "the record is 24 bytes");
static_assert(offsetof(CanFrameRecord, id) == 0, "id at offset 0");
static_assert(offsetof(CanFrameRecord, data) == 4, "data at offset 4");
static_assert(offsetof(CanFrameRecord, dlc) == 12, "dlc at offset 12");
static_assert(offsetof(CanFrameRecord, remote) == 20, "remote at offset 20");
static_assert(offsetof(CanFrameRecord, extended) == 21, "extended at offset 21");
#else
_Static_assert(sizeof(CanFrameRecord) == 24, "the record is 24 bytes");
_Static_assert(offsetof(CanFrameRecord, dlc) == 12, "dlc at offset 12");
_Static_assert(offsetof(CanFrameRecord, remote) == 20, "remote at offset 20");
_Static_assert(offsetof(CanFrameRecord, extended) == 21, "extended at offset 21");
#endif

/* Opens the adapter at bitrateKbps (10, 20, 50, 100, 500 or 1000). What is opened is
 * chosen by the environment variable CANABLE_INTERFACE, read here: a SocketCAN interface
 * name such as can0, or "sim" for the simulated bus; unset or empty means the first
 * SocketCAN interface of CAN type. */
CANABLE_EXPORT int canable_initDLL(int deviceIndex, unsigned int bitrateKbps);

/* Closes the adapter; harmless when nothing is open. */
CANABLE_EXPORT int canable_freeDLL(int deviceIndex);

/* Fills *record with one received frame and returns 0, or returns non-zero after a
 * bounded wait (about 10 ms at most) when no frame came. count is always 1. */
CANABLE_EXPORT int canable_readMessage(int deviceIndex, CanFrameRecord *record, int count);

/* Queues one frame for transmission; non-zero when it was refused or could not be
 * queued within a short bounded time. */
CANABLE_EXPORT int canable_writeMessage(int deviceIndex, const CanFrameRecord *record);

#ifdef __cplusplus
}
#endif
