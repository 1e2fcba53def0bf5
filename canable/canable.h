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

/* Callers see the additional calls as weak references: with a library that lacks one,
 * its address is null instead of the program failing to start. */
#if defined(CANABLE_BUILDING_LIBRARY)
#  define CANABLE_EXPORT __attribute__((visibility("default")))
#  define CANABLE_OPTIONAL __attribute__((visibility("default")))
#else
#  define CANABLE_EXPORT
#  define CANABLE_OPTIONAL __attribute__((weak))
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

#define CANABLE_MAX_STANDARD_ID 0x7FFu
#define CANABLE_MAX_EXTENDED_ID 0x1FFFFFFFu
#define CANABLE_MAX_DATA_BYTES 8u

/* Whether a classic CAN bus can carry a frame: an identifier within its format's range
 * and at most 8 data bytes (for a remote frame, the length it asks for). The library
 * refuses a write that fails this, and the program checks what it is about to send with
 * the same rule. Any thread. */
static inline int canable_isTransmittable(uint32_t id, int extended, unsigned int length)
{
    return length <= CANABLE_MAX_DATA_BYTES
            && id <= (extended ? CANABLE_MAX_EXTENDED_ID : CANABLE_MAX_STANDARD_ID);
}

/* Opens the adapter at bitrateKbps (10, 20, 50, 100, 500 or 1000). What is opened is
 * chosen by the environment variable CANABLE_INTERFACE, read here: a SocketCAN interface
 * name such as can0, or "sim" for the simulated bus (simbus.h: CANABLE_SIM_TRAFFIC and
 * CANABLE_SIM_FAULTS); unset or empty means the choice of canable_selectInterface, and
 * without one the first SocketCAN interface of CAN type. A failure says why on stderr and
 * in canable_lastError(). */
CANABLE_EXPORT int canable_initDLL(int deviceIndex, unsigned int bitrateKbps);

/* Closes the adapter; harmless when nothing is open. */
CANABLE_EXPORT int canable_freeDLL(int deviceIndex);

/* Fills *record with one received frame and returns 0, or returns non-zero after a
 * bounded wait (about 10 ms at most) when no frame came. count is always 1. */
CANABLE_EXPORT int canable_readMessage(int deviceIndex, CanFrameRecord *record, int count);

/* Queues one frame for transmission; non-zero when it was refused or could not be
 * queued within a short bounded time. */
CANABLE_EXPORT int canable_writeMessage(int deviceIndex, const CanFrameRecord *record);

/* ---- Additional calls ----------------------------------------------------------------
 * A caller must not rely on these: a library that offers only the four calls above is
 * complete, and the program works with it, minus what these report. Callers reach them
 * through weak references and test each for null before use.
 *
 * On SocketCAN the socket takes in error frames of every class (CAN_RAW_ERR_FILTER
 * CAN_ERR_MASK); they become error events and never reach canable_readMessage. The
 * library never commands a restart after bus-off: gs_usb firmware recovers by itself and
 * its driver refuses one, and other drivers restart as "ip link ... restart-ms"
 * configures them.
 */

/* Wall-clock time of the frame the last successful canable_readMessage on this device
 * returned, in microseconds since 1970-01-01 UTC: on SocketCAN the adapter's hardware
 * stamp where the driver delivers one in wall-clock time (gs_usb does; one more than 10 s
 * away from the kernel's is not used), else the kernel's receive stamp; on the simulated
 * bus the end of the frame on the bus's own clock. 0 with *usec set, non-zero (and *usec
 * untouched) when nothing is open, no frame was read yet or the frame has no stamp.
 * Reader thread only. */
CANABLE_OPTIONAL int canable_lastReadTimestamp(int deviceIndex, int64_t *usec);

/* One CAN network interface present on the system. */
typedef struct CanInterfaceInfo
{
    char name[16];         /* NUL-terminated interface name, e.g. "can0" */
    uint8_t up;            /* non-zero: administratively up */
    uint8_t virtualBus;    /* non-zero: vcan (no bit timing) */
    uint8_t reserved[2];
    uint32_t bitrate;      /* bit/s when known, else 0 */
} CanInterfaceInfo;

