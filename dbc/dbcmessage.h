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

struct DbcSignal
{
    enum class ByteOrder { Intel, Motorola };
    enum class ValueType { Integer, Float, Double };
    enum class Multiplex { None, Multiplexor, Multiplexed };

    QString name;
    int startBit = 0;   // as written: Intel the least significant bit, Motorola the most
    int length = 1;
    ByteOrder byteOrder = ByteOrder::Intel;
    bool isSigned = false;
    ValueType valueType = ValueType::Integer;
    double factor = 1;
    double offset = 0;
    double minimum = 0;
    double maximum = 0;
    QString unit;
    QStringList receivers;
    Multiplex multiplex = Multiplex::None;
    int64_t multiplexValue = 0;
    QString comment;
    QMap<int64_t, QString> valueDescriptions;   // keyed by raw value

    // Filled by dbcPrepareLayout(); the codec needs nothing else.
    QVector<DbcBitRun> runs;
    int bytesNeeded = 0;   // the payload must be at least this long to carry the signal

    bool hasRange() const { return minimum != 0 || maximum != 0; }
};

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

// Checks that the signal fits a payload of frameBytes and computes its bit runs. Returns
// an empty string on success, else why the signal cannot be used.
QString dbcPrepareLayout(DbcSignal *signal, int frameBytes);

inline uint64_t dbcMessageKey(uint32_t id, bool extended)
{
    return (uint64_t(extended ? 1 : 0) << 32) | id;
}
