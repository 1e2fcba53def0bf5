#include "canable/socketcanbus.h"

// glibc's net/if.h and the kernel's linux/if.h only coexist in this order.
#include <net/if.h>

#include <libsocketcan.h>

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <linux/if_arp.h>
#include <linux/net_tstamp.h>
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
#include <set>
#include <thread>
#include <utility>
#include <mutex>

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
    setLastError(text);
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
    bool isCan = false;
    bool up = false;
    bool hasBitTiming = false; // a CAN controller, as opposed to vcan and the like
    bool virtualBus = false;   // vcan or vxcan
    uint32_t bitrate = 0;      // 0 while none was ever set
    uint32_t dataBitrate = 0;  // FD data phase; 0 while none was ever set
    uint32_t mtu = 0;
    bool haveCtrlMode = false;
    uint32_t ctrlModeFlags = 0;
    bool haveSupported = false;
    uint32_t ctrlModeSupported = 0;
    std::string name;
    LinkHealth health;
};

int controllerState(uint32_t kernelState)
{
    switch (kernelState) {
    case CAN_STATE_ERROR_ACTIVE:
        return CANABLE_STATE_ERROR_ACTIVE;
    case CAN_STATE_ERROR_WARNING:
        return CANABLE_STATE_ERROR_WARNING;
    case CAN_STATE_ERROR_PASSIVE:
        return CANABLE_STATE_ERROR_PASSIVE;
    case CAN_STATE_BUS_OFF:
        return CANABLE_STATE_BUS_OFF;
    case CAN_STATE_STOPPED:
    case CAN_STATE_SLEEPING:
        return CANABLE_STATE_STOPPED;
    default:
        return CANABLE_STATE_UNKNOWN;
    }
}

template<typename T>
bool attributeValue(const rtattr *attribute, T *value)
{
    if (RTA_PAYLOAD(attribute) < sizeof(T))
        return false;
    std::memcpy(value, RTA_DATA(attribute), sizeof(T));
    return true;
}

void parseCanData(const rtattr *data, int length, LinkState &state)
{
    for (; RTA_OK(data, length); data = RTA_NEXT(data, length)) {
        can_bittiming timing;
        can_ctrlmode mode;
        can_berr_counter counter;
        uint32_t value = 0;
        if (data->rta_type == IFLA_CAN_BITTIMING && attributeValue(data, &timing)) {
            state.bitrate = timing.bitrate;
        } else if (data->rta_type == IFLA_CAN_DATA_BITTIMING && attributeValue(data, &timing)) {
            state.dataBitrate = timing.bitrate;
        } else if (data->rta_type == IFLA_CAN_CTRLMODE && attributeValue(data, &mode)) {
            state.haveCtrlMode = true;
            state.ctrlModeFlags = mode.flags;
        } else if (data->rta_type == IFLA_CAN_STATE && attributeValue(data, &value)) {
            state.health.state = controllerState(value);
        } else if (data->rta_type == IFLA_CAN_BERR_COUNTER && attributeValue(data, &counter)) {
            state.health.txErrors = counter.txerr;
            state.health.rxErrors = counter.rxerr;
        } else if (data->rta_type == IFLA_CAN_CTRLMODE_EXT) {
            int extLength = int(RTA_PAYLOAD(data));
            for (auto *ext = static_cast<const rtattr *>(RTA_DATA(data)); RTA_OK(ext, extLength);
                 ext = RTA_NEXT(ext, extLength)) {
                if (ext->rta_type == IFLA_CAN_CTRLMODE_SUPPORTED
                        && attributeValue(ext, &state.ctrlModeSupported)) {
                    state.haveSupported = true;
                }
            }
        }
    }
}

