// Trace files: writing and opening 10,000,000-frame .log and .blf files (time and peak
// memory of the reading process), and a paced recording at a full bus (frames written,
// CPU of the writing thread, memory over time).
//
// bench_trace [frames] [record-seconds] [folder]

#include "traceformats/tracefile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

long statusKiB(const char *key)
{
    FILE *file = std::fopen("/proc/self/status", "r");
    if (!file)
        return 0;
    char line[256];
    long value = 0;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, std::strlen(key)) == 0)
            value = std::atol(line + std::strlen(key));
    }
    std::fclose(file);
    return value;
}

double threadCpuSeconds()
{
    struct rusage usage = {};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

trace::Frame frameNumber(uint64_t i, int64_t startUs)
{
    trace::Frame f;
    f.extended = i % 3 == 0;
    f.id = uint32_t(f.extended ? (0x18fe0000 + i % 4096) : (0x100 + i % 1792));
    f.dlc = 8;
    for (int b = 0; b < 8; ++b)
        f.data[b] = uint8_t(i >> (b * 3));
    f.tx = i % 10 == 0;
    f.timestampUs = startUs + int64_t(i) * 47;
    return f;
}

bool writeFile(const std::string &path, trace::Format format, uint64_t frames)
{
    const auto start = Clock::now();
    std::string error;
    auto writer = trace::Writer::create(path, format, &error);
    if (!writer) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    for (uint64_t i = 0; i < frames; ++i)
        writer->write(frameNumber(i, 1796660000000000LL));
    if (!writer->close()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), writer->error().c_str());
        return false;
    }
    std::printf("write %-4s %llu frames: %.2f s\n", trace::extensionOf(format),
                static_cast<unsigned long long>(frames), seconds(start));
    return true;
}

// In a child process, so that its peak memory is the reader's alone.
void readFile(const std::string &path, trace::Format format, uint64_t frames)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const long before = statusKiB("VmHWM:");
        const auto start = Clock::now();
        std::string error;
        auto reader = trace::Reader::open(path, format, &error);
        uint64_t count = 0;
        uint64_t wrong = 0;
        trace::Frame f;
        while (reader && reader->next(f)) {
            const trace::Frame expected = frameNumber(count, 1796660000000000LL);
            wrong += f.id != expected.id || f.timestampUs != expected.timestampUs
                    || std::memcmp(f.data, expected.data, 8) != 0;
            ++count;
        }
        std::printf("open  %-4s %llu frames: %.2f s, peak memory %ld MiB (%ld before), "
                    "%llu wrong, %llu skipped%s\n",
                    trace::extensionOf(format), static_cast<unsigned long long>(count),
                    seconds(start), statusKiB("VmHWM:") / 1024, before / 1024,
                    static_cast<unsigned long long>(wrong),
                    static_cast<unsigned long long>(reader ? reader->skipped() : 0),
                    count == frames ? "" : " (COUNT MISMATCH)");
        std::fflush(stdout);
        _exit(count == frames && wrong == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

// Frames at the pace of a full 1 Mbit/s bus of 8-byte standard frames, flushed once a
// second as a recording does.
void record(const std::string &path, trace::Format format, int secondsToRun)
{
    const double rate = 21277;
    std::string error;
    auto writer = trace::Writer::create(path, format, &error);
    if (!writer)
        return;
    const auto start = Clock::now();
    const double cpuStart = threadCpuSeconds();
    uint64_t sent = 0;
    long rssMin = 1L << 40, rssMax = 0;
    auto nextFlush = start + std::chrono::seconds(1);
    while (seconds(start) < secondsToRun) {
        const uint64_t due = uint64_t(seconds(start) * rate);
        for (; sent < due; ++sent)
            writer->write(frameNumber(sent, 1796660000000000LL));
        if (Clock::now() >= nextFlush) {
            writer->flush();
            nextFlush += std::chrono::seconds(1);
            const long rss = statusKiB("VmRSS:");
            rssMin = std::min(rssMin, rss);
            rssMax = std::max(rssMax, rss);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    writer->close();
    const double cpu = threadCpuSeconds() - cpuStart;
    std::printf("record %-4s %d s at %.0f/s: %llu frames written of %llu, CPU %.1f %%, "
                "RSS %ld..%ld KiB\n",
                trace::extensionOf(format), secondsToRun, rate,
                static_cast<unsigned long long>(writer->framesWritten()),
                static_cast<unsigned long long>(sent), 100.0 * cpu / secondsToRun, rssMin,
                rssMax);
}

} // namespace

int main(int argc, char **argv)
{
    const uint64_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    const int recordSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const std::string folder = argc > 3 ? argv[3] : "/tmp";
    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        std::printf("load average at start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    for (trace::Format format : { trace::Format::CandumpLog, trace::Format::Blf }) {
        const std::string path = folder + "/bench_trace." + trace::extensionOf(format);
        if (writeFile(path, format, frames))
            readFile(path, format, frames);
        unlink(path.c_str());
    }
    for (trace::Format format : { trace::Format::CandumpLog, trace::Format::Blf }) {
        const std::string path = folder + "/bench_record." + trace::extensionOf(format);
        record(path, format, recordSeconds);
        unlink(path.c_str());
    }
    if (getloadavg(load, 3) == 3)
        std::printf("load average at end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
