#include "canable/replaybus.h"
#include "canable/simbus.h"
#include "health/busload.h"

#include <linux/can/error.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

namespace canable {

namespace {

constexpr int64_t never = std::numeric_limits<int64_t>::max();
constexpr uint32_t floodId = 0x100;
// The flood's identifiers stay standard ones.
constexpr uint64_t maxFloodIdentifiers = 0x800 - floodId;
constexpr size_t writtenCapacity = 64;
constexpr size_t receivedCapacity = 32768;
constexpr std::chrono::milliseconds readWaitLimit(5);
constexpr std::chrono::milliseconds writeWaitLimit(100);
// Waking for every frame of a fast flood would cost a context switch per frame; batching
// to half a millisecond is invisible at the millisecond time stamps of the readers.
constexpr std::chrono::microseconds wakeGranularity(500);

constexpr int64_t milliseconds(int64_t ms)
{
    return ms * 1000000;
}

bool isFd(const CanFdFrameRecord &frame)
{
    return frame.flags & CANABLE_FD_FDF;
}

bool isExtended(const CanFdFrameRecord &frame)
{
    return frame.flags & CANABLE_FD_EXT;
}

bool isRemote(const CanFdFrameRecord &frame)
{
    return frame.flags & CANABLE_FD_RTR;
}

// The frame's time on the wire with the stuff bits its content causes, counted as the
// window's bus load counts them, rounded up, so that a bus that is never idle shows 100 %
// and no more.
int64_t frameNanoseconds(const CanFdFrameRecord &frame, unsigned int kbps,
                         unsigned int dataKbps)
{
    if (!isFd(frame)) {
        const int64_t bits = busload::frameBits(frame.id, isExtended(frame), isRemote(frame),
                                                frame.len, frame.data);
        return (bits * 1000000 + kbps - 1) / kbps;
    }
    const bool brs = frame.flags & CANABLE_FD_BRS;
    const busload::FdFrameBits bits = busload::fdFrameBits(frame.id, isExtended(frame), brs,
                                                           frame.len, frame.data);
    if (!brs)
        return (int64_t(bits.nominal + bits.data) * 1000000 + kbps - 1) / kbps;
    // In picoseconds first, so that the two phases round up once together.
    const int64_t picoseconds = int64_t(bits.nominal) * 1000000000 / kbps
        + int64_t(bits.data) * 1000000000 / dataKbps;
    return (picoseconds + 999) / 1000;
}

// The shortest an FD frame of len bytes can be, without dynamic stuff bits, split as
// fdFrameBits splits it, for the most frames a flood setting can ask for.
busload::FdFrameBits unstuffedFdFrameBits(bool extended, bool brs, unsigned int len)
{
    const bool crc21 = len > 16;
    busload::FdFrameBits bits;
    bits.nominal = (extended ? 36u : 17u) + 12u;
    bits.data = 1 + 4 + 8 * len + 4 + (crc21 ? 21 + 7 : 17 + 6) + 1;
    if (!brs) {
        bits.nominal += bits.data;
        bits.data = 0;
    }
    return bits;
}

// Frames ready at the same moment go in the order that arbitration on the wire gives
// them: a lower base identifier first, and for the same base identifier a standard data
// frame before its remote frame before any extended frame.
uint64_t arbitrationKey(uint32_t id, bool extended, bool remote)
{
    const uint64_t base = extended ? (id >> 18) & 0x7FF : id & 0x7FF;
    const uint64_t extension = extended ? (uint64_t(1) << 19) | (uint64_t(id & 0x3FFFF) << 1)
                                        : 0;
    return (base << 20) | extension | (remote ? 1 : 0);
}

void putLittleEndian(uint8_t *data, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        data[i] = uint8_t(value >> (8 * i));
}

uint64_t scaled(double value, double unit, uint64_t maximum)
{
    const double steps = std::round(value / unit);
    return steps <= 0 ? 0 : std::min(uint64_t(steps), maximum);
}

uint8_t temperatureByte(double celsius)
{
    return uint8_t(scaled(celsius + 40, 1, 255));
}

// Over the bytes before the last one.
void putChecksum(CanFdFrameRecord &frame)
{
    unsigned int sum = frame.id & 0xFF;
    for (int i = 0; i + 1 < frame.len; ++i)
        sum += frame.data[i];
    frame.data[frame.len - 1] = uint8_t(sum);
}

// A car driving a gentle 40-second speed cycle between 15 and 85 km/h, slowly warming
// and burning fuel, so that every signal moves plausibly and with its own rhythm.
constexpr double pi = 3.14159265358979323846;

double wave(double t, double period, double shift = 0)
{
    return std::sin(2 * pi * t / period + shift);
}

double vehicleSpeed(double t)
{
    return 50 + 35 * wave(t, 40);
}

double distanceKm(double t)
{
    return (50 * t + 35 * 40 / (2 * pi) * (1 - std::cos(2 * pi * t / 40))) / 3600;
}

int gear(double speed)
{
    return std::clamp(int(speed / 15) + 1, 1, 6);
}

double engineSpeed(double speed, double t)
{
    static constexpr double rpmPerKmh[] = {0, 110, 70, 52, 42, 36, 31};
    return std::max(800.0, speed * rpmPerKmh[gear(speed)] + 40 * wave(t, 3));
}

void fillSequence(CanFdFrameRecord &frame, uint64_t sequence)
{
    const uint64_t mask = frame.len >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * frame.len)) - 1;
    putLittleEndian(frame.data, sequence & mask, 8);
}

