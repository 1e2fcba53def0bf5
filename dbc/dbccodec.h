#pragma once

#include "dbc/dbcmessage.h"

#include <QVariantMap>

// Turns payload bytes into signal values and back, after the layout of each signal has been
// prepared by the reader. Pure functions of their arguments: any thread may call them.

struct DbcDecodedSignal
{
    int index = -1;          // into DbcMessage::signalList
    uint64_t bits = 0;       // the signal's bits, least significant first
    int64_t rawInteger = 0;  // sign-extended for signed integer signals
    double raw = 0;          // the raw value as a number (the float for float signals)
    double physical = 0;
    bool outOfRange = false;
};

namespace DbcCodec {

// Extracts one signal's bits; false when the payload is too short for it.
bool extractBits(const DbcSignal &signal, const uint8_t *data, int length, uint64_t *bits);
// Fills in raw and physical values from the bits.
void interpret(const DbcSignal &signal, uint64_t bits, DbcDecodedSignal *out);

// Decodes the signals that the payload carries: all plain ones, the multiplexor and the
// signals of its current value. Signals that the payload is too short for are left out.
// Returns the number of signals written to out (resized, never reallocated when large
// enough).
int decode(const DbcMessage &message, const uint8_t *data, int length,
           QVector<DbcDecodedSignal> *out);

// The description of a raw value, or an empty string.
QString valueDescription(const DbcSignal &signal, int64_t rawInteger);

// Raw bits for a physical value: rounded to the nearest step and saturated to what the
// signal can carry. *clamped tells whether the value had to be limited.
uint64_t physicalToBits(const DbcSignal &signal, double physical, bool *clamped = nullptr);

// Writes the signal's bits into the payload, leaving every other bit as it was.
void insertBits(const DbcSignal &signal, uint64_t bits, uint8_t *data, int length);

// Composes a payload of the message's length from physical values by signal name; signals
// without a value keep the bits of `initial` (zero when it is shorter).
QByteArray encode(const DbcMessage &message, const QHash<QString, double> &physical,
                  const QByteArray &initial = QByteArray());

// A short text of the value, with unit or description, as the views show it.
QString formatValue(const DbcSignal &signal, const DbcDecodedSignal &value);
// The physical value with its unit ("2350 rpm").
QString physicalText(const DbcSignal &signal, const DbcDecodedSignal &value);
// The raw value: signed or unsigned integer, or the number a float signal carries.
QString rawText(const DbcSignal &signal, const DbcDecodedSignal &value);
// "超限 [min, max]" for a value outside the signal's range, else an empty string.
QString rangeMark(const DbcSignal &signal, const DbcDecodedSignal &value);

} // namespace DbcCodec
