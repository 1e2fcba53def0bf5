#include "plot/sampleseries.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include <sys/mman.h>

namespace {

constexpr int smallestBlock = 16;
constexpr size_t bytesPerSample = sizeof(double) + sizeof(quint32) + sizeof(quint16);
constexpr size_t fullBlockBytes = bytesPerSample * SampleSeries::blockSamples;

// Full blocks are cut from 2 MiB slabs the kernel may back with one huge page each: ten
// million samples then cost some seventy page faults rather than thirty-five thousand,
// which a virtual machine charges dearly. Freed blocks are reused; a slab goes back to the
// system once all its blocks are free and another slab has room. Any thread.
class SlabPool
{
public:
    static constexpr size_t slabBytes = 2 * 1024 * 1024;
    static constexpr int blocksPerSlab = int(slabBytes / fullBlockBytes);

    char *take()
    {
        std::lock_guard<std::mutex> locker(mutex);
        if (spare.empty() && !addSlab())
            throw std::bad_alloc();
        char *block = spare.back();
        spare.pop_back();
        ++used[slabOf(block)];
        return block;
    }

    void give(char *block)
    {
        std::lock_guard<std::mutex> locker(mutex);
        const uintptr_t slab = slabOf(block);
        spare.push_back(block);
        if (--used[slab] > 0 || spare.size() < size_t(2 * blocksPerSlab))
            return;
        used.erase(slab);
        spare.erase(std::remove_if(spare.begin(), spare.end(),
                                   [slab](char *b) { return slabOf(b) == slab; }),
                    spare.end());
        munmap(reinterpret_cast<void *>(slab), slabBytes);
    }

private:
    static uintptr_t slabOf(const char *block)
    {
        return reinterpret_cast<uintptr_t>(block) & ~uintptr_t(slabBytes - 1);
    }

    bool addSlab()
    {
        // Twice the size, so that an aligned slab fits; the rest goes back at once.
        void *area = mmap(nullptr, 2 * slabBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED)
            return false;
        const uintptr_t start = reinterpret_cast<uintptr_t>(area);
        const uintptr_t slab = (start + slabBytes - 1) & ~uintptr_t(slabBytes - 1);
        if (slab > start)
            munmap(area, slab - start);
        if (start + 2 * slabBytes > slab + slabBytes)
            munmap(reinterpret_cast<void *>(slab + slabBytes), start + slabBytes - slab);
        madvise(reinterpret_cast<void *>(slab), slabBytes, MADV_HUGEPAGE);
        for (int i = blocksPerSlab - 1; i >= 0; --i)
            spare.push_back(reinterpret_cast<char *>(slab) + size_t(i) * fullBlockBytes);
        used[slab] = 0;
        return true;
    }

    std::mutex mutex;
    std::vector<char *> spare;
    std::unordered_map<uintptr_t, int> used; // blocks taken, by slab
};

// Never destroyed, so that series freed during static destruction find it.
SlabPool &slabPool()
{
    static SlabPool *pool = new SlabPool;
    return *pool;
}

} // namespace

SampleSeries::Block::Block(qint64 firstIndex, qint64 baseTimeUs, qint64 baseNumber,
                           int capacity)
    : firstIndex(firstIndex)
    , baseTimeUs(baseTimeUs)
    , baseNumber(baseNumber)
    , storage(allocate(capacity))
    , size(capacity)
{
}

SampleSeries::Block::Block(Block &&other) noexcept
    : firstIndex(other.firstIndex)
    , baseTimeUs(other.baseTimeUs)
    , baseNumber(other.baseNumber)
    , storage(other.storage)
    , used(other.used)
    , size(other.size)
{
    other.storage = nullptr;
    other.size = 0;
    other.used = 0;
}

SampleSeries::Block &SampleSeries::Block::operator=(Block &&other) noexcept
{
    std::swap(firstIndex, other.firstIndex);
    std::swap(baseTimeUs, other.baseTimeUs);
    std::swap(baseNumber, other.baseNumber);
    std::swap(storage, other.storage);
    std::swap(used, other.used);
    std::swap(size, other.size);
    return *this;
}

SampleSeries::Block::~Block()
{
    release(storage, size);
}

char *SampleSeries::Block::allocate(int capacity)
{
    const size_t bytes = bytesPerSample * size_t(capacity);
    if (capacity < blockSamples)
        return static_cast<char *>(::operator new(bytes));
    return slabPool().take();
}