void fillContent(CanFdFrameRecord &frame, SimulatedBus::Content content, uint64_t instance,
                 int64_t at)
{
    using Content = SimulatedBus::Content;
    if (content == Content::Flood) {
        fillSequence(frame, instance);
        return;
    }
    uint8_t *data = frame.data;
    const double t = double(at) * 1e-9;
    const uint8_t counter = instance & 0x0F;
    const double speed = vehicleSpeed(t);
    switch (content) {
    case Content::Engine: {
        const double throttle = 20 + 15 * wave(t, 40, pi / 2);
        putLittleEndian(data, scaled(engineSpeed(speed, t), 0.25, 0xFFFF), 2);
        data[2] = uint8_t(scaled(throttle, 1, 100));
        data[3] = uint8_t(scaled(10 + 1.8 * throttle, 1, 100));
        data[4] = temperatureByte(25 + 3 * wave(t, 120));
        data[5] = 0;
        data[6] = uint8_t(gear(speed) << 4 | counter);
        putChecksum(frame);
        break;
    }
    case Content::Wheels: {
        uint64_t packed = 0;
        for (int wheel = 0; wheel < 4; ++wheel) {
            const double slip = 1 + 0.004 * wave(t, 9, wheel * pi / 2);
            packed |= scaled(speed * slip, 0.1, 0xFFF) << (12 * wheel);
        }
        putLittleEndian(data, packed, 6);
        data[6] = counter;
        putChecksum(frame);
        break;
    }
    case Content::Temperatures:
        data[0] = temperatureByte(88 + 3 * wave(t, 180));
        data[1] = temperatureByte(96 + 4 * wave(t, 240));
        data[2] = temperatureByte(21 + 0.5 * wave(t, 600));
        data[3] = uint8_t(scaled(std::max(5.0, 64 - t / 300), 1, 100));
        data[4] = counter;
        break;
    case Content::Heartbeat:
        data[0] = 1;
        data[1] = counter;
        putLittleEndian(data + 2, scaled(t, 1, 0xFFFF), 2);
        break;
    case Content::VehicleSpeed:
        putLittleEndian(data, ~uint64_t(0), 8);
        putLittleEndian(data + 1, scaled(speed, 1.0 / 256, 0xFAFF), 2);
        break;
    case Content::EngineTemperature:
        putLittleEndian(data, ~uint64_t(0), 8);
        data[0] = temperatureByte(88 + 3 * wave(t, 180));
        data[1] = temperatureByte(35 + 2 * wave(t, 300));
        putLittleEndian(data + 2, scaled(96 + 4 * wave(t, 240) + 273, 0.03125, 0xFAFF), 2);
        break;
    case Content::Odometer:
        putLittleEndian(data, scaled(123456.7 + distanceKm(t), 0.1, 0xFFFFFFFF), 4);
        break;
    case Content::CellVoltages: {
        // Cells sag with the load of acceleration and drift apart a little each.
        const double sag = 0.04 * std::max(0.0, wave(t, 40, pi / 2));
        for (int cell = 0; cell < 30; ++cell) {
            const double volts = 3.85 - sag + 0.01 * wave(t, 60, cell * 0.7);
            putLittleEndian(data + 2 * cell, scaled(volts, 0.001, 0xFFFF), 2);
        }
        data[60] = counter;
        putChecksum(frame);
        break;
    }
    case Content::Chassis: {
        const double steering = 30 * wave(t, 40, pi / 2) * (vehicleSpeed(t) < 40 ? 1 : 0.3);
        putLittleEndian(data, scaled(steering + 780, 0.1, 0xFFFF), 2);
        putLittleEndian(data + 2, scaled(8 * wave(t, 40, pi / 2) + 327.68, 0.01, 0xFFFF), 2);
        putLittleEndian(data + 4, scaled(0.2 * wave(t, 40, pi / 2) + 32.768, 0.001, 0xFFFF), 2);
        putLittleEndian(data + 6, scaled(0.25 * wave(t, 40, pi / 2) + 32.768, 0.001, 0xFFFF),
                        2);
        for (int wheel = 0; wheel < 4; ++wheel) {
            const double slip = 1 + 0.004 * wave(t, 9, wheel * pi / 2);
            putLittleEndian(data + 8 + 2 * wheel, scaled(speed * slip, 0.01, 0xFFFF), 2);
        }
        putLittleEndian(data + 16, scaled(speed, 1.0 / 256, 0xFAFF), 2);
        data[18] = counter;
        putChecksum(frame);
        break;
    }
    case Content::Flood:
    case Content::Request:
        break;
    }
}

// Saturates rather than overflows: any rate beyond the bus is clamped to the bus later.
bool parseDecimal(const std::string &text, uint64_t *value)
{
    constexpr uint64_t saturated = uint64_t(1) << 40;
    if (text.empty())
        return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = std::min(saturated, result * 10 + uint64_t(c - '0'));
    }
    *value = result;
    return true;
}

