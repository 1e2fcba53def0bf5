// The line-based formats: candump's log, ASC and the frame log's CSV.

#include "traceformats/traceformats.h"

#include "traceformats/framelogrow.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <vector>

namespace trace {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(std::string_view text, uint32_t &value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0)
            return false;
        value = value << 4 | uint32_t(digit);
    }
    return true;
}

bool parseDecimal(std::string_view text, int64_t &value)
{
    if (text.empty() || text.size() > 18)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// "seconds.fraction" to microseconds; digits past the sixth are dropped.
bool parseSeconds(std::string_view text, int64_t &us)
{
    const size_t dot = text.find('.');
    int64_t seconds = 0;
    if (!parseDecimal(text.substr(0, dot), seconds) || seconds > 9'000'000'000'000LL)
        return false;
    int64_t fraction = 0;
    if (dot != std::string_view::npos) {
        const std::string_view digits = text.substr(dot + 1);
        if (digits.empty() || digits.size() > 9)
            return false;
        for (size_t i = 0; i < 6; ++i) {
            const char c = i < digits.size() ? digits[i] : '0';
            if (c < '0' || c > '9')
                return false;
            fraction = fraction * 10 + (c - '0');
        }
        for (size_t i = 6; i < digits.size(); ++i) {
            if (digits[i] < '0' || digits[i] > '9')
                return false;
        }
    }
    us = seconds * 1'000'000 + fraction;
    return true;
}

// Into `fields`, whose strings are reused: a reader splits millions of lines.
void split(const std::string &line, char separator, std::vector<std::string> &fields)
{
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        while (separator == ' ' && start < line.size()
               && (line[start] == ' ' || line[start] == '\t'))
            ++start;
        if (start >= line.size())
            break;
        size_t end = start;
        while (end < line.size() && line[end] != separator
               && !(separator == ' ' && line[end] == '\t'))
            ++end;
        if (count == fields.size())
            fields.emplace_back();
        fields[count++].assign(line, start, end - start);
        if (end >= line.size())
            break;
        start = end + 1;
        if (separator != ' ' && start == line.size())
            break;
    }
    fields.resize(count);
}

// Two hex digits per byte, optionally separated by dots, at most `most` bytes.
bool parseBytes(std::string_view text, Frame &frame, size_t most = 8)
{
    size_t count = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '.') {
            ++i;
            continue;
        }
        if (count == most || i + 1 >= text.size())
            return false;
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        frame.data[count++] = uint8_t(high << 4 | low);
        i += 2;
    }
    frame.dlc = uint8_t(count);
    return true;
}

void appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string &out, const char *format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n > 0)
        out.append(buffer, std::min<size_t>(size_t(n), sizeof buffer - 1));
}

// Floor division keeps times before 1970 and negative offsets in the right second.
int64_t floorDiv(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

} // namespace

bool parseCandumpFrame(std::string_view text, Frame &frame)
{
    const size_t hash = text.find('#');
    if (hash == std::string_view::npos)
        return false;
    // Three digits are a standard identifier, eight an extended one or an error event; any
    // other width, a standard value beyond 11 bits or flag bits other than the error flag
    // alone would have to be guessed at, and a guess rewrites the identifier.
    uint32_t id = 0;
    if ((hash != 3 && hash != 8) || !parseHex(text.substr(0, hash), id))
        return false;
    frame.extended = hash == 8;
    frame.error = false;
    if (frame.extended && (id & ~effMask) == errFlag) {
        frame.error = true;
        frame.extended = false;
    } else if (id > (frame.extended ? effMask : sffMask)) {
        return false;
    }
    frame.id = id & effMask;
    const std::string_view data = text.substr(hash + 1);
    if (!data.empty() && data[0] == '#' && !frame.error) {
        // 123##<flags><data>: the flags digit carries BRS (1) and ESI (2).
        const int flags = data.size() >= 2 ? hexDigit(data[1]) : -1;
        if (flags < 0 || !parseBytes(data.substr(2), frame, 64))
            return false;
        frame.fd = true;
        frame.brs = flags & 1;
        frame.esi = flags & 2;
        return true;
    }
    if (!data.empty() && (data[0] == 'R' || data[0] == 'r') && !frame.error) {
        frame.remote = true;
        if (data.size() > 2)
            return false;
        if (data.size() == 2) {
            const int dlc = hexDigit(data[1]);
            if (dlc < 0 || dlc > 8)
                return false;
            frame.dlc = uint8_t(dlc);
        }
        return true;
    }
    return parseBytes(data, frame);
}

