#pragma once

// Minimum, maximum and sum of any range of a growing sequence of values, from blocks of
// 64 values and blocks of eight blocks above them, so that a query costs a few dozen
// steps whatever the range's length. The values themselves stay with the caller, who
// scans the few at a range's ragged ends. Values are numbered from 0 on as appended; the
// oldest may be forgotten (dropBefore) and are then never asked for again. One thread at a
// time; const members may be shared between threads while nobody appends or drops.

#include <QtGlobal>

#include <deque>
#include <limits>
#include <vector>

struct RangeStats
{
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    double sum = 0;
    qint64 count = 0; // values that are numbers; NaN takes no part

    void add(double value)
    {
        if (value != value)
            return;
        if (value < min)
            min = value;
        if (value > max)
            max = value;
        sum += value;
        ++count;
    }
    void add(const RangeStats &other)
    {
        if (other.min < min)
            min = other.min;
        if (other.max > max)
            max = other.max;
        sum += other.sum;
        count += other.count;
    }
    bool isEmpty() const { return count == 0; }
};

class MinMaxPyramid
{
public:
    static constexpr int leafSize = 64;
    static constexpr int fanOut = 8;

    void append(double value);
    // Values numbered below `first` will not be asked for: blocks wholly below it go.
    void dropBefore(qint64 first);
    void clear();
    qint64 size() const { return appended; }
    // Bytes held by the blocks, for the memory budget.
    qint64 memoryBytes() const;

    // The statistics of values [begin, end); `scan(b, e)` gives those of raw values
    // [b, e), which the query asks for at the range's ends only, fewer than 2 * leafSize.
    template<typename Scan>
    RangeStats query(qint64 begin, qint64 end, Scan scan) const;

private:
    struct Level
    {
        std::deque<RangeStats> blocks; // complete blocks only
        qint64 firstBlock = 0;         // the number of blocks[0]
        RangeStats open;               // the incomplete block at the end
        int openCount = 0;             // of its parts (values or blocks below)
    };

    // Level `level`'s blocks [b, e), from the level above for the aligned middle.
    RangeStats blocks(int level, qint64 b, qint64 e) const;
    void push(int level, const RangeStats &block);

    std::vector<Level> levels;
    qint64 appended = 0;
};

template<typename Scan>
RangeStats MinMaxPyramid::query(qint64 begin, qint64 end, Scan scan) const
{
    RangeStats result;
    if (end > appended)
        end = appended;
    if (begin >= end)
        return result;
    const qint64 firstLeaf = (begin + leafSize - 1) / leafSize;
    const qint64 endLeaf = end / leafSize;
    if (firstLeaf >= endLeaf) {
        result.add(scan(begin, end));
        return result;
    }
    if (begin < firstLeaf * leafSize)
        result.add(scan(begin, firstLeaf * leafSize));
    result.add(blocks(0, firstLeaf, endLeaf));
    if (endLeaf * leafSize < end)
        result.add(scan(endLeaf * leafSize, end));
    return result;
}
