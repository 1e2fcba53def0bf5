#include "filter/framenumberindex.h"

#include <limits>

void FrameNumberIndex::append(qint64 number)
{
    if (count == 0) {
        clear();
        base = number;
    } else if (number - base > std::numeric_limits<quint32>::max()) {
        // Once in four billion frames: the numbers held move to a base of their own.
        const qint64 first = at(0);
        const quint32 shift = quint32(first - base);
        for (int i = 0; i < count; ++i) {
            const int slot = head + i;
            chunks[size_t(slot / chunkSize)][slot % chunkSize] -= shift;
        }
        base = first;
    }
    const int slot = head + count;
    if (size_t(slot / chunkSize) >= chunks.size())
        chunks.emplace_back(new quint32[chunkSize]);
    chunks[size_t(slot / chunkSize)][slot % chunkSize] = quint32(number - base);
    ++count;
}

int FrameNumberIndex::dropBefore(qint64 number)
{
    const int gone = lowerBound(number);
    if (gone == count) {
        clear();
        return gone;
    }
    head += gone;
    count -= gone;
    while (head >= chunkSize) {
        chunks.pop_front();
        head -= chunkSize;
    }
    return gone;
}

int FrameNumberIndex::lowerBound(qint64 number) const
{
    int low = 0;
    int high = count;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (at(middle) < number)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

void FrameNumberIndex::clear()
{
    chunks.clear();
    head = 0;
    count = 0;
}
