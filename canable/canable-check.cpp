// canable-check: opens the adapter through the adapter library, as the monitor does, and
// either prints the frames it receives or sends frames given on the command line. Frames
// are written as in candump's compact log form: 123#1122, 12345678#, 123#R, 123#R4. It
// also lists the CAN interfaces and shows error events and the controller's status.

#include "canable/canable.h"
#include "traceformats/tracefile.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

const char usageText[] =
        "Usage: canable-check [--interface NAME] [--bitrate KBPS] [--data-bitrate KBPS]\n"
        "                     --listen [--count N]\n"
        "                     [--timeout-ms T]\n"
        "                     [--errors] [--status] [--listen-only]\n"
        "       canable-check [--interface NAME] [--bitrate KBPS] [--data-bitrate KBPS]\n"
        "                     --send FRAME [--repeat N]\n"
        "                     [--gap-us G]\n"
        "       canable-check --list\n"
        "\n"
        "Opens the CAN adapter through libvostrel_canable and listens or sends.\n"
        "\n"
        "  --interface NAME  SocketCAN interface such as can0, or \"sim\" for the simulated\n"
        "                    bus (default: $CANABLE_INTERFACE, else the first CAN interface)\n"
        "  --bitrate KBPS    bit rate in kbit/s, e.g. 10, 20, 50, 100, 500, 1000 (default 500)\n"
        "  --data-bitrate KBPS  open in CAN FD mode with this data bit rate, e.g. 2000;\n"
        "                    FD frames are then read and sent as 123##<flags><data>\n"
        "                    (flags: 1 BRS, 2 ESI), e.g. 123##1112233\n"
        "  --listen          print every received frame on a line of its own\n"
        "  --count N         stop listening after N frames\n"
        "  --timeout-ms T    stop listening when no frame came for T milliseconds\n"
        "  --send FRAME      send FRAME: 123#1122 (standard), 12345678#11.22 (extended),\n"
        "                    123#R (remote), 123#R4 (remote asking for 4 bytes)\n"
        "  --repeat N        send the frame N times (default 1)\n"
        "  --gap-us G        wait G microseconds between two sends (default 0)\n"
        "  --errors          while listening, also print each error event:\n"
        "                    ERROR <class bits, hex> <8 data bytes, hex>\n"
        "  --status          print the controller status after the open and, while\n"
        "                    listening, every second: STATUS state=... tec=... rec=...\n"
        "  --listen-only     open in listen-only mode (needs CAP_NET_ADMIN and a driver\n"
        "                    that supports it)\n"
        "  --list            print the CAN interfaces: name, up or down, vcan or can,\n"
        "                    bit rate (0 unknown)\n"
        "  --help            show this text\n"
        "\n"
        "Exit status: 0 success, 1 failure, 2 bad arguments.\n";

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

int usageError(const char *format, const char *detail)
{
    std::fprintf(stderr, "canable-check: ");
    std::fprintf(stderr, format, detail);
    std::fprintf(stderr, "\n\n%s", usageText);
    return exitUsage;
}

