#include "idview/idstatistics.h"

#include "device/canmessage.h"

#include <QTime>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr qint64 dayMs = 24 * 3600 * 1000;
constexpr qint64 neverMs = std::numeric_limits<qint64>::min() / 2;
}

IdKey idKey(quint32 id, bool extended, quint8 direction, bool fd)
{
    return (id & 0x1fffffffu) | (extended ? 1u << 29 : 0u) | (direction ? 1u << 30 : 0u)
            | (fd ? 1u << 31 : 0u);
}

double IdRow::meanMs() const
{
    return ring.empty() ? 0 : sum / double(ring.size());
}

double IdRow::minMs() const
{
    updateMinMax();
    return min;
}

double IdRow::maxMs() const
{
    updateMinMax();
    return max;
}

double IdRow::stdDevMs() const
{
    if (ring.empty())
        return 0;
    const double mean = meanMs();
    // Rounding can leave a tiny negative variance for a perfectly regular row.
    return std::sqrt(std::max(0.0, sumSquares / double(ring.size()) - mean * mean));
}

quint32 IdRow::changedMask(qint64 nowMs) const
{
    quint32 mask = 0;
    for (int i = 0; i < markedBytes; ++i) {
        if (nowMs - changedAtMs[size_t(i)] < IdStatistics::fadeMs)
            mask |= 1u << i;
    }
    return mask;
}

qint64 IdRow::silentAfterMs() const
{
    return ring.empty() ? IdStatistics::silenceWithoutCycleMs : qint64(std::ceil(3 * meanMs()));
}

bool IdRow::isSilent(qint64 nowMs) const
{
    return nowMs - lastSeenMs > silentAfterMs();
}

void IdRow::addCycle(float ms)
{
    lastCycleMs = ms;
    if (int(ring.size()) < windowSize) {
        ring.push_back(ms);
        sum += ms;
        sumSquares += double(ms) * ms;
        if (ring.size() == 1) {
            min = max = ms;
        } else if (!minMaxStale) {
            min = std::min(min, ms);
            max = std::max(max, ms);
        }
        return;
    }
    const float old = ring[size_t(ringNext)];
    ring[size_t(ringNext)] = ms;
    ringNext = (ringNext + 1) % windowSize;
    // Running sums drift by rounding; summing the window afresh once per turn of the ring
    // keeps them exact at a constant cost per frame.
    if (++sinceResum >= windowSize) {
        sinceResum = 0;
        sum = 0;
        sumSquares = 0;
        for (float v : ring) {
            sum += v;
            sumSquares += double(v) * v;
        }
    } else {
        sum += double(ms) - old;
        sumSquares += double(ms) * ms - double(old) * old;
    }
    if (minMaxStale)
        return;
    if (old == min || old == max) {
        minMaxStale = true; // found again when asked, at most once per paint
    } else {
        min = std::min(min, ms);
        max = std::max(max, ms);
    }
}

void IdRow::updateMinMax() const
{
    if (!minMaxStale)
        return;
    minMaxStale = false;
    if (ring.empty()) {
        min = max = 0;
        return;
    }
    const auto [lo, hi] = std::minmax_element(ring.begin(), ring.end());
    min = *lo;
    max = *hi;
}

IdStatistics::IdStatistics(int maxRows)
    : limit(maxRows)
{
}

bool IdStatistics::stampOf(const CanMessage &msg, qint64 *us, bool *wall)
{
    if (msg.timestampUs != 0) {
        *us = msg.timestampUs;
        *wall = true;
        return true;
    }
    if (!msg.time.isValid())
        return false;
    // Time of day only: a jump back by more than half a day is the next day; a frame
    // more than half a day ahead of the latest is a late one from before midnight.
    qint64 ms = dayBaseMs + msg.time.msecsSinceStartOfDay();
    if (lastDayMs >= 0 && ms < lastDayMs - dayMs / 2) {
        dayBaseMs += dayMs;
        ms += dayMs;
    } else if (lastDayMs >= 0 && ms > lastDayMs + dayMs / 2 && dayBaseMs > 0) {
        ms -= dayMs;
    }
    lastDayMs = std::max(lastDayMs, ms);
    *us = ms * 1000;
    *wall = false;
    return true;
}