void parseLinkInfo(const rtattr *info, int length, LinkState &state)
{
    for (; RTA_OK(info, length); info = RTA_NEXT(info, length)) {
        if (info->rta_type == IFLA_INFO_KIND) {
            const std::string kind(static_cast<const char *>(RTA_DATA(info)),
                                   strnlen(static_cast<const char *>(RTA_DATA(info)),
                                           RTA_PAYLOAD(info)));
            state.hasBitTiming = kind == "can";
            state.virtualBus = kind == "vcan" || kind == "vxcan";
        } else if (info->rta_type == IFLA_INFO_DATA) {
            parseCanData(static_cast<const rtattr *>(RTA_DATA(info)), int(RTA_PAYLOAD(info)),
                         state);
        } else if (info->rta_type == IFLA_INFO_XSTATS) {
            can_device_stats stats;
            if (attributeValue(info, &stats)) {
                state.health.haveDeviceStats = true;
                state.health.busOff = stats.bus_off;
                state.health.restarts = stats.restarts;
            }
        }
    }
}

void parseLink(const nlmsghdr *message, LinkState &state)
{
    const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
    state.known = true;
    state.health.known = true;
    state.isCan = link->ifi_type == ARPHRD_CAN;
    state.up = link->ifi_flags & IFF_UP;
    int linkLength = int(IFLA_PAYLOAD(message));
    for (auto *attribute = IFLA_RTA(link); RTA_OK(attribute, linkLength);
         attribute = RTA_NEXT(attribute, linkLength)) {
        if (attribute->rta_type == IFLA_IFNAME) {
            state.name.assign(static_cast<const char *>(RTA_DATA(attribute)),
                              strnlen(static_cast<const char *>(RTA_DATA(attribute)),
                                      RTA_PAYLOAD(attribute)));
        } else if (attribute->rta_type == IFLA_LINKINFO) {
            parseLinkInfo(static_cast<const rtattr *>(RTA_DATA(attribute)),
                          int(RTA_PAYLOAD(attribute)), state);
        } else if (attribute->rta_type == IFLA_MTU) {
            attributeValue(attribute, &state.mtu);
        } else if (attribute->rta_type == IFLA_STATS64) {
            rtnl_link_stats64 stats;
            if (attributeValue(attribute, &stats)) {
                state.health.haveStats = true;
                state.health.rxOverErrors = stats.rx_over_errors;
            }
        }
    }
}

