// Checks the adapter library's SocketCAN backend against the kernel's CAN stack. Runs as
// root inside the test VM prepared by tests/vm/init: vcan0 up with room for CAN FD
// frames (MTU 72), the slcan and sch_plug modules loaded, can-utils in /usr/bin and
// iproute2 in /usr/sbin. Prints "CHECK <name>: ok" or "CHECK <name>: FAIL" with the
// reasons, and exits with status 1 when any check failed.

#include "canable/canable.h"
#include "health/busload.h"
#include "traceformats/tracefile.h"

#include <libsocketcan.h>

#include <net/if.h>

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

const char vcan[] = "vcan0";
constexpr int slcanDiscipline = 17;

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *pattern, ...)
{
    char text[1024];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

struct Check
{
    Strings problems;
    void require(bool ok, const std::string &problem)
    {
        if (!ok)
            problems.push_back(problem);
    }
};

int failedChecks = 0;
const char *runningCheck = "";

// A library call that never returns would otherwise stall the VM until its timeout,
// without saying where.
void reportHang(int)
{
    const char *parts[] = {"CHECK ", runningCheck, ": FAIL\n    hung\n"};
    for (const char *part : parts) {
        if (::write(1, part, std::strlen(part)) < 0)
            break;
    }
    _exit(1);
}

void runCheck(const char *name, void (*body)(Check &))
{
    runningCheck = name;
    std::signal(SIGALRM, reportHang);
    alarm(120);
    Check check;
    body(check);
    alarm(0);
    canable_freeDLL(0);
    std::printf("CHECK %s: %s\n", name, check.problems.empty() ? "ok" : "FAIL");
    for (const std::string &problem : check.problems)
        std::printf("    %s\n", problem.c_str());
    std::fflush(stdout);
    failedChecks += !check.problems.empty();
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double timed(const std::function<void()> &call)
{
    const auto start = Clock::now();
    call();
    return secondsSince(start);
}

bool waitFor(const std::function<bool()> &condition, double seconds)
{
    const auto start = Clock::now();
    while (!condition()) {
        if (secondsSince(start) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The commands are simple, fixed and run by busybox's shell.
bool run(const std::string &commandLine)
{
    return std::system(commandLine.c_str()) == 0;
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool isUp(const std::string &name)
{
    return std::strtoul(readFile("/sys/class/net/" + name + "/flags").c_str(), nullptr, 16) & 1;
}

bool runsAt(const std::string &name, uint32_t bitrate)
{
    can_bittiming timing{};
    return isUp(name) && can_get_bittiming(name.c_str(), &timing) == 0
            && timing.bitrate == bitrate;
}

// candump cannot say that it is ready; its socket showing up in the kernel's receive
// lists is the sign.
int receiverCount(const char *list = "all")
{
    std::istringstream lists(readFile(std::string("/proc/net/can/rcvlist_") + list));
    std::string word;
    int count = 0;
    while (lists >> word)
        count += word == vcan;
    return count;
}

// Logs to path until it saw count frames or none for 30 s; pclose() waits for that.
FILE *startCandump(const std::string &options, unsigned long count, const char *path)
{
    const int before = receiverCount();
    FILE *candump = popen(format("exec /usr/bin/candump -L -T 30000 %s -n %lu vcan0 >%s",
                                 options.c_str(), count, path).c_str(), "r");
    waitFor([&] { return receiverCount() > before; }, 30);
    return candump;
}

Strings candumpFrames(const char *path)
{
    std::istringstream log(readFile(path));
    Strings frames;
    std::string time;
    std::string interface;
    std::string frame;
    while (log >> time >> interface >> frame)
        frames.push_back(frame);
    return frames;
}

// candump's compact form, which keeps only 11 bits of a standard identifier.
std::string text(const can_frame &frame)
{
    const bool extended = frame.can_id & CAN_EFF_FLAG;
    std::string line = extended ? format("%08X#", frame.can_id & CAN_EFF_MASK)
                                : format("%03X#", frame.can_id & CAN_SFF_MASK);
    if (frame.can_id & CAN_RTR_FLAG)
        return line + "R" + (frame.can_dlc ? std::to_string(frame.can_dlc) : "");
    for (int i = 0; i < frame.can_dlc && i < 8; ++i)
        line += format("%02X", frame.data[i]);
    return line;
}

// The identifier stays unmasked, so that a record with more identifier bits than its
// format allows shows up.
std::string text(const CanFrameRecord &record)
{
    can_frame frame{};
    frame.can_id = (record.extended ? CAN_EFF_FLAG : 0) | (record.remote ? CAN_RTR_FLAG : 0);
    frame.can_dlc = record.dlc;
    std::memcpy(frame.data, record.data, sizeof frame.data);
    const std::string body = text(frame);
    return format(record.extended ? "%08X" : "%03X", record.id) + body.substr(body.find('#'));
}

std::string firstDifference(const Strings &got, const Strings &expected)
{
    const auto at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    return format("%zu frames, expected %zu; at %zd %s instead of %s", got.size(),
                  expected.size(), at.first - got.begin(),
                  at.first != got.end() ? at.first->c_str() : "nothing",
                  at.second != expected.end() ? at.second->c_str() : "nothing");
}

// Flags of other values than 1 and filled reserved bytes, as a careless caller leaves them.
CanFrameRecord frame(uint32_t id, bool extended, bool remote, uint8_t dlc, uint64_t data = 0)
{
    CanFrameRecord record{};
    record.id = id;
    record.extended = extended ? 0x80 : 0;
    record.remote = remote ? 2 : 0;
    record.dlc = dlc;
    std::memset(record.reserved1, 0xA5, sizeof record.reserved1);
    std::memset(record.reserved2, 0xA5, sizeof record.reserved2);
    for (int i = 0; i < 8; ++i)
        record.data[i] = uint8_t(data >> (56 - 8 * i));
    return record;
}

struct Opening
{
    int status;
    std::string errors;
};

// Opens with stderr going to a file, in FD mode with a data rate; no other thread may use
// the library meanwhile.
Opening openAdapter(const std::string &name, unsigned int kbps, unsigned int dataKbps = 0)
{
    setenv("CANABLE_INTERFACE", name.c_str(), 1);
    std::fflush(stderr);
    const int saved = dup(2);
    const int file = open("/tmp/stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 2);
    close(file);
    const int status = dataKbps ? canable_initFD(0, kbps, dataKbps) : canable_initDLL(0, kbps);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return {status, readFile("/tmp/stderr.txt")};
}

// The same in a child process without CAP_NET_ADMIN, as an ordinary user's program.
Opening openWithoutNetAdmin(const std::string &name, unsigned int kbps,
                            unsigned int dataKbps = 0)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        syscall(SYS_capget, &header, data);
        data[CAP_TO_INDEX(CAP_NET_ADMIN)].effective &= ~CAP_TO_MASK(CAP_NET_ADMIN);
        if (syscall(SYS_capset, &header, data) != 0)
            _exit(100);
        const Opening opening = openAdapter(name, kbps, dataKbps);
        std::ofstream("/tmp/child-stderr.txt") << opening.errors;
        _exit(opening.status == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile("/tmp/child-stderr.txt")};
}

// An open either succeeds silently or fails with one line that contains message.
void requireOpening(Check &check, const std::string &what, const Opening &opening,
                    const std::string &message = {})
{
    const auto lines = std::count(opening.errors.begin(), opening.errors.end(), '\n');
    const bool ok = message.empty()
            ? opening.status == 0 && opening.errors.empty()
            : opening.status != 0 && lines == 1
                    && opening.errors.find(message) != std::string::npos;
    check.require(ok, format("%s: result %d, stderr \"%s\"", what.c_str(), opening.status,
                             opening.errors.c_str()));
}

// Reads until a frame comes; empty when none came in time.
std::string readOne()
{
    CanFrameRecord record{};
    const bool got = waitFor([&] { return canable_readMessage(0, &record, 1) == 0; }, 10);
    return got ? text(record) : std::string();
}

int rawSocket(bool canFd)
{
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    const int on = 1;
    if (canFd)
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
    // Observers take in whole bursts before they read them.
    const int buffer = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = int(if_nametoindex(vcan));
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    return fd;
}

std::string observe(int fd)
{
    can_frame frame{};
    pollfd watched{fd, POLLIN, 0};
    if (poll(&watched, 1, 10000) != 1 || read(fd, &frame, sizeof frame) <= 0)
        return {};
    return text(frame);
}

// A serial-line CAN interface on a pseudo terminal. The kernel's slcan driver gives it
// bit timing like a CAN controller; the terminal's other end plays the adapter, seeing
// the commands and frames the driver sends and injecting received frames.
class SlcanLink
{
public:
    SlcanLink()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY);
        char interface[IFNAMSIZ] = {};
        if (ioctl(m_slave, TIOCSETD, &slcanDiscipline) != 0
                || ioctl(m_slave, SIOCGIFNAME, interface) != 0)
            return;
        name = interface;
        // The driver waits for the terminal to take each command, so someone must read.
        m_drain = std::thread([this] {
            char buffer[256];
            pollfd watched{m_master, POLLIN, 0};
            while (m_running) {
                const ssize_t length = poll(&watched, 1, 20) == 1
                        ? ::read(m_master, buffer, sizeof buffer) : 0;
                std::lock_guard<std::mutex> lock(m_mutex);
                m_output.append(buffer, size_t(std::max<ssize_t>(length, 0)));
            }
        });
    }
    ~SlcanLink()
    {
        m_running = false;
        if (m_drain.joinable())
            m_drain.join();
        close(m_slave);
        close(m_master);
    }
    bool received(const std::string &expected)
    {
        return waitFor([&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_output.find(expected) != std::string::npos;
        }, 10);
    }
    void send(const std::string &line) { ::write(m_master, line.data(), line.size()); }

    std::string name;

private:
    int m_master = -1;
    int m_slave = -1;
    std::atomic<bool> m_running{true};
    std::mutex m_mutex;
    std::string m_output;
    std::thread m_drain;
};

void checkInterfaceChoice(Check &check)
{
    const int observer = rawSocket(false);
    requireOpening(check, "open with no name", openAdapter("", 500));
    const CanFrameRecord probe = frame(0x321, false, false, 1, 0xAB00000000000000);
    canable_writeMessage(0, &probe);
    check.require(observe(observer) == "321#AB", "no name did not choose vcan0, the first CAN "
                                                 "interface");
    close(observer);
    check.require(canable_freeDLL(0) == 0 && canable_freeDLL(0) == 0, "a second close failed");
    CanFrameRecord record{};
    check.require(canable_readMessage(0, &record, 1) != 0 && canable_writeMessage(0, &probe) != 0,
                  "read or write succeeded with nothing open");

    requireOpening(check, "nosuch0", openAdapter("nosuch0", 500),
                   "there is no network interface named \"nosuch0\"");
    requireOpening(check, "lo", openAdapter("lo", 500), "lo is not a CAN interface");
    requireOpening(check, "a long name", openAdapter("averyveryverylongname0", 500),
                   "too long to be a network interface name");
    requireOpening(check, "a name with an escape", openAdapter("can\x1b[2J", 500),
                   "named \"can?[2J\"");
}

void checkLinkWithoutBitTiming(Check &check)
{
    for (unsigned int kbps : {10, 20, 50, 100, 500, 1000})
        requireOpening(check, format("vcan0 at %u kbit/s", kbps), openAdapter(vcan, kbps));
    canable_freeDLL(0);
    run("/usr/sbin/ip link set vcan0 down");
    requireOpening(check, "vcan0 while down", openAdapter(vcan, 500));
    check.require(isUp(vcan), "root did not bring vcan0 up");
    canable_freeDLL(0);

    run("/usr/sbin/ip link set vcan0 down");
    requireOpening(check, "unprivileged, vcan0 down", openWithoutNetAdmin(vcan, 500),
                   "run \"sudo ip link set vcan0 up\", or grant");
    run("/usr/sbin/ip link set vcan0 up");
    requireOpening(check, "unprivileged, vcan0 up", openWithoutNetAdmin(vcan, 1000));
}

void checkLinkWithBitTiming(Check &check)
{
    SlcanLink link;
    check.require(!link.name.empty(), "cannot create an slcan interface on a pseudo terminal");
    if (link.name.empty())
        return;
    const std::string &name = link.name;

    requireOpening(check, "slcan at 500 kbit/s", openAdapter(name, 500));
    check.require(runsAt(name, 500000) && link.received("S6\r") && link.received("O\r"),
                  "the adapter was not opened at 500 kbit/s");
    requireOpening(check, "slcan at 1000 kbit/s", openAdapter(name, 1000));
    check.require(runsAt(name, 1000000) && link.received("S8\r"),
                  "the adapter was not switched to 1000 kbit/s");
    const CanFrameRecord sent = frame(0x123, false, false, 2, 0x1122000000000000);
    check.require(canable_writeMessage(0, &sent) == 0 && link.received("t12321122\r"),
                  "a written frame did not reach the adapter");
    link.send("T123456783AABBCC\r");
    check.require(readOne() == "12345678#AABBCC", "the adapter's frame was not read");
    canable_freeDLL(0);

    requireOpening(check, "unprivileged, same rate", openWithoutNetAdmin(name, 1000));
    requireOpening(check, "unprivileged, other rate", openWithoutNetAdmin(name, 500),
                   name + " is at 1000000 bit/s, not 500000, and this process may not change "
                   "it: run \"sudo ip link set " + name + " down && sudo ip link set " + name
                   + " up type can bitrate 500000\", or grant");
    run("/usr/sbin/ip link set " + name + " down");
    requireOpening(check, "unprivileged, down", openWithoutNetAdmin(name, 1000),
                   "up type can bitrate 1000000\", or grant");
    requireOpening(check, "slcan down at 100 kbit/s", openAdapter(name, 100));
    check.require(runsAt(name, 100000), "root did not start the adapter at 100 kbit/s");
}

void checkReceiving(Check &check)
{
    const char *runs[] = {"3000", "3000 -e", "1500 -R", "1500 -e -R", "2500 -m"};
    unsigned long total = 2; // the CAN FD frame and the overlong identifier sent below
    for (const char *run : runs)
        total += std::strtoul(run, nullptr, 10);
    FILE *candump = startCandump("-r 16777216", total, "/tmp/receive.log");
    requireOpening(check, "vcan0", openAdapter(vcan, 500));
    const int sender = rawSocket(true);

    Strings got;
    int staleBytes = 0;
    CanFrameRecord record{}; // reused, as the monitor's receive loop does
    const auto readUntil = [&](size_t count) {
        for (const auto start = Clock::now(); got.size() < count && secondsSince(start) < 60;) {
            if (canable_readMessage(0, &record, 1) != 0)
                continue;
            for (int i = record.remote ? 0 : record.dlc; i < 8; ++i)
                staleBytes += record.data[i] != 0;
            got.push_back(text(record));
        }
    };
    size_t sent = 0;
    for (const char *run : runs) {
        can_frame errorFrame{};
        errorFrame.can_id = CAN_ERR_FLAG | CAN_ERR_CRTL;
        errorFrame.can_dlc = CAN_ERR_DLC;
        write(sender, &errorFrame, sizeof errorFrame);
        FILE *cangen = popen(format("exec /usr/bin/cangen vcan0 -g 0 -n %s", run).c_str(), "r");
        // -m mixes in CAN FD frames, so only candump's log tells how many to expect.
        sent += std::strstr(run, "-m") ? 0 : std::strtoul(run, nullptr, 10);
        readUntil(sent);
        check.require(pclose(cangen) == 0, std::string("cangen failed: ") + run);
    }
    canfd_frame fdFrame{};
    fdFrame.can_id = 0x5A5;
    fdFrame.len = 12;
    // No controller receives a standard frame with more than 11 identifier bits, but a
    // raw socket can send one.
    can_frame overlong{};
    overlong.can_id = 0x1234;
    check.require(write(sender, &fdFrame, sizeof fdFrame) == sizeof fdFrame
                          && write(sender, &overlong, sizeof overlong) == sizeof overlong,
                  "cannot send the CAN FD frame or the overlong identifier");
    close(sender);

    pclose(candump);
    Strings expected = candumpFrames("/tmp/receive.log");
    check.require(expected.size() == total,
                  format("candump saw %zu of %lu frames", expected.size(), total));
    expected.erase(std::remove_if(expected.begin(), expected.end(), [](const std::string &f) {
        return f.find("##") != std::string::npos;
    }), expected.end());
    readUntil(expected.size());
    check.require(got == expected, "read differs from candump: " + firstDifference(got, expected));
    check.require(staleBytes == 0,
                  format("%d data bytes past the length were not cleared", staleBytes));

    int kinds[4] = {};
    bool lengths[9] = {};
    for (const std::string &line : expected) {
        const size_t hash = line.find('#');
        const bool remote = line[hash + 1] == 'R';
        kinds[(hash == 8 ? 2 : 0) + remote]++;
        lengths[remote ? 0 : (line.size() - hash - 1) / 2] = true;
    }
    check.require(expected.size() >= 10000 && std::count(kinds, kinds + 4, 0) == 0
                          && std::count(lengths, lengths + 9, false) == 0,
                  format("the traffic lacked variety: %zu frames", expected.size()));
}

// The same filter terms as candump's command line must pass the same frames: candump's
// own socket is the oracle for the kernel's CAN_RAW_FILTER as the library sets it.
void checkReceiveFilter(Check &check)
{
    const char *filters = "123:7FF,00000200:9FFFFFFF,400~700,7E0:7F0";
    const CanReceiveFilter terms[] = {
        {0x123, 0x7FF, 0, {}},
        {0x200 | CANABLE_FILTER_EXTENDED, 0x9FFFFFFF, 0, {}},
        {0x400, 0x700, 1, {}},
        {0x7E0, 0x7F0, 0, {}},
    };
    requireOpening(check, "vcan0", openAdapter(vcan, 500));
    check.require(canable_setReceiveFilter(0, terms, 4) == 0, "the receive filter was refused");
    // Started once the open is done, so that its time without traffic ends only after
    // the last frame.
    // A filtered socket shows in the lists of filtered receivers instead.
    const int before = receiverCount("inv");
    FILE *candump = popen(format("exec /usr/bin/candump -L -r 16777216 -T 3000 vcan0,%s "
                                 ">/tmp/filter.log",
                                 filters).c_str(), "r");
    check.require(waitFor([&] { return receiverCount("inv") > before; }, 30),
                  "candump did not start");

    Strings got;
    CanFrameRecord record{};
    const std::string marker = "123#EEEEEEEEEEEEEEEE";
    const auto drain = [&](bool untilMarker) {
        auto last = Clock::now();
        while (secondsSince(last) < (untilMarker ? 30 : 0.3)) {
            if (canable_readMessage(0, &record, 1) != 0)
                continue;
            got.push_back(text(record));
            last = Clock::now();
            if (got.back() == marker)
                return;
        }
    };
    for (const char *run : {"1000", "1000 -e", "1000 -R", "1000 -e -R", "1000 -I 1FF",
                            "1000 -e -I 00000200"}) {
        FILE *cangen = popen(format("exec /usr/bin/cangen vcan0 -g 0 -n %s", run).c_str(), "r");
        check.require(pclose(cangen) == 0, std::string("cangen failed: ") + run);
        drain(false);
    }
    const int sender = rawSocket(false);
    can_frame last{};
    last.can_id = 0x123;
    last.can_dlc = 8;
    std::memset(last.data, 0xEE, sizeof last.data);
    check.require(write(sender, &last, sizeof last) == sizeof last, "cannot send the marker");
    close(sender);
    drain(true);
    pclose(candump);
    canable_setReceiveFilter(0, nullptr, 0);
    const Strings expected = candumpFrames("/tmp/filter.log");
    std::printf("    receive filter %s: %zu frames passed\n", filters, expected.size());
    check.require(expected.size() > 100 && got == expected,
                  "filtered read differs from candump's: " + firstDifference(got, expected));
}

void checkWriting(Check &check)
{
    const struct
    {
        CanFrameRecord record;
        const char *seen; // nullptr: the library must refuse it
    } writes[] = {
        {frame(0x000, false, false, 0), "000#"},
        {frame(0x7FF, false, false, 8, 0x0102030405060708), "7FF#0102030405060708"},
        {frame(0x800, false, false, 1), nullptr},
        {frame(0x123, false, false, 2, 0xAABBEEEEEEEEEEEE), "123#AABB"},
        {frame(0x123, false, true, 0), "123#R"},
        {frame(0x456, false, false, 9, ~0ull), nullptr},
        {frame(0x456, false, true, 8, ~0ull), "456#R8"},
        {frame(0x00000000, true, false, 0), "00000000#"},
        {frame(0x20000000, true, false, 1), nullptr},
        {frame(0x000007FF, true, false, 1, 0x1100000000000000), "000007FF#11"},
        {frame(0x1FFFFFFF, true, false, 8, 0xFFEEDDCCBBAA9988), "1FFFFFFF#FFEEDDCCBBAA9988"},
        {frame(0xFFFFFFFF, true, false, 0), nullptr},
        {frame(0x12345678, true, false, 255), nullptr},
        {frame(0x12345678, true, true, 3), "12345678#R3"},
    };
    Strings expected;
    for (const auto &entry : writes) {
        if (entry.seen)
            expected.push_back(entry.seen);
    }
    FILE *candump = startCandump("", expected.size(), "/tmp/write.log");
    requireOpening(check, "vcan0", openAdapter(vcan, 500));
    for (const auto &entry : writes) {
        const bool accepted = canable_writeMessage(0, &entry.record) == 0;
        check.require(accepted == (entry.seen != nullptr),
                      format("%s frame %08X dlc %u", accepted ? "accepted" : "refused",
                             entry.record.id, entry.record.dlc));
    }
    pclose(candump);
    const Strings seen = candumpFrames("/tmp/write.log");
    check.require(seen == expected, "candump differs: " + firstDifference(seen, expected));

    // Frames of our own that came back would be read before this one.
    run("/usr/bin/cansend vcan0 7AB#CAFE");
    check.require(readOne() == "7AB#CAFE", "the session read back its own frames");
}

trace::Frame traceFrame(uint32_t id, bool extended, bool remote, uint8_t dlc, uint64_t data,
                        int64_t timestampUs, bool tx)
{
    trace::Frame frame;
    frame.id = id;
    frame.extended = extended;
    frame.remote = remote;
    frame.dlc = dlc;
    for (int i = 0; i < 8; ++i)
        frame.data[i] = uint8_t(data >> (56 - 8 * i));
    frame.timestampUs = timestampUs;
    frame.tx = tx;
    return frame;
}

// A candump log as our trace writer makes it, replayed by canplayer onto vcan0: candump
// sees the frames the file holds, and a long gap of the file is kept.
void checkCanplayerReplaysOurLog(Check &check)
{
    const int64_t startUs = 1765000000123456;
    constexpr int64_t longGapUs = 300000;
    constexpr size_t longGapBefore = 4;
    struct
    {
        trace::Frame frame;
        const char *seen; // nullptr: a refused write, which the file leaves out
    } entries[] = {
        {traceFrame(0x000, false, false, 0, 0, 0, false), "000#"},
        {traceFrame(0x7FF, false, false, 8, 0x0102030405060708, 0, true),
         "7FF#0102030405060708"},
        {traceFrame(0x123, false, false, 2, 0xAABB000000000000, 0, false), "123#AABB"},
        {traceFrame(0x321, false, false, 1, 0x5500000000000000, 0, true), nullptr},
        {traceFrame(0x123, false, true, 0, 0, 0, true), "123#R"},
        {traceFrame(0x456, false, true, 8, 0, 0, false), "456#R8"},
        {traceFrame(0x00000000, true, false, 0, 0, 0, false), "00000000#"},
        {traceFrame(0x000007FF, true, false, 1, 0x1100000000000000, 0, true), "000007FF#11"},
        {traceFrame(0x1FFFFFFF, true, false, 8, 0xFFEEDDCCBBAA9988, 0, false),
         "1FFFFFFF#FFEEDDCCBBAA9988"},
        {traceFrame(0x12345678, true, true, 3, 0, 0, true), "12345678#R3"},
    };
    std::string error;
    auto writer = trace::Writer::create("/tmp/ours.log", trace::Format::CandumpLog, &error);
    check.require(writer != nullptr, "cannot create the log: " + error);
    if (!writer)
        return;
    Strings expected;
    int64_t timeUs = startUs;
    for (auto &entry : entries) {
        if (entry.seen) {
            timeUs += expected.size() == longGapBefore ? longGapUs : 1000;
            expected.push_back(entry.seen);
        } else {
            entry.frame.success = false;
        }
        entry.frame.timestampUs = timeUs;
        writer->write(entry.frame);
    }
    check.require(writer->close(), "cannot write the log: " + writer->error());

    FILE *candump = startCandump("", expected.size(), "/tmp/replayed.log");
    check.require(run("/usr/bin/canplayer -I /tmp/ours.log vcan0=can0"),
                  "canplayer refused the log:\n" + readFile("/tmp/ours.log"));
    pclose(candump);
    const Strings seen = candumpFrames("/tmp/replayed.log");
    check.require(seen == expected, "candump differs: " + firstDifference(seen, expected));

    std::istringstream log(readFile("/tmp/replayed.log"));
    std::vector<double> times;
    std::string time;
    std::string rest;
    while (log >> time && std::getline(log, rest))
        times.push_back(std::strtod(time.c_str() + 1, nullptr));
    // canplayer schedules from the first frame and wakes every millisecond, so a frame
    // that was late shortens the gap after it; counted from the first frame, the long gap
    // must still be most of the way there rather than gone.
    check.require(times.size() == expected.size()
                          && times[longGapBefore] - times[0] >= 0.8 * double(longGapUs) / 1e6,
                  "the file's long gap did not survive the replay:\n"
                          + readFile("/tmp/replayed.log"));
}

void checkBoundedWaits(Check &check)
{
    requireOpening(check, "vcan0", openAdapter(vcan, 500));
    CanFrameRecord record{};
    std::vector<double> reads;
    const double cpuBefore = processCpuSeconds();
    for (int i = 0; i < 100; ++i) {
        reads.push_back(timed([&] {
            check.require(canable_readMessage(0, &record, 1) != 0, "read a frame on an idle bus");
        }));
    }
    const double cpu = processCpuSeconds() - cpuBefore;
    std::sort(reads.begin(), reads.end());
    check.require(reads.front() >= 0.009 && reads.back() < 2 && reads[50] < 0.2 && cpu < 0.5,
                  format("idle reads took %.4f to %.4f s, median %.4f s, %.3f s of CPU",
                         reads.front(), reads.back(), reads[50], cpu));

    double slowest = 0;
    int refused = 0;
    for (uint64_t i = 0; i < 20000; ++i) {
        const CanFrameRecord flood = frame(0x7E0, false, false, 8, i);
        slowest = std::max(slowest,
                           timed([&] { refused += canable_writeMessage(0, &flood) != 0; }));
    }
    check.require(refused == 0 && slowest < 2,
                  format("write flood: %d refused, slowest write %.3f s", refused, slowest));

    // A plugged queue keeps what it takes: a small byte limit fills the device queue
    // (ENOBUFS), a large one fills the socket's send buffer first (EAGAIN).
    for (const char *limit : {"1600", "100000000"}) {
        const int observer = rawSocket(false);
        run(std::string("/usr/sbin/tc qdisc add dev vcan0 root plug limit ") + limit);
        Strings accepted;
        double failedWrite = 0;
        for (uint64_t i = 0; i < 5000 && failedWrite == 0; ++i) {
            const CanFrameRecord queued = frame(0x600, false, false, 2, i << 48);
            bool taken = false;
            const double took = timed([&] { taken = canable_writeMessage(0, &queued) == 0; });
            if (taken)
                accepted.push_back(text(queued));
            else
                failedWrite = took;
        }
        check.require(!accepted.empty() && failedWrite >= 0.015 && failedWrite < 2,
                      format("limit %s: %zu frames queued, the failing write took %.3f s", limit,
                             accepted.size(), failedWrite));

        run("/usr/sbin/tc qdisc change dev vcan0 root plug release_indefinite");
        const CanFrameRecord marker = frame(0x602, false, false, 0);
        check.require(canable_writeMessage(0, &marker) == 0, "no write after the queue drained");
        run("/usr/sbin/tc qdisc del dev vcan0 root");
        accepted.push_back("602#");
        Strings seen;
        while (seen.size() < accepted.size() && (seen.empty() || !seen.back().empty()))
            seen.push_back(observe(observer));
        check.require(seen == accepted, "the bus carried " + firstDifference(seen, accepted));
        close(observer);
    }
}

void checkLinkLoss(Check &check)
{
    requireOpening(check, "vcan0", openAdapter(vcan, 500));
    const CanFrameRecord probe = frame(0x100, false, false, 1, 0x0100000000000000);
    CanFrameRecord record{};

    run("/usr/sbin/ip link set vcan0 down");
    check.require(canable_writeMessage(0, &probe) != 0 && canable_readMessage(0, &record, 1) != 0,
                  "a call on the stopped vcan0 succeeded");
    run("/usr/sbin/ip link set vcan0 up");
    run("/usr/bin/cansend vcan0 7AB#01");
    check.require(readOne() == "7AB#01" && canable_writeMessage(0, &probe) == 0,
                  "the session did not recover when vcan0 came back up");

    run("/usr/sbin/ip link del vcan0");
    int calls = 0;
    double shortest = 1;
    double slowest = 0;
    const double cpuBefore = processCpuSeconds();
    for (const auto start = Clock::now(); secondsSince(start) < 1; ++calls) {
        const double took = timed([&] {
            check.require(canable_readMessage(0, &record, 1) != 0, "read from a deleted link");
            check.require(canable_writeMessage(0, &probe) != 0, "wrote to a deleted link");
        });
        shortest = std::min(shortest, took);
        slowest = std::max(slowest, took);
    }
    const double cpu = processCpuSeconds() - cpuBefore;
    check.require(shortest >= 0.009 && slowest < 2 && cpu < 0.3,
                  format("%d calls on a deleted link took %.4f to %.4f s and %.3f s of CPU",
                         calls, shortest, slowest, cpu));

    run("/usr/sbin/ip link add dev vcan0 type vcan && /usr/sbin/ip link set vcan0 mtu 72 up");
    canable_freeDLL(0);
    requireOpening(check, "the re-created vcan0", openAdapter(vcan, 500));
    run("/usr/bin/cansend vcan0 7AB#02");
    check.require(readOne() == "7AB#02" && canable_writeMessage(0, &probe) == 0,
                  "the re-created vcan0 does not carry frames");
}

int64_t wallMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

can_frame errorFrame(canid_t errorClass, std::initializer_list<std::pair<int, uint8_t>> bytes)
{
    can_frame frame{};
    frame.can_id = CAN_ERR_FLAG | errorClass;
    frame.can_dlc = CAN_ERR_DLC;
    for (const auto &byte : bytes)
        frame.data[byte.first] = byte.second;
    return frame;
}

std::string text(const CanErrorEvent &event)
{
    std::string line = format("%08X", event.errorClass);
    for (uint8_t byte : event.data)
        line += format(" %02X", byte);
    return line;
}

// A raw socket writes error frames among data frames; the library hands each to the
// reader as an error event, decoded, in order, with kernel stamps, and never as a frame.
void checkErrorFrames(Check &check)
{
    requireOpening(check, "vcan0", openAdapter(vcan, 500));
    const int injector = rawSocket(false);
    const can_frame errors[] = {
        errorFrame(CAN_ERR_ACK, {}),
        errorFrame(CAN_ERR_PROT, {{2, CAN_ERR_PROT_STUFF}, {3, CAN_ERR_PROT_LOC_DATA}}),
        errorFrame(CAN_ERR_PROT, {{2, CAN_ERR_PROT_FORM}}),
        errorFrame(CAN_ERR_PROT | CAN_ERR_BUSERROR, {{3, CAN_ERR_PROT_LOC_CRC_SEQ}}),
        errorFrame(CAN_ERR_CRTL | CAN_ERR_CNT, {{1, CAN_ERR_CRTL_TX_WARNING}, {6, 97}, {7, 3}}),
        errorFrame(CAN_ERR_CRTL | CAN_ERR_CNT, {{1, CAN_ERR_CRTL_TX_PASSIVE}, {6, 130}, {7, 4}}),
        errorFrame(CAN_ERR_BUSOFF, {}),
        errorFrame(CAN_ERR_RESTARTED | CAN_ERR_CNT, {{6, 0}, {7, 0}}),
        errorFrame(CAN_ERR_CRTL, {{1, CAN_ERR_CRTL_RX_OVERFLOW}}),
        errorFrame(CAN_ERR_LOSTARB, {{0, 5}}),
        errorFrame(CAN_ERR_TX_TIMEOUT, {}),
        errorFrame(CAN_ERR_TRX, {{4, CAN_ERR_TRX_CANH_SHORT_TO_GND}}),
        // Firmware that leaves bus-off by itself reports the new state, not a restart.
        errorFrame(CAN_ERR_BUSOFF, {}),
        errorFrame(CAN_ERR_CRTL | CAN_ERR_CNT, {{1, CAN_ERR_CRTL_TX_WARNING}, {6, 100}, {7, 1}}),
    };
    Strings expectedEvents;
    Strings expectedFrames;
    const int64_t before = wallMicroseconds();
    for (size_t i = 0; i < sizeof errors / sizeof errors[0]; ++i) {
        can_frame data{};
        data.can_id = 0x200 + canid_t(i);
        data.can_dlc = 1;
        data.data[0] = uint8_t(i);
        check.require(write(injector, &errors[i], sizeof errors[i]) == sizeof errors[i]
                              && write(injector, &data, sizeof data) == sizeof data,
                      "cannot inject an error frame");
        CanErrorEvent event{};
        event.errorClass = errors[i].can_id & CAN_ERR_MASK;
        std::memcpy(event.data, errors[i].data, 8);
        expectedEvents.push_back(text(event));
        expectedFrames.push_back(text(data));
    }
    close(injector);

    Strings frames;
    Strings events;
    std::vector<int64_t> stamps;
    const auto start = Clock::now();
    while ((frames.size() < expectedFrames.size() || events.size() < expectedEvents.size())
           && secondsSince(start) < 10) {
        CanFrameRecord record{};
        if (canable_readMessage(0, &record, 1) == 0) {
            frames.push_back(text(record));
            int64_t stamp = 0;
            check.require(canable_lastReadTimestamp(0, &stamp) == 0, "a frame without stamp");
            stamps.push_back(stamp);
        }
        CanErrorEvent event{};
        while (canable_readErrorEvent(0, &event) == 0) {
            events.push_back(text(event));
            stamps.push_back(event.timestampUs);
        }
    }
    const int64_t after = wallMicroseconds();
    check.require(frames == expectedFrames, "frames: " + firstDifference(frames, expectedFrames));
    check.require(events == expectedEvents, "error events: "
                  + firstDifference(events, expectedEvents));
    std::sort(stamps.begin(), stamps.end());
    check.require(!stamps.empty() && stamps.front() >= before && stamps.back() <= after,
                  format("stamps outside the run: %lld .. %lld, run %lld .. %lld",
                         static_cast<long long>(stamps.empty() ? 0 : stamps.front()),
                         static_cast<long long>(stamps.empty() ? 0 : stamps.back()),
                         static_cast<long long>(before), static_cast<long long>(after)));

    CanBusStatus status{};
    check.require(canable_getStatus(0, &status) == 0, "no status");
    check.require(status.state == CANABLE_STATE_ERROR_WARNING && status.txErrors == 100
                          && status.rxErrors == 1 && status.busOffCount == 2
                          && status.restarts == 2 && status.adapterDrops == 1
                          && status.kernelDrops == 0,
                  format("status: state %d tec %d rec %d bus-off %u restarts %u drops %llu/%llu",
                         status.state, status.txErrors, status.rxErrors, status.busOffCount,
                         status.restarts, static_cast<unsigned long long>(status.kernelDrops),
                         static_cast<unsigned long long>(status.adapterDrops)));
}

// Frames the kernel stamps at reception keep their order in time, however fast they come.
void checkStamps(Check &check)
{
    requireOpening(check, "vcan0", openAdapter(vcan, 500));
    const int64_t before = wallMicroseconds();
    FILE *cangen = popen("exec /usr/bin/cangen vcan0 -g 0 -n 2000", "r");
    int64_t previous = before;
    int frames = 0;
    int disorder = 0;
    for (const auto start = Clock::now(); frames < 2000 && secondsSince(start) < 30;) {
        CanFrameRecord record{};
        if (canable_readMessage(0, &record, 1) != 0)
            continue;
        int64_t stamp = 0;
        if (canable_lastReadTimestamp(0, &stamp) != 0 || stamp < previous)
            ++disorder;
        previous = std::max(previous, stamp);
        ++frames;
    }
    pclose(cangen);
    check.require(frames == 2000 && disorder == 0 && previous <= wallMicroseconds(),
                  format("%d frames, %d without a rising stamp", frames, disorder));
}

bool listed(const std::vector<CanInterfaceInfo> &list, const std::string &name, bool up,
            bool virtualBus, uint32_t bitrate)
{
    return std::any_of(list.begin(), list.end(), [&](const CanInterfaceInfo &info) {
        return info.name == name && bool(info.up) == up && bool(info.virtualBus) == virtualBus
                && info.bitrate == bitrate;
    });
}

std::vector<CanInterfaceInfo> interfaces()
{
    std::vector<CanInterfaceInfo> list(canable_listInterfaces(nullptr, 0));
    list.resize(size_t(std::max(0, canable_listInterfaces(list.data(), int(list.size())))));
    return list;
}

bool inListenOnly(const std::string &name)
{
    can_ctrlmode mode{};
    return can_get_ctrlmode(name.c_str(), &mode) == 0 && (mode.flags & CAN_CTRLMODE_LISTENONLY);
}

void checkInterfacesAndListenOnly(Check &check)
{
    SlcanLink link;
    check.require(!link.name.empty(), "cannot create an slcan interface on a pseudo terminal");
    if (link.name.empty())
        return;
    const std::string &name = link.name;
    requireOpening(check, "slcan at 250 kbit/s", openAdapter(name, 250));
    canable_freeDLL(0);
    std::vector<CanInterfaceInfo> list = interfaces();
    check.require(listed(list, vcan, true, true, 0) && listed(list, name, true, false, 250000)
                          && list.size() == 2,
                  format("listing: %zu interfaces, vcan0 or %s missing or wrong", list.size(),
                         name.c_str()));
    run("/usr/sbin/ip link set " + name + " down");
    list = interfaces();
    check.require(listed(list, name, false, false, 250000), "a link that is down listed as up");

    // The choice made without the environment, which still wins when set.
    unsetenv("CANABLE_INTERFACE");
    check.require(canable_selectInterface(name.c_str()) == 0 && canable_initDLL(0, 500) == 0
                          && runsAt(name, 500000),
                  "the selected interface was not opened");
    setenv("CANABLE_INTERFACE", vcan, 1);
    const int observer = rawSocket(false);
    const CanFrameRecord probe = frame(0x321, false, false, 1, 0xAB00000000000000);
    check.require(canable_initDLL(0, 500) == 0 && canable_writeMessage(0, &probe) == 0
                          && observe(observer) == "321#AB",
                  "CANABLE_INTERFACE did not win over the selection");
    close(observer);
    canable_selectInterface(nullptr);
    canable_freeDLL(0);

    canable_setListenOnly(1);
    requireOpening(check, "vcan0 listen-only", openAdapter(vcan, 500),
                   "vcan0 is a virtual CAN interface without a controller, so it has no "
                   "listen-only mode");
    check.require(std::strstr(canable_lastError(), "listen-only") != nullptr,
                  std::string("last error after the refused listen-only open: ")
                  + canable_lastError());
    // Refused for want of the right, or of the driver's support.
    requireOpening(check, "unprivileged listen-only", openWithoutNetAdmin(name, 500),
                   "listen-only mode");
    const Opening opening = openAdapter(name, 500);
    if (opening.status == 0) {
        const CanFrameRecord sent = frame(0x123, false, false, 1, 0x1100000000000000);
        check.require(inListenOnly(name) && canable_writeMessage(0, &sent) != 0,
                      "listen-only was reported applied but is not");
        canable_setListenOnly(0);
        requireOpening(check, "back to normal", openAdapter(name, 500));
        check.require(!inListenOnly(name) && canable_writeMessage(0, &sent) == 0,
                      "a normal open after listen-only stayed listen-only");
        std::printf("    (listen-only applied on %s)\n", name.c_str());
    } else {
        requireOpening(check, "slcan listen-only", opening, "listen-only mode");
        std::printf("    (listen-only refused on %s: %s)\n", name.c_str(),
                    opening.errors.c_str());
    }
    canable_setListenOnly(0);
}

// candump's compact form of an FD record, flags digit with BRS (1) and ESI (2) only; the
// identifier stays unmasked as in text(CanFrameRecord).
std::string text(const CanFdFrameRecord &record)
{
    const bool extended = record.flags & CANABLE_FD_EXT;
    if (!(record.flags & CANABLE_FD_FDF)) {
        CanFrameRecord classic{};
        classic.id = record.id;
        classic.dlc = record.len;
        classic.extended = extended;
        classic.remote = (record.flags & CANABLE_FD_RTR) ? 1 : 0;
        std::memcpy(classic.data, record.data, sizeof classic.data);
        return text(classic);
    }
    std::string line = format(extended ? "%08X##%X" : "%03X##%X", record.id,
                              ((record.flags & CANABLE_FD_BRS) ? 1u : 0u)
                                      | ((record.flags & CANABLE_FD_ESI) ? 2u : 0u));
    for (int i = 0; i < record.len; ++i)
        line += format("%02X", record.data[i]);
    return line;
}

// Newer kernels mark FD frames with a flag of their own, which candump prints along.
Strings withoutFdfMark(Strings frames)
{
    for (std::string &frame : frames) {
        const size_t mark = frame.find("##");
        if (mark != std::string::npos && mark + 2 < frame.size()) {
            const int flags = std::stoi(frame.substr(mark + 2, 1), nullptr, 16) & 3;
            frame[mark + 2] = "0123"[flags];
        }
    }
    return frames;
}

CanFdFrameRecord fdRecord(uint32_t id, uint8_t flags, uint8_t len)
{
    CanFdFrameRecord record{};
    record.id = id;
    record.flags = flags;
    record.len = len;
    std::memset(record.reserved, 0xA5, sizeof record.reserved);
    for (int i = 0; i < 64; ++i)
        record.data[i] = uint8_t(0x40 + i);
    return record;
}

// cangen's FD and mixed traffic read through the FD calls equals candump's log, frame for
// frame, while a classic reader in another process gets the classic frames of the same
// bus as before.
void checkFdReceiving(Check &check)
{
    const char *runs[] = {"2000 -f -b", "2000 -f -E -e", "3000 -m"};
    unsigned long total = 0;
    for (const char *run : runs)
        total += std::strtoul(run, nullptr, 10);
    FILE *candump = startCandump("-r 16777216", total, "/tmp/fd-receive.log");
    const int before = receiverCount();
    FILE *classic = popen("exec /usr/bin/canable-check --interface vcan0 --listen "
                          "--timeout-ms 8000 >/tmp/fd-classic.out 2>/dev/null", "r");
    waitFor([&] { return receiverCount() > before; }, 30);
    requireOpening(check, "vcan0 in FD mode", openAdapter(vcan, 500, 2000));

    Strings got;
    int staleBytes = 0;
    std::atomic<size_t> wanted{~size_t(0)};
    // Read while cangen sends, as the monitor's receive thread does.
    std::thread reader([&] {
        CanFdFrameRecord record{}; // reused, as a receive loop does
        for (auto start = Clock::now(); got.size() < wanted && secondsSince(start) < 60;) {
            if (canable_readMessageFD(0, &record) != 0)
                continue;
            for (int i = (record.flags & CANABLE_FD_RTR) ? 0 : record.len; i < 64; ++i)
                staleBytes += record.data[i] != 0;
            got.push_back(text(record));
        }
    });
    for (const char *run : runs) {
        FILE *cangen = popen(format("exec /usr/bin/cangen vcan0 -g 0 -n %s", run).c_str(), "r");
        check.require(pclose(cangen) == 0, std::string("cangen failed: ") + run);
    }
    pclose(candump);
    const Strings expected = withoutFdfMark(candumpFrames("/tmp/fd-receive.log"));
    wanted = expected.size();
    reader.join();
    check.require(expected.size() == total,
                  format("candump saw %zu of %lu frames", expected.size(), total));
    check.require(got == expected, "FD read differs from candump: "
                                           + firstDifference(got, expected));
    check.require(staleBytes == 0,
                  format("%d data bytes past the length were not cleared", staleBytes));
    int fd = 0, brs = 0, esi = 0, longest = 0;
    for (const std::string &line : expected) {
        const size_t mark = line.find("##");
        if (mark == std::string::npos)
            continue;
        ++fd;
        brs += (line[mark + 2] - '0') & 1;
        esi += ((line[mark + 2] - '0') & 2) != 0;
        longest = std::max(longest, int(line.size() - mark - 3) / 2);
    }
    check.require(fd > 4000 && brs > 2000 && esi > 2000 && longest == 64
                          && fd < int(expected.size()),
                  format("the traffic lacked variety: %d FD frames, %d BRS, %d ESI, longest "
                         "%d bytes", fd, brs, esi, longest));

    pclose(classic);
    Strings classicExpected;
    for (const std::string &line : expected) {
        if (line.find("##") == std::string::npos)
            classicExpected.push_back(line);
    }
    std::istringstream classicLines(readFile("/tmp/fd-classic.out"));
    Strings classicGot;
    for (std::string line; std::getline(classicLines, line);)
        classicGot.push_back(line);
    check.require(classicGot == classicExpected,
                  "a classic reader on the FD bus differs: "
                          + firstDifference(classicGot, classicExpected));
}

void checkFdWriting(Check &check)
{
    constexpr uint8_t fdf = CANABLE_FD_FDF, brs = CANABLE_FD_BRS, esi = CANABLE_FD_ESI,
                      ext = CANABLE_FD_EXT, rtr = CANABLE_FD_RTR;
    const struct
    {
        CanFdFrameRecord record;
        bool onFd;        // goes out on an FD device
        bool onClassic;   // goes out on a classic device
    } writes[] = {
        {fdRecord(0x123, fdf | brs, 64), true, false},
        {fdRecord(0x7FF, fdf, 0), true, false},
        {fdRecord(0x1FFFFFFF, fdf | ext | esi, 12), true, false},
        {fdRecord(0x000, fdf | brs | esi, 48), true, false},
        {fdRecord(0x321, fdf, 7), true, false},
        {fdRecord(0x456, 0, 8), true, true},
        {fdRecord(0x12345678, ext | rtr, 3), true, true},
        {fdRecord(0x123, fdf | brs, 10), false, false},
        {fdRecord(0x123, fdf, 65), false, false},
        {fdRecord(0x123, 0, 12), false, false},
        {fdRecord(0x123, brs, 8), false, false},
        {fdRecord(0x123, fdf | rtr, 8), false, false},
        {fdRecord(0x800, fdf, 8), false, false},
        {fdRecord(0x20000000, fdf | ext, 8), false, false},
    };
    for (const bool fdDevice : {true, false}) {
        Strings expected;
        for (const auto &entry : writes) {
            if (fdDevice ? entry.onFd : entry.onClassic)
                expected.push_back(text(entry.record));
        }
        FILE *candump = startCandump("", expected.size(), "/tmp/fd-write.log");
        requireOpening(check, fdDevice ? "vcan0 in FD mode" : "vcan0 classic",
                       openAdapter(vcan, 500, fdDevice ? 2000 : 0));
        for (const auto &entry : writes) {
            const bool accepted = canable_writeMessageFD(0, &entry.record) == 0;
            check.require(accepted == (fdDevice ? entry.onFd : entry.onClassic)
                                  && accepted == (*canable_lastError() == '\0'),
                          format("%s device: %s %08X flags %02X len %u (%s)",
                                 fdDevice ? "FD" : "classic", accepted ? "accepted" : "refused",
                                 entry.record.id, entry.record.flags, entry.record.len,
                                 canable_lastError()));
        }
        pclose(candump);
        const Strings seen = withoutFdfMark(candumpFrames("/tmp/fd-write.log"));
        check.require(seen == expected, std::string(fdDevice ? "FD" : "classic")
                                                + " device, candump differs: "
                                                + firstDifference(seen, expected));
    }
    // The session's own FD frames do not come back to it.
    requireOpening(check, "vcan0 in FD mode", openAdapter(vcan, 1000, 8000));
    const CanFdFrameRecord own = fdRecord(0x100, fdf | brs, 16);
    check.require(canable_writeMessageFD(0, &own) == 0, "the FD write was refused");
    run("/usr/bin/cansend vcan0 7AB##1CAFE");
    CanFdFrameRecord record{};
    const bool got = waitFor([&] { return canable_readMessageFD(0, &record) == 0; }, 10);
    check.require(got && text(record) == "7AB##1CAFE",
                  "the FD session read back its own frame or missed cansend's: "
                          + (got ? text(record) : std::string("nothing")));
}

void checkFdOpening(Check &check)
{
    requireOpening(check, "unprivileged, vcan0 with MTU 72", openWithoutNetAdmin(vcan, 500, 5000));
    run("/usr/sbin/ip link add dev vcan1 type vcan && /usr/sbin/ip link set vcan1 mtu 16 "
        "&& /usr/sbin/ip link set vcan1 up");
    requireOpening(check, "vcan1 with MTU 16", openAdapter("vcan1", 500, 2000),
                   "vcan1 carries only classic CAN frames (MTU 16)");
    check.require(std::strstr(canable_lastError(), "mtu 72") != nullptr,
                  std::string("last error: ") + canable_lastError());
    requireOpening(check, "vcan1 classic", openAdapter("vcan1", 500));
    run("/usr/sbin/ip link del dev vcan1");
    check.require(canable_initFD(0, 500, 0) != 0 && canable_initFD(0, 500, 20000) != 0,
                  "an FD open without a data rate, or at 20 Mbit/s, succeeded");

    SlcanLink link;
    check.require(!link.name.empty(), "cannot create an slcan interface on a pseudo terminal");
    if (link.name.empty())
        return;
    // An adapter without FD is refused, and left running as it was.
    requireOpening(check, "slcan classic", openAdapter(link.name, 500));
    canable_freeDLL(0);
    const Opening opening = openAdapter(link.name, 500, 2000);
    requireOpening(check, "slcan in FD mode", opening, "FD mode");
    check.require(runsAt(link.name, 500000), "the refused FD open left the adapter stopped");
    std::printf("    (FD refused on %s: %s)\n", link.name.c_str(),
                opening.errors.substr(0, opening.errors.find('\n')).c_str());
}

struct BusLoadRun
{
    const char *cangen;
    int frames;
};

// canbusload -e prints, once a second, the bits the frames of that second took with
// exact stuffing; the library's frames through our own bit count must give the same load.
void checkBusLoad(Check &check)
{
    constexpr uint32_t bitrate = 500000;
    const BusLoadRun runs[] = {{"-g 1 -n 1500", 1500}, {"-g 1 -e -n 1500", 1500},
                               {"-g 1 -L 8 -D i -I i -n 1000", 1000}};
    int total = 0;
    for (const BusLoadRun &run : runs)
        total += run.frames;

    const int before = receiverCount();
    std::fflush(nullptr);
    const pid_t meter = fork();
    if (meter == 0) {
        const int out = open("/tmp/busload.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        execl("/usr/bin/canbusload", "canbusload", "-e", "vcan0@500000", nullptr);
        _exit(127);
    }
    waitFor([&] { return receiverCount() > before; }, 30);
    requireOpening(check, "vcan0", openAdapter(vcan, 500));

    uint64_t bits = 0;
    int frames = 0;
    int expected = 0;
    for (const BusLoadRun &run : runs) {
        // The socket's buffer holds a whole run, so the reading can wait for its end.
        check.require(std::system(format("/usr/bin/cangen vcan0 %s", run.cangen).c_str()) == 0,
                      std::string("cangen failed: ") + run.cangen);
        expected += run.frames;
        for (const auto start = Clock::now(); frames < expected && secondsSince(start) < 30;) {
            CanFrameRecord record{};
            if (canable_readMessage(0, &record, 1) != 0)
                continue;
            bits += busload::frameBits(record.id, record.extended, record.remote, record.dlc,
                                       record.data);
            ++frames;
        }
    }
    // The meter's last second must have ended after the last frame.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    kill(meter, SIGTERM);
    waitpid(meter, nullptr, 0);

    std::istringstream lines(readFile("/tmp/busload.txt"));
    std::string line;
    uint64_t meterBits = 0;
    uint64_t meterFrames = 0;
    int seconds = 0;
    while (std::getline(lines, line)) {
        char name[64];
        unsigned long long counted = 0;
        unsigned long long used = 0;
        if (std::sscanf(line.c_str(), " %63s %llu %llu", name, &counted, &used) == 3
                && counted > 0) {
            meterFrames += counted;
            meterBits += used;
            ++seconds;
        }
    }
    const double ours = busload::loadPercent(bits, seconds, bitrate);
    const double theirs = busload::loadPercent(meterBits, seconds, bitrate);
    std::printf("    bus load over %d s: ours %.3f %%, canbusload %.3f %% (%d and %llu frames)\n",
                seconds, ours, theirs, frames, static_cast<unsigned long long>(meterFrames));
    check.require(frames == total && meterFrames == uint64_t(total) && seconds > 0
                          && std::abs(ours - theirs) < 1.0,
                  format("%d frames read, %llu metered, load %.3f %% against %.3f %%", frames,
                         static_cast<unsigned long long>(meterFrames), ours, theirs));
}

} // namespace

int main()
{
    // Frames looped back on different CPUs can overtake each other, and the checks
    // compare the order of what they write with what the bus carried.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);

    runCheck("interface choice", checkInterfaceChoice);
    runCheck("bit rate of a link without bit timing", checkLinkWithoutBitTiming);
    runCheck("bit rate of a link with bit timing", checkLinkWithBitTiming);
    runCheck("received frames match candump", checkReceiving);
    runCheck("receive filter matches candump's", checkReceiveFilter);
    runCheck("written frames match candump", checkWriting);
    runCheck("canplayer replays our log", checkCanplayerReplaysOurLog);
    runCheck("bounded waits", checkBoundedWaits);
    runCheck("error frames become error events", checkErrorFrames);
    runCheck("kernel stamps", checkStamps);
    runCheck("interface list and listen-only", checkInterfacesAndListenOnly);
    runCheck("bus load agrees with canbusload", checkBusLoad);
    runCheck("FD frames read match candump", checkFdReceiving);
    runCheck("FD frames written match candump", checkFdWriting);
    runCheck("FD opening", checkFdOpening);
    runCheck("link loss", checkLinkLoss);
    return failedChecks ? 1 : 0;
}
