#pragma once

// The samples of one plotted signal in the order their frames came: time, frame number and
// value, 14 bytes a sample in blocks of up to 4,096 (times and numbers as offsets from the
// block's first), with a min/max pyramid over the values, so that a pixel column of any
// width and the statistics between two cursors cost a few dozen steps. The oldest samples
// go when their frames leave the frame log (dropBefore). Samples are addressed by their
// index since the series began; firstIndex() is the oldest still kept.
// One thread at a time: the GUI thread, or a worker while it builds a series nobody else
// sees yet; const members may be shared while nobody appends or drops.

#include "plot/minmaxpyramid.h"

#include <QVector>

#include <deque>

// What one pixel column of a plot shows: the samples [begin, end) that fall in it.
struct PlotColumn
{
    qint64 begin = 0;
    qint64 end = 0;
    double min = 0;
    double max = 0;
    bool isEmpty() const { return begin >= end; }
};

class SampleSeries
{
public:
    void append(qint64 timeUs, qint64 number, double value);
    // Forgets the samples of frames numbered below `number`.
    void dropBefore(qint64 number);
    void clear();

    qint64 firstIndex() const { return first; }
    qint64 endIndex() const { return end; }
    qint64 size() const { return end - first; }
    bool isEmpty() const { return end == first; }

    qint64 timeUs(qint64 index) const;
    qint64 number(qint64 index) const;
    double value(qint64 index) const;

    // The first kept index whose time is not before `timeUs` (endIndex() if none); times
    // are taken to rise, as frames come.
    qint64 lowerBound(qint64 timeUs) const;
    // The statistics of samples [begin, end), clipped to those kept.
    RangeStats stats(qint64 begin, qint64 end) const;
    // Min, max and mean of the samples with times in [fromUs, toUs].
    RangeStats statsBetween(qint64 fromUs, qint64 toUs) const;
    // The value that holds at `timeUs`: the last sample at or before it; false if none.
    bool valueAt(qint64 timeUs, double *value, qint64 *index = nullptr) const;
    // The mean time between samples, 0 with fewer than two.
    double meanCycleUs() const;

    // `width` columns evenly over [fromUs, toUs), each with the samples it covers and
    // their true min and max.
    QVector<PlotColumn> columns(double fromUs, double toUs, int width) const;

    // Bytes held, samples and pyramid, for the memory budget.
    qint64 memoryBytes() const;

    static constexpr int blockSamples = 4096;

private:
    // Up to blockSamples samples: values, time offsets (µs after baseTimeUs) and number
    // offsets (frames after baseNumber), each an array in one allocation that doubles as it
    // fills; full-size ones come from a pool of huge-page slabs.
    class Block
    {
    public:
        Block(qint64 firstIndex, qint64 baseTimeUs, qint64 baseNumber, int capacity);
        Block(Block &&other) noexcept;
        Block &operator=(Block &&other) noexcept;
        Block(const Block &) = delete;
        Block &operator=(const Block &) = delete;
        ~Block();

        bool append(quint32 timeOffset, quint16 numberOffset, double value);
        int count() const { return used; }
        int capacity() const { return size; }
        const double *values() const { return reinterpret_cast<const double *>(storage); }
        const quint32 *timeOffsets() const
        {
            return reinterpret_cast<const quint32 *>(storage + 8 * size_t(size));
        }
        const quint16 *numberOffsets() const
        {
            return reinterpret_cast<const quint16 *>(storage + 12 * size_t(size));
        }
        qint64 lastTimeUs() const { return baseTimeUs + timeOffsets()[used - 1]; }

        qint64 firstIndex;
        qint64 baseTimeUs;
        qint64 baseNumber;

    private:
        void grow();
        static char *allocate(int capacity);
        static void release(char *storage, int capacity);

        char *storage = nullptr;
        int used = 0;
        int size = 0;
    };

    const Block &blockOf(qint64 index) const;
    // lowerBound() for a time at or after that of sample `start`.
    qint64 lowerBoundFrom(qint64 start, qint64 timeUs) const;
    RangeStats scan(qint64 begin, qint64 end) const;

    std::deque<Block> blocks;
    MinMaxPyramid pyramid;
    qint64 first = 0;
    qint64 end = 0;
};
