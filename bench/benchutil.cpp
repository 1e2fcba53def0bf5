#include "bench/benchutil.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>

namespace BenchUtil {

namespace {

// The definition after the program's own: the library's, behind the benchmark's wrapper.
template<typename Function>
Function nextDefinition(const char *symbol)
{
    const auto function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
    if (!function)
        qFatal("%s not found in the adapter library", symbol);
    return function;
}

} // namespace

ReadFunction libraryRead()
{
    static const ReadFunction function = nextDefinition<ReadFunction>("canable_readMessage");
    return function;
}

ReadFdFunction libraryReadFd()
{
    static const ReadFdFunction function =
            nextDefinition<ReadFdFunction>("canable_readMessageFD");
    return function;
}

double rankOf(const std::vector<double> &sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(std::ceil(fraction * double(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

Percentiles percentiles(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    return { rankOf(values, 0.50), rankOf(values, 0.99), values.back() };
}

double cpuSeconds(clockid_t clock)
{
    timespec now = {};
    if (clock_gettime(clock, &now) != 0)
        return 0;
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double processCpuSeconds()
{
    return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double threadCpuSeconds(pthread_t thread)
{
    clockid_t clock = 0;
    if (!thread || pthread_getcpuclockid(thread, &clock) != 0)
        return 0;
    return cpuSeconds(clock);
}

double secondsOf(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) * 1e-9;
}

double statusMegabytes(const char *field)
{
    std::FILE *status = std::fopen("/proc/self/status", "re");
    if (!status)
        return 0;
    const size_t length = std::strlen(field);
    char line[256];
    double megabytes = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            megabytes = std::strtod(line + length + 1, nullptr) / 1024;
            break;
        }
    }
    std::fclose(status);
    return megabytes;
}

double residentMegabytes()
{
    return statusMegabytes("VmRSS");
}

double peakResidentMegabytes()
{
    return statusMegabytes("VmHWM");
}

bool resetPeakResident()
{
    std::FILE *refs = std::fopen("/proc/self/clear_refs", "we");
    if (!refs)
        return false;
    // 5 resets the peak resident size (Linux 4.0 on).
    const bool written = std::fputs("5", refs) >= 0;
    return std::fclose(refs) == 0 && written;
}

bool waitUntil(const std::function<bool()> &done, double timeoutSeconds)
{
    if (done())
        return true;
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || secondsOf(timer) > timeoutSeconds)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return done();
}

Heartbeat::Heartbeat()
{
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, [this] {
        longest = std::max(longest, double(clock.nsecsElapsed()) / 1e6);
        clock.restart();
    });
}

void Heartbeat::start()
{
    longest = 0;
    clock.start();
    timer.start(5);
}

double Heartbeat::longestMs() const
{
    return std::max(longest, clock.isValid() ? double(clock.nsecsElapsed()) / 1e6 : 0.0);
}

double Heartbeat::stop()
{
    const double gap = longestMs();
    timer.stop();
    return gap;
}

} // namespace BenchUtil
