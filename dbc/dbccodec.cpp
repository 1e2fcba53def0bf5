#include "dbc/dbccodec.h"

#include <cmath>
#include <cstring>

namespace {

uint64_t lowMask(int length)
{
    return length >= 64 ? ~uint64_t(0) : (uint64_t(1) << length) - 1;
}

} // namespace

QString dbcPrepareLayout(DbcSignal *signal, int frameBytes)
{
    signal->runs.clear();
    if (signal->length < 1 || signal->length > 64)
        return QStringLiteral("信号 %1 的长度 %2 不在 1 到 64 之间")
            .arg(signal->name).arg(signal->length);
    if (signal->valueType == DbcSignal::ValueType::Float && signal->length != 32)
        return QStringLiteral("单精度浮点信号 %1 的长度不是 32").arg(signal->name);
    if (signal->valueType == DbcSignal::ValueType::Double && signal->length != 64)
        return QStringLiteral("双精度浮点信号 %1 的长度不是 64").arg(signal->name);
    const int frameBits = frameBytes * 8;
    if (signal->startBit < 0 || signal->startBit >= frameBits)
        return QStringLiteral("信号 %1 的起始位 %2 在 %3 字节的报文之外")
            .arg(signal->name).arg(signal->startBit).arg(frameBytes);

    if (signal->byteOrder == DbcSignal::ByteOrder::Intel) {
        if (signal->startBit + signal->length > frameBits)
            return QStringLiteral("信号 %1 超出 %2 字节的报文").arg(signal->name).arg(frameBytes);
        int position = signal->startBit;
        int destination = 0;
        while (destination < signal->length) {
            const int bit = position % 8;
            const int count = std::min(8 - bit, signal->length - destination);
            signal->runs.append({uint8_t(position / 8), uint8_t(bit),
                                 uint8_t(lowMask(count)), uint8_t(destination)});
            position += count;
            destination += count;
        }
    } else {
        // Counting bits from the most significant bit of byte 0 makes the signal one
        // contiguous range, its most significant bit first.
        const int first = (signal->startBit / 8) * 8 + 7 - signal->startBit % 8;
        if (first + signal->length > frameBits)
            return QStringLiteral("信号 %1 超出 %2 字节的报文").arg(signal->name).arg(frameBytes);
        int position = first;
        int remaining = signal->length;
        while (remaining > 0) {
            const int bitFromTop = position % 8;
            const int count = std::min(8 - bitFromTop, remaining);
            remaining -= count;
            const int shift = 8 - bitFromTop - count;
            signal->runs.append({uint8_t(position / 8), uint8_t(shift),
                                 uint8_t(lowMask(count)), uint8_t(remaining)});
            position += count;
        }
    }
    signal->bytesNeeded = 0;
    for (const DbcBitRun &run : signal->runs)
        signal->bytesNeeded = std::max(signal->bytesNeeded, run.byte + 1);
    return QString();
}

