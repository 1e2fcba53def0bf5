#include "framerecord.h"

#include <QTime>

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

void *FrameChunk::operator new(std::size_t size)
{
    void *chunk = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    if (chunk == MAP_FAILED)
        throw std::bad_alloc();
    return chunk;
}

void FrameChunk::operator delete(void *chunk, std::size_t size)
{
    if (chunk)
        munmap(chunk, size);
}

FrameRecord frameRecord(const CanMessage &msg)
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
            | (msg.error ? FrameRecord::Error : 0);
    const int size = msg.data.size();
    if (size <= int(sizeof record.data) && msg.dlc >= 0 && msg.dlc <= 0xFF) {
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

CanMessage frameMessage(const FrameRecord &record, const OversizedFrame *oversized)
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
    }
    msg.extended = record.flags & FrameRecord::Extended;
    msg.remote = record.flags & FrameRecord::Remote;
    msg.success = record.flags & FrameRecord::Success;
    msg.timestampUs = record.timestampUs;
    msg.error = record.flags & FrameRecord::Error;
    msg.errorClass = record.errorClass;
    return msg;
}

void FrameQueue::append(const CanMessage &msg)
{
    const int at = head + count;
    if (at / frameChunkRows >= int(chunks.size()))
        chunks.push_back(std::make_unique<FrameChunk>());
    FrameRecord &slot = chunks[size_t(at / frameChunkRows)]->records[at % frameChunkRows];
    slot = frameRecord(msg);
    if (slot.flags & FrameRecord::Oversized)
        oversized.enqueue({ msg.data, msg.dlc });
    ++count;
}

QList<CanMessage> FrameQueue::take(int maxCount)
{
    const int taken = std::clamp(maxCount, 0, count);
    QList<CanMessage> messages;
    messages.reserve(taken);
    for (int i = 0; i < taken; ++i) {
        const FrameRecord &record = chunks.front()->records[head];
        if (record.flags & FrameRecord::Oversized) {
            const OversizedFrame big = oversized.dequeue();
            messages.append(frameMessage(record, &big));
        } else {
            messages.append(frameMessage(record));
        }
        if (++head == frameChunkRows) {
            chunks.pop_front();
            head = 0;
        }
    }
    count -= taken;
    // An empty queue fills its one chunk from the start again.
    if (count == 0)
        head = 0;
    return messages;
}
