#include "backend.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>

namespace {

// Reads and writes share the session; opening and closing replace it and must wait
// until no call is inside the old one.
std::shared_mutex sessionLock;
std::unique_ptr<canable::Backend> session;

} // namespace

extern "C" {

int canable_initDLL(int deviceIndex, unsigned int bitrateKbps)
{
    if (deviceIndex != 0 || !canable::isSupportedBitrate(bitrateKbps)) {
        std::fprintf(stderr, "canable: cannot open device %d at %u kbit/s\n",
                     deviceIndex, bitrateKbps);
        return -1;
    }
    std::unique_lock<std::shared_mutex> lock(sessionLock);
    session.reset();
    const char *chosen = std::getenv("CANABLE_INTERFACE");
    const std::string name = chosen ? chosen : "";
    if (name == "sim")
        session = canable::openSimulatedBus(bitrateKbps, std::getenv("CANABLE_SIM_TRAFFIC"));
    else
        session = canable::openSocketCan(name, bitrateKbps);
    return session ? 0 : -1;
}

int canable_freeDLL(int deviceIndex)
{
    if (deviceIndex != 0)
        return -1;
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
    return session->read(record);
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

} // extern "C"
