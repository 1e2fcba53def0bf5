#pragma once

// The simulated CAN bus opened with CANABLE_INTERFACE=sim: other nodes on a bus of the
// chosen bit rate, so that the program can be tried and measured without hardware.
//
// The bus carries one frame at a time and never more frames per second than its bit rate
// allows, counting each frame at its length on the wire with the stuff bits its own
// identifier, length and data cause and the 3-bit interframe space, as the window's bus
// load counts it (health/busload.h): a standard data frame takes 47 + 8 * dlc bits and up
// to a fifth more, so a flood shows a bus load of 100 % and no more. Opened in FD mode
// (canable_initFD), an FD frame's arbitration phase goes at the nominal rate and its data
// phase (with the stuff count and the fixed stuff bits of its CRC field) at the data rate
// with BRS, at the nominal rate without. Frames written by the application take
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
// flood frames, 8 if not given), ",ext" (29-bit identifier), ",ids=<1..1792>" (the frames
// take the identifiers 0x100 up to 0x100 + N - 1 in turn, N 1 if not given), ",fd" (FD
// frames, which need a bus opened in FD mode; dlc= then takes any FD length up to 64) and,
// with ",fd", ",brs" (the data phase at the data rate), e.g. "flood:5000,dlc=2" or
// "flood,fd,brs,dlc=64". Flood frames are data frames with identifier 0x100 (standard, or
// extended with ",ext");
// their data is a sequence number counting from 0, little-endian, cut to dlc bytes, so
// that lost or reordered frames show as gaps. Any other value makes the open fail with
// one line on stderr.
//
// The mix; all multi-byte values are little-endian, temperatures are in degrees Celsius
// offset by 40, "counter" is a 4-bit rolling counter in the low nibble that advances by 1
// per period (a jump means a transmission was lost), "sum" is bytes 0 to 6 plus the
// identifier's low byte, modulo 256 (for the FD messages all bytes but the last):
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
//   0x2A8      20 ms 20 bytes  (FD mode only; FD without BRS) chassis: steering angle
//                              (0.1 degree offset by 780), yaw rate (0.01 degree/s
//                              offset by 327.68), lateral and longitudinal acceleration
//                              (0.001 g offset by 32.768), four wheel speeds (0.01 km/h),
//                              vehicle speed (1/256 km/h), all 16 bits, counter, sum
//   0x4A0      50 ms 64 bytes  (FD mode only; FD with BRS) battery: thirty cell voltages
//                              (1 mV, 16 bits each) in bytes 0-59, counter, 0, 0, sum
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
// Time stamps (canable_lastReadTimestamp) come from the bus's own clock: the wall-clock
// time of the open plus the bus time at which the frame's last bit left the wire, so they
// rise with every frame and never lie ahead of the present. Status reports an error-active
// controller with both error counters 0 unless a fault below says otherwise; frames lost
// because the reader fell behind count as kernel drops.
//
// CANABLE_SIM_FAULTS, read at the open, makes the bus misbehave; items separated by
// commas, in any order, each at most once:
//
//   errors:<class>[:<N>/s]  N error frames per second (1 to 100000, default 10) of one
//                           class; several classes may be given as items of their own:
//                             ack       CAN_ERR_ACK (no node acknowledged)
//                             bit       CAN_ERR_PROT, data[2] CAN_ERR_PROT_BIT
//                             stuff     CAN_ERR_PROT, data[2] CAN_ERR_PROT_STUFF
//                             form      CAN_ERR_PROT, data[2] CAN_ERR_PROT_FORM
//                             crc       CAN_ERR_PROT, data[3] CAN_ERR_PROT_LOC_CRC_SEQ
//                             lostarb   CAN_ERR_LOSTARB
//                             overflow  CAN_ERR_CRTL, data[1] CAN_ERR_CRTL_RX_OVERFLOW
//                                       (also counted as an adapter drop)
//                             txtimeout CAN_ERR_TX_TIMEOUT
//                           They report other nodes' trouble: the error counters and the
//                           state do not move.
//   passive[:<S>s]          a cycle of S seconds (0.1 to 3600, default 4), repeated from
//                           the open: error active for the first quarter, then warning
//                           (CAN_ERR_CRTL, data[1] CAN_ERR_CRTL_TX_WARNING, TEC 96), at the
//                           half error passive (CAN_ERR_CRTL_TX_PASSIVE, TEC 128), at three
//                           quarters back to active (CAN_ERR_CRTL_ACTIVE, TEC 0)
//   busoff[:<S>s]           the same up to passive, then at three quarters bus-off
//                           (CAN_ERR_BUSOFF, TEC 255): no frame is received, writes fail;
//                           at the end of the cycle the controller restarts by itself, as
//                           gs_usb firmware does (CAN_ERR_RESTARTED, TEC 0, active)
//   drop:<N>/s              N received frames per second (1 to 1000000) are lost in the
//                           adapter and counted as adapter drops
//
// A bus-off controller sees no error frames of others. Every error frame carries
// CAN_ERR_CNT with the counters of the moment in data[6] (TEC) and data[7] (REC), which
// are also what the status reports; REC stays 0. Error frames take no bus time, and at
// most 4096 wait for the reader (the rest are counted as lost in the status), so a flood
// of 10,000 error frames per second leaves the data frames as they were. Any other value
// makes the open fail, saying why.
//
// A listen-only session (canable_setListenOnly) receives as usual and refuses every
// write.
//
// Threads: read() and readErrorEvent() on one thread, write() and status() on others may
// run at the same time; the owner destroys the bus only while none is inside.

