// Checks the adapter library's SocketCAN backend against the kernel's CAN stack. Runs as
// root inside the test VM prepared by tests/vm/init: vcan0 up with room for CAN FD
// frames (MTU 72), the slcan and sch_plug modules loaded, can-utils in /usr/bin and
// iproute2 in /usr/sbin. Prints "CHECK <name>: ok" or "CHECK <name>: FAIL <reasons>"
// per check and exits with status 1 when any check failed.

#include "canable.h"

#include <libsocketcan.h>

#include <net/if.h>

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

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

void runCheck(const char *name, void (*body)(Check &))
{
    Check check;
    body(check);
    canable_freeDLL(0);
    if (check.problems.empty()) {
        std::printf("CHECK %s: ok\n", name);
    } else {
        ++failedChecks;
        std::printf("CHECK %s: FAIL", name);
        for (const std::string &problem : check.problems)
            std::printf("\n    %s", problem.c_str());
        std::printf("\n");
    }
    std::fflush(stdout);
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
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

pid_t spawn(const Strings &arguments, const char *outputPath = nullptr)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputPath)
        posix_spawn_file_actions_addopen(&actions, 1, outputPath, O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status, or -1 when the child crashed or had to be killed after the timeout.
int finish(pid_t pid, double timeoutSeconds = 60)
{
    int status = 0;
    if (pid < 0)
        return -1;
    if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutSeconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int command(const Strings &arguments)
{
    return finish(spawn(arguments));
}

int ipLink(const Strings &arguments)
{
    Strings full = {"/usr/sbin/ip", "link"};
    full.insert(full.end(), arguments.begin(), arguments.end());
    return command(full);
}

int tcQdisc(const Strings &arguments)
{
    Strings full = {"/usr/sbin/tc", "qdisc"};
    full.insert(full.end(), arguments.begin(), arguments.end());
    return command(full);
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int lineCount(const std::string &text)
{
    return int(std::count(text.begin(), text.end(), '\n'));
}

bool isUp(const std::string &name)
{
    return std::strtoul(readFile("/sys/class/net/" + name + "/flags").c_str(), nullptr, 16) & 1;
}

uint32_t bitrateOf(const std::string &name)
{
    can_bittiming timing{};
    return can_get_bittiming(name.c_str(), &timing) == 0 ? timing.bitrate : 0;
}

// candump has no way to say that it is ready; its socket showing up in the kernel's
// receive lists is the sign.
int receiverCount(const std::string &name)
{
    std::istringstream lists(readFile("/proc/net/can/rcvlist_all"));
    std::string line;
    int count = 0;
    while (std::getline(lists, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        count += first == name;
    }
    return count;
}

pid_t startCandump(const Strings &options, const char *outputPath)
{
    const int before = receiverCount(vcan);
    Strings arguments = {"/usr/bin/candump", "-L"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(vcan);
    const pid_t pid = spawn(arguments, outputPath);
    waitFor([&] { return receiverCount(vcan) > before; }, 30);
    return pid;
}

Strings candumpFrames(const char *path, bool classicOnly)
{
    std::istringstream log(readFile(path));
    Strings frames;
    std::string time;
    std::string interface;
    std::string frame;
    while (log >> time >> interface >> frame) {
        if (!classicOnly || frame.find("##") == std::string::npos)
            frames.push_back(frame);
    }
    return frames;
}

std::string text(const CanFrameRecord &record)
{
    std::string line = format(record.extended ? "%08X#" : "%03X#", unsigned(record.id));
    if (record.remote)
        return line + "R" + (record.dlc ? std::to_string(record.dlc) : "");
    for (int i = 0; i < record.dlc; ++i)
        line += format("%02X", record.data[i]);
    return line;
}

std::string firstDifference(const Strings &got, const Strings &expected)
{
    const auto mismatch = std::mismatch(got.begin(), got.end(), expected.begin(),
                                        expected.end());
    const size_t at = size_t(mismatch.first - got.begin());
    return format("%zu frames, expected %zu; first difference at %zu: %s instead of %s",
                  got.size(), expected.size(), at,
                  mismatch.first != got.end() ? mismatch.first->c_str() : "nothing",
                  mismatch.second != expected.end() ? mismatch.second->c_str() : "nothing");
}

// Flags set to values other than 1 and reserved bytes filled, as a careless caller might.
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

int openAdapter(const std::string &name, unsigned int kbps)
{
    setenv("CANABLE_INTERFACE", name.c_str(), 1);
    return canable_initDLL(0, kbps);
}

// Reads until a frame comes; empty when none came in time.
std::string readOne(double seconds = 10)
{
    CanFrameRecord record{};
    const bool got = waitFor([&] { return canable_readMessage(0, &record, 1) == 0; }, seconds);
    return got ? text(record) : std::string();
}

double timed(const std::function<void()> &call)
{
    const auto start = Clock::now();
    call();
    return secondsSince(start);
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs body while stderr goes to a file; no other thread may use the library meanwhile.
std::string stderrOf(const std::function<void()> &body)
{
    std::fflush(stderr);
    const int saved = dup(2);
    const int file = open("/tmp/stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 2);
    close(file);
    body();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return readFile("/tmp/stderr.txt");
}

struct ChildResult
{
    int status;
    std::string errors;
};

// Opens the adapter in a child process that lacks CAP_NET_ADMIN, as an ordinary user's
// program would; status 0 means the open succeeded.
ChildResult openWithoutNetAdmin(const std::string &name, unsigned int kbps)
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
        const int file = open("/tmp/child-stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(file, 2);
        _exit(openAdapter(name, kbps) == 0 ? 0 : 1);
    }
    const int status = finish(pid, 30);
    return {status, readFile("/tmp/child-stderr.txt")};
}

int rawSocket(bool canFd)
{
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    const int on = 1;
    if (canFd)
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
    // Observers collect whole bursts before they read them.
    const int buffer = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = int(if_nametoindex(vcan));
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    return fd;
}

// Frames looped back on different CPUs can overtake each other, so checks that compare
// the order of written frames write from one CPU.
class PinnedToOneCpu
{
public:
    PinnedToOneCpu()
    {
        sched_getaffinity(0, sizeof m_saved, &m_saved);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    ~PinnedToOneCpu() { sched_setaffinity(0, sizeof m_saved, &m_saved); }

private:
    cpu_set_t m_saved;
};

// Collects what the library reads on a thread of its own, the way the monitor does.
class Reader
{
public:
    Reader() : m_thread([this] { run(); }) {}
    ~Reader()
    {
        m_running = false;
        m_thread.join();
    }
    size_t count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames.size();
    }
    Strings frames() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    int staleBytes() const { return m_staleBytes; }

private:
    void run()
    {
        CanFrameRecord record{};
        while (m_running) {
            if (canable_readMessage(0, &record, 1) != 0)
                continue;
            for (int i = record.remote ? 0 : record.dlc; i < 8; ++i)
                m_staleBytes += record.data[i] != 0;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_frames.push_back(text(record));
        }
    }

    std::atomic<bool> m_running{true};
    std::atomic<int> m_staleBytes{0};
    mutable std::mutex m_mutex;
    Strings m_frames;
    std::thread m_thread;
};

// A serial-line CAN interface on a pseudo terminal. The kernel's slcan driver gives it
// bit timing like a CAN controller, and the terminal's other end plays the adapter:
// it sees the commands and frames the driver sends and can inject received frames.
class SlcanLink
{
public:
    SlcanLink()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY);
        char interface[IFNAMSIZ] = {};
        if (ioctl(m_slave, TIOCSETD, &slcanDiscipline) != 0
                || ioctl(m_slave, SIOCGIFNAME, interface) != 0)
            return;
        name = interface;
        // The driver waits for the terminal to take each command, so someone must read.
        m_drain = std::thread([this] { drain(); });
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
    void drain()
    {
        char buffer[256];
        while (m_running) {
            pollfd watched{m_master, POLLIN, 0};
            if (poll(&watched, 1, 20) <= 0)
                continue;
            const ssize_t length = ::read(m_master, buffer, sizeof buffer);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (length > 0)
                m_output.append(buffer, size_t(length));
        }
    }

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
    check.require(openAdapter("", 500) == 0, "no interface chosen when none is named");
    const CanFrameRecord probe = frame(0x321, false, false, 1, 0xAB00000000000000);
    check.require(canable_writeMessage(0, &probe) == 0, "write on the chosen interface failed");
    can_frame seen{};
    pollfd watched{observer, POLLIN, 0};
    check.require(poll(&watched, 1, 10000) == 1 && read(observer, &seen, sizeof seen) > 0
                          && seen.can_id == 0x321,
                  "the chosen interface is not vcan0, the first one of CAN type");
    close(observer);
    check.require(canable_freeDLL(0) == 0 && canable_freeDLL(0) == 0,
                  "a second close is not harmless");
    CanFrameRecord record{};
    check.require(canable_readMessage(0, &record, 1) != 0 && canable_writeMessage(0, &probe) != 0,
                  "read or write succeeds with nothing open");

    const struct
    {
        const char *name;
        const char *reason;
    } refused[] = {
        {"nosuch0", "there is no network interface named \"nosuch0\""},
        {"lo", "lo is not a CAN interface"},
        {"averyveryverylongname0", "too long to be a network interface name"},
        {"can\x1b[2J", "named \"can?[2J\""},
    };
    for (const auto &interface : refused) {
        int result = 0;
        const std::string errors = stderrOf([&] { result = openAdapter(interface.name, 500); });
        check.require(result != 0, format("opening %s succeeded", interface.reason));
        check.require(lineCount(errors) == 1 && errors.find(interface.reason) != std::string::npos,
                      format("opening a wrong interface said \"%s\"", errors.c_str()));
    }
}

void checkLinkWithoutBitTiming(Check &check)
{
    for (unsigned int kbps : {10, 20, 50, 100, 500, 1000}) {
        int result = 0;
        const std::string errors = stderrOf([&] { result = openAdapter(vcan, kbps); });
        check.require(result == 0 && errors.empty(),
                      format("vcan0 at %u kbit/s: result %d, \"%s\"", kbps, result,
                             errors.c_str()));
    }
    canable_freeDLL(0);
    ipLink({"set", vcan, "down"});
    check.require(openAdapter(vcan, 500) == 0 && isUp(vcan), "root could not bring vcan0 up");
    canable_freeDLL(0);

    ipLink({"set", vcan, "down"});
    const ChildResult down = openWithoutNetAdmin(vcan, 500);
    check.require(down.status == 1 && lineCount(down.errors) == 1
                          && down.errors.find("run \"sudo ip link set vcan0 up\"")
                                  != std::string::npos,
                  format("unprivileged open of vcan0 while down: %d, \"%s\"", down.status,
                         down.errors.c_str()));
    ipLink({"set", vcan, "up"});
    const ChildResult up = openWithoutNetAdmin(vcan, 1000);
    check.require(up.status == 0 && up.errors.empty(),
                  format("unprivileged open of vcan0 while up: %d, \"%s\"", up.status,
                         up.errors.c_str()));
}

void checkLinkWithBitTiming(Check &check)
{
    SlcanLink link;
    check.require(!link.name.empty(), "cannot create an slcan interface on a pseudo terminal");
    if (link.name.empty())
        return;
    const char *name = link.name.c_str();

    check.require(openAdapter(name, 500) == 0 && bitrateOf(name) == 500000 && isUp(name),
                  "root could not open the slcan interface at 500 kbit/s");
    check.require(link.received("S6\r") && link.received("O\r"),
                  "the adapter was not told to open at 500 kbit/s");
    check.require(openAdapter(name, 1000) == 0 && bitrateOf(name) == 1000000 && link.received("S8\r"),
                  "root could not change the bit rate to 1000 kbit/s");

    const CanFrameRecord sent = frame(0x123, false, false, 2, 0x1122000000000000);
    check.require(canable_writeMessage(0, &sent) == 0 && link.received("t12321122\r"),
                  "a written frame did not reach the adapter");
    link.send("T123456783AABBCC\r");
    const std::string got = readOne();
    check.require(got == "12345678#AABBCC", "the adapter's frame was read as \"" + got + "\"");
    canable_freeDLL(0);

    const ChildResult same = openWithoutNetAdmin(name, 1000);
    check.require(same.status == 0 && same.errors.empty(),
                  "unprivileged open at the current bit rate failed: " + same.errors);
    const ChildResult other = openWithoutNetAdmin(name, 500);
    const std::string advice = format("%s is at 1000000 bit/s, not 500000, and this process may "
                                      "not change it: run \"sudo ip link set %s down && sudo ip "
                                      "link set %s up type can bitrate 500000\", or grant", name,
                                      name, name);
    check.require(other.status == 1 && lineCount(other.errors) == 1
                          && other.errors.find(advice) != std::string::npos,
                  "unprivileged open at another bit rate said: " + other.errors);
    ipLink({"set", name, "down"});
    const ChildResult down = openWithoutNetAdmin(name, 1000);
    check.require(down.status == 1 && lineCount(down.errors) == 1
                          && down.errors.find("up type can bitrate 1000000") != std::string::npos,
                  "unprivileged open while down said: " + down.errors);
    check.require(openAdapter(name, 100) == 0 && bitrateOf(name) == 100000 && isUp(name),
                  "root could not open the stopped slcan interface at 100 kbit/s");
}

void checkReceiving(Check &check)
{
    const Strings runs[] = {
        {"-n", "3000"}, {"-n", "3000", "-e"}, {"-n", "1500", "-R"}, {"-n", "1500", "-e", "-R"},
        {"-n", "2500", "-m"},
    };
    unsigned long total = 2; // the CAN FD frame and the overlong identifier sent below
    for (const Strings &run : runs)
        total += std::stoul(run[1]);
    const pid_t candump = startCandump({"-r", "16777216", "-n", std::to_string(total)},
                                       "/tmp/receive.log");
    check.require(openAdapter(vcan, 500) == 0, "cannot open vcan0");
    Reader reader;
    const int sender = rawSocket(true);

    size_t classicSent = 0;
    for (const Strings &run : runs) {
        can_frame errorFrame{};
        errorFrame.can_id = CAN_ERR_FLAG | CAN_ERR_CRTL;
        errorFrame.can_dlc = CAN_ERR_DLC;
        write(sender, &errorFrame, sizeof errorFrame);
        Strings cangen = {"/usr/bin/cangen", vcan, "-g", "0"};
        cangen.insert(cangen.end(), run.begin(), run.end());
        check.require(command(cangen) == 0, "cangen failed");
        if (run.back() == "-m")
            break;
        // Waiting between bursts keeps each within the receive buffers.
        classicSent += std::stoul(run[1]);
        waitFor([&] { return reader.count() >= classicSent; }, 60);
    }
    canfd_frame fdFrame{};
    fdFrame.can_id = 0x5A5;
    fdFrame.len = 12;
    // No controller receives a standard frame with more than 11 identifier bits, but a
    // raw socket can send one; candump shows its low 11 bits, and so must the record.
    can_frame overlong{};
    overlong.can_id = 0x1234;
    check.require(write(sender, &fdFrame, sizeof fdFrame) == sizeof fdFrame
                          && write(sender, &overlong, sizeof overlong) == sizeof overlong,
                  "cannot send the CAN FD frame or the overlong identifier");
    close(sender);

    check.require(finish(candump) == 0, format("candump did not see all %lu frames", total));
    const Strings expected = candumpFrames("/tmp/receive.log", true);
    waitFor([&] { return reader.count() >= expected.size(); }, 60);
    const Strings got = reader.frames();
    check.require(got == expected, "read differs from candump: " + firstDifference(got, expected));
    check.require(reader.staleBytes() == 0,
                  format("%d data bytes past the length were not cleared", reader.staleBytes()));

    int kinds[4] = {};
    bool lengths[9] = {};
    for (const std::string &line : expected) {
        const size_t hash = line.find('#');
        const bool remote = line[hash + 1] == 'R';
        kinds[(hash == 8 ? 2 : 0) + remote]++;
        if (!remote)
            lengths[(line.size() - hash - 1) / 2] = true;
    }
    check.require(expected.size() >= 10000 && std::count(kinds, kinds + 4, 0) == 0
                          && std::count(lengths, lengths + 9, false) == 0,
                  format("the traffic lacked variety: %zu frames", expected.size()));
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
    const pid_t candump = startCandump({"-n", std::to_string(expected.size())}, "/tmp/write.log");
    check.require(openAdapter(vcan, 500) == 0, "cannot open vcan0");
    PinnedToOneCpu pinned;
    for (const auto &entry : writes) {
        const bool accepted = canable_writeMessage(0, &entry.record) == 0;
        check.require(accepted == (entry.seen != nullptr),
                      format("%s frame %08X dlc %u", accepted ? "accepted" : "refused",
                             entry.record.id, entry.record.dlc));
    }
    check.require(finish(candump) == 0, "candump did not see every accepted frame");
    const Strings seen = candumpFrames("/tmp/write.log", false);
    check.require(seen == expected, "candump differs: " + firstDifference(seen, expected));

    check.require(command({"/usr/bin/cansend", vcan, "7AB#CAFE"}) == 0, "cansend failed");
    const std::string first = readOne();
    check.require(first == "7AB#CAFE", "read back our own frame " + first);
}

void checkBoundedWaits(Check &check)
{
    check.require(openAdapter(vcan, 500) == 0, "cannot open vcan0");
    PinnedToOneCpu pinned;
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
        slowest = std::max(slowest, timed([&] { refused += canable_writeMessage(0, &flood) != 0; }));
    }
    check.require(refused == 0 && slowest < 2,
                  format("write flood: %d refused, slowest %.3f s", refused, slowest));

    // A plugged queue holds what it takes: a small byte limit fills the device queue
    // (ENOBUFS), a large one fills the socket's send buffer first (EAGAIN).
    for (const char *limit : {"1600", "100000000"}) {
        const int observer = rawSocket(false);
        tcQdisc({"add", "dev", vcan, "root", "plug", "limit", limit});
        Strings accepted;
        double failedWrite = 0;
        const std::string errors = stderrOf([&] {
            for (uint64_t i = 0; i < 5000 && failedWrite == 0; ++i) {
                const CanFrameRecord queued = frame(0x600, false, false, 2, i << 48);
                bool taken = false;
                const double took = timed([&] { taken = canable_writeMessage(0, &queued) == 0; });
                if (taken)
                    accepted.push_back(text(queued));
                else
                    failedWrite = took;
            }
            const CanFrameRecord again = frame(0x601, false, false, 0);
            check.require(canable_writeMessage(0, &again) != 0, "a full queue took a frame");
        });
        check.require(!accepted.empty() && failedWrite >= 0.015 && failedWrite < 2,
                      format("limit %s: %zu frames queued, the failing write took %.3f s", limit,
                             accepted.size(), failedWrite));
        check.require(lineCount(errors) == 1 && errors.find("stayed full") != std::string::npos,
                      "a full queue was reported as: " + errors);

        tcQdisc({"change", "dev", vcan, "root", "plug", "release_indefinite"});
        const CanFrameRecord marker = frame(0x602, false, false, 0);
        check.require(canable_writeMessage(0, &marker) == 0, "no write after the queue drained");
        tcQdisc({"del", "dev", vcan, "root"});
        Strings seen;
        can_frame received{};
        while (seen.empty() || seen.back() != "602#") {
            pollfd watched{observer, POLLIN, 0};
            if (poll(&watched, 1, 10000) != 1 || read(observer, &received, sizeof received) <= 0)
                break;
            seen.push_back(format("%03X#", received.can_id));
            for (int i = 0; i < received.can_dlc; ++i)
                seen.back() += format("%02X", received.data[i]);
        }
        accepted.push_back("602#");
        check.require(seen == accepted, "the bus carried " + firstDifference(seen, accepted));
        close(observer);
    }
}

void checkLinkLoss(Check &check)
{
    check.require(openAdapter(vcan, 500) == 0, "cannot open vcan0");
    const CanFrameRecord probe = frame(0x100, false, false, 1, 0x0100000000000000);
    CanFrameRecord record{};

    ipLink({"set", vcan, "down"});
    double slowest = 0;
    stderrOf([&] {
        for (int i = 0; i < 10; ++i) {
            slowest = std::max(slowest, timed([&] {
                check.require(canable_writeMessage(0, &probe) != 0, "wrote to a stopped link");
                check.require(canable_readMessage(0, &record, 1) != 0, "read from a stopped link");
            }));
        }
    });
    check.require(slowest < 2, format("a call on a stopped link took %.3f s", slowest));
    ipLink({"set", vcan, "up"});
    command({"/usr/bin/cansend", vcan, "7AB#01"});
    check.require(readOne() == "7AB#01" && canable_writeMessage(0, &probe) == 0,
                  "the session did not recover when vcan0 came back up");

    ipLink({"del", vcan});
    int reads = 0;
    double shortest = 1;
    slowest = 0;
    const double cpuBefore = processCpuSeconds();
    const std::string errors = stderrOf([&] {
        const auto start = Clock::now();
        while (secondsSince(start) < 1) {
            const double took = timed([&] {
                check.require(canable_readMessage(0, &record, 1) != 0, "read from a deleted link");
                check.require(canable_writeMessage(0, &probe) != 0, "wrote to a deleted link");
            });
            shortest = std::min(shortest, took);
            slowest = std::max(slowest, took);
            ++reads;
        }
    });
    const double cpu = processCpuSeconds() - cpuBefore;
    check.require(shortest >= 0.009 && slowest < 2 && cpu < 0.3,
                  format("%d calls on a deleted link took %.4f to %.4f s and %.3f s of CPU", reads,
                         shortest, slowest, cpu));
    check.require(lineCount(errors) >= 1 && lineCount(errors) <= 2,
                  "the lost link was reported as: " + errors);

    ipLink({"add", "dev", vcan, "type", "vcan"});
    ipLink({"set", vcan, "mtu", "72"});
    ipLink({"set", vcan, "up"});
    canable_freeDLL(0);
    check.require(openAdapter(vcan, 500) == 0, "cannot reopen the re-created vcan0");
    command({"/usr/bin/cansend", vcan, "7AB#02"});
    check.require(readOne() == "7AB#02" && canable_writeMessage(0, &probe) == 0,
                  "the re-created vcan0 does not carry frames");
}

} // namespace

int main()
{
    runCheck("interface choice", checkInterfaceChoice);
    runCheck("bit rate of a link without bit timing", checkLinkWithoutBitTiming);
    runCheck("bit rate of a link with bit timing", checkLinkWithBitTiming);
    runCheck("received frames match candump", checkReceiving);
    runCheck("written frames match candump", checkWriting);
    runCheck("bounded waits", checkBoundedWaits);
    runCheck("link loss", checkLinkLoss);
    return failedChecks ? 1 : 0;
}
