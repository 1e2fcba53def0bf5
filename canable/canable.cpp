#include "canable/backend.h"

#include <algorithm>
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

const char *fdRefusal(const CanFdFrameRecord &record, bool fdMode)
{
    const bool fd = record.flags & CANABLE_FD_FDF;
    const bool extended = record.flags & CANABLE_FD_EXT;
    if (record.flags & ~(CANABLE_FD_FDF | CANABLE_FD_BRS | CANABLE_FD_ESI | CANABLE_FD_EXT
                         | CANABLE_FD_RTR))
        return "the frame has flags this library does not know";
    if (!canable_isTransmittable(record.id, extended, 0))
        return "the identifier is out of the range of its format";
    if (!fd) {
        if (record.flags & (CANABLE_FD_BRS | CANABLE_FD_ESI))
            return "BRS and ESI need an FD frame";
        if (!canable_isTransmittable(record.id, extended, record.len))
            return "a classic frame carries at most 8 bytes";
        return nullptr;
    }
    if (record.flags & CANABLE_FD_RTR)
        return "an FD frame cannot be a remote frame";
    if (!canable_isTransmittableFD(record.id, extended, record.len))
        return "an FD frame carries 0 to 8, 12, 16, 20, 24, 32, 48 or 64 bytes";
    if (!fdMode)
        return "the device is open in classic mode; open it with canable_initFD for FD frames";
    return nullptr;
}

CanFdFrameRecord fdRecordOf(const CanFrameRecord &record)
{
    CanFdFrameRecord fd{};
    fd.id = record.id;
    fd.len = record.dlc;
    fd.flags = uint8_t((record.extended ? CANABLE_FD_EXT : 0)
                       | (record.remote ? CANABLE_FD_RTR : 0));
    if (!record.remote)
        std::memcpy(fd.data, record.data, std::min<size_t>(record.dlc, sizeof record.data));
    return fd;
}

CanFrameRecord classicOf(const CanFdFrameRecord &record)
{
    CanFrameRecord classic{};
    classic.id = record.id;
    classic.dlc = record.len;
    classic.extended = (record.flags & CANABLE_FD_EXT) ? 1 : 0;
    classic.remote = (record.flags & CANABLE_FD_RTR) ? 1 : 0;
    if (!classic.remote)
        std::memcpy(classic.data, record.data, std::min<size_t>(record.len, sizeof classic.data));
    return classic;
}

int Backend::readFd(CanFdFrameRecord *record)
{
    CanFrameRecord classic;
    const int result = read(&classic);
    if (result == 0)
        *record = fdRecordOf(classic);
    return result;
}

int Backend::writeFd(const CanFdFrameRecord &record)
{
    return write(classicOf(record));
}

int64_t wallClockMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace canable

namespace {

// dataKbps 0: a classic session.
int openSession(int deviceIndex, unsigned int bitrateKbps, unsigned int dataKbps)
{
    clearError();
    if (deviceIndex != 0 || !canable::isSupportedBitrate(bitrateKbps)
        || (dataKbps && !canable::isSupportedDataBitrate(dataKbps))) {
        char text[96];
        if (dataKbps) {
            std::snprintf(text, sizeof text, "cannot open device %d at %u/%u kbit/s",
                          deviceIndex, bitrateKbps, dataKbps);
        } else {
            std::snprintf(text, sizeof text, "cannot open device %d at %u kbit/s",
                          deviceIndex, bitrateKbps);
        }
        std::fprintf(stderr, "canable: %s\n", text);
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
        session = canable::openSimulatedBus(bitrateKbps, dataKbps,
                                            std::getenv("CANABLE_SIM_TRAFFIC"),
                                            std::getenv("CANABLE_SIM_FAULTS"), listenOnly);
    else
        session = canable::openSocketCan(name, bitrateKbps, dataKbps, listenOnly);
    if (session && !receiveFilter.empty())
        session->setReceiveFilter(receiveFilter);
    if (!session && lastErrorText.empty())
        lastErrorText = "the device could not be opened";
    return session ? 0 : -1;
}

// Reads until a frame passes the receive filter, or for at most filteredReadLimit. The
// kernel filters what it queues after a change, but what was queued before, and every
// frame of the simulated bus, is checked here. The caller holds the session lock.
template<typename Read, typename Addressing>
int readFiltered(Read read, Addressing addressing)
{
    if (receiveFilter.empty())
        return read();
    const int terms = int(receiveFilter.size());
    const auto deadline = std::chrono::steady_clock::now() + filteredReadLimit;
    for (;;) {
        const int result = read();
        if (result != 0)
            return result;
        const CanFrameRecord frame = addressing();
        if (canable_filterPasses(receiveFilter.data(), terms, &frame))
            return 0;
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
    }
}

} // namespace

extern "C" {

int canable_initDLL(int deviceIndex, unsigned int bitrateKbps)
{
    return openSession(deviceIndex, bitrateKbps, 0);
}

int canable_initFD(int deviceIndex, unsigned int nominalKbps, unsigned int dataKbps)
{
    if (dataKbps == 0) {
        clearError();
        std::fprintf(stderr, "canable: an FD device needs a data bit rate\n");
        return fail("an FD device needs a data bit rate");
    }
    return openSession(deviceIndex, nominalKbps, dataKbps);
}

int canable_readMessageFD(int deviceIndex, CanFdFrameRecord *record)
{
    if (deviceIndex != 0 || !record)
        return -1;
    std::shared_lock<std::shared_mutex> lock(sessionLock);
    if (!session)
        return -1;
    return readFiltered([record] { return session->readFd(record); }, [record] {
        CanFrameRecord classic {};
        classic.id = record->id;
        classic.extended = (record->flags & CANABLE_FD_EXT) != 0;
        classic.remote = (record->flags & CANABLE_FD_RTR) != 0;
        return classic;
    });
}

int canable_writeMessageFD(int deviceIndex, const CanFdFrameRecord *record)
{
    clearError();
    if (deviceIndex != 0 || !record)
        return fail("there is only device 0");
    std::shared_lock<std::shared_mutex> lock(sessionLock);
    if (!session)
        return fail("no device is open");
    if (const char *refusal = canable::fdRefusal(*record, session->fdMode()))
        return fail(refusal);
    return session->writeFd(*record);
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
    return readFiltered([record] { return session->read(record); },
                        [record] { return *record; });
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
