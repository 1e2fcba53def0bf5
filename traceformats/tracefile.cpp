#include "traceformats/tracefile.h"
#include "traceformats/traceformats.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trace {

bool isFdLength(unsigned int length)
{
    return length <= 8 || length == 12 || length == 16 || length == 20 || length == 24
        || length == 32 || length == 48 || length == 64;
}

unsigned int fdLengthCode(unsigned int length)
{
    static constexpr unsigned int lengths[] = {12, 16, 20, 24, 32, 48, 64};
    if (length <= 8)
        return length;
    for (unsigned int code = 0; code < 7; ++code) {
        if (length <= lengths[code])
            return 9 + code;
    }
    return 15;
}

unsigned int fdCodeLength(unsigned int code)
{
    static constexpr unsigned int lengths[] = {12, 16, 20, 24, 32, 48, 64};
    return code <= 8 ? code : lengths[std::min(code, 15u) - 9];
}

namespace {

// Longer lines are no frame of any text format; bounding them keeps a file without line
// ends (random bytes, a disk image) from growing the buffer.
constexpr size_t maxLine = 4096;
constexpr size_t readChunk = 256 * 1024;
// Encoded frames are moved to the file in blocks of about this size.
constexpr size_t commitSize = 256 * 1024;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

Format sniff(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Format::Unknown;
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got <= 0)
        return Format::Unknown;
    const std::string head(buffer, size_t(got));
    if (startsWith(head, "LOGG"))
        return Format::Blf;
    static const char *const pcapMagics[] = { "\xd4\xc3\xb2\xa1", "\xa1\xb2\xc3\xd4",
                                              "\x4d\x3c\xb2\xa1", "\xa1\xb2\x3c\x4d",
                                              "\x0a\x0d\x0d\x0a" };
    for (const char *magic : pcapMagics) {
        if (head.compare(0, 4, magic, 4) == 0)
            return Format::Pcap;
    }
    const size_t first = head.find_first_not_of(" \t\r\n\v\f");
    const std::string text = first == std::string::npos ? std::string() : head.substr(first);
    if (startsWith(text, "序号,"))
        return Format::Csv;
    if (startsWith(text, "(") && text.size() > 1 && std::isdigit(uint8_t(text[1])))
        return Format::CandumpLog;
    if (startsWith(text, "date ") || startsWith(text, "base ")
        || head.find("Begin Triggerblock") != std::string::npos
        || head.find("Begin TriggerBlock") != std::string::npos)
        return Format::Asc;
    return Format::Unknown;
}

} // namespace

Format formatForFile(const std::string &path)
{
    const Format named = formatForPath(path);
    return named != Format::Unknown ? named : sniff(path);
}

Format formatForPath(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return Format::Unknown;
    const std::string extension = lower(path.substr(dot + 1));
    for (Format format : { Format::CandumpLog, Format::Asc, Format::Pcap, Format::Blf,
                           Format::Csv }) {
        if (extension == extensionOf(format))
            return format;
    }
    return Format::Unknown;
}

const char *extensionOf(Format format)
{
    switch (format) {
    case Format::CandumpLog: return "log";
    case Format::Asc: return "asc";
    case Format::Pcap: return "pcap";
    case Format::Blf: return "blf";
    case Format::Csv: return "csv";
    case Format::Unknown: break;
    }
    return "";
}

std::unique_ptr<Reader> Reader::open(const std::string &path, Format format,
                                     std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = "not a regular file";
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<Reader> reader;
    const uint64_t size = uint64_t(info.st_size);
    switch (format) {
    case Format::CandumpLog: reader = makeCandumpReader(fd, size); break;
    case Format::Asc: reader = makeAscReader(fd, size); break;
    case Format::Pcap: reader = makePcapReader(fd, size); break;
    case Format::Blf: reader = makeBlfReader(fd, size); break;
    case Format::Csv: reader = makeCsvReader(fd, size); break;
    case Format::Unknown:
        ::close(fd);
        *error = "unknown file type";
        return nullptr;
    }
    if (!reader->m_error.empty()) {
        *error = reader->m_error;
        return nullptr;
    }
    return reader;
}

Reader::Reader(int fd, uint64_t totalBytes) : m_fd(fd), m_totalBytes(totalBytes) {}

Reader::~Reader()
{
    ::close(m_fd);
}

long Reader::readSome(void *buffer, size_t size)
{
    auto out = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        if (m_pos >= m_buffer.size() && !fill())
            break;
        const size_t n = std::min(size - done, m_buffer.size() - m_pos);
        std::memcpy(out + done, m_buffer.data() + m_pos, n);
        m_pos += n;
        done += n;
    }
    if (done < size && !m_error.empty())
        return -1;
    return long(done);
}

bool Reader::skipTo(const char *pattern, size_t length)
{
    for (;;) {
        const size_t found = m_buffer.find(pattern, m_pos, length);
        if (found != std::string::npos) {
            m_pos = found;
            return true;
        }
        if (m_buffer.size() - m_pos >= length)
            m_pos = m_buffer.size() - (length - 1);
        if (!fill())
            return false;
    }
}

bool Reader::readExact(void *buffer, size_t size)
{
    return readSome(buffer, size) == long(size);
}

bool Reader::stopRequested()
{
    if (!m_cancelled && m_cancelFlag && m_cancelFlag->load(std::memory_order_relaxed))
        m_cancelled = true;
    return m_cancelled;
}

