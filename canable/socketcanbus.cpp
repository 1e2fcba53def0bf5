#include "socketcanbus.h"

// glibc's net/if.h and the kernel's linux/if.h only coexist in this order.
#include <net/if.h>

#include <libsocketcan.h>

#include <linux/can.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/capability.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

namespace canable {

namespace {

using Clock = std::chrono::steady_clock;

// The kernel's marker for a link brought up with a bit rate it was not told about, e.g.
// a serial adapter configured by its own daemon.
constexpr uint32_t unknownBitrate = 0xFFFFFFFF;

// The default receive buffer holds only a few hundred frames; a reader that stalls for
// a moment on a saturated 1 Mbit/s bus would lose frames. Unprivileged processes get
// whatever the system's limit allows.
constexpr int receiveBufferBytes = 4 << 20;

class SocketGuard
{
public:
    explicit SocketGuard(int fd) : m_fd(fd) {}
    ~SocketGuard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One fprintf per message keeps the line whole when other threads write to stderr.
void report(const char *format, ...)
{
    char text[768];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "canable: %s\n", text);
}

std::string describeError(int error)
{
    return error ? std::strerror(error) : "refused by the kernel";
}

// The name comes from the environment and ends up in a terminal.
std::string printable(const std::string &name)
{
    std::string shown = name.substr(0, 64);
    for (char &c : shown) {
        if (c < 0x20 || c > 0x7e)
            c = '?';
    }
    return shown;
}

std::string programPath()
{
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, size_t(length)) : std::string("<program>");
}

std::string capabilityAdvice()
{
    return "or grant the program cap_net_admin with \"sudo setcap cap_net_admin+ep "
            + programPath() + "\"";
}

// Asked beforehand: libsocketcan prints a complaint of its own for every refused
// request, and the message can then say what to do instead.
bool mayAdministerNetwork()
{
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    return data[CAP_TO_INDEX(CAP_NET_ADMIN)].effective & CAP_TO_MASK(CAP_NET_ADMIN);
}

bool fillRequest(ifreq &request, const std::string &name)
{
    if (name.size() >= sizeof request.ifr_name)
        return false;
    std::memset(&request, 0, sizeof request);
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    return true;
}

bool isCanInterface(int fd, const std::string &name)
{
    ifreq request;
    return fillRequest(request, name) && ::ioctl(fd, SIOCGIFHWADDR, &request) == 0
            && request.ifr_hwaddr.sa_family == ARPHRD_CAN;
}

std::string firstCanInterface(int fd)
{
    std::string found;
    struct if_nameindex *interfaces = ::if_nameindex();
    if (!interfaces)
        return found;
    for (const struct if_nameindex *i = interfaces; i->if_index != 0; ++i) {
        if (isCanInterface(fd, i->if_name)) {
            found = i->if_name;
            break;
        }
    }
    ::if_freenameindex(interfaces);
    return found;
}

struct LinkState
{
    bool known = false;
    bool up = false;
    bool hasBitTiming = false; // a CAN controller, as opposed to vcan and the like
    uint32_t bitrate = 0;      // 0 while none was ever set
};

// libsocketcan's getters complain on stderr about interfaces without bit timing, so
// the state is read here directly.
LinkState queryLink(const std::string &name)
{
    LinkState state;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return state;
    SocketGuard guard(fd);

    struct
    {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = int(::if_nametoindex(name.c_str()));
    if (request.link.ifi_index == 0 || ::send(fd, &request, sizeof request, 0) < 0)
        return state;

    alignas(nlmsghdr) char reply[16384];
    int length = int(::recv(fd, reply, sizeof reply, 0));
    for (auto *message = reinterpret_cast<nlmsghdr *>(reply); NLMSG_OK(message, length);
         message = NLMSG_NEXT(message, length)) {
        if (message->nlmsg_type == NLMSG_ERROR) {
            errno = -static_cast<const nlmsgerr *>(NLMSG_DATA(message))->error;
            return state;
        }
        if (message->nlmsg_type != RTM_NEWLINK)
            continue;
        const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
        state.known = true;
        state.up = link->ifi_flags & IFF_UP;
        int linkLength = int(IFLA_PAYLOAD(message));
        for (auto *attribute = IFLA_RTA(link); RTA_OK(attribute, linkLength);
             attribute = RTA_NEXT(attribute, linkLength)) {
            if (attribute->rta_type != IFLA_LINKINFO)
                continue;
            int infoLength = int(RTA_PAYLOAD(attribute));
            for (auto *info = static_cast<rtattr *>(RTA_DATA(attribute));
                 RTA_OK(info, infoLength); info = RTA_NEXT(info, infoLength)) {
                if (info->rta_type == IFLA_INFO_KIND) {
                    state.hasBitTiming = std::strncmp(static_cast<const char *>(RTA_DATA(info)),
                                                      "can", RTA_PAYLOAD(info)) == 0;
                } else if (info->rta_type == IFLA_INFO_DATA) {
                    int dataLength = int(RTA_PAYLOAD(info));
                    for (auto *data = static_cast<rtattr *>(RTA_DATA(info));
                         RTA_OK(data, dataLength); data = RTA_NEXT(data, dataLength)) {
                        if (data->rta_type == IFLA_CAN_BITTIMING
                                && RTA_PAYLOAD(data) >= sizeof(can_bittiming)) {
                            can_bittiming timing;
                            std::memcpy(&timing, RTA_DATA(data), sizeof timing);
                            state.bitrate = timing.bitrate;
                        }
                    }
                }
            }
        }
    }
    return state;
}

// An interface without a bit rate (vcan, vxcan) only has to be up. One with a bit rate
// is left alone when it already runs at the wanted one, because restarting it would
// disturb the bus and needs privileges the process may lack.
bool prepareLink(const std::string &name, unsigned int kbps)
{
    const uint32_t wanted = kbps * 1000;
    const char *ifname = name.c_str();
    const LinkState link = queryLink(name);
    if (!link.known) {
        report("cannot read the state of %s: %s", ifname, describeError(errno).c_str());
        return false;
    }
    const bool privileged = mayAdministerNetwork();

    if (!link.hasBitTiming) {
        if (link.up)
            return true;
        if (!privileged) {
            report("%s is down and this process may not bring it up: run \"sudo ip link set "
                   "%s up\", %s", ifname, ifname, capabilityAdvice().c_str());
            return false;
        }
        errno = 0;
        if (can_do_start(ifname) != 0) {
            report("cannot bring %s up: %s", ifname, describeError(errno).c_str());
            return false;
        }
        return true;
    }

    if (link.up && link.bitrate == wanted)
        return true;
    if (!privileged) {
        if (link.up && link.bitrate == unknownBitrate)
            return true;
        if (link.up) {
            report("%s is at %u bit/s, not %u, and this process may not change it: run "
                   "\"sudo ip link set %s down && sudo ip link set %s up type can bitrate %u\", %s",
                   ifname, link.bitrate, wanted, ifname, ifname, wanted,
                   capabilityAdvice().c_str());
        } else {
            report("%s is down and this process may not configure it: run \"sudo ip link set "
                   "%s up type can bitrate %u\", %s",
                   ifname, ifname, wanted, capabilityAdvice().c_str());
        }
        return false;
    }

    errno = 0;
    if (link.up && can_do_stop(ifname) != 0) {
        report("cannot stop %s to change its bit rate: %s", ifname,
               describeError(errno).c_str());
        return false;
    }
    errno = 0;
    if (can_set_bitrate(ifname, wanted) != 0) {
        const int error = errno;
        // Leave a running bus running: the failed attempt must not cost the user the
        // link they had.
        if (link.up)
            can_do_start(ifname);
        report("%s cannot run at %u bit/s: %s", ifname, wanted, describeError(error).c_str());
        return false;
    }
    errno = 0;
    if (can_do_start(ifname) != 0) {
        report("cannot start %s at %u bit/s: %s", ifname, wanted,
               describeError(errno).c_str());
        return false;
    }
    return true;
}

timespec remainingUntil(Clock::time_point deadline)
{
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
    timespec remaining{};
    remaining.tv_sec = time_t(nanoseconds.count() / 1000000000);
    remaining.tv_nsec = long(nanoseconds.count() % 1000000000);
    return remaining;
}

void toRecord(const can_frame &frame, CanFrameRecord *record)
{
    const bool extended = frame.can_id & CAN_EFF_FLAG;
    const bool remote = frame.can_id & CAN_RTR_FLAG;
    record->id = frame.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    record->extended = extended;
    record->remote = remote;
    record->dlc = std::min<uint8_t>(frame.can_dlc, CAN_MAX_DLEN);
    // The caller reuses its record, so bytes of an earlier, longer frame must not
    // survive; a remote frame carries no data on the bus at all.
    std::memset(record->data, 0, sizeof record->data);
    if (!remote)
        std::memcpy(record->data, frame.data, record->dlc);
}

can_frame toFrame(const CanFrameRecord &record)
{
    can_frame frame{};
    frame.can_id = record.id;
    if (record.extended)
        frame.can_id |= CAN_EFF_FLAG;
    if (record.remote)
        frame.can_id |= CAN_RTR_FLAG;
    frame.can_dlc = record.dlc;
    if (!record.remote)
        std::memcpy(frame.data, record.data, record.dlc);
    return frame;
}

} // namespace

SocketCanBus::SocketCanBus(int socketFd, std::string interfaceName)
    : m_fd(socketFd)
    , m_interfaceName(std::move(interfaceName))
{}

SocketCanBus::~SocketCanBus()
{
    ::close(m_fd);
}

int SocketCanBus::read(CanFrameRecord *record)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs);
    bool wokenByError = false;
    for (;;) {
        can_frame frame;
        const ssize_t received = ::recv(m_fd, &frame, sizeof frame, MSG_DONTWAIT);
        if (received == ssize_t(sizeof frame) && !(frame.can_id & CAN_ERR_FLAG)) {
            toRecord(frame, record);
            m_lastReadError = 0;
            return 0;
        }
        if (received >= 0 || errno == EINTR) {
            if (Clock::now() >= deadline)
                return -1;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            reportFailure("reading from", errno, m_lastReadError);
            // The receive loop calls again at once; a vanished interface must not turn
            // it into a busy loop.
            std::this_thread::sleep_until(deadline);
            return -1;
        }
        if (wokenByError) {
            std::this_thread::sleep_until(deadline);
            return -1;
        }
        pollfd watched{m_fd, POLLIN, 0};
        const timespec remaining = remainingUntil(deadline);
        const int ready = ::ppoll(&watched, 1, &remaining, nullptr);
        if (ready == 0)
            return -1;
        if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_until(deadline);
            return -1;
        }
        wokenByError = ready > 0 && !(watched.revents & POLLIN);
    }
}

