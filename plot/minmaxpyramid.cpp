#include "plot/minmaxpyramid.h"

void MinMaxPyramid::append(double value)
{
    if (levels.empty())
        levels.emplace_back();
    Level &leaves = levels.front();
    leaves.open.add(value);
    ++appended;
    if (++leaves.openCount == leafSize) {
        const RangeStats block = leaves.open;
        leaves.open = RangeStats();
        leaves.openCount = 0;
        push(0, block);
    }
}

void MinMaxPyramid::push(int level, const RangeStats &block)
{
    levels[level].blocks.push_back(block);
    if (levels.size() == size_t(level) + 1)
        levels.emplace_back();
    Level &above = levels[level + 1];
    above.open.add(block);
    if (++above.openCount == fanOut) {
        const RangeStats parent = above.open;
        above.open = RangeStats();
        above.openCount = 0;
        push(level + 1, parent);
    }
}

void MinMaxPyramid::dropBefore(qint64 first)
{
    qint64 span = leafSize;
    for (Level &level : levels) {
        // Blocks that end at or before `first` hold nothing a query may still ask for.
        const qint64 keepFrom = first / span;
        while (level.firstBlock < keepFrom && !level.blocks.empty()) {
            level.blocks.pop_front();
            ++level.firstBlock;
        }
        span *= fanOut;
    }
}

void MinMaxPyramid::clear()
{
    levels.clear();
    appended = 0;
}

qint64 MinMaxPyramid::memoryBytes() const
{
    qint64 bytes = 0;
    for (const Level &level : levels)
        bytes += qint64(level.blocks.size()) * qint64(sizeof(RangeStats)) + qint64(sizeof level);
    return bytes;
}

RangeStats MinMaxPyramid::blocks(int level, qint64 b, qint64 e) const
{
    RangeStats result;
    if (b >= e)
        return result;
    const Level &here = levels[level];
    auto addRange = [&](qint64 from, qint64 to) {
        for (qint64 i = from; i < to; ++i)
            result.add(here.blocks[size_t(i - here.firstBlock)]);
    };
    const qint64 firstParent = (b + fanOut - 1) / fanOut;
    const qint64 endParent = e / fanOut;
    const bool aboveComplete = size_t(level) + 1 < levels.size()
        && endParent <= levels[level + 1].firstBlock
                            + qint64(levels[level + 1].blocks.size());
    if (firstParent >= endParent || !aboveComplete) {
        addRange(b, e);
        return result;
    }
    addRange(b, firstParent * fanOut);
    result.add(blocks(level + 1, firstParent, endParent));
    addRange(endParent * fanOut, e);
    return result;
}
