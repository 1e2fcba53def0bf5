#pragma once

// Trace files built byte by byte for the tests: BLF objects and containers as loggers
// write them, and files that every reader accepts yet that hold gigabytes without a frame
// between two frames: a stretch of zeros (a hole of a sparse file, so it costs no disk),
// pcapng blocks of 4 GiB each, or BLF containers that each inflate to 16 MiB of zeros
// (a thousandfold, so 19 MB of file stand for 19 GiB). Plain functions, any thread.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace tracebuilders {

inline void putLe(QByteArray &out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char(value >> (8 * i));
}

// A BLF CAN message object: header version 1, the time in the unit its flags name (1: 10 µs
// steps, 2: nanoseconds), bit 31 of the identifier for 29 bits.
inline QByteArray blfCanObject(uint32_t id, uint32_t timeFlags, uint64_t stamp,
                               const QByteArray &data)
{
    QByteArray object("LOBJ");
    putLe(object, 32, 2);
    putLe(object, 1, 2);
    putLe(object, 48, 4);
    putLe(object, 1, 4);
    putLe(object, timeFlags, 4);
    putLe(object, 0, 4);
    putLe(object, stamp, 8);
    putLe(object, 1, 2);
    object += char(0);
    object += char(data.size());
    putLe(object, id, 4);
    object += data.leftJustified(8, '\0', true);
    return object;
}

// A BLF CAN FD object received, header version 1, times as blfCanObject writes them: the
// 64-byte form (type 101) with its data after 40 bytes of fields, or the older one (type
// 100) with room for 64 bytes after 20; `data` of an FD length.
inline QByteArray blfFdObject(bool sized, uint32_t id, uint32_t timeFlags, uint64_t stamp,
                              const QByteArray &data, bool brs)
{
    static const int lengths[] = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64 };
    const int code = int(std::find(std::begin(lengths), std::end(lengths), data.size())
                         - std::begin(lengths));
    QByteArray body;
    if (sized) {
        body += char(1);
        body += char(code);
        body += char(data.size());
        body += char(0);
        putLe(body, id, 4);
        putLe(body, 0, 4);
        putLe(body, 0x1000u | (brs ? 0x2000u : 0u), 4);
        body += QByteArray(24, '\0');
        body += data;
    } else {
        putLe(body, 1, 2);
        body += char(0);
        body += char(code);
        putLe(body, id, 4);
        putLe(body, 0, 4);
        body += char(0);
        body += char(0x1 | (brs ? 0x2 : 0));
        body += char(data.size());
        body += QByteArray(5, '\0');
        body += data.leftJustified(64, '\0');
    }
    QByteArray object("LOBJ");
    putLe(object, 32, 2);
    putLe(object, 1, 2);
    putLe(object, uint64_t(32 + body.size()), 4);
    putLe(object, sized ? 101 : 100, 4);
    putLe(object, timeFlags, 4);
    putLe(object, 0, 4);
    putLe(object, stamp, 8);
    return object + body;
}

// A log container holding `content`, deflated or stored as it is.
inline QByteArray blfContainer(const QByteArray &content, bool deflated)
{
    // qCompress puts the length before the zlib stream.
    const QByteArray stored = deflated ? qCompress(content, 9).mid(4) : content;
    QByteArray container("LOBJ");
    putLe(container, 16, 2);
    putLe(container, 1, 2);
    putLe(container, 32 + uint64_t(stored.size()), 4);
    putLe(container, 10, 4);
    putLe(container, deflated ? 2 : 0, 2);
    putLe(container, 0, 6);
    putLe(container, uint64_t(content.size()), 4);
    putLe(container, 0, 4);
    return container + stored + QByteArray(stored.size() % 4, '\0');
}

// A file header without a start time, so that frame times are the objects' own.
inline QByteArray blfFile(const QByteArray &containers)
{
    QByteArray header("LOGG");
    putLe(header, 144, 4);
    return header.leftJustified(144, '\0') + containers;
}

enum class Stretch {
    Zeros,        // a hole of `gib` GiB between the frames
    PcapngBlocks, // pcapng blocks of 4 GiB of zeros, `gib` GiB in all
    BlfBomb,      // 64 containers a GiB, each inflating to 16 MiB of zeros
};

