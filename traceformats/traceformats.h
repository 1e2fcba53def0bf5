#pragma once

// The readers and writers of each format, behind the factories of tracefile.h.

#include "traceformats/tracefile.h"

#include <ctime>

namespace trace {

std::unique_ptr<Reader> makeCandumpReader(int fd, uint64_t size);
std::unique_ptr<Reader> makeAscReader(int fd, uint64_t size);
std::unique_ptr<Reader> makePcapReader(int fd, uint64_t size);
std::unique_ptr<Reader> makeBlfReader(int fd, uint64_t size);
std::unique_ptr<Reader> makeCsvReader(int fd, uint64_t size);

std::unique_ptr<Writer> makeCandumpWriter(int fd);
std::unique_ptr<Writer> makeAscWriter(int fd);
std::unique_ptr<Writer> makePcapWriter(int fd);
std::unique_ptr<Writer> makeBlfWriter(int fd);
std::unique_ptr<Writer> makeCsvWriter(int fd);

// Local calendar time of a wall-clock second, and back (-1 for an impossible date).
std::tm localTime(int64_t seconds);
int64_t fromLocalTime(int year, int month, int day, int hour, int minute, int second);

// CAN_EFF_FLAG, CAN_RTR_FLAG and CAN_ERR_FLAG of struct can_frame's identifier.
constexpr uint32_t effFlag = 0x80000000u;
constexpr uint32_t rtrFlag = 0x40000000u;
constexpr uint32_t errFlag = 0x20000000u;
constexpr uint32_t effMask = 0x1fffffffu;
constexpr uint32_t sffMask = 0x7ffu;

} // namespace trace
