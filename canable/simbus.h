#pragma once

// The simulated CAN bus opened with CANABLE_INTERFACE=sim: other nodes on a bus of the
// chosen bit rate, so that the program can be tried and measured without hardware.
//
// The bus carries one frame at a time and never more frames per second than its bit rate
// allows, counting each frame at its shortest length (no stuff bits) with the 3-bit
// interframe space: a standard data frame takes 47 + 8 * dlc bits, an extended one
// 67 + 8 * dlc bits, a remote frame 47 or 67 bits. Frames written by the application take
// their share of the same bus; they are acknowledged by the simulated nodes and are not
// received back. Frames that wait for the bus go first come, first served, and frames
// ready at the same moment by identifier as in arbitration, so that on an overloaded bus
// every node still gets through, later and less often.
//
// CANABLE_SIM_TRAFFIC chooses what the simulated nodes send:
//
//   unset, empty or "mix"  a small vehicle network (below)
//   "flood"                as many frames as the bit rate carries
//   "flood:<N>"            N frames per second, N >= 1; more than the bit rate carries
//                          is clamped to that, with one line on stderr saying so
//   "flood:unlimited"      one frame for every read, as fast as reads are made; the only
//                          setting that exceeds the bus, and the only one without bus
//                          timing: written frames are accepted and take no bus time
//   "replay:<path>"        the frames of a trace file, looping (see replaybus.h)
//
// A flood setting may be followed, in any order, by ",dlc=<0..8>" (data length of the
// flood frames, 8 if not given) and ",ext" (29-bit identifier), e.g. "flood:5000,dlc=2".
// Flood frames are data frames with identifier 0x100 (standard, or extended with ",ext");
// their data is a sequence number counting from 0, little-endian, cut to dlc bytes, so
// that lost or reordered frames show as gaps. Any other value makes the open fail with
// one line on stderr.
//
// The mix; all multi-byte values are little-endian, temperatures are in degrees Celsius
// offset by 40, "counter" is a 4-bit rolling counter in the low nibble that advances by 1
// per period (a jump means a transmission was lost), "sum" is bytes 0 to 6 plus the
// identifier's low byte, modulo 256:
//
//   0x0C4      10 ms  8 bytes  engine speed (0.25 rpm), throttle %, load %, intake air
//                              temperature, 0, gear << 4 | counter, sum
//   0x1A0      20 ms  8 bytes  four 12-bit wheel speeds (0.1 km/h; front left, front
//                              right, rear left, rear right) in bytes 0-5, counter, sum
//   0x2F0     100 ms  5 bytes  coolant, oil and ambient temperature, fuel level %,
//                              counter
//   0x500    1000 ms  4 bytes  status heartbeat: state (1: running), counter, uptime in
//                              seconds (16 bits)
//   0x18FEF100  100 ms  8 bytes  (extended) wheel-based vehicle speed in 1/256 km/h in
//                              bytes 1-2, the other bytes 0xFF (not available)
//   0x18FEEE00 1000 ms  8 bytes  (extended) coolant and fuel temperature, oil
//                              temperature in 0.03125 degrees offset by 273 (16 bits),
//                              the other bytes 0xFF
//   0x3C0      remote request (dlc 4) every 5 s, first after 1.5 s; the odometer node
//                              answers with 0x3C0, 4 bytes: distance in 0.1 km (32 bits)
//
// A remote frame written for 0x3C0 or for one of the periodic data identifiers (with the
// same identifier format) is answered by the node that owns it: the odometer with its
// current reading, the others with their last transmitted data. The flood nodes answer
// no remote requests.
//
// What can pile up is bounded: a periodic node holds one pending frame per identifier, a
// newer period replacing one that has not reached the bus yet (its counter then jumps),
// flood frames are not replaced but cost no memory while they wait; up to 64 written
// frames wait for the bus, a write waits at most 100 ms for room and then fails; up to
// 32768 received frames wait for the reader, and when the reader falls further behind the
// newer frames are lost, with one line on stderr, as on an overflowing adapter.
//
// CANABLE_SIM_WRITE_LOG=<path>, when set at the open, makes the bus (any setting) keep
// the time at which it accepted each write and save them to <path> when it is closed
// (canable_freeDLL, or the next canable_initDLL): one line per accepted write, in order,
// the steady_clock (CLOCK_MONOTONIC) time in nanoseconds as a decimal number. It is meant
// for measuring transmit timing from inside the library; the times are held in memory,
// 8 bytes per write, until the close, and a file that cannot be written is reported with
// one line on stderr. Unset or empty, nothing is kept.
//
// Threads: read() on one thread and write() on another may run at the same time; the
// owner destroys the bus only while neither is inside.