std::string environmentValue(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// Without a bus there is nothing to share with the writer, so reads need no lock and
// cost a few nanoseconds each.
class UnlimitedFlood final : public Backend
{
public:
    UnlimitedFlood(const SimTraffic &traffic, bool fdMode, bool listenOnly)
        : m_listenOnly(listenOnly)
        , m_fdMode(fdMode)
        , m_identifiers(traffic.identifiers)
    {
        m_frame.id = floodId;
        m_frame.len = traffic.dlc;
        m_frame.flags = uint8_t((traffic.extended ? CANABLE_FD_EXT : 0)
                                | (traffic.fd ? CANABLE_FD_FDF : 0)
                                | (traffic.brs ? CANABLE_FD_BRS : 0));
    }

    // Only opened with classic flood frames when not in FD mode.
    int read(CanFrameRecord *record) override
    {
        if (isFd(m_frame))
            return 1;
        m_frame.id = floodId + uint32_t(m_sequence % m_identifiers);
        fillSequence(m_frame, m_sequence++);
        *record = classicOf(m_frame);
        return 0;
    }

    int write(const CanFrameRecord &record) override
    {
        if (m_listenOnly || !isTransmittable(record))
            return 1;
        m_writeLog.record(std::chrono::steady_clock::now());
        return 0;
    }

    bool fdMode() const override { return m_fdMode; }

    int readFd(CanFdFrameRecord *record) override
    {
        m_frame.id = floodId + uint32_t(m_sequence % m_identifiers);
        fillSequence(m_frame, m_sequence++);
        *record = m_frame;
        return 0;
    }

    int writeFd(const CanFdFrameRecord &) override
    {
        if (m_listenOnly)
            return 1;
        m_writeLog.record(std::chrono::steady_clock::now());
        return 0;
    }

    // Stamping at the read would cost the reads their speed; the reader asks right after.
    bool lastReadTimestamp(int64_t *usec) override
    {
        if (m_sequence == 0)
            return false;
        *usec = wallClockMicroseconds();
        return true;
    }

    void status(CanBusStatus *status) override
    {
        *status = CanBusStatus{};
        status->state = CANABLE_STATE_ERROR_ACTIVE;
    }

private:
    const bool m_listenOnly;
    const bool m_fdMode;
    const uint32_t m_identifiers;
    CanFdFrameRecord m_frame = {};
    uint64_t m_sequence = 0;
    WriteLog m_writeLog;
};

} // namespace

std::optional<SimTraffic> parseSimTraffic(const char *text)
{
    SimTraffic traffic;
    const std::string value = text ? text : "";
    if (value.empty() || value == "mix")
        return traffic;

    const size_t comma = value.find(',');
    const std::string kind = value.substr(0, comma);
    const std::string rate = "flood:";
    if (kind == "flood:unlimited") {
        traffic.unlimited = true;
    } else if (kind.compare(0, rate.size(), rate) == 0) {
        if (!parseDecimal(kind.substr(rate.size()), &traffic.framesPerSecond)
            || traffic.framesPerSecond == 0) {
            return std::nullopt;
        }
    } else if (kind != "flood") {
        return std::nullopt;
    }
    traffic.flood = true;

    bool dlcGiven = false;
    uint64_t identifiers = 0;
    size_t start = comma;
    while (start != std::string::npos) {
        const size_t end = value.find(',', start + 1);
        const std::string option = value.substr(start + 1, end == std::string::npos
                                                               ? std::string::npos
                                                               : end - start - 1);
        uint64_t length = 0;
        if (option == "ext" && !traffic.extended) {
            traffic.extended = true;
        } else if (option == "fd" && !traffic.fd) {
            traffic.fd = true;
        } else if (option == "brs" && !traffic.brs) {
            traffic.brs = true;
        } else if (option.compare(0, 4, "dlc=") == 0 && option.size() <= 6 && !dlcGiven
                   && (option.size() == 5 || option[4] != '0')
                   && parseDecimal(option.substr(4), &length) && isFdLength(unsigned(length))) {
            traffic.dlc = uint8_t(length);
            dlcGiven = true;
        } else if (option.compare(0, 4, "ids=") == 0 && traffic.identifiers == 1
                   && parseDecimal(option.substr(4), &identifiers) && identifiers >= 1
                   && identifiers <= maxFloodIdentifiers) {
            traffic.identifiers = uint32_t(identifiers);
        } else {
            return std::nullopt;
        }
        start = end;
    }
    if ((traffic.brs || traffic.dlc > 8) && !traffic.fd)
        return std::nullopt;
    return traffic;
}

