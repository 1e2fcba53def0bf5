#pragma once

// What the benchmark programs share: percentiles of a sample, CPU clocks, the process's
// resident memory, the adapter library's own read calls behind a benchmark's wrapper, a
// wait that keeps the event loop running and a heartbeat that records the event loop's
// longest gap. The clocks and the memory figures may be read from any
// thread; waitUntil() and the heartbeat run on the calling thread's event loop and are
// meant for the GUI thread.

#include "canable/canable.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <vector>

#include <pthread.h>
#include <time.h>

namespace BenchUtil {

struct Percentiles
{
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

// The adapter library's canable_readMessage and canable_readMessageFD, for a benchmark
// that defines the call itself to count or shape what the window reads. Any thread.
using ReadFunction = int (*)(int, CanFrameRecord *, int);
using ReadFdFunction = int (*)(int, CanFdFrameRecord *);
ReadFunction libraryRead();
ReadFdFunction libraryReadFd();

// Nearest-rank percentiles; all zero for an empty sample.
Percentiles percentiles(std::vector<double> values);

// The nearest-rank value at `fraction` (0..1] of an ascending sample; 0 when it is empty.
double rankOf(const std::vector<double> &sorted, double fraction);

double cpuSeconds(clockid_t clock);
double processCpuSeconds();
// 0 for a null handle or a thread whose clock cannot be read.
double threadCpuSeconds(pthread_t thread);

double secondsOf(const QElapsedTimer &timer);

// A kB line of /proc/self/status ("VmRSS", "VmHWM") in megabytes; 0 when it is missing.
double statusMegabytes(const char *field);
// The resident size now, and its peak since the start or since resetPeakResident().
double residentMegabytes();
double peakResidentMegabytes();
// Starts the peak afresh at the present size, so that each stage of a run has its own;
// false where the kernel does not allow it (the peak then counts from the start).
bool resetPeakResident();

// Runs the event loop until done() holds, looking every few milliseconds; false when
// timeoutSeconds passed first.
bool waitUntil(const std::function<bool()> &done, double timeoutSeconds);

// The longest time between two beats of a 5 ms timer on the thread that starts it: how
// long that thread's event loop was kept from its events.
class Heartbeat : public QObject
{
public:
    Heartbeat();
    void start();
    // The longest gap since start(), the one still running included.
    double longestMs() const;
    double stop();

private:
    QTimer timer;
    QElapsedTimer clock;
    double longest = 0;
};

} // namespace BenchUtil