int SocketCanBus::write(const CanFrameRecord &record)
{
    if (!isTransmittable(record))
        return -1;
    const can_frame frame = toFrame(record);
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs);
    for (;;) {
        const ssize_t sent = ::send(m_fd, &frame, sizeof frame, MSG_DONTWAIT);
        if (sent == ssize_t(sizeof frame)) {
            m_lastWriteError = 0;
            return 0;
        }
        const int error = sent < 0 ? errno : EIO;
        if (error == EINTR)
            continue;
        const bool queueFull = error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
        if (queueFull && Clock::now() < deadline) {
            if (error == ENOBUFS) {
                // A full device queue is not signalled through poll; the socket stays
                // writable, so polling would spin.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                pollfd watched{m_fd, POLLOUT, 0};
                const timespec remaining = remainingUntil(deadline);
                ::ppoll(&watched, 1, &remaining, nullptr);
            }
            continue;
        }
        reportFailure("writing to", error, m_lastWriteError);
        return -1;
    }
}

// One line per kind of failure in a row: a link that stays down must not flood stderr.
void SocketCanBus::reportFailure(const char *action, int error, std::atomic<int> &lastReported)
{
    if (lastReported.exchange(error) == error)
        return;
    if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
        report("the transmit queue of %s stayed full for %d ms, so frames are not leaving: "
               "is another node on the bus to acknowledge them, and is the bit rate right?",
               m_interfaceName.c_str(), writeTimeoutMs);
        return;
    }
    report("%s %s failed: %s", action, m_interfaceName.c_str(), std::strerror(error));
}