/* Fills up to capacity entries with the CAN interfaces present (ARPHRD_CAN, in the
 * kernel's order, whose first is the default open; the simulated bus is not listed) and
 * returns how many there are, which may exceed capacity; -1 on error, with
 * canable_lastError() saying why. list may be null when capacity is 0. virtualBus is set
 * for every interface without bit timing (vcan, vxcan); bitrate is 0 for those and while
 * unknown. Any thread; one netlink request, bounded to 200 ms. */
CANABLE_OPTIONAL int canable_listInterfaces(CanInterfaceInfo *list, int capacity);

/* Names what the following canable_initDLL calls open: an interface name, "sim" for the
 * simulated bus, or NULL or "" for the default (the first CAN interface). A non-empty
 * CANABLE_INTERFACE in the environment wins over this choice. 0 on success; non-zero for
 * a name of 16 or more characters or with spaces, slashes or control characters, which
 * leaves the choice as it was. Whether the interface exists shows at the open. Any
 * thread. */
CANABLE_OPTIONAL int canable_selectInterface(const char *name);

/* Asks the following canable_initDLL calls to open in listen-only mode (enabled
 * non-zero) or normally; always 0. Listen-only is applied at the open through the
 * interface's control mode (CAN_CTRLMODE_LISTENONLY, restarting the interface), which
 * needs CAP_NET_ADMIN and a driver that supports it; when either is missing, and always
 * on vcan, the open fails and canable_lastError() says why. A normal open takes an
 * interface this process put in listen-only mode out of it again; a mode set up outside
 * the program is left alone. While listen-only, canable_writeMessage fails. The
 * simulated bus supports it without conditions. Any thread. */
CANABLE_OPTIONAL int canable_setListenOnly(int enabled);

/* A short English text saying why the last failed call on this thread failed, or ""
 * when none did: set by canable_initDLL (why the open failed), canable_listInterfaces,
 * canable_selectInterface and canable_getStatus, and cleared when one of them succeeds;
 * a refused canable_writeMessage may set it too. The text stays valid until the next
 * call on the same thread. */
CANABLE_OPTIONAL const char *canable_lastError(void);

/* An error event: an error frame the controller reported (linux/can/error.h). It is never
 * delivered by canable_readMessage. */
typedef struct CanErrorEvent
{
    uint32_t errorClass;   /* CAN_ERR_* class bits of the error frame's identifier */
    uint8_t data[8];       /* the error frame's data bytes, as linux/can/error.h defines */
    int64_t timestampUs;   /* wall clock as for canable_lastReadTimestamp, 0 unknown */
} CanErrorEvent;

/* Takes the oldest pending error event: 0 with *event filled, non-zero when none is
 * pending or nothing is open. Never waits; error events arrive during canable_readMessage
 * calls, so the reader calls this after each read until it returns non-zero. At most
 * 4096 wait; newer ones are then lost and counted in CanBusStatus.errorEventsLost.
 * errorClass never has CAN_ERR_FLAG. Reader thread only. */
CANABLE_OPTIONAL int canable_readErrorEvent(int deviceIndex, CanErrorEvent *event);

enum CanControllerState {
    CANABLE_STATE_UNKNOWN = 0,
    CANABLE_STATE_ERROR_ACTIVE = 1,
    CANABLE_STATE_ERROR_WARNING = 2,
    CANABLE_STATE_ERROR_PASSIVE = 3,
    CANABLE_STATE_BUS_OFF = 4,
    CANABLE_STATE_STOPPED = 5
};

/* The health of the open device. On SocketCAN, state and counters come from netlink
 * (IFLA_CAN_STATE, IFLA_CAN_BERR_COUNTER) where the driver reports them, else from the
 * last error frames (controller state bits, data[6]/data[7] with CAN_ERR_CNT); vcan
 * reports neither, so state stays UNKNOWN and the counters -1 until error frames say
 * otherwise. */