namespace {

struct ErrorClassName
{
    const char *name;
    uint32_t errorClass;
    int byte;
    uint8_t value;
};

constexpr ErrorClassName errorClassNames[] = {
    {"ack", CAN_ERR_ACK, 0, 0},
    {"bit", CAN_ERR_PROT, 2, CAN_ERR_PROT_BIT},
    {"stuff", CAN_ERR_PROT, 2, CAN_ERR_PROT_STUFF},
    {"form", CAN_ERR_PROT, 2, CAN_ERR_PROT_FORM},
    {"crc", CAN_ERR_PROT, 3, CAN_ERR_PROT_LOC_CRC_SEQ},
    {"lostarb", CAN_ERR_LOSTARB, 0, 0},
    {"overflow", CAN_ERR_CRTL, 1, CAN_ERR_CRTL_RX_OVERFLOW},
    {"txtimeout", CAN_ERR_TX_TIMEOUT, 0, 0},
};

// "<N>/s" within [1, maximum].
bool parseRate(const std::string &text, uint64_t maximum, uint64_t *value)
{
    const size_t slash = text.size() >= 2 ? text.size() - 2 : 0;
    return text.size() > 2 && text.compare(slash, 2, "/s") == 0
        && parseDecimal(text.substr(0, slash), value) && *value >= 1 && *value <= maximum;
}

// "<S>s", S a decimal number of seconds within [0.1, 3600].
bool parseSeconds(const std::string &text, int64_t *nanoseconds)
{
    if (text.size() < 2 || text.back() != 's')
        return false;
    const std::string number = text.substr(0, text.size() - 1);
    const size_t point = number.find('.');
    uint64_t whole = 0;
    uint64_t fraction = 0;
    const std::string fractionText = point == std::string::npos ? "" : number.substr(point + 1);
    if (!parseDecimal(number.substr(0, point), &whole) || fractionText.size() > 3
        || (point != std::string::npos && !parseDecimal(fractionText, &fraction)))
        return false;
    for (size_t i = fractionText.size(); i < 3; ++i)
        fraction *= 10;
    const uint64_t milliseconds = whole * 1000 + fraction;
    if (milliseconds < 100 || milliseconds > 3600000)
        return false;
    *nanoseconds = int64_t(milliseconds) * 1000000;
    return true;
}

std::vector<std::string> splitAt(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

} // namespace

std::optional<SimFaults> parseSimFaults(const char *text, std::string *problem)
{
    SimFaults faults;
    const std::string value = text ? text : "";
    if (value.empty())
        return faults;
    std::vector<std::string> seen;
    for (const std::string &item : splitAt(value, ',')) {
        const std::vector<std::string> parts = splitAt(item, ':');
        const std::string key = parts[0] == "errors" && parts.size() > 1
            ? parts[0] + ":" + parts[1] : parts[0];
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            *problem = "\"" + item + "\" is given twice";
            return std::nullopt;
        }
        seen.push_back(key);
        bool valid = false;
        if (parts[0] == "errors" && (parts.size() == 2 || parts.size() == 3)) {
            SimFaults::Errors errors;
            for (const ErrorClassName &name : errorClassNames) {
                if (parts[1] == name.name) {
                    errors.errorClass = name.errorClass;
                    if (name.value)
                        errors.data[name.byte] = name.value;
                    valid = true;
                }
            }
            if (valid && parts.size() == 3)
                valid = parseRate(parts[2], 100000, &errors.perSecond);
            faults.errors.push_back(errors);
        } else if ((parts[0] == "passive" || parts[0] == "busoff") && parts.size() <= 2) {
            if (faults.cycle != SimFaults::Cycle::None) {
                *problem = "only one of passive and busoff can be given";
                return std::nullopt;
            }
            faults.cycle = parts[0] == "passive" ? SimFaults::Cycle::Passive
                                                 : SimFaults::Cycle::BusOff;
            valid = parts.size() == 1 || parseSeconds(parts[1], &faults.cycleNanoseconds);
        } else if (parts[0] == "drop" && parts.size() == 2) {
            valid = parseRate(parts[1], 1000000, &faults.dropsPerSecond);
        }
        if (!valid) {
            *problem = "\"" + item.substr(0, 60) + "\" is not errors:<class>[:<N>/s], "
                       "passive[:<S>s], busoff[:<S>s] or drop:<N>/s";
            return std::nullopt;
        }
    }
    return faults;
}

WriteLog::WriteLog()
    : m_path(environmentValue("CANABLE_SIM_WRITE_LOG"))
{
}

WriteLog::~WriteLog()
{
    if (m_path.empty())
        return;
    std::FILE *file = std::fopen(m_path.c_str(), "w");
    bool written = file != nullptr;
    for (size_t i = 0; written && i < m_times.size(); ++i)
        written = std::fprintf(file, "%lld\n", static_cast<long long>(m_times[i])) > 0;
    if (file && std::fclose(file) != 0)
        written = false;
    if (!written)
        std::fprintf(stderr, "canable: CANABLE_SIM_WRITE_LOG: cannot write %.200s\n",
                     m_path.c_str());
}

void WriteLog::record(std::chrono::steady_clock::time_point accepted)
{
    if (m_path.empty())
        return;
    const int64_t nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    accepted.time_since_epoch()).count();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_times.push_back(nanoseconds);
}

