#pragma once

// A frame as the hub's queue and the frame log keep it: a 32-byte record in chunks of
// 4,096 that come straight from the system and go back to it when dropped, and the queue
// of such records between the device threads and the window's tick.
// Plain values; FrameQueue is not locked and belongs to whoever guards it (the hub's mutex).

#include "device/canmessage.h"

#include <QList>
#include <QQueue>

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

// Rows made on one thread for the frame log on another: whole chunks, every one full but
// the last, which holds lastRows.
struct FrameChunkRun
{
    std::vector<std::shared_ptr<FrameChunk>> chunks;
    int lastRows = 0;

    int rows() const
    {
        return chunks.empty() ? 0 : int(chunks.size() - 1) * frameChunkRows + lastRows;
    }
};

// Data and length of a frame that does not fit a record (a refused write of a long frame).
struct OversizedFrame
{
    QByteArray data;
    int dlc = 0;
};

FrameRecord frameRecord(const CanMessage &msg);
// The message a record holds; `oversized` for a record flagged Oversized.
CanMessage frameMessage(const FrameRecord &record, const OversizedFrame *oversized = nullptr);

// Frames taken from a FrameQueue, still as records, so that whoever guards the queue can
// make them messages after letting go of it.
struct FrameBatch
{
    std::vector<FrameRecord> records;
    QQueue<OversizedFrame> oversized; // in the order of their records

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
};