#include "canable/backend.h"

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
    uint8_t dlc = 8;        // data bytes, up to 64 for FD frames
    bool extended = false;
    bool fd = false;
    bool brs = false;
    uint32_t identifiers = 1; // flood only
};

// Empty when text is none of the values described above; null or empty means the mix.
std::optional<SimTraffic> parseSimTraffic(const char *text);

struct SimFaults
{
    struct Errors
    {
        uint32_t errorClass = 0;
        uint8_t data[8] = {};
        uint64_t perSecond = 10;
    };
    enum class Cycle { None, Passive, BusOff };

    std::vector<Errors> errors;
    Cycle cycle = Cycle::None;
    int64_t cycleNanoseconds = 4000000000;
    uint64_t dropsPerSecond = 0;

    bool any() const { return !errors.empty() || cycle != Cycle::None || dropsPerSecond; }
};

// Empty when text is not a fault setting as described above, with *problem saying why;
// null or empty means no faults.
std::optional<SimFaults> parseSimFaults(const char *text, std::string *problem);

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
    // dataKbps 0: a classic bus.
    SimulatedBus(unsigned int kbps, unsigned int dataKbps, const SimTraffic &traffic,
                 const SimFaults &faults, bool listenOnly);

    int read(CanFrameRecord *record) override;
    int write(const CanFrameRecord &record) override;
    bool fdMode() const override { return m_dataKbps != 0; }
    int readFd(CanFdFrameRecord *record) override;
    int writeFd(const CanFdFrameRecord &record) override;
    bool lastReadTimestamp(int64_t *usec) override;
    bool readErrorEvent(CanErrorEvent *event) override;
    void status(CanBusStatus *status) override;

    enum class Content { Flood, Engine, Wheels, Temperatures, Heartbeat, VehicleSpeed,
                         EngineTemperature, Odometer, Request, Chassis, CellVoltages };

private:
    using Clock = std::chrono::steady_clock;

    // One identifier of one simulated node. Instance k of a periodic frame is due at
    // phase + k * periodNum / periodDen ns; periodNum 0 sends back to back, and a node
    // without period only answers remote requests.
    struct Node
    {
        CanFdFrameRecord frame = {}; // identifier, format, length and last data sent
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

    struct Received
    {
        CanFdFrameRecord frame = {};
        int64_t end = 0;
    };

    // What the fault cycle makes of the controller at one moment of bus time.
    struct Health
    {
        int state = CANABLE_STATE_ERROR_ACTIVE;
        int txErrors = 0;
        uint32_t busOffs = 0;
        uint32_t restarts = 0;
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
        size_t room() const { return m_items.size() - m_count; }
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

    void addNode(uint32_t id, uint8_t flags, uint8_t len, Content content, int64_t phase,
                 int64_t periodNum, int64_t periodDen);
    static int64_t dueOf(const Node &node, uint64_t instance);
    static int64_t pendingSince(const Node &node);
    static void jumpTo(Node &node, int64_t at);
    void advance(int64_t now);
    void skipTo(int64_t now);
    void load(Node &node, int64_t start);
    void transmit(Node &node, int64_t start, int64_t end);
    void requestAnswer(uint32_t id, bool extended, int64_t at);
    void receive(const CanFdFrameRecord &frame, int64_t end);
    Health healthAt(int64_t at) const;
    int64_t nextCycleChange(int64_t after) const;
    void produceFaults(int64_t now);
    void pushErrorEvent(uint32_t errorClass, const uint8_t *data, int64_t at);
    void reportOverflow();
    // The oldest received frame; a classic reader passes FD frames over.
    bool takeReceived(CanFdFrameRecord *record, bool fdWanted);
    int receiveAny(CanFdFrameRecord *record, bool fdWanted);
    int64_t busTime(Clock::time_point when) const;
    Clock::time_point wakeTime(Clock::time_point now, Clock::time_point deadline) const;
    // Brings the bus up to the present and calls done(now) until it returns true (0) or
    // `limit` has passed (1), sleeping without the lock in between.
    template<typename Done>
    int waitUntil(std::unique_lock<std::mutex> &lock, Clock::duration limit, Done done);

    const unsigned int m_kbps;
    const unsigned int m_dataKbps;
    const Clock::time_point m_epoch;
    std::mutex m_mutex;
    std::vector<Node> m_nodes;
    Ring<Written> m_written;
    Ring<Received> m_received;
    const SimFaults m_faults;
    const bool m_listenOnly;
    const int64_t m_wallEpochUs;
    int64_t m_lastStamp = 0;
    std::vector<uint64_t> m_errorsSent;
    int64_t m_cycleDone = 0;
    int m_cycleState = CANABLE_STATE_ERROR_ACTIVE;
    Ring<CanErrorEvent> m_errorEvents;
    std::vector<CanErrorEvent> m_newEvents;
    uint32_t m_errorEventsLost = 0;
    uint64_t m_adapterDrops = 0;
    uint64_t m_kernelDrops = 0;
    int64_t m_busFree = 0;
    int64_t m_nextCompletion = 0;
    bool m_overflowReported = false;
    uint32_t m_floodIdentifiers = 1;
    WriteLog m_writeLog;
};

} // namespace canable