typedef struct CanBusStatus
{
    int32_t state;          /* a CanControllerState */
    int32_t txErrors;       /* transmit error counter, -1 unknown */
    int32_t rxErrors;       /* receive error counter, -1 unknown */
    uint32_t busOffCount;   /* times the controller went bus-off since the open */
    uint32_t restarts;      /* times it left bus-off since the open, by a restart or
                               by itself (gs_usb firmware) */
    uint32_t errorEventsLost; /* error events lost because the reader fell behind */
    uint64_t kernelDrops;   /* frames the kernel dropped for this socket (SO_RXQ_OVFL) */
    uint64_t adapterDrops;  /* frames the adapter or driver dropped since the open
                               (rx_over_errors, or overflow error frames) */
} CanBusStatus;

/* Fills *status for the open device: 0, or non-zero when nothing is open. May query the
 * kernel (one netlink request, usually well under a millisecond, never more than
 * 200 ms); any thread, at most a few times a second. */
CANABLE_OPTIONAL int canable_getStatus(int deviceIndex, CanBusStatus *status);

/* ---- CAN FD ---------------------------------------------------------------------------
 * A device opened with canable_initFD carries classic and CAN FD frames; one opened with
 * canable_initDLL stays a classic device, and the FD calls below then carry its classic
 * frames only. */

#define CANABLE_FD_FDF 0x01u  /* a CAN FD frame */
#define CANABLE_FD_BRS 0x02u  /* FD: the data phase ran at the data bit rate */
#define CANABLE_FD_ESI 0x04u  /* FD: the sender was error passive */
#define CANABLE_FD_EXT 0x08u  /* 29-bit identifier */
#define CANABLE_FD_RTR 0x10u  /* a classic remote frame (never with CANABLE_FD_FDF) */

/* One classic or FD frame. len is the number of data bytes: 0 to 8 for a classic frame
 * (for a remote frame the requested length), one of 0-8, 12, 16, 20, 24, 32, 48 and 64
 * for an FD frame. The bytes past len are 0 on a read and ignored on a write. */
typedef struct CanFdFrameRecord
{
    uint32_t id;           /* 11-bit or 29-bit identifier */
    uint8_t len;
    uint8_t flags;         /* CANABLE_FD_* */
    uint8_t reserved[2];
    uint8_t data[64];
} CanFdFrameRecord;

#ifdef __cplusplus
static_assert(sizeof(CanFdFrameRecord) == 72, "the FD record is 72 bytes");
static_assert(offsetof(CanFdFrameRecord, len) == 4, "len at offset 4");
static_assert(offsetof(CanFdFrameRecord, flags) == 5, "flags at offset 5");
static_assert(offsetof(CanFdFrameRecord, data) == 8, "data at offset 8");
#else
_Static_assert(sizeof(CanFdFrameRecord) == 72, "the FD record is 72 bytes");
_Static_assert(offsetof(CanFdFrameRecord, data) == 8, "data at offset 8");
#endif

#define CANABLE_MAX_FD_DATA_BYTES 64u

/* Whether len is a CAN FD length: 0 to 8, 12, 16, 20, 24, 32, 48 or 64. Any thread. */
static inline int canable_isFdLength(unsigned int len)
{
    return len <= 8 || len == 12 || len == 16 || len == 20 || len == 24 || len == 32
            || len == 48 || len == 64;
}

/* Whether a CAN FD bus can carry an FD data frame: an identifier within its format's range
 * and an FD length. The library refuses an FD write that fails this, and the program
 * checks what it is about to send in FD mode with the same rule. Any thread. */
static inline int canable_isTransmittableFD(uint32_t id, int extended, unsigned int length)
{
    return canable_isFdLength(length)
            && id <= (extended ? CANABLE_MAX_EXTENDED_ID : CANABLE_MAX_STANDARD_ID);
}

/* Opens the adapter as canable_initDLL does (same interface choice and listen-only
 * choice), in FD mode: nominalKbps for the arbitration phase (as canable_initDLL's
 * bitrateKbps), dataKbps (1 to 15000) for the data phase of frames with
 * CANABLE_FD_BRS. On SocketCAN the interface must carry FD frames (MTU 72): a
 * controller is left alone when it already runs in FD mode at both rates, else the
 * process needs CAP_NET_ADMIN to set both bit timings and FD mode through netlink;
 * a vcan with MTU 72 opens at any rates. An interface whose driver has no FD mode, or
 * a vcan with MTU 16, is refused, and canable_lastError() says why. The simulated bus
 * opens in FD mode at any supported rates (simbus.h). 0 on success. */
