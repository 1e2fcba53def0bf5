#include "canable/backend.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace {

// Reads and writes share the session; opening and closing replace it and must wait
// until no call is inside the old one.
std::shared_mutex sessionLock;
std::unique_ptr<canable::Backend> session;
// Read under the session lock shared and changed under it exclusively, so a read never
// sees half a filter and a change waits for the read in progress.
std::vector<CanReceiveFilter> receiveFilter;
// A read that finds only frames the filter drops still returns within this time.
constexpr auto filteredReadLimit = std::chrono::milliseconds(10);

// What the next opens use, chosen by any thread.
std::mutex choiceLock;
std::string chosenInterface;
bool listenOnlyChosen = false;

thread_local std::string lastErrorText;

// Every call that can fail starts afresh, so that a text never outlives its cause.
void clearError()
{
    lastErrorText.clear();
}

int fail(const char *text)
{
    lastErrorText = text;
    return -1;
}

} // namespace

namespace canable {

void setLastError(const std::string &text)
{
    lastErrorText = text;
}

int64_t wallClockMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace canable

extern "C" {

int canable_initDLL(int deviceIndex, unsigned int bitrateKbps)
{
    clearError();
    if (deviceIndex != 0 || !canable::isSupportedBitrate(bitrateKbps)) {
        std::fprintf(stderr, "canable: cannot open device %d at %u kbit/s\n",
                     deviceIndex, bitrateKbps);
        char text[96];
        std::snprintf(text, sizeof text, "cannot open device %d at %u kbit/s", deviceIndex,
                      bitrateKbps);
        return fail(text);
    }
    std::string name;
    bool listenOnly = false;
    {
        std::lock_guard<std::mutex> choice(choiceLock);
        name = chosenInterface;
        listenOnly = listenOnlyChosen;
    }
    const char *environment = std::getenv("CANABLE_INTERFACE");
    if (environment && *environment)
        name = environment;

    std::unique_lock<std::shared_mutex> lock(sessionLock);
    session.reset();
    if (name == "sim")
        session = canable::openSimulatedBus(bitrateKbps, std::getenv("CANABLE_SIM_TRAFFIC"),
                                            std::getenv("CANABLE_SIM_FAULTS"), listenOnly);
    else
        session = canable::openSocketCan(name, bitrateKbps, listenOnly);
    if (session && !receiveFilter.empty())
        session->setReceiveFilter(receiveFilter);
    if (!session && lastErrorText.empty())
        lastErrorText = "the device could not be opened";
    return session ? 0 : -1;
}

int canable_freeDLL(int deviceIndex)
{
    clearError();
    if (deviceIndex != 0)
        return fail("there is only device 0");
    std::unique_lock<std::shared_mutex> lock(sessionLock);
    session.reset();
    return 0;
}

int canable_readMessage(int deviceIndex, CanFrameRecord *record, int count)
{
    if (deviceIndex != 0 || !record || count < 1)
        return -1;
    std::shared_lock<std::shared_mutex> lock(sessionLock);
    if (!session)
        return -1;
    if (receiveFilter.empty())
        return session->read(record);
    const int terms = int(receiveFilter.size());
    const auto deadline = std::chrono::steady_clock::now() + filteredReadLimit;
    for (;;) {
        const int result = session->read(record);
        if (result != 0)
            return result;
        if (canable_filterPasses(receiveFilter.data(), terms, record))
            return 0;
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
    }
}

int canable_writeMessage(int deviceIndex, const CanFrameRecord *record)
{
    if (deviceIndex != 0 || !record)
        return -1;
    std::shared_lock<std::shared_mutex> lock(sessionLock);
    if (!session)
        return -1;
    return session->write(*record);
}

int canable_lastReadTimestamp(int deviceIndex, int64_t *usec)
{
    if (deviceIndex != 0 || !usec)
        return -1;
    std::shared_lock<std::shared_mutex> lock(sessionLock);
    return session && session->lastReadTimestamp(usec) ? 0 : -1;
}

int canable_listInterfaces(CanInterfaceInfo *list, int capacity)
{
    clearError();
    if (capacity < 0 || (capacity > 0 && !list))
        return fail("no room given for the list");
    return canable::listSocketCanInterfaces(list, capacity);
}

int canable_selectInterface(const char *name)
{
    clearError();
    const std::string chosen = name ? name : "";
    // Longer names cannot be network interfaces; a control character would end up in a
    // terminal or a dialog.
    if (chosen.size() >= sizeof(CanInterfaceInfo::name))
        return fail("an interface name has at most 15 characters");
    for (char c : chosen) {
        if (c <= ' ' || c > '~' || c == '/')
            return fail("an interface name has no spaces, slashes or control characters");
    }
    std::lock_guard<std::mutex> choice(choiceLock);
    chosenInterface = chosen;
    return 0;
}

int canable_setListenOnly(int enabled)
{
    clearError();
    std::lock_guard<std::mutex> choice(choiceLock);
    listenOnlyChosen = enabled != 0;
    return 0;
}

const char *canable_lastError(void)
{
    return lastErrorText.c_str();
}

int canable_readErrorEvent(int deviceIndex, CanErrorEvent *event)
{
    if (deviceIndex != 0 || !event)
        return -1;
    std::shared_lock<std::shared_mutex> lock(sessionLock);
    return session && session->readErrorEvent(event) ? 0 : -1;
}

int canable_getStatus(int deviceIndex, CanBusStatus *status)
{
    clearError();
    if (deviceIndex != 0 || !status)
        return fail("there is only device 0");
    std::shared_lock<std::shared_mutex> lock(sessionLock);
    if (!session)
        return fail("no device is open");
    session->status(status);
    return 0;
}

int canable_setReceiveFilter(int deviceIndex, const CanReceiveFilter *filters, int count)
{
    clearError();
    if (deviceIndex != 0)
        return fail("there is only device 0");
    if (count < 0 || count > CANABLE_FILTER_MAX || (count > 0 && !filters))
        return fail("a receive filter has 0 to 512 terms");
    std::unique_lock<std::shared_mutex> lock(sessionLock);
    receiveFilter.assign(filters, filters + count);
    if (session)
        session->setReceiveFilter(receiveFilter);
    return 0;
}

} // extern "C"
