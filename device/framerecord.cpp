#include "device/framerecord.h"

#include <QTime>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <sys/mman.h>

namespace {

// A few freed chunks wait for the next one wanted: the hub's queue gives back a chunk for
// every one the frame log fills, and mapping and unmapping each would cost the window page
// faults and the other core a TLB flush. Anything beyond goes back to the system at once.
class ChunkCache
{
public:
    void *take()
    {
        std::lock_guard<std::mutex> locker(mutex);
        if (spare.empty())
            return nullptr;
        void *chunk = spare.back();
        spare.pop_back();
        return chunk;
    }

    bool keep(void *chunk)
    {
        std::lock_guard<std::mutex> locker(mutex);
        if (spare.size() >= maxSpare)
            return false;
        spare.push_back(chunk);
        return true;
    }

    std::vector<void *> takeAll()
    {
        std::lock_guard<std::mutex> locker(mutex);
        std::vector<void *> all;
        all.swap(spare);
        return all;
    }

private:
    static constexpr size_t maxSpare = 16; // 2 MiB
    std::mutex mutex;
    std::vector<void *> spare;
};

// Never destroyed, so that chunks freed during static destruction or by a thread still
// running at exit find it.
ChunkCache &chunkCache()
{
    static ChunkCache *cache = new ChunkCache;
    return *cache;
}

} // namespace

void *FrameChunk::operator new(std::size_t size)
{
    if (void *chunk = size == sizeof(FrameChunk) ? chunkCache().take() : nullptr)
        return chunk;
    // Every record of a chunk gets written: mapping the pages at once spares the 32 page
    // faults that filling it would take one by one, which are dear in a virtual machine.
    void *chunk = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (chunk == MAP_FAILED)
        throw std::bad_alloc();
    return chunk;
}

void FrameChunk::operator delete(void *chunk, std::size_t size)
{
    if (!chunk)
        return;
    if (size == sizeof(FrameChunk) && chunkCache().keep(chunk))
        return;
    munmap(chunk, size);
}

void FrameChunk::releaseSpares()
{
    for (void *chunk : chunkCache().takeAll())
        munmap(chunk, sizeof(FrameChunk));
}

quint64 FrameTails::absolute(quint32 reference) const
{
    // Counted back from the end in 4-byte units, which wraps correctly.
    const quint32 back = quint32(end >> 2) - reference;
    return end - (quint64(back) << 2);
}

quint32 FrameTails::append(const char *bytes, int count)
{
    // A tail never spans two blocks; one that starts where the last block ended exactly
    // starts a new one too, or it would overwrite the start of that block.
    if (!blocks.empty() && end % blockBytes + quint64(count) > blockBytes)
        end = (end / blockBytes + 1) * blockBytes;
    if (blocks.empty())
        firstBlock = end / blockBytes;
    if (end / blockBytes != firstBlock + blocks.size() - 1 || blocks.empty())
        blocks.push_back(std::make_shared<Block>());
    std::memcpy(blocks.back()->bytes + end % blockBytes, bytes, size_t(count));
    const quint32 reference = quint32(end >> 2);
    end += quint64(count + 3) & ~quint64(3);
    return reference;
}

const quint8 *FrameTails::at(quint32 reference) const
{
    const quint64 offset = absolute(reference);
    const quint64 block = offset / blockBytes - firstBlock;
    if (offset / blockBytes < firstBlock || block >= blocks.size())
        return nullptr;
    return blocks[size_t(block)]->bytes + offset % blockBytes;
}

void FrameTails::dropBefore(quint32 reference)
{
    const quint64 keepFrom = absolute(reference) / blockBytes;
    while (!blocks.empty() && firstBlock < keepFrom) {
        blocks.pop_front();
        ++firstBlock;
    }
}

void FrameTails::clear()
{
    blocks.clear();
    firstBlock = end / blockBytes + 1;
    end = firstBlock * blockBytes;
}

