#include "plot/plotsignal.h"

#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "input/typednumber.h"

#include <QRegularExpression>

#include <cstring>

namespace {

constexpr int largestFrameBytes = 64;

bool resolveBitField(const QString &text, PlotSignal *out, QString *error)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^([0-9A-Fa-f]{1,8})\\[(\\d{1,3})\\|(\\d{1,2})@([01])([+-])\\]$"));
    // Typed in full-width forms, the field reads as the numbers it shows; the plot keeps the
    // name as it was typed.
    const QRegularExpressionMatch match = pattern.match(TypedNumber::asciiForms(text));
    if (!match.hasMatch())
        return false;
    const QString idText = match.captured(1);
    const quint32 id = idText.toUInt(nullptr, 16);
    const bool extended = idText.size() == 8;
    if (id > (extended ? 0x1FFFFFFFu : 0x7FFu)) {
        *error = QStringLiteral("标识符 %1 超出%2帧的范围")
                     .arg(idText, extended ? QStringLiteral("扩展") : QStringLiteral("标准"));
        return true;
    }
    DbcSignal signal;
    signal.name = text;
    signal.startBit = match.captured(2).toInt();
    signal.length = match.captured(3).toInt();
    signal.byteOrder = match.captured(4) == QLatin1String("1") ? DbcSignal::ByteOrder::Intel
                                                               : DbcSignal::ByteOrder::Motorola;
    signal.isSigned = match.captured(5) == QLatin1String("-");
    const QString layout = dbcPrepareLayout(&signal, largestFrameBytes);
    if (!layout.isEmpty()) {
        *error = layout;
        return true;
    }
    out->name = text;
    out->unit.clear();
    out->id = id;
    out->extended = extended;
    out->signal = signal;
    out->multiplexed = false;
    return true;
}

} // namespace

QString PlotSignal::title() const
{
    return unit.isEmpty() ? name : QStringLiteral("%1 [%2]").arg(name, unit);
}

bool PlotSignal::sample(const quint8 *data, int length, double *value) const
{
    if (multiplexed) {
        uint64_t selector;
        if (!DbcCodec::extractBits(multiplexor, data, length, &selector))
            return false;
        DbcDecodedSignal mux;
        DbcCodec::interpret(multiplexor, selector, &mux);
        if (mux.rawInteger != signal.multiplexValue)
            return false;
    }
    uint64_t bits;
    if (!DbcCodec::extractBits(signal, data, length, &bits))
        return false;
    DbcDecodedSignal decoded;
    DbcCodec::interpret(signal, bits, &decoded);
    *value = decoded.physical;
    return true;
}

bool PlotSignal::sample(const FrameRecord &record, const FrameTails *tails,
                        double *value) const
{
    constexpr quint8 skipped = FrameRecord::Remote | FrameRecord::Error
        | FrameRecord::Oversized;
    if (record.id != id || bool(record.flags & FrameRecord::Extended) != extended
        || (record.flags & skipped) || !(record.flags & FrameRecord::Success)) {
        return false;
    }
    const int size = std::min<int>(record.size, sizeof record.data);
    const quint8 *tail = frameTail(record, tails);
    if (!tail)
        return sample(record.data, size, value);
    quint8 bytes[64];
    std::memcpy(bytes, record.data, size_t(size));
    std::memcpy(bytes + size, tail, size_t(record.dlc - size));
    return sample(bytes, record.dlc, value);
}

bool resolvePlotSignal(const QString &typed, const DbcDatabase *database, PlotSignal *out,
                       QString *error)
{
    const QString text = typed.trimmed();
    error->clear();
    if (resolveBitField(text, out, error))
        return error->isEmpty();
    const int dot = text.indexOf(QLatin1Char('.'));
    const DbcMessage *message = nullptr;
    if (dot > 0 && database)
        message = database->messageByName(text.left(dot));
    if (message) {
        const QString name = text.mid(dot + 1);
        for (const DbcSignal &signal : message->signalList) {
            if (signal.name != name)
                continue;
            out->name = text;
            out->unit = signal.unit;
            out->id = message->id;
            out->extended = message->extended;
            out->signal = signal;
            out->multiplexed = signal.multiplex == DbcSignal::Multiplex::Multiplexed
                && message->multiplexorIndex >= 0;
            out->multiplexor = out->multiplexed
                ? message->signalList.at(message->multiplexorIndex) : DbcSignal();
            return true;
        }
    }
    *error = QStringLiteral("未知信号：%1").arg(text);
    return false;
}

QStringList plotSignalMatches(const DbcDatabase &database, const QString &text, int limit)
{
    QStringList names;
    if (text.isEmpty())
        return names;
    // Names hold no dot, so a text with one must end a message name and begin a signal's.
    const int dot = text.indexOf(QLatin1Char('.'));
    const QString head = text.left(dot);
    const QString tail = text.mid(dot + 1);
    for (const DbcMessage &message : database.messages()) {
        bool wholeMessage = false;
        if (dot < 0)
            wholeMessage = message.name.contains(text, Qt::CaseInsensitive);
        else if (!message.name.endsWith(head, Qt::CaseInsensitive))
            continue;
        for (const DbcSignal &signal : message.signalList) {
            const bool match = wholeMessage
                    || (dot < 0 ? signal.name.contains(text, Qt::CaseInsensitive)
                                : signal.name.startsWith(tail, Qt::CaseInsensitive));
            if (!match)
                continue;
            names.append(message.name + QLatin1Char('.') + signal.name);
            if (names.size() == limit) {
                names.sort(Qt::CaseInsensitive);
                return names;
            }
        }
    }
    names.sort(Qt::CaseInsensitive);
    return names;
}

qint64 plotFrameTimeUs(const FrameRecord &record)
{
    if (record.timestampUs)
        return record.timestampUs;
    return record.timeMs >= 0 ? qint64(record.timeMs) * 1000 : 0;
}
