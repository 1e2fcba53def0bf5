#pragma once

// Per-identifier statistics behind the "按ID显示" view: one row per (identifier,
// standard/extended, classic/FD, direction) with its count, latest data and the cycle times of its
// last frames. Each frame costs one hash lookup and constant work, whatever the history.
// Not thread-safe: the GUI thread feeds it at the refresh tick and reads it when painting.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QVector>

#include <array>
#include <functional>
#include <queue>
#include <vector>

struct CanMessage;

// The identity of a row packed into one word: 29 identifier bits, the extended flag, the
// direction and the FD flag. The decoding of signals keys its children by the same value.
using IdKey = quint32;
IdKey idKey(quint32 id, bool extended, quint8 direction, bool fd = false);

struct IdRow
{
    static constexpr int windowSize = 100; // cycles kept for mean, min, max, deviation
    static constexpr int markedBytes = 8;  // bytes whose changes are marked

    quint32 id = 0;
    bool extended = false;
    quint8 direction = 0;
    bool fd = false;
    bool brs = false; // of the latest frame
    bool remote = false;
    int dlc = 0;
    QByteArray data;
    qint64 count = 0;
    float lastCycleMs = -1; // negative until a second frame arrived
    qint64 lastSeenMs = 0;  // clock time of the tick that brought the latest frame
    std::array<qint64, markedBytes> changedAtMs; // clock time of each byte's last change

    int cycles() const { return int(ring.size()); }
    double meanMs() const; // the window's statistics; 0 without cycles
    double minMs() const;
    double maxMs() const;
    double stdDevMs() const; // population deviation over the window
    // Bit i set when byte i changed less than `fadeMs` before `nowMs`.
    quint32 changedMask(qint64 nowMs) const;
    // No frame for more than three mean cycles, or for 2 s while no cycle is known.
    bool isSilent(qint64 nowMs) const;
    qint64 silentAfterMs() const;

private:
    friend class IdStatistics;
    void addCycle(float ms);
    void updateMinMax() const;

    qint64 lastStampUs = 0;
    bool hasStamp = false;
    bool stampIsWall = false;
    std::vector<float> ring; // grows to windowSize, then wraps at `ringNext`
    int ringNext = 0;
    int sinceResum = 0;
    double sum = 0;
    double sumSquares = 0;
    mutable float min = 0;
    mutable float max = 0;
    mutable bool minMaxStale = false;
};

class IdStatistics
{
public:
    static constexpr int defaultMaxRows = 100000;
    static constexpr qint64 fadeMs = 1000;
    static constexpr qint64 silenceWithoutCycleMs = 2000;

    explicit IdStatistics(int maxRows = defaultMaxRows);

    // Takes one tick's frames at clock time `nowMs` (milliseconds, never decreasing).
    // Error events have no row. Returns the indices of the rows that changed, each once,
    // new rows included; new rows are appended, so indices stay valid until clear().
    // Rows whose marking faded or that fell silent since the last call are included too.
    QVector<int> add(const QList<CanMessage> &messages, qint64 nowMs);
    void clear();

    int size() const { return int(rows.size()); }
    const IdRow &row(int index) const { return rows[size_t(index)]; }
    // The row of a key, or -1.
    int indexOf(IdKey key) const { return index.value(key, -1); }
    int maxRows() const { return limit; }
    // Frames of identifiers refused because the table was full, since the last clear.
    qint64 refusedFrames() const { return refused; }

private:
    bool stampOf(const CanMessage &msg, qint64 *us, bool *wall);
    void schedule(int row, qint64 dueMs);

    std::vector<IdRow> rows;
    QHash<IdKey, int> index;
    int limit;
    qint64 refused = 0;
    // Time-of-day fallback for frames without a wall-clock stamp, continued over midnight.
    qint64 dayBaseMs = 0;
    qint64 lastDayMs = -1;
    // Rows to repaint at a clock time: when their marking fades or they may fall silent.
    using Due = std::pair<qint64, int>;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due;
    std::vector<quint32> touchedAt; // per row: the call that last reported it
    quint32 calls = 0;
};