// The frames at 1.000000 s (identifier 0x1) and 2.000000 s (0x2), each with one byte 0x11,
// in the format the extension names (log, asc, csv, pcap, pcapng, blf), with the stretch
// between them; without the first frame the file starts with the stretch. False when the
// file could not be written.
inline bool writeStretchedTrace(const QString &path, Stretch stretch, int gib,
                                bool firstFrame = true)
{
    const qint64 gibBytes = qint64(1) << 30;
    const QString extension = path.mid(path.lastIndexOf('.') + 1);
    QByteArray before;
    QByteArray after;
    if (extension == "log") {
        before = firstFrame ? "(1.000000) can0 001#11 R\n" : "";
        after = "\n(2.000000) can0 002#11 R\n";
    } else if (extension == "asc") {
        before = "base hex  timestamps absolute\n";
        if (firstFrame)
            before += "   1.000000 1  1 Rx d 1 11\n";
        after = "\n   2.000000 1  2 Rx d 1 11\n";
    } else if (extension == "csv") {
        before = "序号,帧ID,数据,DLC,传输方向,状态,时间标识,格式,类型,\n";
        if (firstFrame)
            before += "0,0x001,11,0x01,接收,成功,00:00:01:000,数据帧,标准帧,\n";
        after = "\n1,0x002,11,0x01,接收,成功,00:00:02:000,数据帧,标准帧,\n";
    } else if (extension == "pcap") {
        before = QByteArray::fromHex("d4c3b2a1020004000000000000000000ffff0000e3000000");
        for (QByteArray *record : { &before, &after }) {
            if (record == &before && !firstFrame)
                continue;
            const char id = record == &before ? 1 : 2;
            putLe(*record, id, 4);
            putLe(*record, 0, 4);
            putLe(*record, 16, 4);
            putLe(*record, 16, 4);
            *record += QByteArray("\0\0\0", 3) + id + QByteArray("\x01\0\0\0\x11", 5)
                    + QByteArray(7, '\0');
        }
    } else if (extension == "pcapng") {
        // A section, a SocketCAN interface and a packet; the one after the stretch again.
        const auto block = [](uint32_t type, const QByteArray &body) {
            QByteArray out;
            putLe(out, type, 4);
            putLe(out, uint64_t(body.size()) + 12, 4);
            out += body;
            putLe(out, uint64_t(body.size()) + 12, 4);
            return out;
        };
        const auto packet = [&](char id, uint32_t seconds) {
            QByteArray body;
            putLe(body, 0, 4);
            putLe(body, (uint64_t(seconds) * 1000000) >> 32, 4);
            putLe(body, uint32_t(uint64_t(seconds) * 1000000), 4);
            putLe(body, 16, 4);
            putLe(body, 16, 4);
            body += QByteArray("\0\0\0", 3) + id + QByteArray("\x01\0\0\0\x11", 5)
                    + QByteArray(7, '\0');
            return block(6, body);
        };
        QByteArray section;
        putLe(section, 0x1a2b3c4d, 4);
        putLe(section, 1, 4);
        putLe(section, ~uint64_t(0), 8);
        QByteArray interface;
        putLe(interface, 227, 2);
        putLe(interface, 0, 6);
        before = block(0x0a0d0d0a, section) + block(1, interface)
                + (firstFrame ? packet(1, 1) : QByteArray());
        after = packet(2, 2);
    } else if (extension == "blf") {
        const QByteArray one("\x11", 1);
        before = blfFile(firstFrame
                         ? blfContainer(blfCanObject(0x1, 2, 1000000000, one), true)
                         : QByteArray());
        after = blfContainer(blfCanObject(0x2, 2, 2000000000, one), true);
    } else {
        return false;
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(before) < 0)
        return false;
    if (stretch == Stretch::Zeros) {
        if (!file.seek(before.size() + gib * gibBytes))
            return false;
    } else if (stretch == Stretch::PcapngBlocks) {
        // Unknown blocks a reader passes over, each as long as a block can be.
        const qint64 blockBytes = 0xfffffffcLL;
        for (qint64 at = before.size(); at < before.size() + gib * gibBytes;
             at += blockBytes) {
            QByteArray header;
            putLe(header, 0x0bad, 4);
            putLe(header, uint64_t(blockBytes), 4);
            if (!file.seek(at) || file.write(header) < 0 || !file.seek(at + blockBytes - 4))
                return false;
            header.remove(0, 4);
            if (file.write(header) < 0)
                return false;
        }
    } else {
        static const QByteArray bomb = blfContainer(QByteArray(16 << 20, '\0'), true);
        for (int i = 0; i < gib * 64; ++i) {
            if (file.write(bomb) < 0)
                return false;
        }
    }
    return file.write(after) == after.size();
}

} // namespace tracebuilders
