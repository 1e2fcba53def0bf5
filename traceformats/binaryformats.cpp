// The binary formats: pcap with the SocketCAN link type, and BLF.

#include "traceformats/traceformats.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include <unistd.h>
#include <zlib.h>

namespace trace {

namespace {

uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t *p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t *p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }
uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put16(std::string &out, uint16_t v)
{
    out += char(v & 0xff);
    out += char(v >> 8);
}
void put32(std::string &out, uint32_t v)
{
    put16(out, uint16_t(v));
    put16(out, uint16_t(v >> 16));
}
void put64(std::string &out, uint64_t v)
{
    put32(out, uint32_t(v));
    put32(out, uint32_t(v >> 32));
}
void putBe32(std::string &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((v >> shift) & 0xff);
}

int64_t floorDiv(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// ---- pcap -----------------------------------------------------------------------------

constexpr uint32_t linkTypeSocketCan = 227;
// No SocketCAN record is larger; a bigger length is a damaged file, not a frame.
constexpr uint32_t maxPcapRecord = 256 * 1024;

// The flags byte of a struct canfd_frame: bit rate switch, error state indicator, and the
// mark of an FD frame that capture tools set since FD and larger frames share the type.
constexpr uint8_t canFdBrs = 0x01;
constexpr uint8_t canFdEsi = 0x02;
constexpr uint8_t canFdFdf = 0x04;
constexpr uint32_t canFdRecord = 72;

// A struct can_frame or canfd_frame as the SocketCAN link type stores it (identifier in
// network order); an FD frame is a 72-byte record or one whose flags say so. The time is
// left to the caller.
bool parseSocketCan(const uint8_t *p, size_t size, Frame &frame)
{
    if (size < 8)
        return false;
    const uint32_t canId = be32(p);
    const uint8_t length = p[4];
    const bool fd = size == canFdRecord || (p[5] & canFdFdf);
    if (length > (fd ? 64 : 8) || size < 8u + length || (fd && !isFdLength(length)))
        return false;
    frame = Frame();
    frame.error = canId & errFlag;
    if (fd && (frame.error || (canId & rtrFlag)))
        return false;
    frame.fd = fd;
    frame.brs = fd && (p[5] & canFdBrs);
    frame.esi = fd && (p[5] & canFdEsi);
    frame.extended = (canId & effFlag) && !frame.error;
    frame.remote = (canId & rtrFlag) && !frame.error;
    frame.id = canId & (frame.extended || frame.error ? effMask : sffMask);
    // The kernel never sets these bits; a file that does holds no frame of a bus.
    if (!frame.extended && !frame.error && (canId & effMask) > sffMask)
        return false;
    frame.dlc = length;
    std::memcpy(frame.data, p + 8, length);
    return true;
}

class PcapReader : public Reader
{
public:
    PcapReader(int fd, uint64_t size) : Reader(fd, size)
    {
        uint8_t header[24];
        if (!readExact(header, sizeof header)) {
            m_error = "not a pcap file";
            return;
        }
        const uint32_t magic = le32(header);
        if (magic == 0xa1b2c3d4u || magic == 0xa1b23c4du) {
            m_nanoseconds = magic == 0xa1b23c4du;
        } else if (magic == 0xd4c3b2a1u || magic == 0x4d3cb2a1u) {
            m_swapped = true;
            m_nanoseconds = magic == 0x4d3cb2a1u;
        } else {
            m_error = "not a pcap file";
            return;
        }
        if ((word(header + 20) & 0xffff) != linkTypeSocketCan)
            m_error = "not a SocketCAN capture (link type 227)";
    }

    bool next(Frame &frame) override
    {
        uint8_t header[16];
        while (readExact(header, sizeof header)) {
            const uint32_t length = word(header + 8);
            if (length > maxPcapRecord) {
                // Without a length nothing after it can be found again.
                ++m_skipped;
                return false;
            }
            m_record.resize(length);
            if (!readExact(m_record.data(), length)) {
                ++m_skipped;
                return false;
            }
            if (parse(header, frame))
                return true;
            ++m_skipped;
        }
        return false;
    }

private:
    uint32_t word(const uint8_t *p) const
    {
        const uint32_t v = le32(p);
        return m_swapped ? __builtin_bswap32(v) : v;
    }

    bool parse(const uint8_t *header, Frame &frame) const
    {
        if (!parseSocketCan(m_record.data(), m_record.size(), frame))
            return false;
        const uint32_t fraction = word(header + 4);
        frame.timestampUs = int64_t(word(header)) * 1'000'000
                + (m_nanoseconds ? fraction / 1000 : fraction);
        return true;
    }

    std::vector<uint8_t> m_record;
    bool m_swapped = false;
    bool m_nanoseconds = false;
};

class PcapWriter : public Writer
{
public:
    explicit PcapWriter(int fd) : Writer(fd)
    {
        put32(m_pending, 0xa1b2c3d4u);
        put16(m_pending, 2);
        put16(m_pending, 4);
        put32(m_pending, 0);
        put32(m_pending, 0);
        put32(m_pending, 65535);
        put32(m_pending, linkTypeSocketCan);
    }

protected:
    void encode(const Frame &frame) override
    {
        const int64_t seconds = std::max<int64_t>(floorDiv(frame.timestampUs, 1'000'000), 0);
        const int64_t us = frame.timestampUs < 0 ? 0 : frame.timestampUs - seconds * 1'000'000;
        const bool fd = frame.fd && !frame.error;
        put32(m_pending, uint32_t(seconds));
        put32(m_pending, uint32_t(us));
        put32(m_pending, fd ? canFdRecord : 16);
        put32(m_pending, fd ? canFdRecord : 16);
        uint32_t canId;
        if (frame.error)
            canId = (frame.id & effMask) | errFlag;
        else if (frame.extended)
            canId = (frame.id & effMask) | effFlag;
        else
            canId = frame.id & sffMask;
        if (frame.remote && !frame.error)
            canId |= rtrFlag;
        putBe32(m_pending, canId);
        if (fd) {
            const uint8_t length = std::min<uint8_t>(frame.dlc, 64);
            m_pending += char(length);
            m_pending += char(canFdFdf | (frame.brs ? canFdBrs : 0) | (frame.esi ? canFdEsi : 0));
            m_pending.append(2, '\0');
            for (int i = 0; i < 64; ++i)
                m_pending += char(i < length ? frame.data[i] : 0);
            return;
        }
        const uint8_t length = frame.error ? 8 : std::min<uint8_t>(frame.dlc, 8);
        m_pending += char(length);
        m_pending.append(3, '\0');
        for (int i = 0; i < 8; ++i)
            m_pending += char(i < length && !(frame.remote && !frame.error) ? frame.data[i] : 0);
    }
};

// pcapng, what Wireshark and dumpcap write by default, whatever the file is named. Sections
// may change the byte order; each interface has its link type and time resolution. Only
// SocketCAN interfaces' packets are frames; the direction comes from the packet's flags.
class PcapngReader : public Reader
{
public:
    PcapngReader(int fd, uint64_t size) : Reader(fd, size)
    {
        if (!readSection())
            m_error = "not a pcapng file";
    }

    bool next(Frame &frame) override
    {
        uint8_t header[8];
        while (readExact(header, sizeof header)) {
            const uint32_t type = word(header);
            const uint32_t length = word(header + 4);
            if (type == sectionType) {
                if (!readSection(header))
                    return false;
                continue;
            }
            if (length < 12 || length % 4 != 0) {
                // Without a length nothing after it can be found again.
                ++m_skipped;
                return false;
            }
            if (length - 8 > maxPcapRecord) {
                ++m_skipped;
                if (!discard(length - 8))
                    return false;
                continue;
            }
            m_block.resize(length - 8);
            if (!readExact(m_block.data(), m_block.size())) {
                ++m_skipped;
                return false;
            }
            const size_t body = m_block.size() - 4;
            if (type == interfaceType) {
                addInterface(body);
            } else if (type == enhancedPacketType || type == simplePacketType) {
                if (parsePacket(type, body, frame))
                    return true;
                ++m_skipped;
            }
        }
        return false;
    }

private:
    static constexpr uint32_t sectionType = 0x0a0d0d0a;
    static constexpr uint32_t interfaceType = 1;
    static constexpr uint32_t simplePacketType = 3;
    static constexpr uint32_t enhancedPacketType = 6;

    struct Interface
    {
        uint16_t linkType = 0;
        uint64_t unitsPerSecond = 1'000'000;
        int64_t offsetSeconds = 0;
    };

    uint32_t word(const uint8_t *p) const
    {
        const uint32_t v = le32(p);
        return m_swapped ? __builtin_bswap32(v) : v;
    }
    uint16_t half(const uint8_t *p) const
    {
        const uint16_t v = le16(p);
        return m_swapped ? __builtin_bswap16(v) : v;
    }

    // A section header block, its type already read into `header` unless null.
    bool readSection(const uint8_t *header = nullptr)
    {
        uint8_t start[12];
        if (header)
            std::memcpy(start, header, 8);
        else if (!readExact(start, 8) || le32(start) != sectionType)
            return false;
        if (!readExact(start + 8, 4))
            return false;
        const uint32_t order = le32(start + 8);
        if (order == 0x1a2b3c4du)
            m_swapped = false;
        else if (order == 0x4d3c2b1au)
            m_swapped = true;
        else
            return false;
        // Its options are a few names and dates; a longer header would be read through
        // while the file is being opened, before anyone could cancel.
        const uint32_t length = word(start + 4);
        if (length < 28 || length % 4 != 0 || length - 12 > maxPcapRecord)
            return false;
        m_interfaces.clear();
        return discard(length - 12);
    }

    bool discard(uint64_t size)
    {
        uint8_t buffer[4096];
        while (size > 0) {
            const size_t chunk = size_t(std::min<uint64_t>(size, sizeof buffer));
            if (!readExact(buffer, chunk))
                return false;
            size -= chunk;
        }
        return true;
    }

    // Calls `option(code, value, length)` for each option from `offset` to `end`.
    template<typename Option>
    void forOptions(size_t offset, size_t end, Option option) const
    {
        while (offset + 4 <= end) {
            const uint16_t code = half(&m_block[offset]);
            const uint16_t length = half(&m_block[offset + 2]);
            offset += 4;
            if (code == 0 || offset + length > end)
                return;
            option(code, &m_block[offset], length);
            offset += (length + 3u) & ~3u;
        }
    }

    void addInterface(size_t body)
    {
        Interface interface;
        if (body >= 8) {
            interface.linkType = half(&m_block[0]);
            forOptions(8, body, [&](uint16_t code, const uint8_t *value, uint16_t length) {
                if (code == 9 && length >= 1) {
                    const unsigned exponent = value[0] & 0x7f;
                    uint64_t units = 1;
                    for (unsigned i = 0; i < exponent && units <= UINT64_MAX / 10; ++i)
                        units *= (value[0] & 0x80) ? 2 : 10;
                    if ((value[0] & 0x80) && exponent >= 64)
                        units = UINT64_MAX;
                    interface.unitsPerSecond = units;
                } else if (code == 14 && length >= 8) {
                    uint64_t v = le64(value);
                    interface.offsetSeconds = int64_t(m_swapped ? __builtin_bswap64(v) : v);
                }
            });
        }
        // A file declares a handful; more than that is damage, and each costs memory.
        if (m_interfaces.size() < 4096)
            m_interfaces.push_back(interface);
    }

    bool parsePacket(uint32_t type, size_t body, Frame &frame) const
    {
        const bool enhanced = type == enhancedPacketType;
        const size_t fixed = enhanced ? 20 : 4;
        if (body < fixed)
            return false;
        const uint32_t index = enhanced ? word(&m_block[0]) : 0;
        if (index >= m_interfaces.size() || m_interfaces[index].linkType != linkTypeSocketCan)
            return false;
        const size_t captured = enhanced ? word(&m_block[12])
                                         : std::min<size_t>(word(&m_block[0]), body - fixed);
        if (captured > body - fixed
            || !parseSocketCan(&m_block[fixed], captured, frame))
            return false;
        if (!enhanced)
            return true;
        const Interface &interface = m_interfaces[index];
        const uint64_t stamp = uint64_t(word(&m_block[4])) << 32 | word(&m_block[8]);
        const uint64_t units = std::max<uint64_t>(interface.unitsPerSecond, 1);
        const int64_t fraction = int64_t((unsigned __int128)(stamp % units) * 1'000'000
                                         / units);
        // A stamp or offset beyond any clock is damage: the packet is skipped rather than
        // given a time that wrapped around.
        int64_t seconds = 0;
        int64_t us = 0;
        if (stamp / units > uint64_t(INT64_MAX)
            || __builtin_add_overflow(int64_t(stamp / units), interface.offsetSeconds, &seconds)
            || __builtin_mul_overflow(seconds, int64_t(1'000'000), &us)
            || __builtin_add_overflow(us, fraction, &frame.timestampUs))
            return false;
        forOptions(fixed + ((captured + 3) & ~size_t(3)), body,
                   [&](uint16_t code, const uint8_t *value, uint16_t length) {
                       if (code == 2 && length >= 4)
                           frame.tx = (word(value) & 3) == 2;
                   });
        return true;
    }

    std::vector<uint8_t> m_block;
    std::vector<Interface> m_interfaces;
    bool m_swapped = false;
};

// ---- BLF ------------------------------------------------------------------------------

constexpr uint32_t blfCanMessage = 1;
constexpr uint32_t blfLogContainer = 10;
constexpr uint32_t blfCanErrorExt = 73;
constexpr uint32_t blfCanMessage2 = 86;
constexpr uint32_t blfCanFdMessage = 100;
constexpr uint32_t blfCanFdMessage64 = 101;
constexpr uint32_t blfExtendedId = 0x80000000u;
constexpr size_t blfFileHeaderSize = 144;
constexpr size_t blfHeaderFields = 72;
constexpr size_t blfContainerSize = 128 * 1024;
// Containers of other writers hold about 128 KiB; anything far beyond is damage.
constexpr uint32_t maxContainer = 16 * 1024 * 1024;
constexpr uint32_t maxInnerObject = 1024 * 1024;
// Containers are unpacked a step at a time: a cancel is seen between steps, and one that
// inflates to 16 MiB of nothing costs the memory of a step.
constexpr size_t blfUnpackStep = 256 * 1024;

int64_t fromSystemTime(const uint8_t *p)
{
    const int64_t seconds = fromLocalTime(le16(p), le16(p + 2), le16(p + 6), le16(p + 8),
                                          le16(p + 10), le16(p + 12));
    const int milliseconds = le16(p + 14);
    if (seconds < 0 || milliseconds > 999)
        return 0;
    return seconds * 1'000'000 + milliseconds * 1000;
}

void putSystemTime(std::string &out, int64_t us)
{
    if (us <= 0) {
        out.append(16, '\0');
        return;
    }
    const int64_t seconds = floorDiv(us, 1'000'000);
    const std::tm t = localTime(seconds);
    put16(out, uint16_t(t.tm_year + 1900));
    put16(out, uint16_t(t.tm_mon + 1));
    put16(out, uint16_t(t.tm_wday));
    put16(out, uint16_t(t.tm_mday));
    put16(out, uint16_t(t.tm_hour));
    put16(out, uint16_t(t.tm_min));
    put16(out, uint16_t(t.tm_sec));
    put16(out, uint16_t((us - seconds * 1'000'000) / 1000));
}

class BlfReader : public Reader
{
public:
    BlfReader(int fd, uint64_t size) : Reader(fd, size)
    {
        uint8_t header[blfHeaderFields];
        if (!readExact(header, sizeof header) || std::memcmp(header, "LOGG", 4) != 0) {
            m_error = "not a BLF file";
            return;
        }
        const uint32_t headerSize = le32(header + 4);
        if (headerSize < blfHeaderFields || headerSize > 65536) {
            m_error = "damaged BLF file header";
            return;
        }
        m_startUs = fromSystemTime(header + 40);
        std::vector<uint8_t> rest(headerSize - blfHeaderFields);
        if (!readExact(rest.data(), rest.size()))
            m_error = "damaged BLF file header";
    }

    ~BlfReader() override
    {
        if (m_zipReady)
            inflateEnd(&m_zip);
    }

    bool next(Frame &frame) override
    {
        for (;;) {
            if (stopRequested())
                return false;
            if (parseInner(frame) == Inner::Frame)
                return true;
            if (stopRequested() || (!unpackStep() && !readOuter()))
                return false;
        }
    }

private:
    enum class Inner { Frame, NeedMore };
    enum class Unpacking { None, Stored, Deflated };

    Inner parseInner(Frame &frame)
    {
        for (unsigned int looked = 1;; ++looked) {
            // Megabytes of objects that are no frames take a while too.
            if (looked % 65536 == 0 && stopRequested())
                return Inner::NeedMore;
            const size_t available = m_data.size() - m_pos;
            if (available < 16) {
                compact();
                return Inner::NeedMore;
            }
            const uint8_t *p = m_data.data() + m_pos;
            size_t lead = 0;
            while (lead < 8 && lead + 4 <= available && std::memcmp(p + lead, "LOBJ", 4) != 0)
                ++lead;
            if (lead + 4 > available) {
                compact();
                return Inner::NeedMore;
            }
            if (lead == 8) {
                // Not padding but damage: look for the next object. Damage that goes on
                // over several steps of unpacking counts once.
                if (!m_inDamage)
                    ++m_skipped;
                m_inDamage = true;
                const uint8_t *begin = p + 1;
                const uint8_t *end = m_data.data() + m_data.size();
                const uint8_t *found = std::search(begin, end, "LOBJ", "LOBJ" + 4);
                m_pos = size_t(std::min(found, end - 3) - m_data.data());
                continue;
            }
            m_inDamage = false;
            m_pos += lead;
            p += lead;
            if (m_data.size() - m_pos < 16) {
                compact();
                return Inner::NeedMore;
            }
            const uint16_t headerSize = le16(p + 4);
            const uint16_t headerVersion = le16(p + 6);
            const uint32_t objectSize = le32(p + 8);
            const uint32_t type = le32(p + 12);
            if (objectSize < 32 || objectSize > maxInnerObject) {
                ++m_skipped;
                m_pos += 4;
                continue;
            }
            if (m_data.size() - m_pos < objectSize) {
                compact();
                return Inner::NeedMore;
            }
            m_pos += objectSize;
            if (decode(p, headerSize, headerVersion, objectSize, type, frame))
                return Inner::Frame;
        }
    }

    bool decode(const uint8_t *p, uint16_t headerSize, uint16_t version, uint32_t size,
                uint32_t type, Frame &frame)
    {
        const bool known = type == blfCanMessage || type == blfCanMessage2
                || type == blfCanErrorExt || type == blfCanFdMessage
                || type == blfCanFdMessage64;
        if (!known)
            return false; // markers, statistics, texts: no frames
        const size_t fixed = version == 2 ? 40 : 32;
        if ((version != 1 && version != 2) || size < fixed + 16) {
            ++m_skipped;
            return false;
        }
        const size_t offset = headerSize >= fixed && headerSize + 16u <= size ? headerSize
                                                                            : fixed;
        const uint32_t flags = le32(p + 16);
        const uint64_t stamp = le64(p + 24);
        frame = Frame();
        // Flag 1: the stamp counts 10 µs steps; otherwise nanoseconds.
        const uint64_t us = flags == 1 ? stamp * 10 : stamp / 1000 + (stamp % 1000 >= 500);
        if ((flags == 1 && stamp > uint64_t(INT64_MAX) / 10)
            || __builtin_add_overflow(m_startUs, int64_t(us), &frame.timestampUs)) {
            ++m_skipped;
            return false;
        }
        const uint8_t *d = p + offset;
        const size_t left = size - offset;
        uint32_t id = 0;
        if (type == blfCanMessage || type == blfCanMessage2) {
            frame.tx = d[2] & 0x01;
            frame.remote = d[2] & 0x80;
            frame.dlc = std::min<uint8_t>(d[3], 8);
            id = le32(d + 4);
            if (!frame.remote)
                std::memcpy(frame.data, d + 8, frame.dlc);
        } else if (type == blfCanErrorExt) {
            if (left < 32) {
                ++m_skipped;
                return false;
            }
            frame.error = true;
            frame.dlc = std::min<uint8_t>(d[10], 8);
            id = le32(d + 16);
            std::memcpy(frame.data, d + 24, frame.dlc);
        } else if (type == blfCanFdMessage) {
            // channel (2), flags, length code, identifier, frame length (4), bit count,
            // FD flags, valid data bytes, 5 reserved, 64 data bytes.
            if (left < 20 + 64 || d[3] > 15 || d[14] > 64) {
                ++m_skipped;
                return false;
            }
            frame.tx = d[2] & 0x01;
            frame.fd = d[13] & 0x1;
            if (!takeLength(frame, d[3], d[14], d + 20, d[2] & 0x80, d[13] & 0x2, d[13] & 0x4))
                return false;
            id = le32(d + 4);
        } else {
            // channel, length code, valid data bytes, transmission count, identifier,
            // frame length, flags, two bit timings, two time offsets, bit count,
            // direction, data offset, CRC (40 bytes), then the data.
            if (left < 40 || d[1] > 15 || d[2] > 64 || left < 40u + d[2]) {
                ++m_skipped;
                return false;
            }
            const uint32_t flags = le32(d + 12);
            frame.tx = d[34] != 0;
            frame.fd = flags & 0x1000;
            if (!takeLength(frame, d[1], d[2], d + 40, flags & 0x10, flags & 0x2000,
                            flags & 0x4000))
                return false;
            id = le32(d + 4);
        }
        frame.extended = id & blfExtendedId;
        if (frame.error) {
            frame.id = id & effMask;
            return true;
        }
        // Masked, an identifier beyond its format would show as some other frame.
        frame.id = id & ~blfExtendedId;
        if (frame.id > (frame.extended ? effMask : sffMask)) {
            ++m_skipped;
            return false;
        }
        return true;
    }

    // The length and data of an FD object, which may hold a classic frame too; false, and
    // counted, for lengths that contradict each other.
    bool takeLength(Frame &frame, uint8_t code, uint8_t valid, const uint8_t *data,
                    bool remote, bool brs, bool esi)
    {
        const unsigned int length = frame.fd ? fdCodeLength(code) : code;
        if ((frame.fd && remote) || (!frame.fd && code > 8) || (!remote && valid < length)) {
            ++m_skipped;
            return false;
        }
        frame.remote = remote;
        frame.brs = frame.fd && brs;
        frame.esi = frame.fd && esi;
        frame.dlc = uint8_t(length);
        if (!remote)
            std::memcpy(frame.data, data, length);
        return true;
    }

    void compact()
    {
        m_data.erase(m_data.begin(), m_data.begin() + long(m_pos));
        m_pos = 0;
        // An object that never completes must not make the tail grow without end.
        if (m_data.size() > maxInnerObject + maxContainer)
            m_data.clear();
    }

    bool readOuter()
    {
        uint8_t header[16];
        for (;;) {
            if (!readExact(header, sizeof header))
                return false;
            if (std::memcmp(header, "LOBJ", 4) != 0) {
                ++m_skipped;
                if (!resync(header))
                    return false;
                continue;
            }
            const uint32_t size = le32(header + 8);
            const uint32_t type = le32(header + 12);
            if (size < 16 || size - 16 > maxContainer) {
                ++m_skipped;
                if (!resync(header))
                    return false;
                continue;
            }
            m_payload.resize(size - 16);
            if (!readExact(m_payload.data(), m_payload.size())) {
                ++m_skipped;
                return false;
            }
            uint8_t padding[4];
            if (size % 4)
                readSome(padding, size % 4);
            if (type != blfLogContainer) {
                // An object outside any container, as older writers left them.
                m_data.insert(m_data.end(), header, header + 16);
                m_data.insert(m_data.end(), m_payload.begin(), m_payload.end());
                return true;
            }
            if (unpack())
                return true;
            ++m_skipped;
        }
    }

    // After damage at the outer level: continue at the next "LOBJ", which may start
    // inside the bytes just read.
    bool resync(const uint8_t *header)
    {
        for (int i = 1; i <= 12; ++i) {
            if (std::memcmp(header + i, "LOBJ", 4) == 0) {
                m_pushed.assign(header + i, header + 16);
                return true;
            }
        }
        return skipTo("LOBJ", 4);
    }

    bool readExact(uint8_t *buffer, size_t size)
    {
        size_t done = 0;
        if (!m_pushed.empty()) {
            done = std::min(size, m_pushed.size());
            std::memcpy(buffer, m_pushed.data(), done);
            m_pushed.erase(m_pushed.begin(), m_pushed.begin() + long(done));
        }
        return done == size || Reader::readExact(buffer + done, size - done);
    }

    // Opens a container for unpackStep(); false for one that cannot be read.
    bool unpack()
    {
        if (m_payload.size() < 16)
            return false;
        const uint16_t method = le16(m_payload.data());
        const uint32_t uncompressed = le32(m_payload.data() + 8);
        m_unpackAt = 16;
        if (method == 0) {
            m_unpacking = Unpacking::Stored;
            return true;
        }
        if (method != 2 || uncompressed > maxContainer)
            return false;
        if (!m_zipReady) {
            m_zip = z_stream();
            if (inflateInit(&m_zip) != Z_OK)
                return false;
            m_zipReady = true;
        } else if (inflateReset(&m_zip) != Z_OK) {
            return false;
        }
        m_zip.next_in = m_payload.data() + 16;
        m_zip.avail_in = uInt(m_payload.size() - 16);
        m_unpackLeft = uncompressed;
        m_unpacking = Unpacking::Deflated;
        return true;
    }

    // Appends the next step of the open container to m_data; false when none is open.
    // A container yields what it holds up to damage, and never more than it declares.
    bool unpackStep()
    {
        if (m_unpacking == Unpacking::None)
            return false;
        if (m_unpacking == Unpacking::Stored) {
            const size_t n = std::min(blfUnpackStep, m_payload.size() - m_unpackAt);
            m_data.insert(m_data.end(), m_payload.begin() + long(m_unpackAt),
                          m_payload.begin() + long(m_unpackAt + n));
            m_unpackAt += n;
            if (m_unpackAt >= m_payload.size())
                m_unpacking = Unpacking::None;
            return true;
        }
        const size_t step = std::min<size_t>(blfUnpackStep, m_unpackLeft);
        // With the declared size reached, one byte more would be one too many.
        uint8_t beyond = 0;
        const size_t old = m_data.size();
        m_data.resize(old + step);
        m_zip.next_out = step ? m_data.data() + old : &beyond;
        m_zip.avail_out = step ? uInt(step) : 1;
        const int result = inflate(&m_zip, Z_NO_FLUSH);
        const size_t produced = step ? step - m_zip.avail_out : 0;
        m_data.resize(old + produced);
        m_unpackLeft -= produced;
        const bool ended = result == Z_STREAM_END && (step > 0 || m_zip.avail_out == 1);
        if (ended || result != Z_OK || step == 0) {
            if (!ended)
                ++m_skipped;
            m_unpacking = Unpacking::None;
        }
        return true;
    }

    std::vector<uint8_t> m_data;
    size_t m_pos = 0;
    std::vector<uint8_t> m_payload;
    std::vector<uint8_t> m_pushed;
    int64_t m_startUs = 0;
    Unpacking m_unpacking = Unpacking::None;
    size_t m_unpackAt = 0;
    size_t m_unpackLeft = 0;
    z_stream m_zip = {};
    bool m_zipReady = false;
    bool m_inDamage = false;
};

class BlfWriter : public Writer
{
public:
    explicit BlfWriter(int fd) : Writer(fd)
    {
        m_uncompressed = blfFileHeaderSize;
        const std::string header = fileHeader();
        append(header.data(), header.size());
    }

protected:
    void encode(const Frame &frame) override
    {
        if (m_startUs == 0)
            m_startUs = std::max<int64_t>(floorDiv(frame.timestampUs, 1000) * 1000, 1);
        m_stopUs = frame.timestampUs;
        const int64_t offset = std::max<int64_t>(frame.timestampUs - m_startUs, 0);
        const bool fd = frame.fd && !frame.error;
        const uint8_t fdLength = std::min<uint8_t>(frame.dlc, 64);
        // Objects stay 4-byte aligned: the padding belongs to the FD object.
        const uint32_t dataSize = 16 + (fd ? 40 + ((fdLength + 3u) & ~3u)
                                           : frame.error ? 32 : 16);
        m_pending += "LOBJ";
        put16(m_pending, 32);
        put16(m_pending, 1);
        put32(m_pending, dataSize + 16);
        put32(m_pending, fd ? blfCanFdMessage64 : frame.error ? blfCanErrorExt : blfCanMessage);
        put32(m_pending, 2); // time stamps in nanoseconds
        put16(m_pending, 0);
        put16(m_pending, 0);
        put64(m_pending, uint64_t(offset) * 1000);
        const uint8_t dlc = std::min<uint8_t>(frame.dlc, 8);
        if (fd) {
            m_pending += char(1);
            m_pending += char(fdLengthCode(fdLength));
            m_pending += char(fdLength);
            m_pending += '\0';
            put32(m_pending, (frame.id & (frame.extended ? effMask : sffMask))
                                 | (frame.extended ? blfExtendedId : 0));
            put32(m_pending, 0);
            put32(m_pending, 0x1000u | (frame.brs ? 0x2000u : 0) | (frame.esi ? 0x4000u : 0));
            m_pending.append(18, '\0'); // bit timings, time offsets, bit count
            m_pending += char(frame.tx ? 1 : 0);
            m_pending += '\0';
            put32(m_pending, 0);
            m_pending.append(reinterpret_cast<const char *>(frame.data), fdLength);
            m_pending.append(((fdLength + 3u) & ~3u) - fdLength, '\0');
        } else if (frame.error) {
            put16(m_pending, 1);
            put16(m_pending, 0);
            put32(m_pending, 0);
            m_pending += '\0';
            m_pending += '\0';
            m_pending += char(8);
            m_pending += '\0';
            put32(m_pending, 0);
            put32(m_pending, frame.id & effMask);
            put32(m_pending, 0);
            m_pending.append(reinterpret_cast<const char *>(frame.data), 8);
        } else {
            put16(m_pending, 1);
            m_pending += char((frame.tx ? 0x01 : 0) | (frame.remote ? 0x80 : 0));
            m_pending += char(dlc);
            put32(m_pending, (frame.id & (frame.extended ? effMask : sffMask))
                                 | (frame.extended ? blfExtendedId : 0));
            for (int i = 0; i < 8; ++i)
                m_pending += char(i < dlc && !frame.remote ? frame.data[i] : 0);
        }
        ++m_objects;
    }

    bool commit() override
    {
        if (m_pending.empty())
            return Writer::commit();
        size_t start = 0;
        while (start < m_pending.size()) {
            size_t end = start;
            while (end < m_pending.size()) {
                const size_t size = le32(reinterpret_cast<const uint8_t *>(&m_pending[end + 8]));
                if (end + size - start > blfContainerSize && end > start)
                    break;
                end += size;
            }
            if (!writeContainer(m_pending.data() + start, end - start))
                return false;
            start = end;
        }
        m_pending.clear();
        const std::string header = fileHeader();
        return writeAt(0, header.data(), header.size());
    }

private:
    bool writeContainer(const char *data, size_t size)
    {
        uLongf bound = compressBound(uLong(size));
        m_compressed.resize(bound);
        // The fastest level: it costs a third of the default's time for files some 13 %
        // larger, and the compression was most of a save's and a recording's work.
        if (compress2(reinterpret_cast<Bytef *>(&m_compressed[0]), &bound,
                      reinterpret_cast<const Bytef *>(data), uLong(size), Z_BEST_SPEED)
            != Z_OK)
            return fail("compression failed");
        std::string object;
        const uint32_t objectSize = uint32_t(16 + 16 + bound);
        object += "LOBJ";
        put16(object, 16);
        put16(object, 1);
        put32(object, objectSize);
        put32(object, blfLogContainer);
        put16(object, 2);
        object.append(6, '\0');
        put32(object, uint32_t(size));
        object.append(4, '\0');
        object.append(m_compressed.data(), bound);
        object.append(objectSize % 4, '\0');
        if (!append(object.data(), object.size()))
            return false;
        m_uncompressed += 32 + size;
        m_committedObjects = m_objects;
        return true;
    }

    std::string fileHeader() const
    {
        std::string header = "LOGG";
        put32(header, blfFileHeaderSize);
        header += char(0);
        header.append(3, '\0');
        header += char(2);
        header += char(6);
        header += char(8);
        header += char(1);
        put64(header, m_fileSize);
        put64(header, m_uncompressed);
        put32(header, uint32_t(m_committedObjects));
        put32(header, 0);
        putSystemTime(header, m_startUs);
        putSystemTime(header, m_stopUs);
        header.resize(blfFileHeaderSize, '\0');
        return header;
    }

    std::string m_compressed;
    int64_t m_startUs = 0;
    int64_t m_stopUs = 0;
    uint64_t m_uncompressed = 0;
    uint64_t m_objects = 0;
    uint64_t m_committedObjects = 0;
};

} // namespace

std::unique_ptr<Reader> makePcapReader(int fd, uint64_t size)
{
    uint8_t magic[4] = {};
    if (::pread(fd, magic, sizeof magic, 0) == sizeof magic
        && le32(magic) == 0x0a0d0d0au)
        return std::make_unique<PcapngReader>(fd, size);
    return std::make_unique<PcapReader>(fd, size);
}

std::unique_ptr<Reader> makeBlfReader(int fd, uint64_t size)
{
    return std::make_unique<BlfReader>(fd, size);
}

std::unique_ptr<Writer> makePcapWriter(int fd)
{
    return std::make_unique<PcapWriter>(fd);
}

std::unique_ptr<Writer> makeBlfWriter(int fd)
{
    return std::make_unique<BlfWriter>(fd);
}

} // namespace trace
