#pragma once

// A frame as the hub's queue and the frame log keep it: a 32-byte record in chunks of
// 4,096 that come straight from the system and go back to it when dropped, and the queue
// of such records between the device threads and the window's tick. An FD frame of up to
// 8 bytes fits its record; a longer one keeps its first 8 bytes there and the rest in a
// FrameTails store, so that it costs its record plus its data beyond 8 bytes.
// Plain values; FrameQueue is not locked and belongs to whoever guards it (the hub's mutex).

#include "device/canmessage.h"

#include <QList>
#include <QQueue>
#include <QVector>

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

struct FrameRecord
{
    enum Flag : quint8 {
        Extended = 0x01,
        Remote = 0x02,
        Success = 0x04,
        Error = 0x08,
        // The data or the length did not fit the record; they are kept aside.
        Oversized = 0x10,
        // A CAN FD frame, and its bit rate switch and error state indicator. With a
        // length (dlc) above 8 and no Oversized flag, its bytes beyond the eighth are in a
        // FrameTails store under the reference held in errorClass.
        Fd = 0x20,
        Brs = 0x40,
        Esi = 0x80,
    };

    qint64 timestampUs;
    quint32 id;
    quint32 errorClass;
    quint8 data[8];
    qint32 timeMs; // time of day in ms, -1 for no time
    quint8 dlc;
    quint8 size; // data bytes held in `data`
    quint8 direction;
    quint8 flags;
};
static_assert(sizeof(FrameRecord) == 32, "the frame log's memory budget is 32 bytes a frame");

// Rows are stored in chunks of this many records (128 KiB).
constexpr int frameChunkRows = 4096;

struct FrameChunk
{
    FrameRecord records[frameChunkRows];

    // Mapped from the system and unmapped when freed, but for a few kept for reuse: the
    // heap would keep the pages of a taken backlog or a dropped history, and its adaptive
    // threshold soon stops mapping blocks of this size. Any thread may allocate and free.
    static void *operator new(std::size_t size);
    static void operator delete(void *chunk, std::size_t size);
    // Unmaps the chunks kept for reuse, for after a large history is dropped.
    static void releaseSpares();
};

// Data and length of a frame that does not fit a record (a refused write of a long frame).
struct OversizedFrame
{
    QByteArray data;
    int dlc = 0;
};

// The data bytes of FD frames beyond the eight a FrameRecord holds, packed one after the
// other in blocks of 64 KiB in the order of their frames. A record refers to its bytes by
// a 32-bit reference that stays valid while less than 16 GiB are kept. Copies share the
// blocks, so a snapshot costs no bytes; dropping the oldest frames frees whole blocks.
// Not locked: it belongs to whoever owns the records.
class FrameTails
{
public:
    // Keeps count bytes (a multiple of 4, at most 56) and returns their reference.
    quint32 append(const char *bytes, int count);
    const quint8 *at(quint32 reference) const;
    // Frees the blocks that hold nothing from `reference` on.
    void dropBefore(quint32 reference);
    void clear();
    // Bytes of the blocks held, for measuring.
    qint64 bytesHeld() const { return qint64(blocks.size()) * blockBytes; }

private:
    static constexpr int blockBytes = 65536;
    struct Block
    {
        quint8 bytes[blockBytes];
    };
    quint64 absolute(quint32 reference) const;

    std::deque<std::shared_ptr<Block>> blocks;
    quint64 firstBlock = 0; // the number of blocks.front() since the store began
    quint64 end = 0;        // the offset of the next byte since the store began
};

// Whether the record is an FD frame whose bytes beyond the eighth were put in a
// FrameTails store, under the reference its errorClass holds.
inline bool hasFrameTail(const FrameRecord &record)
{
    constexpr quint8 kind = FrameRecord::Fd | FrameRecord::Error | FrameRecord::Oversized;
    return (record.flags & kind) == FrameRecord::Fd && record.dlc > record.size;
}

// Those bytes, or null for a record without them or a store that no longer keeps them.
inline const quint8 *frameTail(const FrameRecord &record, const FrameTails *tails)
{
    return hasFrameTail(record) && tails ? tails->at(record.errorClass) : nullptr;
}

// Rows made on one thread for the frame log on another: whole chunks, every one full but
// the last, which holds lastRows.
struct FrameChunkRun
{
    std::vector<std::shared_ptr<FrameChunk>> chunks;
    // Per chunk, the bytes beyond the eighth of its FD rows, which refer to them through
    // errorClass; null for a chunk without such rows.
    std::vector<std::shared_ptr<const FrameTails>> tails;
    int lastRows = 0;

    int rows() const
    {
        return chunks.empty() ? 0 : int(chunks.size() - 1) * frameChunkRows + lastRows;
    }
};

// With `tails`, an FD frame longer than 8 bytes keeps its bytes beyond the eighth there;
// without, it is kept whole aside like any oversized frame.
FrameRecord frameRecord(const CanMessage &msg, FrameTails *tails = nullptr);
// The message a record holds; `oversized` for a record flagged Oversized, `tails` for an FD
// record whose bytes beyond the eighth are kept there.
CanMessage frameMessage(const FrameRecord &record, const OversizedFrame *oversized = nullptr,
                        const FrameTails *tails = nullptr);

// The flags a record packs, for a frame type that names them as CanMessage does.
template<typename Frame>
void unpackFrameFlags(const FrameRecord &record, Frame &frame)
{
    frame.extended = record.flags & FrameRecord::Extended;
    frame.remote = record.flags & FrameRecord::Remote;
    frame.success = record.flags & FrameRecord::Success;
    frame.fd = record.flags & FrameRecord::Fd;
    frame.brs = record.flags & FrameRecord::Brs;
    frame.esi = record.flags & FrameRecord::Esi;
}

// Frames taken from a FrameQueue, still as records, so that whoever guards the queue can
// make them messages after letting go of it.
struct FrameBatch
{
    std::vector<FrameRecord> records;
    QQueue<OversizedFrame> oversized; // in the order of their records
    FrameTails tails;

    QList<CanMessage> messages() const;
};

// First in, first out, 32 bytes a frame whatever the backlog.
class FrameQueue
{
public:
    void append(const CanMessage &msg);
    int size() const { return count; }
    // Up to maxCount of the oldest frames, in order; a copy of their records, which costs
    // a small fraction of making them messages.
    FrameBatch take(int maxCount);

private:
    std::deque<std::unique_ptr<FrameChunk>> chunks;
    int head = 0; // the oldest frame's place in the first chunk
    int count = 0;
    QQueue<OversizedFrame> oversized; // in the order of their records
    FrameTails tails;
};