namespace {

// ---- candump log -------------------------------------------------------------------

class CandumpReader : public Reader
{
public:
    CandumpReader(int fd, uint64_t size) : Reader(fd, size) {}

    bool next(Frame &frame) override
    {
        while (readLine(m_line)) {
            split(m_line, ' ', m_fields);
            const std::vector<std::string> &fields = m_fields;
            if (fields.empty() || fields[0][0] == '#')
                continue;
            if (parse(fields, frame))
                return true;
            ++m_skipped;
        }
        return false;
    }

private:
    static bool parse(const std::vector<std::string> &fields, Frame &frame)
    {
        if (fields.size() < 3 || fields.size() > 4)
            return false;
        const std::string &stamp = fields[0];
        if (stamp.size() < 3 || stamp.front() != '(' || stamp.back() != ')')
            return false;
        frame = Frame();
        if (!parseSeconds(std::string_view(stamp).substr(1, stamp.size() - 2),
                          frame.timestampUs))
            return false;
        if (fields.size() == 4) {
            if (fields[3] == "T" || fields[3] == "t")
                frame.tx = true;
            else if (fields[3] != "R" && fields[3] != "r")
                return false;
        }
        if (!parseCandumpFrame(fields[2], frame))
            return false;
        // The library would refuse to send any other length; no bus carries it.
        return !frame.fd || isFdLength(frame.dlc);
    }

    std::string m_line;
    std::vector<std::string> m_fields;
};

class CandumpWriter : public Writer
{
public:
    explicit CandumpWriter(int fd) : Writer(fd) {}

protected:
    void encode(const Frame &frame) override
    {
        const int64_t seconds = floorDiv(frame.timestampUs, 1'000'000);
        appendf(m_pending, "(%010lld.%06lld) can0 ", static_cast<long long>(seconds),
                static_cast<long long>(frame.timestampUs - seconds * 1'000'000));
        if (frame.error)
            appendf(m_pending, "%08X#", unsigned((frame.id & effMask) | errFlag));
        else if (frame.extended)
            appendf(m_pending, "%08X#", unsigned(frame.id & effMask));
        else
            appendf(m_pending, "%03X#", unsigned(frame.id & sffMask));
        if (frame.fd && !frame.error) {
            appendf(m_pending, "#%X", (frame.brs ? 1u : 0u) | (frame.esi ? 2u : 0u));
            for (int i = 0; i < std::min<int>(frame.dlc, 64); ++i)
                appendf(m_pending, "%02X", frame.data[i]);
        } else if (frame.remote && !frame.error) {
            m_pending += 'R';
            if (frame.dlc > 0 && frame.dlc <= 8)
                m_pending += char('0' + frame.dlc);
        } else {
            const int count = frame.error ? 8 : std::min<int>(frame.dlc, 8);
            for (int i = 0; i < count; ++i)
                appendf(m_pending, "%02X", frame.data[i]);
        }
        if (!frame.error)
            m_pending += frame.tx ? " T" : " R";
        m_pending += '\n';
    }
};

// ---- ASC ------------------------------------------------------------------------------

const char *const weekdays[] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
const char *const months[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };

// "Mon Dec 07 04:47:32.123 pm 2026" in local time, with the English names whatever the
// locale, since the other tools parse English names.
std::string ascDate(int64_t us)
{
    const int64_t seconds = floorDiv(us, 1'000'000);
    const int milliseconds = int((us - seconds * 1'000'000) / 1000);
    const std::tm t = localTime(seconds);
    const int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s %s %02d %02d:%02d:%02d.%03d %s %d",
                  weekdays[t.tm_wday % 7], months[t.tm_mon % 12], t.tm_mday, hour12,
                  t.tm_min, t.tm_sec, milliseconds, t.tm_hour < 12 ? "am" : "pm",
                  t.tm_year + 1900);
    return buffer;
}

