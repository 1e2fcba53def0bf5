#pragma once

// Reading and writing CAN traces in the file formats of the surrounding tools: candump's
// log, ASC, pcap (SocketCAN link type), BLF, and the frame log's own CSV. All carry CAN FD
// frames, the CSV without their BRS and ESI flags. Plain C++ with
// no toolkit, so the adapter library can replay a trace as its simulated traffic.
//
// A reader or writer object belongs to one thread at a time; different objects are
// independent. Readers stream in constant memory and report progress from bytesRead() /
// totalBytes(). A file may hold gigabytes without a frame (zeros, a container that
// inflates to 16 MiB of nothing, again and again), so a reader given a cancel flag looks
// at it between bounded steps of reading, inflating and skipping; the flag may be set from
// any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace trace {

struct Frame
{
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    // An error event: id holds the CAN_ERR_* class bits, data the eight error bytes.
    bool error = false;
    // The number of data bytes (a remote frame: the length asked for). An FD frame carries
    // 0 to 8, 12, 16, 20, 24, 32, 48 or 64; every other frame at most 8.
    uint8_t dlc = 0;
    // A CAN FD frame, and its bit rate switch and error state indicator.
    bool fd = false;
    bool brs = false;
    bool esi = false;
    uint8_t data[64] = {};
    bool tx = false;
    // False for a write the adapter refused; such a frame never crossed the bus.
    bool success = true;
    // Wall clock in microseconds since 1970-01-01 UTC; 0 unknown. A CSV trace carries the
    // time of day only: then it counts from local midnight.
    int64_t timestampUs = 0;
};

// candump's compact frame "123#1122", "12345678#11.22", "123#R", "123#R4", "123##1AABB",
// as in its logs and on the command line: a standard identifier of three hex digits, an
// extended one of eight, an error event where an eight-digit identifier carries the error
// flag, an FD frame after "##" with a flags digit (1 BRS, 2 ESI) and up to 64 bytes of any
// count, so that a sender can be shown that a length between the FD lengths is refused.
// Sets the identifier, flags, length and data, nothing else; false when the text is not
// such a frame.
bool parseCandumpFrame(std::string_view text, Frame &frame);
// The FD lengths: 0 to 8, 12, 16, 20, 24, 32, 48, 64.
bool isFdLength(unsigned int length);
// The length code of an FD length, and the length of a code (0 to 15).
unsigned int fdLengthCode(unsigned int length);
unsigned int fdCodeLength(unsigned int code);

enum class Format { Unknown, CandumpLog, Asc, Pcap, Blf, Csv };

// The format a file name's extension names (case-insensitive), Unknown otherwise.
Format formatForPath(const std::string &path);
// The format the extension names, else the one the file's first bytes show (a capture
// tool's pcapng keeps its magic whatever it is named); Unknown when neither does. Pcap
// covers pcapng: its reader tells the two apart by their magic.
Format formatForFile(const std::string &path);
const char *extensionOf(Format format);

class Reader
{
public:
    // Null with *error set when the file cannot be opened or is not of that format.
    static std::unique_ptr<Reader> open(const std::string &path, Format format,
                                        std::string *error);
    virtual ~Reader();

    // The next frame in file order; false at the end or after a read error (error()).
    virtual bool next(Frame &frame) = 0;

    uint64_t bytesRead() const { return m_bytesRead; }
    uint64_t totalBytes() const { return m_totalBytes; }
    // Lines or objects that could not be read as a frame and were passed over.
    uint64_t skipped() const { return m_skipped; }
    const std::string &error() const { return m_error; }
    // Times count from local midnight rather than 1970 (CSV).
    virtual bool timeOfDayOnly() const { return false; }

    // Once *flag is set, next() returns false within a few hundred KiB of work, and
    // cancelled() says why. The flag stays the caller's and must outlive the reader.
    void setCancelFlag(const std::atomic<bool> *flag) { m_cancelFlag = flag; }
    bool cancelled() const { return m_cancelled; }

protected:
    explicit Reader(int fd, uint64_t totalBytes);
    // Reads up to `size` bytes; returns the count, 0 at the end, -1 on error.
    long readSome(void *buffer, size_t size);
    // Exactly `size` bytes, or false at a short read (end or error).
    bool readExact(void *buffer, size_t size);
    // Moves to the next occurrence of the bytes, false when there is none.
    bool skipTo(const char *pattern, size_t length);
    // A line without its end, at most maxLine bytes; longer lines are skipped and
    // counted. False at the end.
    bool readLine(std::string &line);

    // True once the caller's flag is set; formats call it between steps of their own.
    bool stopRequested();

    uint64_t m_skipped = 0;
    std::string m_error;

private:
    bool fill();

    const std::atomic<bool> *m_cancelFlag = nullptr;
    bool m_cancelled = false;

    int m_fd;
    uint64_t m_bytesRead = 0;
    uint64_t m_totalBytes;
    std::string m_buffer;
    size_t m_pos = 0;
    bool m_eof = false;
};

class Writer
{
public:
    // Null with *error set when the file cannot be created.
    static std::unique_ptr<Writer> create(const std::string &path, Format format,
                                          std::string *error);
    virtual ~Writer();

    // Queues one frame. A refused write (success false) is not a frame of the bus and is
    // passed over (the CSV keeps it as a row, marked as refused). A frame without a time
    // takes the previous frame's. False once a write failed: the file then ends after the
    // last complete frame and error() says why.
    bool write(const Frame &frame);
    // Everything queued is in the file and on the disk.
    bool flush();
    // Flushes, completes the file and closes it; the object is unusable afterwards.
    // Destroying a writer without close() keeps what the last flush wrote.
    bool close();

    uint64_t framesWritten() const { return m_frames; }
    const std::string &error() const { return m_error; }

protected:
    explicit Writer(int fd);
    virtual bool keepsRefused() const { return false; }
    virtual void encode(const Frame &frame) = 0;
    // Moves the encoded frames to the file; formats with containers override.
    virtual bool commit();
    virtual bool finish() { return commit(); }
    // Appends bytes at the end of what is in the file; on failure the file is cut back
    // to its last complete state.
    bool append(const char *data, size_t size);
    bool writeAt(uint64_t offset, const void *data, size_t size);
    bool fail(const std::string &what);

    std::string m_pending;
    uint64_t m_fileSize = 0;
    uint64_t m_frames = 0;
    int64_t m_lastTimeUs = 0;

private:
    int m_fd;
    std::string m_error;
    bool m_failed = false;
};

} // namespace trace
