#include "memory/heaprelease.h"

#include <mutex>
#include <thread>

#include <malloc.h>

namespace {

// Requests that come while a release runs are served by one more release after it, so a
// series of frees never piles up threads. Never destroyed, so that a release still running
// at exit finds it.
struct ReleaseState
{
    std::mutex mutex;
    bool running = false;
    bool again = false;
};

ReleaseState &releaseState()
{
    static ReleaseState *state = new ReleaseState;
    return *state;
}

} // namespace

void returnFreedMemory()
{
    ReleaseState &state = releaseState();
    {
        std::lock_guard<std::mutex> locker(state.mutex);
        if (state.running) {
            state.again = true;
            return;
        }
        state.running = true;
    }
    std::thread([&state] {
        for (;;) {
            malloc_trim(0);
            std::lock_guard<std::mutex> locker(state.mutex);
            if (!state.again) {
                state.running = false;
                return;
            }
            state.again = false;
        }
    }).detach();
}

void configureHeap()
{
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
}
