#include "transmit/framecheck.h"

#include <QStringList>

#include <algorithm>
#include <limits>

namespace FrameCheck {

namespace {

// The conversions read ASCII digits only; other scripts' digits are no number to them.
bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isAsciiHex(QChar c)
{
    return isAsciiDigit(c) || (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f'));
}

} // namespace

bool parseId(const QString &text, bool extended, quint32 *id, QString *reason)
{
    bool ok = false;
    const QString digits = text.trimmed();
    const uint value = digits.toUInt(&ok, 16);
    if (!ok) {
        // Hexadecimal digits that overflow are an identifier far out of range, not a typo.
        const QString bare = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                ? digits.mid(2) : digits;
        const bool allHex = !bare.isEmpty() && std::all_of(bare.begin(), bare.end(), isAsciiHex);
        if (digits.isEmpty())
            *reason = QStringLiteral("帧ID为空，未发送");
        else if (allHex)
            *reason = QStringLiteral("帧ID“%1”超出%2范围（最大 0x%3），未发送")
                              .arg(text.left(40))
                              .arg(extended ? QStringLiteral("扩展帧") : QStringLiteral("标准帧"))
                              .arg(extended ? 0x1fffffffu : 0x7ffu, 0, 16);
        else
            *reason = QStringLiteral("帧ID“%1”不是十六进制数，未发送").arg(text.left(40));
        return false;
    }
    const quint32 highest = extended ? 0x1fffffffu : 0x7ffu;
    if (value > highest) {
        *reason = QStringLiteral("帧ID 0x%1 超出%2范围（最大 0x%3），未发送")
                          .arg(value, 0, 16)
                          .arg(extended ? QStringLiteral("扩展帧") : QStringLiteral("标准帧"))
                          .arg(highest, 0, 16);
        return false;
    }
    *id = value;
    return true;
}

bool parseData(const QString &text, QByteArray *data, QString *reason, int maxBytes)
{
    QByteArray bytes;
    const QStringList tokens = text.split(QStringLiteral(" "), Qt::SkipEmptyParts);
    if (tokens.size() > maxBytes) {
        *reason = QStringLiteral("数据有 %1 个字节，一帧最多 %2 个，未发送")
                          .arg(tokens.size())
                          .arg(maxBytes);
        return false;
    }
    for (const QString &token : tokens) {
        bool ok = false;
        const uint value = token.toUInt(&ok, 16);
        if (!ok || value > 0xff) {
            *reason = QStringLiteral("数据“%1”不是一个十六进制字节，未发送").arg(token.left(40));
            return false;
        }
        bytes.append(char(value));
    }
    *data = bytes;
    return true;
}

int fdLength(int size)
{
    static const int lengths[] = { 12, 16, 20, 24, 32, 48, 64 };
    if (size <= 8)
        return std::max(size, 0);
    for (int length : lengths) {
        if (size <= length)
            return length;
    }
    return -1;
}

bool checkFd(bool fd, bool brs, bool remote, QByteArray *data, int *padded, QString *reason)
{
    *padded = 0;
    if (brs && !fd) {
        *reason = QStringLiteral("BRS 只用于 FD 帧，未发送");
        return false;
    }
    if (fd && remote) {
        *reason = QStringLiteral("FD 帧没有远程帧，未发送");
        return false;
    }
    const int highest = fd ? maxFdDataBytes : maxDataBytes;
    if (data->size() > highest) {
        *reason = QStringLiteral("数据有 %1 个字节，一帧最多 %2 个，未发送")
                          .arg(data->size())
                          .arg(highest);
        return false;
    }
    if (fd) {
        *padded = fdLength(data->size()) - data->size();
        data->append(QByteArray(*padded, '\0'));
    }
    return true;
}

bool parseCount(const QString &text, int highest, bool signedText, const QString &name,
                int *value, QString *reason)
{
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok);
    if (!ok) {
        // Text that is no number at all keeps the old reading; digits that merely
        // overflow are a value far above the bound.
        const QString digits = text.trimmed();
        const bool allDigits = !digits.isEmpty()
                && std::all_of(digits.begin(), digits.end(), isAsciiDigit);
        if (!allDigits) {
            *value = 0;
            return true;
        }
    }
    if (ok && number < 0 && !signedText) {
        *value = 0;
        return true;
    }
    if (!ok || number > highest) {
        *reason = QStringLiteral("%1最大为 %2，未发送").arg(name).arg(highest);
        return false;
    }
    *value = int(qMax<qlonglong>(number, std::numeric_limits<int>::min()));
    return true;
}

} // namespace FrameCheck