std::unique_ptr<Backend> openSocketCan(const std::string &interfaceName, unsigned int kbps)
{
    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        const int error = errno;
        if (error == EAFNOSUPPORT || error == EPROTONOSUPPORT) {
            report("this system has no SocketCAN raw sockets (%s): load the module with "
                   "\"sudo modprobe can-raw\"", std::strerror(error));
        } else {
            report("cannot create a CAN socket: %s", std::strerror(error));
        }
        return nullptr;
    }
    SocketGuard guard(fd);

    std::string name = interfaceName;
    if (name.empty()) {
        name = firstCanInterface(fd);
        if (name.empty()) {
            report("no CAN interface found: connect the adapter (\"ip -details link show\" "
                   "lists the interfaces), or name one in CANABLE_INTERFACE");
            return nullptr;
        }
    } else if (name.size() >= IFNAMSIZ) {
        report("\"%s\" is too long to be a network interface name", printable(name).c_str());
        return nullptr;
    } else if (::if_nametoindex(name.c_str()) == 0) {
        report("there is no network interface named \"%s\"", printable(name).c_str());
        return nullptr;
    } else if (!isCanInterface(fd, name)) {
        report("%s is not a CAN interface", printable(name).c_str());
        return nullptr;
    }

    if (!prepareLink(name, kbps))
        return nullptr;

    const int noErrorFrames = 0;
    if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &noErrorFrames,
                     sizeof noErrorFrames) != 0) {
        report("cannot set up a CAN socket on %s: %s", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes,
                     sizeof receiveBufferBytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }

    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = int(::if_nametoindex(name.c_str()));
    if (address.can_ifindex == 0
            || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        report("cannot listen on %s: %s", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    return std::make_unique<SocketCanBus>(guard.release(), name);
}

} // namespace canable