CANABLE_OPTIONAL int canable_initFD(int deviceIndex, unsigned int nominalKbps,
                                    unsigned int dataKbps);

/* As canable_readMessage, with the same bounded wait and results, delivering classic
 * and FD frames alike; canable_lastReadTimestamp and the error events work as with
 * canable_readMessage. On a classic device it delivers the classic frames.
 * canable_readMessage on an FD device passes the FD frames over. Reader thread only. */
CANABLE_OPTIONAL int canable_readMessageFD(int deviceIndex, CanFdFrameRecord *record);

/* As canable_writeMessage. Refused, never reaching the bus: a length that is not a
 * valid FD length, more than 8 bytes without CANABLE_FD_FDF, CANABLE_FD_BRS or
 * CANABLE_FD_ESI without CANABLE_FD_FDF, a remote FD frame, an identifier beyond its
 * format, and any FD frame on a device opened with canable_initDLL; canable_lastError()
 * then says why. 0 when the frame went out. */
CANABLE_OPTIONAL int canable_writeMessageFD(int deviceIndex, const CanFdFrameRecord *record);
/* One term of a receive filter, in the encoding of SocketCAN's struct can_filter: a frame
 * passes when (word & mask) == (id & mask), or != with inverted set, where word is the
 * frame's identifier with CANABLE_FILTER_EXTENDED set for a 29-bit identifier and
 * CANABLE_FILTER_REMOTE for a remote frame. A mask without CANABLE_FILTER_EXTENDED lets
 * both formats through alike; one with it and an id without it stands for standard frames
 * and tests only the low 11 bits. Bit 29 of the mask is ignored. */
#define CANABLE_FILTER_EXTENDED 0x80000000u
#define CANABLE_FILTER_REMOTE 0x40000000u
#define CANABLE_FILTER_MAX 512

typedef struct CanReceiveFilter
{
    uint32_t id;
    uint32_t mask;
    uint8_t inverted;      /* non-zero: the frames that do not match pass */
    uint8_t reserved[3];
} CanReceiveFilter;

/* Whether a received frame passes the count terms (count 0: every frame passes): it
 * passes when it passes any one of them. The same rule holds wherever it is applied, in a
 * library, the kernel or a caller. */
static inline int canable_filterPasses(const CanReceiveFilter *filters, int count,
                                       const CanFrameRecord *record)
{
    int i;
    uint32_t word = record->id & (record->extended ? 0x1FFFFFFFu : 0x7FFu);
    if (count <= 0)
        return 1;
    if (record->extended)
        word |= CANABLE_FILTER_EXTENDED;
    if (record->remote)
        word |= CANABLE_FILTER_REMOTE;
    for (i = 0; i < count; ++i) {
        uint32_t mask = filters[i].mask & ~0x20000000u;
        if ((mask & CANABLE_FILTER_EXTENDED) && !(filters[i].id & CANABLE_FILTER_EXTENDED))
            mask &= 0x7FFu | CANABLE_FILTER_EXTENDED | CANABLE_FILTER_REMOTE;
        if (((word & mask) == (filters[i].id & mask)) != (filters[i].inverted != 0))
            return 1;
    }
    return 0;
}

/* Receives from now on, on the open device and on the following opens, only the frames
 * that pass the count terms (at most CANABLE_FILTER_MAX; 0 receives every frame); error
 * events are not filtered. On SocketCAN the kernel drops the others (CAN_RAW_FILTER) and
 * the library checks what was queued before; the simulated bus applies them in the
 * library. 0 on success; non-zero for a null list with a count, or too many terms, which
 * leaves the filter as it was. Any thread; waits for a read in progress to return. */
CANABLE_OPTIONAL int canable_setReceiveFilter(int deviceIndex, const CanReceiveFilter *filters,
                                              int count);

#ifdef __cplusplus
}
#endif
