#pragma once

// The numbers of the frame log's frames that a filter or a search kept, ascending, in 4
// bytes each: offsets from a base number, in chunks dropped from the front as the frame
// log drops its oldest rows, so that the index of a table of millions costs little more
// than the rows it keeps. A plain value for one thread at a time: a worker builds one and
// hands it over by moving it.

#include <QtGlobal>

#include <deque>
#include <memory>

class FrameNumberIndex
{
public:
    int size() const { return count; }
    bool isEmpty() const { return count == 0; }
    qint64 at(int position) const
    {
        const int slot = head + position;
        return base + chunks[size_t(slot / chunkSize)][slot % chunkSize];
    }
    qint64 last() const { return at(count - 1); }

    // `number` must be above every number held, and within 2^31 of the first one.
    void append(qint64 number);
    // Removes the numbers below `number`; returns how many went.
    int dropBefore(qint64 number);
    // The first position holding `number` or a later one; size() when there is none.
    int lowerBound(qint64 number) const;
    void clear();

private:
    static constexpr int chunkSize = 16384; // 64 KiB

    std::deque<std::unique_ptr<quint32[]>> chunks;
    int head = 0; // the first number's place in the first chunk
    int count = 0;
    qint64 base = 0;
};