bool parseNumber(const char *text, unsigned long max, unsigned long *value)
{
    if (!text || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    *value = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && *value <= max;
}

bool parseFrame(const char *text, CanFrameRecord *record)
{
    trace::Frame frame;
    if (!trace::parseCandumpFrame(text, frame) || frame.error || frame.fd
        || !canable_isTransmittable(frame.id, frame.extended, frame.dlc))
        return false;
    *record = CanFrameRecord{};
    record->id = frame.id;
    record->extended = frame.extended;
    record->remote = frame.remote;
    record->dlc = frame.dlc;
    if (!frame.remote)
        std::memcpy(record->data, frame.data, frame.dlc);
    return true;
}

// Any length up to 64 bytes is taken, so that the library's refusal of a length between
// the FD lengths can be seen from the command line.
bool parseFdFrame(const char *text, CanFdFrameRecord *record)
{
    trace::Frame frame;
    if (!trace::parseCandumpFrame(text, frame) || !frame.fd || frame.error)
        return false;
    *record = CanFdFrameRecord{};
    record->id = frame.id;
    record->len = frame.dlc;
    record->flags = uint8_t(CANABLE_FD_FDF | (frame.extended ? CANABLE_FD_EXT : 0)
                            | (frame.brs ? CANABLE_FD_BRS : 0)
                            | (frame.esi ? CANABLE_FD_ESI : 0));
    std::memcpy(record->data, frame.data, frame.dlc);
    return true;
}

void printFrame(const CanFrameRecord &record)
{
    char line[40];
    int length = std::snprintf(line, sizeof line, record.extended ? "%08X#" : "%03X#",
                               unsigned(record.id));
    if (record.remote) {
        line[length++] = 'R';
        if (record.dlc)
            line[length++] = char('0' + record.dlc);
    } else {
        for (int i = 0; i < record.dlc && i < 8; ++i)
            length += std::snprintf(line + length, sizeof line - size_t(length), "%02X",
                                    record.data[i]);
    }
    line[length++] = '\n';
    std::fwrite(line, 1, size_t(length), stdout);
}

void printFdFrame(const CanFdFrameRecord &record)
{
    if (!(record.flags & CANABLE_FD_FDF)) {
        CanFrameRecord classic{};
        classic.id = record.id;
        classic.dlc = record.len;
        classic.extended = (record.flags & CANABLE_FD_EXT) ? 1 : 0;
        classic.remote = (record.flags & CANABLE_FD_RTR) ? 1 : 0;
        std::memcpy(classic.data, record.data, sizeof classic.data);
        printFrame(classic);
        return;
    }
    char line[160];
    int length = std::snprintf(line, sizeof line,
                               (record.flags & CANABLE_FD_EXT) ? "%08X##%X" : "%03X##%X",
                               unsigned(record.id),
                               ((record.flags & CANABLE_FD_BRS) ? 1u : 0u)
                                   | ((record.flags & CANABLE_FD_ESI) ? 2u : 0u));
    for (int i = 0; i < record.len && i < 64; ++i)
        length += std::snprintf(line + length, sizeof line - size_t(length), "%02X",
                                record.data[i]);
    line[length++] = '\n';
    std::fwrite(line, 1, size_t(length), stdout);
}

const char *stateName(int state)
{
    switch (state) {
    case CANABLE_STATE_ERROR_ACTIVE:
        return "active";
    case CANABLE_STATE_ERROR_WARNING:
        return "warning";
    case CANABLE_STATE_ERROR_PASSIVE:
        return "passive";
    case CANABLE_STATE_BUS_OFF:
        return "bus-off";
    case CANABLE_STATE_STOPPED:
        return "stopped";
    default:
        return "unknown";
    }
}

bool printStatus()
{
    CanBusStatus status{};
    if (canable_getStatus(0, &status) != 0)
        return false;
    std::printf("STATUS state=%s tec=%d rec=%d bus-off=%u restarts=%u kernel-drops=%llu "
                "adapter-drops=%llu errors-lost=%u\n", stateName(status.state),
                status.txErrors, status.rxErrors, status.busOffCount, status.restarts,
                static_cast<unsigned long long>(status.kernelDrops),
                static_cast<unsigned long long>(status.adapterDrops), status.errorEventsLost);
    return true;
}

void printErrorEvents()
{
    CanErrorEvent event{};
    while (canable_readErrorEvent(0, &event) == 0) {
        std::printf("ERROR %08X", unsigned(event.errorClass));
        for (uint8_t byte : event.data)
            std::printf(" %02X", byte);
        std::printf("\n");
    }
}

int listInterfaces()
{
    CanInterfaceInfo interfaces[64];
    const int count = canable_listInterfaces(interfaces, 64);
    if (count < 0) {
        std::fprintf(stderr, "canable-check: %s\n", canable_lastError());
        return exitFailure;
    }
    for (int i = 0; i < count && i < 64; ++i)
        std::printf("%s %s %s %u\n", interfaces[i].name, interfaces[i].up ? "up" : "down",
                    interfaces[i].virtualBus ? "vcan" : "can", unsigned(interfaces[i].bitrate));
    return 0;
}

int listen(unsigned long count, unsigned long timeoutMs, bool errors, bool status, bool fd)
{
    using Clock = std::chrono::steady_clock;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    CanFrameRecord record{};
    CanFdFrameRecord fdRecord{};
    unsigned long received = 0;
    auto lastFrame = Clock::now();
    auto lastStatus = Clock::now();
    while (!stopRequested && (count == 0 || received < count)) {
        const bool got = fd ? canable_readMessageFD(0, &fdRecord) == 0
                            : canable_readMessage(0, &record, 1) == 0;
        if (errors)
            printErrorEvents();
        if (status && Clock::now() - lastStatus >= std::chrono::seconds(1)) {
            printStatus();
            lastStatus = Clock::now();
        }
        if (got) {
            if (fd)
                printFdFrame(fdRecord);
            else
                printFrame(record);
            ++received;
            lastFrame = Clock::now();
        } else if (timeoutMs && Clock::now() - lastFrame >= std::chrono::milliseconds(timeoutMs)) {
            break;
        }
    }
    std::fflush(stdout);
    if (count && received < count && !stopRequested) {
        std::fprintf(stderr, "canable-check: %lu of %lu frames came before the timeout\n",
                     received, count);
        return exitFailure;
    }
    return 0;
}

int send(const CanFrameRecord &record, const CanFdFrameRecord *fdRecord, unsigned long repeat,
         unsigned long gapUs)
{
    unsigned long refused = 0;
    for (unsigned long i = 0; i < repeat && !stopRequested; ++i) {
        if (i > 0 && gapUs)
            std::this_thread::sleep_for(std::chrono::microseconds(gapUs));
        if ((fdRecord ? canable_writeMessageFD(0, fdRecord) : canable_writeMessage(0, &record))
                != 0)
            ++refused;
    }
    if (refused && fdRecord && *canable_lastError()) {
        std::fprintf(stderr, "canable-check: %lu of %lu frames were not accepted: %s\n",
                     refused, repeat, canable_lastError());
        return exitFailure;
    }
    if (refused) {
        std::fprintf(stderr, "canable-check: %lu of %lu frames were not accepted\n", refused,
                     repeat);
        return exitFailure;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    unsigned long bitrate = 500;
    unsigned long dataBitrate = 0;
    unsigned long count = 0;
    unsigned long timeoutMs = 0;
    unsigned long repeat = 1;
    unsigned long gapUs = 0;
    bool listening = false;
    bool errors = false;
    bool status = false;
    bool listenOnly = false;
    bool list = false;
    const char *frameText = nullptr;

    const std::set<std::string> optionsWithValue = {"--interface", "--bitrate", "--count",
                                                    "--timeout-ms", "--repeat", "--gap-us",
                                                    "--send", "--data-bitrate"};
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(usageText, stdout);
            return 0;
        }
        if (option == "--listen" || option == "--errors" || option == "--status"
                || option == "--listen-only" || option == "--list") {
            listening |= option == "--listen";
            errors |= option == "--errors";
            status |= option == "--status";
            listenOnly |= option == "--listen-only";
            list |= option == "--list";
            continue;
        }
        if (!optionsWithValue.count(option))
            return usageError("unknown option %s", option.c_str());
        if (i + 1 == argc)
            return usageError("%s needs a value", option.c_str());
        const char *value = argv[++i];
        bool valid = true;
        if (option == "--interface")
            valid = setenv("CANABLE_INTERFACE", value, 1) == 0;
        else if (option == "--bitrate")
            valid = parseNumber(value, 1000, &bitrate) && bitrate > 0;
        else if (option == "--data-bitrate")
            valid = parseNumber(value, 15000, &dataBitrate) && dataBitrate > 0;
        else if (option == "--count")
            valid = parseNumber(value, 1ul << 40, &count);
        else if (option == "--timeout-ms")
            valid = parseNumber(value, 1ul << 40, &timeoutMs);
        else if (option == "--repeat")
            valid = parseNumber(value, 1ul << 40, &repeat);
        else if (option == "--gap-us")
            valid = parseNumber(value, 60000000, &gapUs);
        else
            frameText = value;
        if (!valid)
            return usageError("bad value for %s", option.c_str());
    }

    if (list) {
        if (listening || frameText || errors || status || listenOnly)
            return usageError("%s", "--list takes no other option");
        return listInterfaces();
    }
    CanFrameRecord frame{};
    CanFdFrameRecord fdFrame{};
    const bool fd = dataBitrate != 0;
    if (errors && !listening)
        return usageError("%s", "--errors needs --listen");
    if (listening == (frameText != nullptr))
        return usageError("%s", "give either --listen or --send");
    const bool fdText = frameText && std::strstr(frameText, "##");
    if (fdText && !fd)
        return usageError("%s", "an FD frame needs --data-bitrate");
    if (frameText && !(fdText ? parseFdFrame(frameText, &fdFrame) : parseFrame(frameText, &frame)))
        return usageError("cannot read the frame \"%s\" (expected e.g. 123#1122, "
                          "12345678#, 123#R, 123##1AABB)", frameText);
    if (frameText && fd && !fdText) {
        fdFrame.id = frame.id;
        fdFrame.len = frame.dlc;
        fdFrame.flags = uint8_t((frame.extended ? CANABLE_FD_EXT : 0)
                                | (frame.remote ? CANABLE_FD_RTR : 0));
        std::memcpy(fdFrame.data, frame.data, sizeof frame.data);
    }

    struct sigaction action{};
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    canable_setListenOnly(listenOnly);
    if (fd && canable_initFD(0, unsigned(bitrate), unsigned(dataBitrate)) != 0) {
        std::fprintf(stderr, "canable-check: cannot open the adapter in FD mode at %lu/%lu "
                     "kbit/s: %s\n", bitrate, dataBitrate, canable_lastError());
        return exitFailure;
    }
    if (!fd && canable_initDLL(0, unsigned(bitrate)) != 0) {
        std::fprintf(stderr, "canable-check: cannot open the adapter at %lu kbit/s: %s\n",
                     bitrate, canable_lastError());
        return exitFailure;
    }
    if (status)
        printStatus();
    if (listening)
        std::fprintf(stderr, "canable-check: listening at %lu kbit/s\n", bitrate);
    const int result = listening ? listen(count, timeoutMs, errors, status, fd)
                                 : send(frame, fd ? &fdFrame : nullptr, repeat, gapUs);
    canable_freeDLL(0);
    return result;
}
