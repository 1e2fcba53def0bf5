#pragma once

// What the four calls dispatch to: one open session on the simulated bus or on a
// SocketCAN interface. read() runs on the reader thread while write() may run on another;
// the dispatcher never destroys a backend while either is inside it.

#include "canable.h"

#include <memory>
#include <string>

namespace canable {

class Backend
{
public:
    virtual ~Backend() = default;

    // 0 with *record filled, or non-zero after waiting at most about 10 ms.
    virtual int read(CanFrameRecord *record) = 0;
    // 0 when the frame was accepted for transmission; never blocks without bound.
    virtual int write(const CanFrameRecord &record) = 0;
};

constexpr uint32_t maxStandardId = 0x7FF;
constexpr uint32_t maxExtendedId = 0x1FFFFFFF;

// A classic CAN bus cannot carry more than 8 data bytes or an identifier outside the
// range of its format.
inline bool isTransmittable(const CanFrameRecord &record)
{
    if (record.dlc > 8)
        return false;
    return record.id <= (record.extended ? maxExtendedId : maxStandardId);
}

inline bool isSupportedBitrate(unsigned int kbps)
{
    return kbps > 0 && kbps <= 1000;
}

// Both return nullptr when the open fails, after one line on stderr saying why.
std::unique_ptr<Backend> openSimulatedBus(unsigned int kbps, const char *traffic);
std::unique_ptr<Backend> openSocketCan(const std::string &interfaceName, unsigned int kbps);

} // namespace canable