SimulatedBus::SimulatedBus(unsigned int kbps, unsigned int dataKbps,
                           const SimTraffic &traffic, const SimFaults &faults, bool listenOnly)
    : m_kbps(kbps)
    , m_dataKbps(dataKbps)
    , m_epoch(Clock::now())
    , m_written(writtenCapacity)
    , m_received(receivedCapacity)
    , m_faults(faults)
    , m_listenOnly(listenOnly)
    , m_wallEpochUs(wallClockMicroseconds()
                    - std::chrono::duration_cast<std::chrono::microseconds>(
                          Clock::now() - m_epoch).count())
    , m_errorsSent(faults.errors.size(), 0)
    , m_errorEvents(errorEventCapacity)
{
    if (traffic.flood) {
        m_floodIdentifiers = traffic.identifiers;
        const int64_t perSecond = int64_t(traffic.framesPerSecond);
        addNode(floodId, uint8_t((traffic.extended ? CANABLE_FD_EXT : 0)
                                 | (traffic.fd ? CANABLE_FD_FDF : 0)
                                 | (traffic.brs ? CANABLE_FD_BRS : 0)),
                traffic.dlc, Content::Flood, 0, perSecond > 0 ? milliseconds(1000) : 0,
                std::max<int64_t>(perSecond, 1));
        m_nodes.back().replaces = false;
        return;
    }
    constexpr uint8_t ext = CANABLE_FD_EXT;
    addNode(0x0C4, 0, 8, Content::Engine, milliseconds(1), milliseconds(10), 1);
    addNode(0x1A0, 0, 8, Content::Wheels, milliseconds(3), milliseconds(20), 1);
    addNode(0x2F0, 0, 5, Content::Temperatures, milliseconds(7), milliseconds(100), 1);
    addNode(0x500, 0, 4, Content::Heartbeat, milliseconds(200), milliseconds(1000), 1);
    addNode(0x18FEF100, ext, 8, Content::VehicleSpeed, milliseconds(5), milliseconds(100), 1);
    addNode(0x18FEEE00, ext, 8, Content::EngineTemperature, milliseconds(600),
            milliseconds(1000), 1);
    if (dataKbps) {
        addNode(0x2A8, CANABLE_FD_FDF, 20, Content::Chassis, milliseconds(4),
                milliseconds(20), 1);
        addNode(0x4A0, CANABLE_FD_FDF | CANABLE_FD_BRS, 64, Content::CellVoltages,
                milliseconds(9), milliseconds(50), 1);
    }
    addNode(0x3C0, CANABLE_FD_RTR, 4, Content::Request, milliseconds(1500),
            milliseconds(5000), 1);
    addNode(0x3C0, 0, 4, Content::Odometer, 0, 0, 1);
    Node &odometer = m_nodes.back();
    odometer.periodic = false;
    odometer.due = never;
    odometer.nextDue = never;
}

void SimulatedBus::addNode(uint32_t id, uint8_t flags, uint8_t len, Content content,
                           int64_t phase, int64_t periodNum, int64_t periodDen)
{
    Node node;
    node.frame.id = id;
    node.frame.flags = flags;
    node.frame.len = len;
    node.content = content;
    node.key = arbitrationKey(id, isExtended(node.frame), isRemote(node.frame));
    node.phase = phase;
    node.periodNum = periodNum;
    node.periodDen = periodDen;
    node.due = phase;
    node.nextDue = periodNum > 0 ? dueOf(node, 1) : never;
    node.answerDue = never;
    // A remote request that arrives before the first period is answered with what the
    // node's transmit buffer was loaded with.
    fillContent(node.frame, content, 0, phase);
    node.duration = frameNanoseconds(node.frame, m_kbps, m_dataKbps);
    m_nodes.push_back(node);
}

int64_t SimulatedBus::dueOf(const Node &node, uint64_t instance)
{
    return node.phase
        + int64_t(__int128(instance) * node.periodNum / node.periodDen);
}

int64_t SimulatedBus::pendingSince(const Node &node)
{
    return std::min(node.periodic ? node.due : never, node.answerDue);
}

void SimulatedBus::jumpTo(Node &node, int64_t at)
{
    const __int128 elapsed = at - node.phase;
    const uint64_t latest = uint64_t(((elapsed + 1) * node.periodDen - 1) / node.periodNum);
    if (latest <= node.instance)
        return;
    node.instance = latest;
    node.due = dueOf(node, latest);
    node.nextDue = dueOf(node, latest + 1);
}

int64_t SimulatedBus::busTime(Clock::time_point when) const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(when - m_epoch).count();
}

// Frames are worked out only when somebody asks, up to the present: nothing runs while
// nobody reads or writes, and a frame still on the wire at `now` stays undecided, so a
// frame written meanwhile can still take its turn.
void SimulatedBus::advance(int64_t now)
{
    for (;;) {
        if (m_received.full() && m_busFree < now)
            skipTo(now);
        const int64_t busFree = m_busFree;
        Node *next = nullptr;
        int64_t since = never;
        uint64_t key = 0;
        for (Node &node : m_nodes) {
            if (node.replaces && node.nextDue <= busFree)
                jumpTo(node, busFree);
            const int64_t nodeSince = pendingSince(node);
            if (nodeSince < since || (nodeSince == since && node.key < key)) {
                next = &node;
                since = nodeSince;
                key = node.key;
            }
        }
        const bool written = !m_written.empty()
            && (m_written.front().since < since
                || (m_written.front().since == since && m_written.front().key < key));
        if (written)
            since = m_written.front().since;
        if (since == never) {
            m_nextCompletion = never;
            return;
        }
        const int64_t start = std::max(since, busFree);
        if (!written)
            load(*next, start);
        const int64_t end = start + (written ? m_written.front().duration : next->duration);
        if (end > now) {
            m_nextCompletion = end;
            return;
        }
        m_busFree = end;
        if (written) {
            const Written frame = m_written.front();
            m_written.pop();
            if (frame.remote)
                requestAnswer(frame.id, frame.extended, end);
        } else {
            transmit(*next, start, end);
        }
    }
}

