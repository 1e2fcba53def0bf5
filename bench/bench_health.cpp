// Measures what bus health costs per frame: the bit count with exact stuffing that the bus
// load is made of, over a million frames of every format and length, and an error event's
// way through the adapter library (produced by the simulated bus, taken with
// canable_readErrorEvent, its class and counters read), at 100,000 error frames per second
// beside the vehicle traffic. Prints ns per frame and per event with the machine's load.
//
// Usage: bench_health [--seconds S]   (the error run lasts S seconds, default 3)
// The exit status is 1 when the error run lost events or read none.

#include "canable/canable.h"
#include "health/busload.h"

#include <linux/can/error.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double loadAverage()
{
    double load = -1;
    if (std::FILE *file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = -1;
        std::fclose(file);
    }
    return load;
}

struct Frame
{
    uint32_t id;
    bool extended;
    bool remote;
    uint8_t dlc;
    uint8_t data[8];
};

double frameBitsNanoseconds(uint64_t *checksum)
{
    std::mt19937 random(7);
    std::vector<Frame> frames(1 << 20);
    for (Frame &frame : frames) {
        frame.extended = random() & 1;
        frame.remote = random() % 16 == 0;
        frame.id = random() & (frame.extended ? 0x1FFFFFFF : 0x7FF);
        frame.dlc = uint8_t(random() % 9);
        for (uint8_t &byte : frame.data)
            byte = uint8_t(random());
    }
    const auto start = Clock::now();
    for (const Frame &frame : frames)
        *checksum += busload::frameBits(frame.id, frame.extended, frame.remote, frame.dlc,
                                        frame.data);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return seconds * 1e9 / double(frames.size());
}

} // namespace

int main(int argc, char *argv[])
{
    double runSeconds = 3;
    if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) {
        runSeconds = std::atof(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: bench_health [--seconds S]\n");
        return 2;
    }

    uint64_t checksum = 0;
    const double loadBefore = loadAverage();
    const double bitsNs = frameBitsNanoseconds(&checksum);
    std::printf("frame bits with exact stuffing: %.1f ns/frame (checksum %llu)\n", bitsNs,
                static_cast<unsigned long long>(checksum));

    setenv("CANABLE_INTERFACE", "sim", 1);
    setenv("CANABLE_SIM_TRAFFIC", "mix", 1);
    setenv("CANABLE_SIM_FAULTS", "errors:stuff:100000/s", 1);
    if (canable_initDLL(0, 500) != 0) {
        std::fprintf(stderr, "bench_health: %s\n", canable_lastError());
        return 1;
    }
    uint64_t events = 0;
    uint64_t frames = 0;
    uint64_t stuffErrors = 0;
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - start).count() < runSeconds) {
        CanFrameRecord record{};
        if (canable_readMessage(0, &record, 1) == 0)
            ++frames;
        CanErrorEvent event{};
        while (canable_readErrorEvent(0, &event) == 0) {
            ++events;
            stuffErrors += (event.errorClass & CAN_ERR_PROT)
                && event.data[2] == CAN_ERR_PROT_STUFF;
        }
    }
    const double cpu = cpuSeconds() - cpuBefore;
    CanBusStatus status{};
    canable_getStatus(0, &status);
    canable_freeDLL(0);
    std::printf("error events: %llu (%llu stuff errors, %u lost) beside %llu frames in %.1f s, "
                "%.0f ns of CPU per event and frame\n",
                static_cast<unsigned long long>(events),
                static_cast<unsigned long long>(stuffErrors), status.errorEventsLost,
                static_cast<unsigned long long>(frames), runSeconds,
                cpu * 1e9 / double(std::max<uint64_t>(events + frames, 1)));
    std::printf("load average: %.2f before, %.2f after\n", loadBefore, loadAverage());
    return events > 0 && status.errorEventsLost == 0 && stuffErrors == events ? 0 : 1;
}
