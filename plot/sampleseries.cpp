#include "plot/sampleseries.h"

#include <algorithm>
#include <cmath>

void SampleSeries::append(qint64 timeUs, qint64 number, double value)
{
    bool fresh = blocks.empty();
    if (!fresh) {
        const Block &last = blocks.back();
        // A frame out of time order, a gap of over an hour or of 65,536 frames starts a
        // block of its own rather than losing the exact time or number.
        fresh = last.count() == blockSamples || timeUs < last.baseTimeUs
            || timeUs - last.baseTimeUs > qint64(0xffffffffu) || number < last.baseNumber
            || number - last.baseNumber > 0xffff;
    }
    if (fresh) {
        blocks.emplace_back();
        Block &block = blocks.back();
        block.firstIndex = end;
        block.baseTimeUs = timeUs;
        block.baseNumber = number;
    }
    Block &block = blocks.back();
    block.timeOffset.push_back(quint32(timeUs - block.baseTimeUs));
    block.numberOffset.push_back(quint16(number - block.baseNumber));
    block.values.push_back(value);
    pyramid.append(value);
    ++end;
}

void SampleSeries::dropBefore(qint64 number)
{
    // Frame numbers rise with the index, so the samples to drop are a prefix.
    while (!blocks.empty()) {
        const Block &block = blocks.front();
        const qint64 blockEnd = block.firstIndex + block.count();
        if (block.baseNumber + block.numberOffset.back() < number) {
            first = blockEnd;
            blocks.pop_front();
            continue;
        }
        qint64 index = std::max(first, block.firstIndex);
        while (index < blockEnd
               && block.baseNumber + block.numberOffset[size_t(index - block.firstIndex)]
                      < number) {
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
    return block.baseTimeUs + block.timeOffset[size_t(index - block.firstIndex)];
}

qint64 SampleSeries::number(qint64 index) const
{
    const Block &block = blockOf(index);
    return block.baseNumber + block.numberOffset[size_t(index - block.firstIndex)];
}

double SampleSeries::value(qint64 index) const
{
    const Block &block = blockOf(index);
    return block.values[size_t(index - block.firstIndex)];
}

qint64 SampleSeries::lowerBound(qint64 timeUs) const
{
    if (blocks.empty())
        return end;
    // The first block whose last sample is not before the time, then within it.
    auto found = std::partition_point(blocks.begin(), blocks.end(), [timeUs](const Block &b) {
        return b.baseTimeUs + b.timeOffset.back() < timeUs;
    });
    if (found == blocks.end())
        return end;
    const Block &block = *found;
    const qint64 start = std::max(first, block.firstIndex) - block.firstIndex;
    if (timeUs <= block.baseTimeUs)
        return block.firstIndex + start;
    const quint64 offset = quint64(timeUs - block.baseTimeUs);
    auto at = std::lower_bound(block.timeOffset.begin() + start, block.timeOffset.end(),
                               offset, [](quint32 a, quint64 b) { return a < b; });
    return block.firstIndex + (at - block.timeOffset.begin());
}

RangeStats SampleSeries::scan(qint64 begin, qint64 stop) const
{
    RangeStats result;
    while (begin < stop) {
        const Block &block = blockOf(begin);
        const qint64 blockEnd = std::min(stop, block.firstIndex + block.count());
        const double *values = block.values.data() - block.firstIndex;
        for (qint64 i = begin; i < blockEnd; ++i)
            result.add(values[i]);
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
    auto boundary = [&](int x) {
        return lowerBound(qint64(std::ceil(fromUs + step * x)));
    };
    qint64 begin = boundary(0);
    for (int x = 0; x < width; ++x) {
        const qint64 stop = x + 1 == width ? lowerBound(qint64(std::ceil(toUs))) : boundary(x + 1);
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
        bytes += qint64(sizeof block) + qint64(block.timeOffset.capacity()) * 4
            + qint64(block.numberOffset.capacity()) * 2 + qint64(block.values.capacity()) * 8;
    }
    return bytes;
}
