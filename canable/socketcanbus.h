#pragma once

// A session on one SocketCAN interface through a raw CAN socket. Only classic data and
// remote frames reach the reader: error frames and CAN FD frames are never delivered,
// and neither are the frames this session wrote itself (other sockets on the same
// interface, candump for one, do see them).
//
// Thread use: read() is called by the reader thread and write() by the writer thread,
// possibly at the same time. Construction and destruction must not overlap either call;
// the dispatcher's session lock ensures that.

#include "backend.h"

#include <atomic>
#include <string>

namespace canable {

class SocketCanBus : public Backend
{
public:
    // Takes over socketFd: a non-blocking raw CAN socket already bound to interfaceName.
    SocketCanBus(int socketFd, std::string interfaceName);
    ~SocketCanBus() override;

    SocketCanBus(const SocketCanBus &) = delete;
    SocketCanBus &operator=(const SocketCanBus &) = delete;

    // Waits at most readTimeoutMs for a frame.
    int read(CanFrameRecord *record) override;
    // Waits at most writeTimeoutMs for room in a full transmit queue.
    int write(const CanFrameRecord &record) override;

    static constexpr int readTimeoutMs = 10;
    static constexpr int writeTimeoutMs = 20;

private:
    void reportFailure(const char *action, int error, std::atomic<int> &lastReported);

    const int m_fd;
    const std::string m_interfaceName;
    std::atomic<int> m_lastReadError{0};
    std::atomic<int> m_lastWriteError{0};
};

} // namespace canable