#include "backend.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace canable {

struct SimTraffic
{
    bool flood = false;
    bool unlimited = false;
    uint64_t framesPerSecond = 0; // flood only; 0: as many as the bus carries
    uint8_t dlc = 8;
    bool extended = false;
};

// Empty when text is none of the values described above; null or empty means the mix.
std::optional<SimTraffic> parseSimTraffic(const char *text);

// The times of accepted writes kept for CANABLE_SIM_WRITE_LOG, saved on destruction.
class WriteLog
{
public:
    WriteLog();
    ~WriteLog();
    WriteLog(const WriteLog &) = delete;
    WriteLog &operator=(const WriteLog &) = delete;

    void record(std::chrono::steady_clock::time_point accepted);

private:
    const std::string m_path;
    std::mutex m_mutex;
    std::vector<int64_t> m_times;
};

class SimulatedBus final : public Backend
{
public:
    // traffic must not be unlimited; that flood has no bus and is a Backend of its own.
    SimulatedBus(unsigned int kbps, const SimTraffic &traffic);

    int read(CanFrameRecord *record) override;
    int write(const CanFrameRecord &record) override;

    enum class Content { Flood, Engine, Wheels, Temperatures, Heartbeat, VehicleSpeed,
                         EngineTemperature, Odometer, Request };

private:
    using Clock = std::chrono::steady_clock;

    // One identifier of one simulated node. Instance k of a periodic frame is due at
    // phase + k * periodNum / periodDen ns; periodNum 0 sends back to back, and a node
    // without period only answers remote requests.
    struct Node
    {
        CanFrameRecord frame = {}; // identifier, format, length and last data sent
        Content content = Content::Flood;
        uint64_t key = 0;
        int64_t duration = 0;
        int64_t phase = 0;
        int64_t periodNum = 0;
        int64_t periodDen = 1;
        bool periodic = true;
        bool replaces = true;
        uint64_t instance = 0;
        int64_t due = 0;
        int64_t nextDue = 0;
        int64_t answerDue = 0;
    };

    struct Written
    {
        int64_t since = 0;
        uint64_t key = 0;
        int64_t duration = 0;
        uint32_t id = 0;
        bool extended = false;
        bool remote = false;
    };

    template<typename T>
    class Ring
    {
    public:
        explicit Ring(size_t capacity) : m_items(capacity) {}
        bool empty() const { return m_count == 0; }
        bool full() const { return m_count == m_items.size(); }
        T &front() { return m_items[m_head]; }
        void push(const T &item)
        {
            m_items[(m_head + m_count) % m_items.size()] = item;
            ++m_count;
        }
        void pop()
        {
            m_head = (m_head + 1) % m_items.size();
            --m_count;
        }
        void clear() { m_count = 0; }

    private:
        std::vector<T> m_items;
        size_t m_head = 0;
        size_t m_count = 0;
    };

    void addNode(uint32_t id, bool extended, bool remote, uint8_t dlc, Content content,
                 int64_t phase, int64_t periodNum, int64_t periodDen);
    static int64_t dueOf(const Node &node, uint64_t instance);
    static int64_t pendingSince(const Node &node);
    static void jumpTo(Node &node, int64_t at);
    void advance(int64_t now);
    void skipTo(int64_t now);
    void transmit(Node &node, int64_t start, int64_t end);
    void requestAnswer(uint32_t id, bool extended, int64_t at);
    void receive(const CanFrameRecord &frame);
    void reportOverflow();
    bool takeReceived(CanFrameRecord *record);
    int64_t busTime(Clock::time_point when) const;
    Clock::time_point wakeTime(Clock::time_point now, Clock::time_point deadline) const;
    // Brings the bus up to the present and calls done(now) until it returns true (0) or
    // `limit` has passed (1), sleeping without the lock in between.
    template<typename Done>
    int waitUntil(std::unique_lock<std::mutex> &lock, Clock::duration limit, Done done);

    const unsigned int m_kbps;
    const Clock::time_point m_epoch;
    std::mutex m_mutex;
    std::vector<Node> m_nodes;
    Ring<Written> m_written;
    Ring<CanFrameRecord> m_received;
    int64_t m_busFree = 0;
    int64_t m_nextCompletion = 0;
    bool m_overflowReported = false;
    WriteLog m_writeLog;
};

} // namespace canable