// The fields after the weekday of a "date" or "Begin Triggerblock" line: month, day,
// time with optional milliseconds, optional am/pm, year. -1 when unreadable.
int64_t parseAscDate(const std::vector<std::string> &fields, size_t first)
{
    if (fields.size() < first + 4)
        return -1;
    int month = -1;
    for (int i = 0; i < 12; ++i) {
        if (strncasecmp(fields[first].c_str(), months[i], 3) == 0)
            month = i + 1;
    }
    int64_t day = 0;
    if (month < 0 || !parseDecimal(fields[first + 1], day))
        return -1;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    const std::string &clock = fields[first + 2];
    int consumed = 0;
    if (std::sscanf(clock.c_str(), "%2d:%2d:%2d%n", &hour, &minute, &second, &consumed) < 3)
        return -1;
    if (clock[size_t(consumed)] == '.'
        && std::sscanf(clock.c_str() + consumed + 1, "%3d", &millisecond) != 1)
        return -1;
    size_t next = first + 3;
    if (strcasecmp(fields[next].c_str(), "am") == 0
        || strcasecmp(fields[next].c_str(), "pm") == 0) {
        if (hour < 1 || hour > 12)
            return -1;
        const bool pm = strcasecmp(fields[next].c_str(), "pm") == 0;
        hour = hour % 12 + (pm ? 12 : 0);
        ++next;
    }
    int64_t year = 0;
    if (next >= fields.size() || !parseDecimal(fields[next], year) || year > 9999)
        return -1;
    const int64_t seconds = fromLocalTime(int(year), month, int(day), hour, minute, second);
    if (seconds < 0)
        return -1;
    return seconds * 1'000'000 + millisecond * 1000;
}

class AscReader : public Reader
{
public:
    AscReader(int fd, uint64_t size) : Reader(fd, size) {}

    bool next(Frame &frame) override
    {
        while (readLine(m_line)) {
            split(m_line, ' ', m_fields);
            const std::vector<std::string> &fields = m_fields;
            if (fields.empty())
                continue;
            if (header(fields))
                continue;
            int64_t offset = 0;
            if (!parseSeconds(fields[0], offset))
                continue; // comments, statistics and other events carry no frame
            if (fields.size() < 2 || fields[1] == "Start" || fields[1] == "//")
                continue;
            if (fields[1] == "CANFD" ? parseFdFrame(fields, offset, frame)
                                     : parseFrame(fields, offset, frame))
                return true;
            ++m_skipped;
        }
        return false;
    }

private:
    bool header(const std::vector<std::string> &fields)
    {
        if (strcasecmp(fields[0].c_str(), "date") == 0) {
            const int64_t start = parseAscDate(fields, 2);
            if (start >= 0)
                m_startUs = start;
            return true;
        }
        if (fields[0] == "base" && fields.size() >= 2) {
            m_decimal = fields[1] == "dec";
            for (size_t i = 2; i + 1 < fields.size(); ++i) {
                if (fields[i] == "timestamps")
                    m_relative = fields[i + 1] == "relative";
            }
            return true;
        }
        if (strcasecmp(fields[0].c_str(), "begin") == 0 && fields.size() > 1
            && strcasecmp(fields[1].c_str(), "triggerblock") == 0) {
            const int64_t start = parseAscDate(fields, 3);
            if (start >= 0)
                m_startUs = start;
            m_previousUs = 0;
            return true;
        }
        return strcasecmp(fields[0].c_str(), "end") == 0;
    }

    bool number(const std::string &text, uint32_t &value) const
    {
        if (!m_decimal)
            return parseHex(text, value);
        int64_t decimal = 0;
        if (!parseDecimal(text, decimal) || decimal > 0xffffffffLL)
            return false;
        value = uint32_t(decimal);
        return true;
    }

    // An identifier in the file's base; a trailing x marks an extended one.
    bool parseId(std::string id, Frame &frame) const
    {
        if (!id.empty() && (id.back() == 'x' || id.back() == 'X')) {
            frame.extended = true;
            id.pop_back();
        }
        uint32_t value = 0;
        if (!number(id, value) || value > (frame.extended ? effMask : sffMask))
            return false;
        frame.id = value;
        return true;
    }

    // A far date with a far offset lies beyond any clock: such a line is refused rather
    // than given a time that wrapped around.
    bool frameTime(int64_t offset, int64_t &us)
    {
        if (m_relative) {
            if (__builtin_add_overflow(offset, m_previousUs, &offset))
                return false;
            m_previousUs = offset;
        }
        return !__builtin_add_overflow(m_startUs, offset, &us);
    }

