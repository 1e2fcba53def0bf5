#pragma once

// A session on one SocketCAN interface through a raw CAN socket. A classic session takes
// in classic data and remote frames only; one in FD mode (CAN_RAW_FD_FRAMES) takes in FD
// frames as well, which read() passes over and readFd() delivers. Frames this session
// wrote itself are never delivered (other sockets on the same interface, candump for one,
// do see them). Error frames of every class are taken in and kept as error events, and
// update the controller state and counters where the kernel reports none.
//
// Thread use: read(), readFd(), lastReadTimestamp() and readErrorEvent() are called by the
// reader thread, write() and writeFd() by the writer thread and status() by any, possibly
// at the same time.
// Construction and destruction must not overlap any call; the dispatcher's session lock
// ensures that.

#include "canable/backend.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>

struct can_frame;
struct canfd_frame;
struct msghdr;

namespace canable {

// What the kernel says about the controller of a link; missing parts stay unknown.
struct LinkHealth
{
    bool known = false;
    int state = CANABLE_STATE_UNKNOWN;
    int txErrors = -1;
    int rxErrors = -1;
    bool haveDeviceStats = false;
    uint32_t busOff = 0;       // times bus-off since the link was created
    uint32_t restarts = 0;
    bool haveStats = false;
    uint64_t rxOverErrors = 0;
};

LinkHealth queryLinkHealth(const std::string &name);

class SocketCanBus : public Backend
{
public:
    // Takes over socketFd: a non-blocking raw CAN socket already bound to interfaceName,
    // with CAN_RAW_FD_FRAMES on when fdMode.
    SocketCanBus(int socketFd, std::string interfaceName, bool listenOnly, bool fdMode);
    ~SocketCanBus() override;

    SocketCanBus(const SocketCanBus &) = delete;
    SocketCanBus &operator=(const SocketCanBus &) = delete;

    // Waits at most readTimeoutMs for a frame.
    int read(CanFrameRecord *record) override;
    // Waits at most writeTimeoutMs for room in a full transmit queue.
    int write(const CanFrameRecord &record) override;
    bool fdMode() const override { return m_fdMode; }
    int readFd(CanFdFrameRecord *record) override;
    int writeFd(const CanFdFrameRecord &record) override;
    bool lastReadTimestamp(int64_t *usec) override;
    bool readErrorEvent(CanErrorEvent *event) override;
    void status(CanBusStatus *status) override;
    // The kernel drops what does not pass, so a filtered bus costs the reader nothing.
    void setReceiveFilter(const std::vector<CanReceiveFilter> &filters) override;

    static constexpr int readTimeoutMs = 10;
    static constexpr int writeTimeoutMs = 20;

private:
    // 0 with the next data or remote frame, FD or classic, as the kernel's structure of
    // `size` bytes; non-zero at the deadline.
    int receive(canfd_frame *frame, long *size, std::chrono::steady_clock::time_point deadline);
    // Sends `size` bytes of the kernel's frame structure within writeTimeoutMs.
    int send(const void *frame, size_t size);
    void reportFailure(const char *action, int error, std::atomic<int> &lastReported);
    int64_t stampOf(const msghdr &message);
    void takeErrorFrame(const can_frame &frame, int64_t stamp);

    const int m_fd;
    const std::string m_interfaceName;
    const bool m_listenOnly;
    const bool m_fdMode;
    std::atomic<int> m_lastReadError{0};
    std::atomic<int> m_lastWriteError{0};
    int64_t m_lastStamp = 0;

    // Filled by the reader, read by status() on any thread.
    std::mutex m_healthLock;
    std::deque<CanErrorEvent> m_errorEvents;
    uint32_t m_errorEventsLost = 0;
    int m_frameState = CANABLE_STATE_UNKNOWN;
    int m_frameTxErrors = -1;
    int m_frameRxErrors = -1;
    uint32_t m_frameBusOffs = 0;
    uint32_t m_frameRestarts = 0;
    uint64_t m_frameOverflows = 0;
    uint64_t m_kernelDrops = 0;
    uint32_t m_lastDropCounter = 0;
    LinkHealth m_openedWith;
};

} // namespace canable