// With the receive buffer full every frame completing before `now` would be lost anyway;
// jumping there keeps a read after a long pause from working through every missed frame.
void SimulatedBus::skipTo(int64_t now)
{
    reportOverflow();
    for (Node &node : m_nodes) {
        const uint64_t before = node.instance;
        if (!node.periodic) {
            continue;
        } else if (node.periodNum == 0) {
            if (node.due < now) {
                node.instance += uint64_t((now - node.due) / node.duration);
                node.due = now;
            }
        } else if (node.nextDue <= now) {
            jumpTo(node, now);
        }
        m_kernelDrops += node.instance - before;
    }
    // Written frames would have gone out meanwhile; an answer to one of them would have
    // found the receive buffer full as well.
    m_written.clear();
    m_busFree = now;
}

// A periodic node answers a remote request from its transmit buffer; the odometer
// measures anew for every request. The content decides the stuff bits, and so how long
// the frame holds the bus.
void SimulatedBus::load(Node &node, int64_t start)
{
    if (node.periodic && node.due > start)
        return;
    fillContent(node.frame, node.content, node.instance, start);
    if (node.content == Content::Flood)
        node.frame.id = floodId + uint32_t(node.instance % m_floodIdentifiers);
    node.duration = frameNanoseconds(node.frame, m_kbps, m_dataKbps);
}

void SimulatedBus::transmit(Node &node, int64_t start, int64_t end)
{
    const bool instanceDue = node.periodic && node.due <= start;
    if (instanceDue) {
        ++node.instance;
        if (node.periodNum == 0) {
            node.due = end;
        } else {
            node.due = node.nextDue;
            node.nextDue = dueOf(node, node.instance + 1);
        }
    }
    if (node.answerDue <= start)
        node.answerDue = never;
    receive(node.frame, end);
    if (isRemote(node.frame))
        requestAnswer(node.frame.id, isExtended(node.frame), end);
}

void SimulatedBus::requestAnswer(uint32_t id, bool extended, int64_t at)
{
    for (Node &node : m_nodes) {
        if (node.content != Content::Flood && !isRemote(node.frame) && node.frame.id == id
            && isExtended(node.frame) == extended) {
            node.answerDue = std::min(node.answerDue, at);
        }
    }
}

void SimulatedBus::receive(const CanFdFrameRecord &frame, int64_t end)
{
    if (m_faults.cycle == SimFaults::Cycle::BusOff
        && healthAt(end).state == CANABLE_STATE_BUS_OFF)
        return;
    if (m_faults.dropsPerSecond
        && m_adapterDrops < uint64_t(__int128(end) * m_faults.dropsPerSecond / 1000000000)) {
        ++m_adapterDrops;
        return;
    }
    if (m_received.full()) {
        reportOverflow();
        ++m_kernelDrops;
    } else {
        m_received.push({frame, end});
    }
}

SimulatedBus::Health SimulatedBus::healthAt(int64_t at) const
{
    Health health;
    if (m_faults.cycle == SimFaults::Cycle::None || at < 0)
        return health;
    const int64_t period = m_faults.cycleNanoseconds;
    const int64_t phase = at % period;
    const int64_t cycles = at / period;
    const bool busOff = m_faults.cycle == SimFaults::Cycle::BusOff;
    health.restarts = busOff ? uint32_t(cycles) : 0;
    health.busOffs = busOff ? uint32_t(cycles + (phase >= 3 * period / 4 ? 1 : 0)) : 0;
    if (phase >= 3 * period / 4) {
        health.state = busOff ? CANABLE_STATE_BUS_OFF : CANABLE_STATE_ERROR_ACTIVE;
        health.txErrors = busOff ? 255 : 0;
    } else if (phase >= period / 2) {
        health.state = CANABLE_STATE_ERROR_PASSIVE;
        health.txErrors = 128;
    } else if (phase >= period / 4) {
        health.state = CANABLE_STATE_ERROR_WARNING;
        health.txErrors = 96;
    }
    return health;
}

// The first quarter boundary of the cycle after `after`.
int64_t SimulatedBus::nextCycleChange(int64_t after) const
{
    const int64_t period = m_faults.cycleNanoseconds;
    const int64_t start = after - after % period;
    for (int quarter = 1; quarter <= 4; ++quarter) {
        const int64_t at = start + quarter * period / 4;
        if (at > after)
            return at;
    }
    return start + period + period / 4;
}

void SimulatedBus::pushErrorEvent(uint32_t errorClass, const uint8_t *data, int64_t at)
{
    if (m_errorEvents.full() || m_newEvents.size() >= m_errorEvents.room()) {
        ++m_errorEventsLost;
        return;
    }
    CanErrorEvent event{};
    event.errorClass = errorClass | CAN_ERR_CNT;
    std::memcpy(event.data, data, sizeof event.data);
    event.data[6] = uint8_t(healthAt(at).txErrors);
    event.data[7] = 0;
    event.timestampUs = m_wallEpochUs + at / 1000;
    m_newEvents.push_back(event);
}