    bool parseFrame(const std::vector<std::string> &fields, int64_t offset, Frame &frame)
    {
        frame = Frame();
        if (!frameTime(offset, frame.timestampUs))
            return false;
        if (fields.size() < 3)
            return false;
        if (fields[2] == "ErrorFrame") {
            frame.error = true;
            return true;
        }
        if (fields.size() < 5)
            return false;
        if (!parseId(fields[2], frame))
            return false;
        if (fields[3] == "Tx")
            frame.tx = true;
        else if (fields[3] != "Rx")
            return false;
        uint32_t dlc = 0;
        if (fields[4] == "r" || fields[4] == "R") {
            frame.remote = true;
            if (fields.size() > 5 && number(fields[5], dlc) && dlc <= 8)
                frame.dlc = uint8_t(dlc);
            return true;
        }
        if (fields[4] != "d" && fields[4] != "D")
            return false;
        if (fields.size() < 6 || !number(fields[5], dlc) || dlc > 8
            || fields.size() < 6 + dlc)
            return false;
        frame.dlc = uint8_t(dlc);
        for (uint32_t i = 0; i < dlc; ++i) {
            uint32_t byte = 0;
            if (!number(fields[6 + i], byte) || byte > 0xff)
                return false;
            frame.data[i] = uint8_t(byte);
        }
        return true;
    }

    // <time> CANFD <channel> <Rx|Tx> <id>[x] [<name>] <brs> <esi> <length code> <length>
    // <data bytes> <duration> <bits> <flags> <crc> ...; flags 0x1000 marks an FD frame
    // (a line without them counts as one), 0x10 a classic remote frame.
    bool parseFdFrame(const std::vector<std::string> &fields, int64_t offset, Frame &frame)
    {
        frame = Frame();
        if (!frameTime(offset, frame.timestampUs))
            return false;
        if (fields.size() < 5)
            return false;
        if (fields[3] == "Tx")
            frame.tx = true;
        else if (fields[3] != "Rx")
            return false;
        if (strncasecmp(fields[4].c_str(), "errorframe", 10) == 0) {
            frame.error = true;
            return true;
        }
        if (!parseId(fields[4], frame))
            return false;
        size_t at = 5;
        if (at < fields.size() && !(fields[at][0] >= '0' && fields[at][0] <= '9'))
            ++at; // the message's symbolic name
        uint32_t code = 0;
        int64_t length = 0;
        if (fields.size() < at + 4 || (fields[at] != "0" && fields[at] != "1")
            || (fields[at + 1] != "0" && fields[at + 1] != "1")
            || !number(fields[at + 2], code) || code > 15
            || !parseDecimal(fields[at + 3], length) || length > 64
            || fields.size() < at + 4 + size_t(length))
            return false;
        frame.brs = fields[at] == "1";
        frame.esi = fields[at + 1] == "1";
        const size_t data = at + 4;
        for (size_t i = 0; i < size_t(length); ++i) {
            uint32_t byte = 0;
            if (!number(fields[data + i], byte) || byte > 0xff)
                return false;
            frame.data[i] = uint8_t(byte);
        }
        uint32_t flags = 0x1000;
        const size_t flagsAt = data + size_t(length) + 2;
        if (flagsAt < fields.size() && !parseHex(fields[flagsAt], flags))
            return false;
        frame.fd = flags & 0x1000;
        if (frame.fd) {
            if (!isFdLength(unsigned(length)) || fdCodeLength(code) != length)
                return false;
            frame.dlc = uint8_t(length);
            return true;
        }
        frame.brs = frame.esi = false;
        frame.remote = flags & 0x10;
        if (code > 8 || (!frame.remote && length != code))
            return false;
        frame.dlc = uint8_t(code);
        return true;
    }

    std::string m_line;
    std::vector<std::string> m_fields;
    int64_t m_startUs = 0;
    int64_t m_previousUs = 0;
    bool m_decimal = false;
    bool m_relative = false;
};