void SampleSeries::Block::release(char *storage, int capacity)
{
    if (!storage)
        return;
    if (capacity < blockSamples)
        ::operator delete(storage);
    else
        slabPool().give(storage);
}

void SampleSeries::Block::grow()
{
    const int larger = std::min(size * 2, int(blockSamples));
    char *moved = allocate(larger);
    std::memcpy(moved, values(), sizeof(double) * size_t(used));
    std::memcpy(moved + 8 * size_t(larger), timeOffsets(), sizeof(quint32) * size_t(used));
    std::memcpy(moved + 12 * size_t(larger), numberOffsets(), sizeof(quint16) * size_t(used));
    release(storage, size);
    storage = moved;
    size = larger;
}

bool SampleSeries::Block::append(quint32 timeOffset, quint16 numberOffset, double value)
{
    if (used == size) {
        if (size == blockSamples)
            return false;
        grow();
    }
    reinterpret_cast<double *>(storage)[used] = value;
    reinterpret_cast<quint32 *>(storage + 8 * size_t(size))[used] = timeOffset;
    reinterpret_cast<quint16 *>(storage + 12 * size_t(size))[used] = numberOffset;
    ++used;
    return true;
}

void SampleSeries::append(qint64 timeUs, qint64 number, double value)
{
    if (!blocks.empty()) {
        Block &last = blocks.back();
        // A frame out of time order, a gap of over an hour or of 65,536 frames starts a
        // block of its own rather than losing the exact time or number.
        if (timeUs >= last.baseTimeUs && timeUs - last.baseTimeUs <= qint64(0xffffffffu)
            && number >= last.baseNumber && number - last.baseNumber <= 0xffff
            && last.append(quint32(timeUs - last.baseTimeUs), quint16(number - last.baseNumber),
                           value)) {
            pyramid.append(value);
            ++end;
            return;
        }
    }
    // A signal that filled a block will fill the next: no growing by steps.
    const bool dense = !blocks.empty() && blocks.back().count() == blockSamples;
    blocks.emplace_back(end, timeUs, number, dense ? int(blockSamples) : smallestBlock);
    blocks.back().append(0, 0, value);
    pyramid.append(value);
    ++end;
}

void SampleSeries::dropBefore(qint64 number)
{
    // Frame numbers rise with the index, so the samples to drop are a prefix.
    while (!blocks.empty()) {
        const Block &block = blocks.front();
        const qint64 blockEnd = block.firstIndex + block.count();
        if (block.baseNumber + block.numberOffsets()[block.count() - 1] < number) {
            first = blockEnd;
            blocks.pop_front();
            continue;
        }
        qint64 index = std::max(first, block.firstIndex);
        while (index < blockEnd
               && block.baseNumber + block.numberOffsets()[index - block.firstIndex] < number) {
            ++index;
        }
        first = index;
        break;
    }
    if (blocks.empty())
        first = end;
    pyramid.dropBefore(first);
}

void SampleSeries::clear()
{
    blocks.clear();
    pyramid.clear();
    first = 0;
    end = 0;
}

const SampleSeries::Block &SampleSeries::blockOf(qint64 index) const
{
    const Block &last = blocks.back();
    if (index >= last.firstIndex)
        return last;
    auto found = std::upper_bound(blocks.begin(), blocks.end(), index,
                                  [](qint64 i, const Block &b) { return i < b.firstIndex; });
    return *(found - 1);
}

qint64 SampleSeries::timeUs(qint64 index) const
{
    const Block &block = blockOf(index);
    return block.baseTimeUs + block.timeOffsets()[index - block.firstIndex];
}

qint64 SampleSeries::number(qint64 index) const
{
    const Block &block = blockOf(index);
    return block.baseNumber + block.numberOffsets()[index - block.firstIndex];
}

double SampleSeries::value(qint64 index) const
{
    const Block &block = blockOf(index);
    return block.values()[index - block.firstIndex];
}