// Error frames due up to `now`, in order of time; a reader that does not keep up loses
// the newest, without the bus working through each of them. A controller that is
// bus-off sees no errors of others.
void SimulatedBus::produceFaults(int64_t now)
{
    m_newEvents.clear();
    for (size_t i = 0; i < m_faults.errors.size(); ++i) {
        const SimFaults::Errors &errors = m_faults.errors[i];
        const uint64_t due = uint64_t(__int128(now) * errors.perSecond / 1000000000);
        uint64_t &sent = m_errorsSent[i];
        for (; sent < due && m_newEvents.size() < m_errorEvents.room(); ++sent) {
            const int64_t at = int64_t(__int128(sent + 1) * 1000000000 / errors.perSecond);
            if (healthAt(at).state == CANABLE_STATE_BUS_OFF)
                continue;
            if (errors.errorClass == CAN_ERR_CRTL)
                ++m_adapterDrops;
            pushErrorEvent(errors.errorClass, errors.data, at);
        }
        m_errorEventsLost += uint32_t(due - sent);
        sent = due;
    }
    if (m_faults.cycle != SimFaults::Cycle::None) {
        for (int64_t at = nextCycleChange(m_cycleDone); at <= now; at = nextCycleChange(at)) {
            m_cycleDone = at;
            const Health health = healthAt(at);
            // A passive cycle is already active again at its end.
            if (health.state == m_cycleState)
                continue;
            m_cycleState = health.state;
            uint8_t data[8] = {};
            uint32_t errorClass = CAN_ERR_CRTL;
            switch (health.state) {
            case CANABLE_STATE_ERROR_WARNING:
                data[1] = CAN_ERR_CRTL_TX_WARNING;
                break;
            case CANABLE_STATE_ERROR_PASSIVE:
                data[1] = CAN_ERR_CRTL_TX_PASSIVE;
                break;
            case CANABLE_STATE_BUS_OFF:
                errorClass = CAN_ERR_BUSOFF;
                break;
            default:
                if (m_faults.cycle == SimFaults::Cycle::BusOff)
                    errorClass = CAN_ERR_RESTARTED;
                else
                    data[1] = CAN_ERR_CRTL_ACTIVE;
                break;
            }
            pushErrorEvent(errorClass, data, at);
        }
    }
    std::stable_sort(m_newEvents.begin(), m_newEvents.end(),
                     [](const CanErrorEvent &a, const CanErrorEvent &b) {
                         return a.timestampUs < b.timestampUs;
                     });
    for (const CanErrorEvent &event : m_newEvents)
        m_errorEvents.push(event);
}

bool SimulatedBus::lastReadTimestamp(int64_t *usec)
{
    if (m_lastStamp == 0)
        return false;
    *usec = m_lastStamp;
    return true;
}

bool SimulatedBus::readErrorEvent(CanErrorEvent *event)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    produceFaults(busTime(Clock::now()));
    if (m_errorEvents.empty())
        return false;
    *event = m_errorEvents.front();
    m_errorEvents.pop();
    return true;
}

void SimulatedBus::status(CanBusStatus *status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const Health health = healthAt(busTime(Clock::now()));
    *status = CanBusStatus{};
    status->state = health.state;
    status->txErrors = health.txErrors;
    status->rxErrors = 0;
    status->busOffCount = health.busOffs;
    status->restarts = health.restarts;
    status->errorEventsLost = m_errorEventsLost;
    status->kernelDrops = m_kernelDrops;
    status->adapterDrops = m_adapterDrops;
}

void SimulatedBus::reportOverflow()
{
    if (!m_overflowReported) {
        std::fprintf(stderr, "canable: simulated bus: the reader is %zu frames behind; "
                             "newer frames are lost until it catches up\n",
                     receivedCapacity);
        m_overflowReported = true;
    }
}

bool SimulatedBus::takeReceived(CanFdFrameRecord *record, bool fdWanted)
{
    for (; !m_received.empty(); m_received.pop()) {
        if (!fdWanted && isFd(m_received.front().frame))
            continue;
        *record = m_received.front().frame;
        m_lastStamp = m_wallEpochUs + m_received.front().end / 1000;
        m_received.pop();
        return true;
    }
    return false;
}

SimulatedBus::Clock::time_point SimulatedBus::wakeTime(Clock::time_point now,
                                                        Clock::time_point deadline) const
{
    Clock::time_point wake = deadline;
    if (m_nextCompletion != never)
        wake = std::min(wake, m_epoch + std::chrono::nanoseconds(m_nextCompletion));
    return std::min(deadline, std::max(wake, now + wakeGranularity));
}

int SimulatedBus::read(CanFrameRecord *record)
{
    CanFdFrameRecord frame;
    if (receiveAny(&frame, false) != 0)
        return 1;
    *record = classicOf(frame);
    return 0;
}

int SimulatedBus::readFd(CanFdFrameRecord *record)
{
    return receiveAny(record, true);
}

int SimulatedBus::receiveAny(CanFdFrameRecord *record, bool fdWanted)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (takeReceived(record, fdWanted))
        return 0;
    return waitUntil(lock, readWaitLimit, [&](Clock::time_point) {
        return takeReceived(record, fdWanted);
    });
}

