#pragma once

// What the library's calls dispatch to: one open session on the simulated bus or on a
// SocketCAN interface. read(), readFd(), lastReadTimestamp() and readErrorEvent() run on
// the reader thread while write(), writeFd() and status() may run on others; the dispatcher
// never destroys a backend while any of them is inside it.

#include "canable/canable.h"

#include <memory>
#include <string>
#include <vector>

namespace canable {

class Backend
{
public:
    virtual ~Backend() = default;

    // 0 with *record filled, or non-zero after waiting at most about 10 ms.
    virtual int read(CanFrameRecord *record) = 0;
    // 0 when the frame was accepted for transmission; never blocks without bound.
    virtual int write(const CanFrameRecord &record) = 0;
    // Opened in FD mode: readFd() and writeFd() carry FD frames, and read() passes them over.
    virtual bool fdMode() const { return false; }
    // As read(), with FD frames too; a classic session delivers its classic frames.
    virtual int readFd(CanFdFrameRecord *record);
    // As write(); only called with a record fdRefusal() accepted for this session.
    virtual int writeFd(const CanFdFrameRecord &record);
    // The stamp of the frame the last successful read() returned; false without one.
    virtual bool lastReadTimestamp(int64_t *usec) { (void)usec; return false; }
    // Takes the oldest pending error event; false when none is pending. Never waits.
    virtual bool readErrorEvent(CanErrorEvent *event) { (void)event; return false; }
    // The controller's health as far as this session knows it.
    virtual void status(CanBusStatus *status);
    // Lets the device drop what does not pass before it reaches read(); the dispatcher
    // checks every frame read anyway, so a backend without such a means does nothing.
    // Called only while no other call is inside the backend.
    virtual void setReceiveFilter(const std::vector<CanReceiveFilter> &filters)
    {
        (void)filters;
    }
};

// A session that knows nothing of the controller.
inline void Backend::status(CanBusStatus *status)
{
    *status = CanBusStatus{};
    status->state = CANABLE_STATE_UNKNOWN;
    status->txErrors = -1;
    status->rxErrors = -1;
}

// The FD lengths: 0 to 8, 12, 16, 20, 24, 32, 48, 64.
inline bool isFdLength(unsigned int len)
{
    return canable_isFdLength(len);
}

// Why the record cannot go on the bus of a session in (or not in) FD mode; null when it
// can.
const char *fdRefusal(const CanFdFrameRecord &record, bool fdMode);

// A classic frame in the FD record, and back; classicOf() needs a frame without
// CANABLE_FD_FDF.
CanFdFrameRecord fdRecordOf(const CanFrameRecord &record);
CanFrameRecord classicOf(const CanFdFrameRecord &record);

// What a failed call tells canable_lastError() on the calling thread.
void setLastError(const std::string &text);

// Kept to what the owner of a bus reading error frames can afford per frame: at a flood of
// error frames the oldest events are kept and the newest lost, counted in the status.
constexpr size_t errorEventCapacity = 4096;

// Microseconds since 1970 of the system's wall clock.
int64_t wallClockMicroseconds();

inline bool isTransmittable(const CanFrameRecord &record)
{
    return canable_isTransmittable(record.id, record.extended, record.dlc);
}

inline bool isSupportedBitrate(unsigned int kbps)
{
    return kbps > 0 && kbps <= 1000;
}

// The fastest data phase of FD controllers on the market is 12 Mbit/s; 15 leaves room.
inline bool isSupportedDataBitrate(unsigned int kbps)
{
    return kbps > 0 && kbps <= 15000;
}

// Both return nullptr when the open fails, after one line on stderr saying why, which
// is also the calling thread's last error. A listen-only session never transmits.
// dataKbps 0 opens a classic session, any other value one in FD mode.
std::unique_ptr<Backend> openSimulatedBus(unsigned int kbps, unsigned int dataKbps,
                                          const char *traffic, const char *faults,
                                          bool listenOnly);
std::unique_ptr<Backend> openSocketCan(const std::string &interfaceName, unsigned int kbps,
                                       unsigned int dataKbps, bool listenOnly);

// Fills up to capacity entries, returns how many CAN interfaces there are, -1 on error.
int listSocketCanInterfaces(CanInterfaceInfo *list, int capacity);

} // namespace canable