// Every format reads through here, one chunk at a time, so a cancel is seen at least once
// a chunk however the format loops over what it reads.
bool Reader::fill()
{
    if (m_eof || stopRequested())
        return false;
    m_buffer.erase(0, m_pos);
    m_pos = 0;
    const size_t old = m_buffer.size();
    m_buffer.resize(old + readChunk);
    ssize_t n;
    do {
        n = ::read(m_fd, &m_buffer[old], readChunk);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        m_error = std::strerror(errno);
    if (n <= 0) {
        m_buffer.resize(old);
        m_eof = true;
        return false;
    }
    m_buffer.resize(old + size_t(n));
    m_bytesRead += uint64_t(n);
    return true;
}

bool Reader::readLine(std::string &line)
{
    bool tooLong = false;
    for (;;) {
        const size_t end = m_buffer.find('\n', m_pos);
        if (end != std::string::npos) {
            if (tooLong) {
                ++m_skipped;
                m_pos = end + 1;
                tooLong = false;
                continue;
            }
            size_t length = end - m_pos;
            if (length > 0 && m_buffer[m_pos + length - 1] == '\r')
                --length;
            if (length > maxLine) {
                ++m_skipped;
                m_pos = end + 1;
                continue;
            }
            line.assign(m_buffer, m_pos, length);
            m_pos = end + 1;
            return true;
        }
        if (m_buffer.size() - m_pos > maxLine) {
            tooLong = true;
            m_pos = m_buffer.size();
        }
        if (!fill()) {
            if (m_cancelled)
                return false;
            if (tooLong) {
                ++m_skipped;
                return false;
            }
            if (m_pos >= m_buffer.size())
                return false;
            line.assign(m_buffer, m_pos, std::string::npos);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            m_pos = m_buffer.size();
            return true;
        }
    }
}

std::unique_ptr<Writer> Writer::create(const std::string &path, Format format,
                                       std::string *error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Writer> writer;
    switch (format) {
    case Format::CandumpLog: writer = makeCandumpWriter(fd); break;
    case Format::Asc: writer = makeAscWriter(fd); break;
    case Format::Pcap: writer = makePcapWriter(fd); break;
    case Format::Blf: writer = makeBlfWriter(fd); break;
    case Format::Csv: writer = makeCsvWriter(fd); break;
    case Format::Unknown:
        ::close(fd);
        *error = "unknown file type";
        return nullptr;
    }
    if (!writer->commit()) {
        *error = writer->error();
        return nullptr;
    }
    return writer;
}

Writer::Writer(int fd) : m_fd(fd) {}

Writer::~Writer()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Writer::write(const Frame &frame)
{
    if (m_failed)
        return false;
    if (!frame.success && !keepsRefused())
        return true;
    Frame stamped = frame;
    if (stamped.timestampUs == 0)
        stamped.timestampUs = m_lastTimeUs;
    m_lastTimeUs = stamped.timestampUs;
    if (stamped.fd && !stamped.error) {
        // A length between the FD lengths goes on the bus padded with zeros to the next.
        const unsigned int length = fdCodeLength(fdLengthCode(std::min<uint8_t>(stamped.dlc, 64)));
        std::fill(stamped.data + std::min<uint8_t>(stamped.dlc, 64), stamped.data + length, 0);
        stamped.dlc = uint8_t(length);
        stamped.remote = false;
    } else {
        stamped.dlc = std::min<uint8_t>(stamped.dlc, 15);
    }
    encode(stamped);
    ++m_frames;
    if (m_pending.size() >= commitSize)
        return commit();
    return true;
}

bool Writer::flush()
{
    if (m_failed)
        return false;
    if (!commit())
        return false;
    if (fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        return fail(std::strerror(errno));
    return true;
}

bool Writer::close()
{
    if (m_fd < 0)
        return !m_failed;
    bool ok = !m_failed && finish();
    if (ok && fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        ok = fail(std::strerror(errno));
    if (::close(m_fd) != 0 && ok)
        ok = fail(std::strerror(errno));
    m_fd = -1;
    m_failed = true;
    return ok;
}

bool Writer::commit()
{
    if (m_failed)
        return false;
    if (m_pending.empty())
        return true;
    const bool ok = append(m_pending.data(), m_pending.size());
    m_pending.clear();
    return ok;
}

bool Writer::append(const char *data, size_t size)
{
    if (m_failed)
        return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, data + done, size - done, off_t(m_fileSize + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string why = n < 0 ? std::strerror(errno) : "nothing written";
            // The file ends where the last complete block ended, so every reader finds
            // whole frames up to there.
            if (ftruncate(m_fd, off_t(m_fileSize)) != 0) {
                // Nothing more can be done for the file; the error says the first cause.
            }
            return fail(why);
        }
        done += size_t(n);
    }
    m_fileSize += size;
    return true;
}

bool Writer::writeAt(uint64_t offset, const void *data, size_t size)
{
    if (m_failed)
        return false;
    const ssize_t n = ::pwrite(m_fd, data, size, off_t(offset));
    if (n != ssize_t(size))
        return fail(n < 0 ? std::strerror(errno) : "short write");
    return true;
}

bool Writer::fail(const std::string &what)
{
    if (!m_failed)
        m_error = what;
    m_failed = true;
    return false;
}

} // namespace trace