class AscWriter : public Writer
{
public:
    explicit AscWriter(int fd) : Writer(fd) {}

protected:
    void encode(const Frame &frame) override
    {
        if (!m_started)
            start(frame.timestampUs);
        const int64_t offset = std::max<int64_t>(frame.timestampUs - m_startUs, 0);
        appendf(m_pending, "%4lld.%06lld ", static_cast<long long>(offset / 1'000'000),
                static_cast<long long>(offset % 1'000'000));
        if (!frame.fd || frame.error)
            m_pending += "1  ";
        if (frame.error) {
            m_pending += "ErrorFrame\n";
            return;
        }
        char id[16];
        if (frame.extended)
            std::snprintf(id, sizeof id, "%Xx", unsigned(frame.id & effMask));
        else
            std::snprintf(id, sizeof id, "%X", unsigned(frame.id & sffMask));
        if (frame.fd) {
            // The symbolic name is left empty; duration, bit count, CRC and bit timings
            // are not known here and written as 0.
            const unsigned int length = std::min<unsigned int>(frame.dlc, 64);
            appendf(m_pending, "CANFD %3d %-4s %9s %32s %d %d %x %2u", 1, frame.tx ? "Tx" : "Rx",
                    id, "", frame.brs ? 1 : 0, frame.esi ? 1 : 0, fdLengthCode(length), length);
            for (unsigned int i = 0; i < length; ++i)
                appendf(m_pending, " %02X", frame.data[i]);
            appendf(m_pending, " %8d %4d %8X %8d %8d %8d %8d %8d\n", 0, 0,
                    0x1000u | (frame.brs ? 0x2000u : 0) | (frame.esi ? 0x4000u : 0), 0, 0, 0,
                    0, 0);
            return;
        }
        const int dlc = std::min<int>(frame.dlc, 8);
        appendf(m_pending, "%-15s %-4s %s %X", id, frame.tx ? "Tx" : "Rx",
                frame.remote ? "r" : "d", unsigned(dlc));
        if (!frame.remote) {
            for (int i = 0; i < dlc; ++i)
                appendf(m_pending, " %02X", frame.data[i]);
        }
        m_pending += '\n';
    }

    bool finish() override
    {
        if (!m_started) {
            timespec now = {};
            clock_gettime(CLOCK_REALTIME, &now);
            start(int64_t(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000);
        }
        m_pending += "End TriggerBlock\n";
        return commit();
    }

private:
    // The header's date is the first frame's time to the millisecond, and frame times
    // count from it, so readers that add the two get every microsecond back.
    void start(int64_t us)
    {
        m_started = true;
        m_startUs = floorDiv(us, 1000) * 1000;
        const std::string date = ascDate(m_startUs);
        m_pending += "date " + date + "\n";
        m_pending += "base hex  timestamps absolute\n";
        m_pending += "internal events logged\n";
        m_pending += "Begin Triggerblock " + date + "\n";
        m_pending += "   0.000000 Start of measurement\n";
    }

    int64_t m_startUs = 0;
    bool m_started = false;
};

// ---- CSV of the frame log --------------------------------------------------------------

std::string csvHeader()
{
    std::string header;
    for (const char *name : logColumnNames) {
        header += name;
        header += ',';
    }
    return header;
}

class CsvReader : public Reader
{
public:
    CsvReader(int fd, uint64_t size) : Reader(fd, size) {}

    bool timeOfDayOnly() const override { return true; }