// A route socket that answers within a bounded time: status is asked for from the
// window's timer.
int routeSocket()
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return fd;
    timeval limit{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// Calls take(message) for every link in the answer to one request; false when the
// kernel gave no complete answer.
template<typename Take>
bool requestLinks(int ifindex, Take take)
{
    const int fd = routeSocket();
    if (fd < 0)
        return false;
    SocketGuard guard(fd);
    struct
    {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | (ifindex ? 0 : NLM_F_DUMP);
    request.header.nlmsg_seq = 1;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = ifindex;
    if (::send(fd, &request, sizeof request, 0) < 0)
        return false;

    alignas(nlmsghdr) char reply[32768];
    // A dump of many links comes in parts; bounded in case the kernel keeps sending.
    for (int part = 0; part < 256; ++part) {
        int length = int(::recv(fd, reply, sizeof reply, 0));
        if (length <= 0)
            return false;
        for (auto *message = reinterpret_cast<nlmsghdr *>(reply); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_type == NLMSG_DONE)
                return true;
            if (message->nlmsg_type == NLMSG_ERROR) {
                errno = -static_cast<const nlmsgerr *>(NLMSG_DATA(message))->error;
                return false;
            }
            if (message->nlmsg_type == RTM_NEWLINK)
                take(message);
        }
        if (ifindex)
            return true;
    }
    return false;
}

// libsocketcan's getters complain on stderr about interfaces without bit timing, so
// the state is read here directly.
LinkState queryLink(const std::string &name)
{
    LinkState state;
    const int ifindex = int(::if_nametoindex(name.c_str()));
    if (ifindex == 0)
        return state;
    LinkState found;
    if (requestLinks(ifindex, [&](const nlmsghdr *message) { parseLink(message, found); }))
        state = found;
    return state;
}

// The interfaces this process put in listen-only mode, so that a later normal open
// takes them out of it again, while a mode the user set up himself is left alone.
std::mutex listenOnlyLock;
std::set<std::string> listenOnlyByUs;

bool setByUs(const std::string &name)
{
    std::lock_guard<std::mutex> lock(listenOnlyLock);
    return listenOnlyByUs.count(name) != 0;
}

void rememberMode(const std::string &name, bool listenOnly)
{
    std::lock_guard<std::mutex> lock(listenOnlyLock);
    if (listenOnly)
        listenOnlyByUs.insert(name);
    else
        listenOnlyByUs.erase(name);
}

// An interface without a bit rate (vcan, vxcan) only has to be up. One with a bit rate
// is left alone when it already runs at the wanted one in the wanted mode, because
// restarting it would disturb the bus and needs privileges the process may lack.
bool prepareLink(const std::string &name, unsigned int kbps, bool listenOnly)
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
        if (listenOnly) {
            report("%s is a virtual CAN interface without a controller, so it has no "
                   "listen-only mode: open it normally", ifname);
            return false;
        }
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

    const bool inListenOnly = link.haveCtrlMode
            && (link.ctrlModeFlags & CAN_CTRLMODE_LISTENONLY);
    const bool modeMatters = listenOnly || (inListenOnly && setByUs(name));
    const bool modeRight = !modeMatters || inListenOnly == listenOnly;
    if (link.up && link.bitrate == wanted && modeRight)
        return true;
    if (listenOnly && link.haveSupported
            && !(link.ctrlModeSupported & CAN_CTRLMODE_LISTENONLY)) {
        report("the driver of %s does not support listen-only mode", ifname);
        return false;
    }
    if (!privileged) {
        if (listenOnly) {
            report("only a process that may configure %s can put it in listen-only mode: run "
                   "\"sudo ip link set %s down && sudo ip link set %s up type can bitrate %u "
                   "listen-only on\", %s", ifname, ifname, ifname, wanted,
                   capabilityAdvice().c_str());
            return false;
        }
        if (link.up && link.bitrate == unknownBitrate)
            return true;
        if (link.up) {
            report("%s is at %u bit/s, not %u, and this process may not change it: run "
                   "\"sudo ip link set %s down && "
                   "sudo ip link set %s up type can bitrate %u\", %s",
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
    if (modeMatters) {
        can_ctrlmode mode{};
        mode.mask = CAN_CTRLMODE_LISTENONLY;
        mode.flags = listenOnly ? CAN_CTRLMODE_LISTENONLY : 0;
        errno = 0;
        if (can_set_ctrlmode(ifname, &mode) != 0) {
            const int error = errno;
            if (link.up)
                can_do_start(ifname);
            report("%s refused %s listen-only mode: %s", ifname,
                   listenOnly ? "to enter" : "to leave", describeError(error).c_str());
            return false;
        }
        rememberMode(name, listenOnly);
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

// Appends one attribute to a netlink message being built in `buffer`; the caller closes
// nests by setting rta_len from the returned start.
class NetlinkMessage
{
public:
    explicit NetlinkMessage(nlmsghdr *header, size_t capacity)
        : m_header(header), m_capacity(capacity) {}
    rtattr *add(unsigned short type, const void *data, size_t size)
    {
        const size_t length = RTA_LENGTH(size);
        if (NLMSG_ALIGN(m_header->nlmsg_len) + RTA_ALIGN(length) > m_capacity)
            return nullptr;
        auto *attribute = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(m_header)
                                                     + NLMSG_ALIGN(m_header->nlmsg_len));
        attribute->rta_type = type;
        attribute->rta_len = (unsigned short)length;
        if (size)
            std::memcpy(RTA_DATA(attribute), data, size);
        m_header->nlmsg_len = uint32_t(NLMSG_ALIGN(m_header->nlmsg_len) + RTA_ALIGN(length));
        return attribute;
    }
    void close(rtattr *nest)
    {
        nest->rta_len = (unsigned short)(reinterpret_cast<char *>(m_header) + m_header->nlmsg_len
                                         - reinterpret_cast<char *>(nest));
    }

private:
    nlmsghdr *m_header;
    size_t m_capacity;
};

// Both bit timings and the controller mode in one request, as "ip link set ... type can
// bitrate N dbitrate M fd on" sends them; the interface must be down. 0 or an errno.
int setFdTiming(const std::string &name, uint32_t bitrate, uint32_t dataBitrate,
                const can_ctrlmode &mode)
{
    const int ifindex = int(::if_nametoindex(name.c_str()));
    if (ifindex == 0)
        return ENODEV;
    const int fd = routeSocket();
    if (fd < 0)
        return errno;
    SocketGuard guard(fd);
    alignas(nlmsghdr) char buffer[512] = {};
    auto *header = reinterpret_cast<nlmsghdr *>(buffer);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    header->nlmsg_type = RTM_NEWLINK;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    header->nlmsg_seq = 2;
    auto *link = static_cast<ifinfomsg *>(NLMSG_DATA(header));
    link->ifi_family = AF_UNSPEC;
    link->ifi_index = ifindex;
    NetlinkMessage message(header, sizeof buffer);
    rtattr *info = message.add(IFLA_LINKINFO, nullptr, 0);
    message.add(IFLA_INFO_KIND, "can", 3);
    rtattr *data = message.add(IFLA_INFO_DATA, nullptr, 0);
    can_bittiming nominal{};
    nominal.bitrate = bitrate;
    can_bittiming fast{};
    fast.bitrate = dataBitrate;
    message.add(IFLA_CAN_CTRLMODE, &mode, sizeof mode);
    message.add(IFLA_CAN_BITTIMING, &nominal, sizeof nominal);
    if (!message.add(IFLA_CAN_DATA_BITTIMING, &fast, sizeof fast))
        return EMSGSIZE;
    message.close(data);
    message.close(info);
    if (::send(fd, buffer, header->nlmsg_len, 0) < 0)
        return errno;
    alignas(nlmsghdr) char reply[4096];
    const int length = int(::recv(fd, reply, sizeof reply, 0));
    if (length < 0)
        return errno;
    const auto *answer = reinterpret_cast<const nlmsghdr *>(reply);
    if (!NLMSG_OK(answer, length) || answer->nlmsg_type != NLMSG_ERROR)
        return EPROTO;
    return -static_cast<const nlmsgerr *>(NLMSG_DATA(answer))->error;
}

// As prepareLink, for FD mode: the interface must carry FD frames. A controller is set to
// FD mode at both rates unless it already runs so.
bool prepareFdLink(const std::string &name, unsigned int kbps, unsigned int dataKbps,
                   bool listenOnly)
{
    const uint32_t wanted = kbps * 1000;
    const uint32_t wantedData = dataKbps * 1000;
    const char *ifname = name.c_str();
    const LinkState link = queryLink(name);
    if (!link.known) {
        report("cannot read the state of %s: %s", ifname, describeError(errno).c_str());
        return false;
    }
    if (!link.hasBitTiming) {
        if (link.mtu != CANFD_MTU) {
            report("%s carries only classic CAN frames (MTU %u), so it cannot open in FD "
                   "mode: run \"sudo ip link set %s down && sudo ip link set %s mtu 72 up\"",
                   ifname, link.mtu, ifname, ifname);
            return false;
        }
        return prepareLink(name, kbps, listenOnly);
    }
    if (link.haveSupported && !(link.ctrlModeSupported & CAN_CTRLMODE_FD)) {
        report("the driver of %s has no CAN FD mode: the adapter or its firmware supports "
               "classic CAN only", ifname);
        return false;
    }
    const bool inFd = link.haveCtrlMode && (link.ctrlModeFlags & CAN_CTRLMODE_FD)
            && link.mtu == CANFD_MTU;
    const bool inListenOnly = link.haveCtrlMode
            && (link.ctrlModeFlags & CAN_CTRLMODE_LISTENONLY);
    const bool modeMatters = listenOnly || (inListenOnly && setByUs(name));
    const bool modeRight = !modeMatters || inListenOnly == listenOnly;
    if (link.up && inFd && link.bitrate == wanted && link.dataBitrate == wantedData
            && modeRight)
        return true;
    if (!mayAdministerNetwork()) {
        report("%s is not in FD mode at %u/%u bit/s and this process may not configure it: "
               "run \"sudo ip link set %s down && sudo ip link set %s up type can bitrate %u "
               "dbitrate %u fd on%s\", %s", ifname, wanted, wantedData, ifname, ifname,
               wanted, wantedData, listenOnly ? " listen-only on" : "",
               capabilityAdvice().c_str());
        return false;
    }
    errno = 0;
    if (link.up && can_do_stop(ifname) != 0) {
        report("cannot stop %s to change its bit rates: %s", ifname,
               describeError(errno).c_str());
        return false;
    }
    can_ctrlmode mode{};
    mode.mask = CAN_CTRLMODE_FD | (modeMatters ? CAN_CTRLMODE_LISTENONLY : 0);
    mode.flags = CAN_CTRLMODE_FD | (listenOnly ? CAN_CTRLMODE_LISTENONLY : 0);
    const int error = setFdTiming(name, wanted, wantedData, mode);
    if (error != 0) {
        // Leave a running bus running: the failed attempt must not cost the user the
        // link they had.
        if (link.up)
            can_do_start(ifname);
        report("%s cannot run in FD mode at %u/%u bit/s: %s", ifname, wanted, wantedData,
               describeError(error).c_str());
        return false;
    }
    if (modeMatters)
        rememberMode(name, listenOnly);
    errno = 0;
    if (can_do_start(ifname) != 0) {
        report("cannot start %s in FD mode at %u/%u bit/s: %s", ifname, wanted, wantedData,
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

SocketCanBus::SocketCanBus(int socketFd, std::string interfaceName, bool listenOnly,
                           bool fdMode)
    : m_fd(socketFd)
    , m_interfaceName(std::move(interfaceName))
    , m_listenOnly(listenOnly)
    , m_fdMode(fdMode)
    , m_openedWith(queryLinkHealth(m_interfaceName))
{}

SocketCanBus::~SocketCanBus()
{
    ::close(m_fd);
}

// The adapter's own stamp where the driver delivers one in wall-clock time (gs_usb does),
// the kernel's receive stamp otherwise. A hardware clock that is not in wall-clock time
// shows as far off the kernel's stamp and is not used.
int64_t SocketCanBus::stampOf(const msghdr &message)
{
    constexpr int64_t plausible = 10 * 1000000;
    int64_t software = 0;
    int64_t hardware = 0;
    uint32_t dropCounter = m_lastDropCounter;
    bool sawDrops = false;
    for (cmsghdr *control = CMSG_FIRSTHDR(&message); control;
         control = CMSG_NXTHDR(const_cast<msghdr *>(&message), control)) {
        if (control->cmsg_level != SOL_SOCKET)
            continue;
        if (control->cmsg_type == SO_TIMESTAMPING
                && control->cmsg_len >= CMSG_LEN(sizeof(scm_timestamping))) {
            scm_timestamping stamps;
            std::memcpy(&stamps, CMSG_DATA(control), sizeof stamps);
            software = int64_t(stamps.ts[0].tv_sec) * 1000000 + stamps.ts[0].tv_nsec / 1000;
            hardware = int64_t(stamps.ts[2].tv_sec) * 1000000 + stamps.ts[2].tv_nsec / 1000;
        } else if (control->cmsg_type == SO_TIMESTAMPNS
                   && control->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(control), sizeof stamp);
            software = int64_t(stamp.tv_sec) * 1000000 + stamp.tv_nsec / 1000;
        } else if (control->cmsg_type == SO_RXQ_OVFL
                   && control->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            std::memcpy(&dropCounter, CMSG_DATA(control), sizeof dropCounter);
            sawDrops = true;
        }
    }
    if (sawDrops && dropCounter != m_lastDropCounter) {
        std::lock_guard<std::mutex> lock(m_healthLock);
        // The kernel's counter is 32 bits and wraps.
        m_kernelDrops += uint32_t(dropCounter - m_lastDropCounter);
        m_lastDropCounter = dropCounter;
    }
    if (hardware > 0 && software > 0 && std::llabs(hardware - software) < plausible)
        return hardware;
    return software;
}

void SocketCanBus::takeErrorFrame(const can_frame &frame, int64_t stamp)
{
    CanErrorEvent event{};
    event.errorClass = frame.can_id & CAN_ERR_MASK;
    std::memcpy(event.data, frame.data, std::min<size_t>(frame.can_dlc, sizeof event.data));
    event.timestampUs = stamp;

    std::lock_guard<std::mutex> lock(m_healthLock);
    if (m_errorEvents.size() < errorEventCapacity)
        m_errorEvents.push_back(event);
    else
        ++m_errorEventsLost;
    if (event.errorClass & CAN_ERR_CNT) {
        m_frameTxErrors = event.data[6];
        m_frameRxErrors = event.data[7];
    }
    const bool wasBusOff = m_frameState == CANABLE_STATE_BUS_OFF;
    if (event.errorClass & CAN_ERR_CRTL) {
        const uint8_t status = event.data[1];
        if (status & CAN_ERR_CRTL_ACTIVE)
            m_frameState = CANABLE_STATE_ERROR_ACTIVE;
        if (status & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING))
            m_frameState = CANABLE_STATE_ERROR_WARNING;
        if (status & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE))
            m_frameState = CANABLE_STATE_ERROR_PASSIVE;
        if (status & (CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW))
            ++m_frameOverflows;
    }
    if (event.errorClass & CAN_ERR_BUSOFF) {
        m_frameState = CANABLE_STATE_BUS_OFF;
        ++m_frameBusOffs;
    }
    // gs_usb firmware leaves bus-off by itself, and its driver then reports the new state
    // rather than a restart.
    if (event.errorClass & CAN_ERR_RESTARTED)
        m_frameState = CANABLE_STATE_ERROR_ACTIVE;
    if (wasBusOff && m_frameState != CANABLE_STATE_BUS_OFF)
        ++m_frameRestarts;
}

int SocketCanBus::receive(canfd_frame *frame, long *size, Clock::time_point deadline)
{
    bool wokenByError = false;
    for (;;) {
        iovec vector{frame, sizeof *frame};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(scm_timestamping))
                                      + CMSG_SPACE(sizeof(uint32_t)) + 64];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = ::recvmsg(m_fd, &message, MSG_DONTWAIT);
        if (received == ssize_t(CAN_MTU) || (m_fdMode && received == ssize_t(CANFD_MTU))) {
            const int64_t stamp = stampOf(message);
            if (frame->can_id & CAN_ERR_FLAG) {
                takeErrorFrame(*reinterpret_cast<const can_frame *>(frame), stamp);
            } else {
                *size = long(received);
                m_lastStamp = stamp;
                m_lastReadError = 0;
                return 0;
            }
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

int SocketCanBus::read(CanFrameRecord *record)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs);
    canfd_frame frame;
    long size = 0;
    do {
        if (receive(&frame, &size, deadline) != 0)
            return -1;
    } while (size != long(CAN_MTU));
    toRecord(*reinterpret_cast<const can_frame *>(&frame), record);
    return 0;
}

int SocketCanBus::readFd(CanFdFrameRecord *record)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs);
    canfd_frame frame;
    long size = 0;
    if (receive(&frame, &size, deadline) != 0)
        return -1;
    if (size == long(CAN_MTU)) {
        CanFrameRecord classic;
        toRecord(*reinterpret_cast<const can_frame *>(&frame), &classic);
        *record = fdRecordOf(classic);
        return 0;
    }
    const bool extended = frame.can_id & CAN_EFF_FLAG;
    *record = CanFdFrameRecord{};
    record->id = frame.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    // A sender may put any length into the structure; the bus carries the next FD length
    // up, which is what a receiving controller would deliver.
    unsigned int len = std::min<unsigned int>(frame.len, CANFD_MAX_DLEN);
    while (!isFdLength(len))
        ++len;
    record->len = uint8_t(len);
    record->flags = uint8_t(CANABLE_FD_FDF | (extended ? CANABLE_FD_EXT : 0)
                            | ((frame.flags & CANFD_BRS) ? CANABLE_FD_BRS : 0)
                            | ((frame.flags & CANFD_ESI) ? CANABLE_FD_ESI : 0));
    std::memcpy(record->data, frame.data, std::min<size_t>(frame.len, CANFD_MAX_DLEN));
    return 0;
}

bool SocketCanBus::lastReadTimestamp(int64_t *usec)
{
    if (m_lastStamp <= 0)
        return false;
    *usec = m_lastStamp;
    return true;
}

bool SocketCanBus::readErrorEvent(CanErrorEvent *event)
{
    std::lock_guard<std::mutex> lock(m_healthLock);
    if (m_errorEvents.empty())
        return false;
    *event = m_errorEvents.front();
    m_errorEvents.pop_front();
    return true;
}

// The kernel's view where the driver reports it; the error frames fill in the rest.
void SocketCanBus::status(CanBusStatus *status)
{
    const LinkHealth link = queryLinkHealth(m_interfaceName);
    std::lock_guard<std::mutex> lock(m_healthLock);
    *status = CanBusStatus{};
    status->state = link.state != CANABLE_STATE_UNKNOWN ? link.state : m_frameState;
    status->txErrors = link.txErrors >= 0 ? link.txErrors : m_frameTxErrors;
    status->rxErrors = link.rxErrors >= 0 ? link.rxErrors : m_frameRxErrors;
    status->busOffCount = m_frameBusOffs;
    status->restarts = m_frameRestarts;
    if (link.haveDeviceStats && m_openedWith.haveDeviceStats
            && link.busOff >= m_openedWith.busOff && link.restarts >= m_openedWith.restarts) {
        status->busOffCount = std::max(status->busOffCount,
                                       link.busOff - m_openedWith.busOff);
        status->restarts = std::max(status->restarts, link.restarts - m_openedWith.restarts);
    }
    status->errorEventsLost = m_errorEventsLost;
    status->kernelDrops = m_kernelDrops;
    status->adapterDrops = m_frameOverflows;
    if (link.haveStats && m_openedWith.haveStats && link.rxOverErrors >= m_openedWith.rxOverErrors)
        status->adapterDrops = std::max(status->adapterDrops,
                                        link.rxOverErrors - m_openedWith.rxOverErrors);
}

static_assert(CANABLE_FILTER_EXTENDED == CAN_EFF_FLAG && CANABLE_FILTER_REMOTE == CAN_RTR_FLAG
                  && CANABLE_FILTER_MAX == CAN_RAW_FILTER_MAX,
              "the library's filter terms are the kernel's");

void SocketCanBus::setReceiveFilter(const std::vector<CanReceiveFilter> &filters)
{
    // Without terms the socket would receive nothing; the default term takes everything.
    std::vector<can_filter> terms(std::max<size_t>(filters.size(), 1), can_filter{0, 0});
    for (size_t i = 0; i < filters.size(); ++i) {
        terms[i].can_id = filters[i].id & ~canid_t(CAN_INV_FILTER);
        terms[i].can_mask = filters[i].mask & ~canid_t(CAN_ERR_FLAG);
        if (filters[i].inverted)
            terms[i].can_id |= CAN_INV_FILTER;
    }
    // A refusal leaves the kernel passing more than the filter; the dispatcher still
    // drops the rest.
    if (::setsockopt(m_fd, SOL_CAN_RAW, CAN_RAW_FILTER, terms.data(),
                     socklen_t(terms.size() * sizeof(can_filter))) != 0)
        std::fprintf(stderr, "canable: %s: the kernel refused the receive filter: %s\n",
                     m_interfaceName.c_str(), std::strerror(errno));
}

int SocketCanBus::write(const CanFrameRecord &record)
{
    if (m_listenOnly)
        return -1;
    if (!isTransmittable(record))
        return -1;
    const can_frame frame = toFrame(record);
    return send(&frame, sizeof frame);
}

int SocketCanBus::writeFd(const CanFdFrameRecord &record)
{
    if (!(record.flags & CANABLE_FD_FDF))
        return write(classicOf(record));
    if (m_listenOnly) {
        setLastError("the device is open in listen-only mode");
        return -1;
    }
    canfd_frame frame{};
    frame.can_id = record.id | ((record.flags & CANABLE_FD_EXT) ? CAN_EFF_FLAG : 0);
    frame.len = record.len;
    frame.flags = uint8_t(((record.flags & CANABLE_FD_BRS) ? CANFD_BRS : 0)
                          | ((record.flags & CANABLE_FD_ESI) ? CANFD_ESI : 0));
    std::memcpy(frame.data, record.data, record.len);
    return send(&frame, sizeof frame);
}

int SocketCanBus::send(const void *frame, size_t size)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs);
    for (;;) {
        const ssize_t sent = ::send(m_fd, frame, size, MSG_DONTWAIT);
        if (sent == ssize_t(size)) {
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

LinkHealth queryLinkHealth(const std::string &name)
{
    return queryLink(name).health;
}

int listSocketCanInterfaces(CanInterfaceInfo *list, int capacity)
{
    int count = 0;
    const bool answered = requestLinks(0, [&](const nlmsghdr *message) {
        LinkState link;
        parseLink(message, link);
        if (!link.isCan || link.name.empty())
            return;
        if (count < capacity) {
            CanInterfaceInfo &info = list[count];
            info = CanInterfaceInfo{};
            std::memcpy(info.name, link.name.c_str(),
                        std::min(link.name.size(), sizeof info.name - 1));
            info.up = link.up;
            info.virtualBus = !link.hasBitTiming;
            info.bitrate = link.bitrate == unknownBitrate ? 0 : link.bitrate;
        }
        ++count;
    });
    if (!answered) {
        setLastError(std::string("cannot list the network interfaces: ")
                     + describeError(errno));
        return -1;
    }
    return count;
}

std::unique_ptr<Backend> openSocketCan(const std::string &interfaceName, unsigned int kbps,
                                       unsigned int dataKbps, bool listenOnly)
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

    const bool fdMode = dataKbps != 0;
    if (!(fdMode ? prepareFdLink(name, kbps, dataKbps, listenOnly)
                 : prepareLink(name, kbps, listenOnly)))
        return nullptr;

    const can_err_mask_t allErrors = CAN_ERR_MASK;
    const int on = 1;
    if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &allErrors, sizeof allErrors) != 0
            || ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0
            || (fdMode
                && ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0)) {
        report("cannot set up a CAN socket on %s: %s", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    // Older kernels lack some of the stamping flags; the plain receive stamp is then
    // enough.
    const int stamping = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE
            | SOF_TIMESTAMPING_RX_HARDWARE | SOF_TIMESTAMPING_RAW_HARDWARE;
    if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &stamping, sizeof stamping) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
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
    return std::make_unique<SocketCanBus>(guard.release(), name, listenOnly, fdMode);
}

} // namespace canable