int SimulatedBus::write(const CanFrameRecord &record)
{
    if (m_listenOnly) {
        setLastError("the device is open in listen-only mode");
        return 1;
    }
    if (!isTransmittable(record))
        return 1;
    return writeFd(fdRecordOf(record));
}

int SimulatedBus::writeFd(const CanFdFrameRecord &record)
{
    if (m_listenOnly) {
        setLastError("the device is open in listen-only mode");
        return 1;
    }
    if (m_faults.cycle == SimFaults::Cycle::BusOff) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (healthAt(busTime(Clock::now())).state == CANABLE_STATE_BUS_OFF) {
            setLastError("the controller is bus-off");
            return 1;
        }
    }
    const bool remote = isRemote(record);
    const bool extended = isExtended(record);
    std::unique_lock<std::mutex> lock(m_mutex);
    return waitUntil(lock, writeWaitLimit, [&](Clock::time_point now) {
        if (m_written.full())
            return false;
        Written frame;
        frame.since = busTime(now);
        frame.key = arbitrationKey(record.id, extended, remote);
        frame.duration = frameNanoseconds(record, m_kbps, m_dataKbps);
        frame.id = record.id;
        frame.extended = extended;
        frame.remote = remote;
        m_written.push(frame);
        m_writeLog.record(now);
        return true;
    });
}

template<typename Done>
int SimulatedBus::waitUntil(std::unique_lock<std::mutex> &lock, Clock::duration limit,
                            Done done)
{
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        const Clock::time_point now = Clock::now();
        advance(busTime(now));
        produceFaults(busTime(now));
        if (done(now))
            return 0;
        if (now >= deadline)
            return 1;
        const Clock::time_point wake = wakeTime(now, deadline);
        lock.unlock();
        std::this_thread::sleep_until(wake);
        lock.lock();
    }
}

namespace {

void refuse(const std::string &text)
{
    std::fprintf(stderr, "canable: %s\n", text.c_str());
    setLastError(text);
}

} // namespace

std::unique_ptr<Backend> openSimulatedBus(unsigned int kbps, unsigned int dataKbps,
                                          const char *traffic, const char *faultText,
                                          bool listenOnly)
{
    const std::string replay = "replay:";
    if (traffic && std::string(traffic).compare(0, replay.size(), replay) == 0) {
        if (!isSupportedBitrate(kbps)) {
            std::fprintf(stderr, "canable: the simulated bus cannot run at %u kbit/s\n", kbps);
            return nullptr;
        }
        return openReplayBus(traffic + replay.size(), dataKbps != 0);
    }
    std::optional<SimTraffic> setting = parseSimTraffic(traffic);
    if (!setting) {
        refuse("CANABLE_SIM_TRAFFIC=\"" + std::string(traffic).substr(0, 60) + "\" is not "
               "one of mix, flood, flood:<frames per second>, flood:unlimited (optionally "
               "followed by ,dlc=<0-8> and ,ext, or ,fd with ,brs and dlc=<FD length>)");
        return nullptr;
    }
    if (setting->fd && !dataKbps) {
        refuse("CANABLE_SIM_TRAFFIC=\"" + std::string(traffic).substr(0, 60) + "\" floods "
               "with FD frames, which a device opened in classic mode cannot take: open it "
               "in FD mode");
        return nullptr;
    }
    std::string problem;
    const std::optional<SimFaults> faults = parseSimFaults(faultText, &problem);
    if (!faults) {
        refuse("CANABLE_SIM_FAULTS: " + problem);
        return nullptr;
    }
    if (!isSupportedBitrate(kbps)) {
        refuse("the simulated bus cannot run at " + std::to_string(kbps) + " kbit/s");
        return nullptr;
    }
    if (setting->unlimited) {
        if (faults->any()) {
            refuse("CANABLE_SIM_FAULTS needs a bus with timing, which flood:unlimited lacks");
            return nullptr;
        }
        return std::make_unique<UnlimitedFlood>(*setting, dataKbps != 0, listenOnly);
    }
    if (setting->framesPerSecond > 0) {
        uint64_t carried = 0;
        if (setting->fd) {
            const busload::FdFrameBits bits
                = unstuffedFdFrameBits(setting->extended, setting->brs, setting->dlc);
            const uint64_t picoseconds = uint64_t(bits.nominal) * 1000000000 / kbps
                + (bits.data ? uint64_t(bits.data) * 1000000000 / dataKbps : 0);
            carried = 1000000000000ull / picoseconds;
        } else {
            carried = uint64_t(kbps) * 1000
                / busload::unstuffedFrameBits(setting->extended, false, setting->dlc);
        }
        if (setting->framesPerSecond > carried) {
            std::fprintf(stderr, "canable: CANABLE_SIM_TRAFFIC=\"%.60s\" asks for more than "
                                 "a %u kbit/s bus carries; flooding with %llu frames/s\n",
                         traffic, kbps, static_cast<unsigned long long>(carried));
            setting->framesPerSecond = carried;
        }
    }
    return std::make_unique<SimulatedBus>(kbps, dataKbps, *setting, *faults, listenOnly);
}

} // namespace canable
