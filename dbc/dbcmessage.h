#pragma once

#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

// The description of one message of a DBC database, as the reader builds it and the codec
// reads it. Plain values: build them in one thread, then share them read-only.

// One run of adjacent signal bits inside one payload byte: the bits (byte >> shift) & mask
// become bits destination.. of the raw value. A signal of 64 bits touches at most 9 bytes.
struct DbcBitRun
{
    uint8_t byte = 0;
    uint8_t shift = 0;
    uint8_t mask = 0;
    uint8_t destination = 0;
};

// The runs of one signal, held in place: a database of a whole vehicle has a million
// signals, and a block of the heap for each one's runs would cost more than the runs.
class DbcBitRuns
{
public:
    static constexpr int maxRuns = 9;

    void clear() { count = 0; }
    // Beyond maxRuns, which no signal of 64 bits needs, a run is dropped.
    void append(const DbcBitRun &run)
    {
        if (count < maxRuns)
            runs[count++] = run;
    }
    bool isEmpty() const { return count == 0; }
    int size() const { return count; }
    const DbcBitRun *begin() const { return runs; }
    const DbcBitRun *end() const { return runs + count; }

private:
    DbcBitRun runs[maxRuns];
    uint8_t count = 0;
};

// Members are ordered so that the million signals of a large database pack tightly; the
// strings of a database read from a file share their data wherever they are equal.
struct DbcSignal
{
    enum class ByteOrder : uint8_t { Intel, Motorola };
    enum class ValueType : uint8_t { Integer, Float, Double };
    enum class Multiplex : uint8_t { None, Multiplexor, Multiplexed };

    QString name;
    QString unit;
    QStringList receivers;
    QString comment;
    QMap<int64_t, QString> valueDescriptions;   // keyed by raw value
    double factor = 1;
    double offset = 0;
    double minimum = 0;
    double maximum = 0;
    int64_t multiplexValue = 0;
    int startBit = 0;   // as written: Intel the least significant bit, Motorola the most
    int length = 1;
    int bytesNeeded = 0;   // the payload must be at least this long to carry the signal
    ByteOrder byteOrder = ByteOrder::Intel;
    ValueType valueType = ValueType::Integer;
    Multiplex multiplex = Multiplex::None;
    bool isSigned = false;

    // Filled by dbcPrepareLayout() with bytesNeeded; the codec needs nothing else.
    DbcBitRuns runs;

    bool hasRange() const { return minimum != 0 || maximum != 0; }
};
Q_DECLARE_TYPEINFO(DbcSignal, Q_MOVABLE_TYPE);

struct DbcMessage
{
    uint32_t id = 0;
    bool extended = false;
    QString name;
    int length = 0;
    QString transmitter;
    QVector<DbcSignal> signalList;
    int multiplexorIndex = -1;
    int cycleTimeMs = 0;   // 0: not given
    bool fd = false;       // sent as a CAN FD frame (attribute VFrameFormat)
    QString comment;
    QString file;          // where the message was read
    int line = 0;
};
Q_DECLARE_TYPEINFO(DbcMessage, Q_MOVABLE_TYPE);

// Checks that the signal fits a payload of frameBytes and computes its bit runs. Returns
// an empty string on success, else why the signal cannot be used.
QString dbcPrepareLayout(DbcSignal *signal, int frameBytes);

inline uint64_t dbcMessageKey(uint32_t id, bool extended)
{
    return (uint64_t(extended ? 1 : 0) << 32) | id;
}