qint64 SampleSeries::lowerBound(qint64 timeUs) const
{
    if (blocks.empty())
        return end;
    // The first block whose last sample is not before the time, then within it.
    auto found = std::partition_point(blocks.begin(), blocks.end(), [timeUs](const Block &b) {
        return b.lastTimeUs() < timeUs;
    });
    if (found == blocks.end())
        return end;
    const Block &block = *found;
    const qint64 start = std::max(first, block.firstIndex) - block.firstIndex;
    if (timeUs <= block.baseTimeUs)
        return block.firstIndex + start;
    const quint64 offset = quint64(timeUs - block.baseTimeUs);
    const quint32 *offsets = block.timeOffsets();
    const quint32 *at = std::lower_bound(offsets + start, offsets + block.count(), offset,
                                         [](quint32 a, quint64 b) { return a < b; });
    return block.firstIndex + (at - offsets);
}

qint64 SampleSeries::lowerBoundFrom(qint64 start, qint64 timeUs) const
{
    if (start >= end)
        return end;
    const Block &block = blockOf(start);
    if (block.lastTimeUs() < timeUs)
        return std::max(start, lowerBound(timeUs));
    const int count = block.count();
    int low = int(start - block.firstIndex);
    if (timeUs <= block.baseTimeUs)
        return start;
    // The next column's edge is mostly a few samples on: gallop there, then halve.
    const quint64 offset = quint64(timeUs - block.baseTimeUs);
    const quint32 *offsets = block.timeOffsets();
    int high = low;
    int step = 1;
    while (high < count && offsets[high] < offset) {
        low = high + 1;
        high += step;
        step *= 2;
    }
    high = std::min(high, count);
    const quint32 *at = std::lower_bound(offsets + low, offsets + high, offset,
                                         [](quint32 a, quint64 b) { return a < b; });
    return block.firstIndex + (at - offsets);
}

RangeStats SampleSeries::scan(qint64 begin, qint64 stop) const
{
    RangeStats result;
    while (begin < stop) {
        const Block &block = blockOf(begin);
        const qint64 blockEnd = std::min(stop, block.firstIndex + block.count());
        const double *values = block.values() - block.firstIndex;
        double lo = result.min;
        double hi = result.max;
        double sum = 0;
        qint64 count = 0;
        for (qint64 i = begin; i < blockEnd; ++i) {
            const double v = values[i];
            if (v != v)
                continue;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
            sum += v;
            ++count;
        }
        result.min = lo;
        result.max = hi;
        result.sum += sum;
        result.count += count;
        begin = blockEnd;
    }
    return result;
}

RangeStats SampleSeries::stats(qint64 begin, qint64 stop) const
{
    begin = std::max(begin, first);
    stop = std::min(stop, end);
    return pyramid.query(begin, stop, [this](qint64 b, qint64 e) { return scan(b, e); });
}

RangeStats SampleSeries::statsBetween(qint64 fromUs, qint64 toUs) const
{
    if (toUs < fromUs)
        std::swap(fromUs, toUs);
    return stats(lowerBound(fromUs), toUs == INT64_MAX ? end : lowerBound(toUs + 1));
}

bool SampleSeries::valueAt(qint64 timeUs, double *value, qint64 *index) const
{
    const qint64 at = timeUs == INT64_MAX ? end : lowerBound(timeUs + 1);
    if (at <= first)
        return false;
    *value = this->value(at - 1);
    if (index)
        *index = at - 1;
    return true;
}

double SampleSeries::meanCycleUs() const
{
    if (size() < 2)
        return 0;
    return double(timeUs(end - 1) - timeUs(first)) / double(size() - 1);
}

QVector<PlotColumn> SampleSeries::columns(double fromUs, double toUs, int width) const
{
    QVector<PlotColumn> result(std::max(width, 0));
    if (width <= 0 || !(toUs > fromUs))
        return result;
    const double step = (toUs - fromUs) / width;
    qint64 begin = lowerBound(qint64(std::ceil(fromUs)));
    for (int x = 0; x < width; ++x) {
        const double edge = x + 1 == width ? toUs : fromUs + step * (x + 1);
        const qint64 stop = lowerBoundFrom(begin, qint64(std::ceil(edge)));
        PlotColumn &column = result[x];
        column.begin = begin;
        column.end = std::max(begin, stop);
        if (!column.isEmpty()) {
            const RangeStats range = stats(column.begin, column.end);
            column.min = range.min;
            column.max = range.max;
        }
        begin = column.end;
    }
    return result;
}

qint64 SampleSeries::memoryBytes() const
{
    qint64 bytes = pyramid.memoryBytes();
    for (const Block &block : blocks) {
        bytes += qint64(sizeof block) + qint64(bytesPerSample) * block.capacity();
    }
    return bytes;
}