namespace DbcCodec {

bool extractBits(const DbcSignal &signal, const uint8_t *data, int length, uint64_t *bits)
{
    if (length < signal.bytesNeeded || signal.runs.isEmpty())
        return false;
    uint64_t value = 0;
    for (const DbcBitRun &run : signal.runs)
        value |= uint64_t((data[run.byte] >> run.shift) & run.mask) << run.destination;
    *bits = value;
    return true;
}

void interpret(const DbcSignal &signal, uint64_t bits, DbcDecodedSignal *out)
{
    out->bits = bits;
    switch (signal.valueType) {
    case DbcSignal::ValueType::Float: {
        const uint32_t word = uint32_t(bits);
        float value;
        std::memcpy(&value, &word, sizeof value);
        out->raw = value;
        out->rawInteger = 0;
        break;
    }
    case DbcSignal::ValueType::Double:
        std::memcpy(&out->raw, &bits, sizeof out->raw);
        out->rawInteger = 0;
        break;
    case DbcSignal::ValueType::Integer:
        if (signal.isSigned && signal.length < 64 && (bits >> (signal.length - 1)) & 1)
            out->rawInteger = int64_t(bits | ~lowMask(signal.length));
        else
            out->rawInteger = int64_t(bits);
        out->raw = signal.isSigned ? double(out->rawInteger) : double(bits);
        break;
    }
    out->physical = out->raw * signal.factor + signal.offset;
    out->outOfRange = signal.hasRange()
        && !(out->physical >= signal.minimum && out->physical <= signal.maximum);
}

int decode(const DbcMessage &message, const uint8_t *data, int length,
           QVector<DbcDecodedSignal> *out)
{
    const int count = message.signalList.size();
    if (out->size() < count)
        out->resize(count);
    bool haveSelector = false;
    int64_t selector = 0;
    if (message.multiplexorIndex >= 0) {
        const DbcSignal &mux = message.signalList.at(message.multiplexorIndex);
        uint64_t bits;
        if (extractBits(mux, data, length, &bits)) {
            DbcDecodedSignal value;
            interpret(mux, bits, &value);
            selector = value.rawInteger;
            haveSelector = true;
        }
    }
    int written = 0;
    DbcDecodedSignal *target = out->data();
    for (int i = 0; i < count; ++i) {
        const DbcSignal &signal = message.signalList.at(i);
        if (signal.multiplex == DbcSignal::Multiplex::Multiplexed
            && (!haveSelector || signal.multiplexValue != selector))
            continue;
        uint64_t bits;
        if (!extractBits(signal, data, length, &bits))
            continue;
        DbcDecodedSignal &value = target[written++];
        value.index = i;
        interpret(signal, bits, &value);
    }
    return written;
}

QString valueDescription(const DbcSignal &signal, int64_t rawInteger)
{
    if (signal.valueDescriptions.isEmpty() || signal.valueType != DbcSignal::ValueType::Integer)
        return QString();
    return signal.valueDescriptions.value(rawInteger);
}

uint64_t physicalToBits(const DbcSignal &signal, double physical, bool *clamped)
{
    bool limited = false;
    uint64_t bits = 0;
    const long double raw = signal.factor == 0
        ? 0.0L
        : (static_cast<long double>(physical) - signal.offset) / signal.factor;
    switch (signal.valueType) {
    case DbcSignal::ValueType::Float: {
        const float value = float(raw);
        uint32_t word;
        std::memcpy(&word, &value, sizeof word);
        bits = word;
        break;
    }
    case DbcSignal::ValueType::Double: {
        const double value = double(raw);
        std::memcpy(&bits, &value, sizeof bits);
        break;
    }
    case DbcSignal::ValueType::Integer: {
        const long double steps = std::isnan(raw) ? 0.0L : std::round(raw);
        limited = std::isnan(raw);
        // long double holds every 64-bit integer exactly, so the limits compare exactly.
        if (signal.isSigned) {
            const long double low = -std::ldexp(1.0L, signal.length - 1);
            const long double high = std::ldexp(1.0L, signal.length - 1) - 1;
            const long double value = std::min(std::max(steps, low), high);
            limited = limited || value != steps;
            bits = uint64_t(static_cast<int64_t>(value)) & lowMask(signal.length);
        } else {
            const long double high = std::ldexp(1.0L, signal.length) - 1;
            const long double value = std::min(std::max(steps, 0.0L), high);
            limited = limited || value != steps;
            bits = static_cast<uint64_t>(value);
        }
        break;
    }
    }
    if (clamped)
        *clamped = limited;
    return bits;
}

void insertBits(const DbcSignal &signal, uint64_t bits, uint8_t *data, int length)
{
    for (const DbcBitRun &run : signal.runs) {
        if (run.byte >= length)
            continue;
        const uint8_t field = uint8_t(run.mask << run.shift);
        const uint8_t value = uint8_t(((bits >> run.destination) & run.mask) << run.shift);
        data[run.byte] = uint8_t((data[run.byte] & ~field) | value);
    }
}

QByteArray encode(const DbcMessage &message, const QHash<QString, double> &physical,
                  const QByteArray &initial)
{
    QByteArray payload(message.length, '\0');
    std::memcpy(payload.data(), initial.constData(), std::min(initial.size(), payload.size()));
    auto *data = reinterpret_cast<uint8_t *>(payload.data());
    for (const DbcSignal &signal : message.signalList) {
        const auto found = physical.constFind(signal.name);
        if (found != physical.constEnd())
            insertBits(signal, physicalToBits(signal, found.value()), data, payload.size());
    }
    return payload;
}

QString formatValue(const DbcSignal &signal, const DbcDecodedSignal &value)
{
    const QString description = valueDescription(signal, value.rawInteger);
    if (!description.isEmpty())
        return description;
    return physicalText(signal, value);
}

QString physicalText(const DbcSignal &signal, const DbcDecodedSignal &value)
{
    QString text = QString::number(value.physical, 'g', 10);
    if (!signal.unit.isEmpty())
        text += QLatin1Char(' ') + signal.unit;
    return text;
}

QString rawText(const DbcSignal &signal, const DbcDecodedSignal &value)
{
    if (signal.valueType != DbcSignal::ValueType::Integer)
        return QString::number(value.raw, 'g', 9);
    return signal.isSigned ? QString::number(value.rawInteger)
                           : QString::number(qulonglong(value.bits));
}

QString rangeMark(const DbcSignal &signal, const DbcDecodedSignal &value)
{
    if (!value.outOfRange)
        return QString();
    return QStringLiteral("超限 [%1, %2]").arg(signal.minimum).arg(signal.maximum);
}

} // namespace DbcCodec