FrameRecord frameRecord(const CanMessage &msg, FrameTails *tails)
{
    FrameRecord record;
    record.timestampUs = msg.timestampUs;
    record.id = msg.id;
    record.errorClass = msg.errorClass;
    std::memset(record.data, 0, sizeof record.data);
    record.timeMs = msg.time.isValid() ? msg.time.msecsSinceStartOfDay() : -1;
    record.direction = msg.direction;
    record.flags = (msg.extended ? FrameRecord::Extended : 0)
            | (msg.remote ? FrameRecord::Remote : 0)
            | (msg.success ? FrameRecord::Success : 0)
            | (msg.error ? FrameRecord::Error : 0)
            | (msg.fd ? FrameRecord::Fd : 0)
            | (msg.fd && msg.brs ? FrameRecord::Brs : 0)
            | (msg.fd && msg.esi ? FrameRecord::Esi : 0);
    const int size = msg.data.size();
    const int tail = size - int(sizeof record.data);
    if (msg.fd && tails && tail > 0 && tail <= 56 && tail % 4 == 0 && msg.dlc == size) {
        std::memcpy(record.data, msg.data.constData(), sizeof record.data);
        record.size = quint8(sizeof record.data);
        record.dlc = quint8(size);
        record.errorClass = tails->append(msg.data.constData() + sizeof record.data, tail);
    } else if (size <= int(sizeof record.data) && msg.dlc >= 0 && msg.dlc <= 0xFF) {
        std::memcpy(record.data, msg.data.constData(), size_t(size));
        record.size = quint8(size);
        record.dlc = quint8(msg.dlc);
    } else {
        record.size = 0;
        record.dlc = 0;
        record.flags |= FrameRecord::Oversized;
    }
    return record;
}

CanMessage frameMessage(const FrameRecord &record, const OversizedFrame *oversized,
                        const FrameTails *tails)
{
    CanMessage msg;
    msg.direction = record.direction;
    msg.id = record.id;
    if (record.timeMs >= 0)
        msg.time = QTime::fromMSecsSinceStartOfDay(record.timeMs);
    if (oversized) {
        msg.dlc = oversized->dlc;
        msg.data = oversized->data;
    } else {
        msg.dlc = record.dlc;
        msg.data = QByteArray(reinterpret_cast<const char *>(record.data), record.size);
        const quint8 *tail = frameTail(record, tails);
        if (tail)
            msg.data.append(reinterpret_cast<const char *>(tail), record.dlc - record.size);
    }
    unpackFrameFlags(record, msg);
    msg.timestampUs = record.timestampUs;
    msg.error = record.flags & FrameRecord::Error;
    // An FD record with its bytes in a tails store holds their reference there instead.
    msg.errorClass = !oversized && hasFrameTail(record) ? 0 : record.errorClass;
    return msg;
}

void FrameQueue::append(const CanMessage &msg)
{
    const int at = head + count;
    if (at / frameChunkRows >= int(chunks.size()))
        chunks.push_back(std::make_unique<FrameChunk>());
    FrameRecord &slot = chunks[size_t(at / frameChunkRows)]->records[at % frameChunkRows];
    slot = frameRecord(msg, &tails);
    if (slot.flags & FrameRecord::Oversized)
        oversized.enqueue({ msg.data, msg.dlc });
    ++count;
}

FrameBatch FrameQueue::take(int maxCount)
{
    const int taken = std::clamp(maxCount, 0, count);
    FrameBatch batch;
    batch.records.resize(size_t(taken));
    int done = 0;
    while (done < taken) {
        const int run = std::min(taken - done, frameChunkRows - head);
        std::memcpy(&batch.records[size_t(done)], &chunks.front()->records[head],
                    size_t(run) * sizeof(FrameRecord));
        done += run;
        head += run;
        if (head == frameChunkRows) {
            chunks.pop_front();
            head = 0;
        }
    }
    // The batch shares the blocks of the bytes beyond the eighth; the queue lets go of
    // those its oldest frame left behind.
    batch.tails = tails;
    const FrameRecord *lastTail = nullptr;
    for (const FrameRecord &record : batch.records) {
        if (record.flags & FrameRecord::Oversized)
            batch.oversized.enqueue(oversized.dequeue());
        else if (hasFrameTail(record))
            lastTail = &record;
    }
    if (lastTail)
        tails.dropBefore(lastTail->errorClass);
    count -= taken;
    // An empty queue fills its one chunk from the start again.
    if (count == 0) {
        head = 0;
        tails.clear();
    }
    return batch;
}

QList<CanMessage> FrameBatch::messages() const
{
    QList<CanMessage> messages;
    messages.reserve(int(records.size()));
    int big = 0;
    for (const FrameRecord &record : records) {
        if (record.flags & FrameRecord::Oversized)
            messages.append(frameMessage(record, &oversized.at(big++)));
        else
            messages.append(frameMessage(record, nullptr, &tails));
    }
    return messages;
}
