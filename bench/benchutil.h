#pragma once

// What the benchmark programs share: percentiles of a sample, CPU clocks and a wait that
// keeps the event loop running. The clocks may be read from any thread; waitUntil() runs
// the calling thread's event loop and is meant for the GUI thread.

#include <functional>
#include <vector>

#include <pthread.h>
#include <time.h>

class QElapsedTimer;

namespace BenchUtil {

struct Percentiles
{
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

// Nearest-rank percentiles; all zero for an empty sample.
Percentiles percentiles(std::vector<double> values);

// The nearest-rank value at `fraction` (0..1] of an ascending sample; 0 when it is empty.
double rankOf(const std::vector<double> &sorted, double fraction);

double cpuSeconds(clockid_t clock);
double processCpuSeconds();
// 0 for a null handle or a thread whose clock cannot be read.
double threadCpuSeconds(pthread_t thread);

double secondsOf(const QElapsedTimer &timer);

// Runs the event loop until done() holds, looking every few milliseconds; false when
// timeoutSeconds passed first.
bool waitUntil(const std::function<bool()> &done, double timeoutSeconds);

} // namespace BenchUtil