void IdStatistics::schedule(int row, qint64 dueMs)
{
    due.emplace(dueMs, row);
}

QVector<int> IdStatistics::add(const QList<CanMessage> &messages, qint64 nowMs)
{
    ++calls;
    QVector<int> changed;
    auto report = [&](int r) {
        if (touchedAt[size_t(r)] != calls) {
            touchedAt[size_t(r)] = calls;
            changed.append(r);
        }
    };

    for (const CanMessage &msg : messages) {
        if (msg.error)
            continue;
        const IdKey key = idKey(msg.id, msg.extended, msg.direction, msg.fd);
        auto it = index.constFind(key);
        int r;
        bool isNew = false;
        if (it != index.constEnd()) {
            r = it.value();
        } else {
            if (size() >= limit) {
                ++refused;
                continue;
            }
            r = size();
            index.insert(key, r);
            rows.emplace_back();
            touchedAt.push_back(0);
            IdRow &fresh = rows.back();
            fresh.id = msg.id & 0x1fffffffu;
            fresh.extended = msg.extended;
            fresh.direction = msg.direction;
            fresh.fd = msg.fd;
            fresh.changedAtMs.fill(neverMs);
            isNew = true;
        }
        IdRow &row = rows[size_t(r)];

        if (!isNew) {
            const int n = std::min<int>(IdRow::markedBytes,
                                        std::max(row.data.size(), msg.data.size()));
            for (int i = 0; i < n; ++i) {
                if (i >= row.data.size() || i >= msg.data.size()
                    || row.data.at(i) != msg.data.at(i))
                    row.changedAtMs[size_t(i)] = nowMs;
            }
        }
        row.data = msg.data;
        row.dlc = msg.dlc;
        row.remote = msg.remote;
        row.brs = msg.brs;
        ++row.count;
        row.lastSeenMs = nowMs;

        qint64 us;
        bool wall;
        if (stampOf(msg, &us, &wall)) {
            // A stamp of the other kind or one running backwards gives no cycle: the two
            // clocks cannot be compared, and a negative cycle is no cycle.
            if (row.hasStamp && row.stampIsWall == wall && us >= row.lastStampUs)
                row.addCycle(float(double(us - row.lastStampUs) / 1000.0));
            if (!row.hasStamp || row.stampIsWall != wall || us >= row.lastStampUs)
                row.lastStampUs = us;
            row.hasStamp = true;
            row.stampIsWall = wall;
        }
        report(r);
    }

    for (int r : qAsConst(changed)) {
        const IdRow &row = rows[size_t(r)];
        schedule(r, nowMs + row.silentAfterMs() + 1);
        if (row.changedMask(nowMs))
            schedule(r, nowMs + fadeMs);
    }
    while (!due.empty() && due.top().first <= nowMs) {
        const int r = due.top().second;
        due.pop();
        report(r);
    }
    // Stale entries of rows that kept sending pile up; beyond a few per row the queue is
    // rebuilt from the rows' current deadlines.
    if (due.size() > 4 * rows.size() + 4096) {
        decltype(due) fresh;
        for (int r = 0; r < size(); ++r) {
            const IdRow &row = rows[size_t(r)];
            if (!row.isSilent(nowMs))
                fresh.emplace(row.lastSeenMs + row.silentAfterMs() + 1, r);
            if (row.changedMask(nowMs))
                fresh.emplace(nowMs + fadeMs, r);
        }
        due.swap(fresh);
    }
    return changed;
}

void IdStatistics::clear()
{
    rows.clear();
    rows.shrink_to_fit();
    index = QHash<IdKey, int>();
    touchedAt.clear();
    touchedAt.shrink_to_fit();
    due = decltype(due)();
    refused = 0;
    dayBaseMs = 0;
    lastDayMs = -1;
}