    bool next(Frame &frame) override
    {
        while (readLine(m_line)) {
            if (m_line.empty() || m_line.compare(0, m_header.size(), m_header) == 0)
                continue;
            split(m_line, ',', m_fields);
            if (parse(m_fields, frame))
                return true;
            ++m_skipped;
        }
        return false;
    }

private:
    static bool parse(const std::vector<std::string> &fields, Frame &frame)
    {
        if (fields.size() < 9)
            return false;
        frame = Frame();
        uint32_t id = 0;
        uint32_t dlc = 0;
        if (fields[1].compare(0, 2, "0x") != 0 || !parseHex(fields[1].substr(2), id)
            || fields[3].compare(0, 2, "0x") != 0 || !parseHex(fields[3].substr(2), dlc)
            || dlc > 64 || !isFdLength(dlc))
            return false;
        std::string bytes;
        for (char c : fields[2]) {
            if (c != ' ')
                bytes += c;
        }
        if (!parseBytes(bytes, frame, 64) || (dlc > 8 && frame.dlc != dlc))
            return false;
        frame.fd = dlc > 8;
        if (fields[8] == "扩展帧")
            frame.extended = true;
        else if (fields[8] != "标准帧")
            return false;
        if (id > (frame.extended ? effMask : sffMask))
            return false;
        frame.id = id;
        if (fields[7] == "远程帧") {
            frame.remote = true;
        } else if (fields[7].compare(0, 11, "FD数据帧") == 0) {
            // "FD数据帧", then " BRS" and " ESI" as the frame has them.
            const std::string rest = fields[7].substr(11);
            if (rest != "" && rest != " BRS" && rest != " ESI" && rest != " BRS ESI")
                return false;
            frame.fd = true;
            frame.brs = rest.find("BRS") != std::string::npos;
            frame.esi = rest.find("ESI") != std::string::npos;
        } else if (fields[7] != "数据帧") {
            return false;
        }
        if (frame.remote || frame.dlc < dlc)
            std::fill(frame.data + frame.dlc, frame.data + 8, 0);
        frame.dlc = uint8_t(dlc);
        if (fields[4] == "发送")
            frame.tx = true;
        else if (fields[4] != "接收")
            return false;
        if (fields[5] == "失败")
            frame.success = false;
        else if (fields[5] != "成功")
            return false;
        int hour = 0, minute = 0, second = 0, millisecond = 0;
        char end = 0;
        if (std::sscanf(fields[6].c_str(), "%2d:%2d:%2d:%3d%c", &hour, &minute, &second,
                        &millisecond, &end) != 4
            || hour > 23 || minute > 59 || second > 59 || hour < 0 || minute < 0
            || second < 0 || millisecond < 0)
            return false;
        frame.timestampUs = ((hour * 3600LL + minute * 60 + second) * 1000 + millisecond)
                * 1000;
        return true;
    }

    const std::string m_header = csvHeader();
    std::string m_line;
    std::vector<std::string> m_fields;
};

class CsvWriter : public Writer
{
public:
    explicit CsvWriter(int fd) : Writer(fd)
    {
        m_pending += csvHeader();
        m_pending += '\n';
    }

protected:
    bool keepsRefused() const override { return true; }

    void encode(const Frame &frame) override
    {
        const int64_t seconds = floorDiv(frame.timestampUs, 1'000'000);
        const std::tm t = localTime(seconds);
        const int milliseconds = int((frame.timestampUs - seconds * 1'000'000) / 1000);
        LogRow row;
        row.number = int64_t(++m_index);
        row.id = frame.id;
        row.data = frame.data;
        row.size = frame.remote ? 0 : std::min<int>(frame.dlc, frame.fd ? 64 : 8);
        row.dlc = frame.dlc;
        row.tx = frame.tx;
        row.success = frame.success;
        row.remote = frame.remote;
        row.extended = frame.extended;
        row.fd = frame.fd;
        row.brs = frame.brs;
        row.esi = frame.esi;
        row.timeMs = ((t.tm_hour * 60 + t.tm_min) * 60 + t.tm_sec) * 1000 + milliseconds;
        char line[maxLogRowBytes];
        m_pending.append(line, size_t(writeLogRow(line, row) - line));
    }

private:
    uint64_t m_index = 0;
};

} // namespace

std::tm localTime(int64_t seconds)
{
    const time_t value = time_t(seconds);
    std::tm result = {};
    localtime_r(&value, &result);
    return result;
}

int64_t fromLocalTime(int year, int month, int day, int hour, int minute, int second)
{
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23
        || minute > 59 || second > 60)
        return -1;
    std::tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    const time_t value = mktime(&t);
    return value == time_t(-1) ? -1 : int64_t(value);
}

std::unique_ptr<Reader> makeCandumpReader(int fd, uint64_t size)
{
    return std::make_unique<CandumpReader>(fd, size);
}

std::unique_ptr<Reader> makeAscReader(int fd, uint64_t size)
{
    return std::make_unique<AscReader>(fd, size);
}

std::unique_ptr<Reader> makeCsvReader(int fd, uint64_t size)
{
    return std::make_unique<CsvReader>(fd, size);
}

std::unique_ptr<Writer> makeCandumpWriter(int fd)
{
    return std::make_unique<CandumpWriter>(fd);
}

std::unique_ptr<Writer> makeAscWriter(int fd)
{
    return std::make_unique<AscWriter>(fd);
}

std::unique_ptr<Writer> makeCsvWriter(int fd)
{
    return std::make_unique<CsvWriter>(fd);
}

} // namespace trace
