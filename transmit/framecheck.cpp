#include "transmit/framecheck.h"

#include "input/typednumber.h"

#include <QStringList>

#include <algorithm>

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

uint highestId(bool extended)
{
    return extended ? CANABLE_MAX_EXTENDED_ID : CANABLE_MAX_STANDARD_ID;
}

} // namespace

bool parseId(const QString &text, bool extended, quint32 *id, QString *reason)
{
    bool ok = false;
    const QString digits = TypedNumber::asciiForms(text).trimmed();
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
                              .arg(highestId(extended), 0, 16);
        else
            *reason = QStringLiteral("帧ID“%1”不是十六进制数，未发送").arg(text.left(40));
        return false;
    }
    if (!canable_isTransmittable(value, extended, 0)) {
        *reason = QStringLiteral("帧ID 0x%1 超出%2范围（最大 0x%3），未发送")
                          .arg(value, 0, 16)
                          .arg(extended ? QStringLiteral("扩展帧") : QStringLiteral("标准帧"))
                          .arg(highestId(extended), 0, 16);
        return false;
    }
    *id = value;
    return true;
}

bool parseData(const QString &text, QByteArray *data, QString *reason, int maxBytes)
{
    QByteArray bytes;
    const QStringList tokens = TypedNumber::asciiForms(text).split(QStringLiteral(" "),
                                                                  Qt::SkipEmptyParts);
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
    for (int length = std::max(size, 0); length <= maxFdDataBytes; ++length) {
        if (canable_isFdLength(unsigned(length)))
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
    if (fd) {
        *padded = fdLength(data->size()) - data->size();
        data->append(QByteArray(*padded, '\0'));
    }
    return true;
}

bool parseCount(const QString &text, int highest, const QString &name, int *value,
                QString *reason)
{
    qint64 number = 0;
    if (!TypedNumber::readWhole(text, &number)) {
        *reason = text.trimmed().isEmpty()
                ? QStringLiteral("%1为空，未发送").arg(name)
                : QStringLiteral("%1“%2”不是整数，未发送").arg(name, text.left(40));
        return false;
    }
    if (number < 0) {
        *reason = QStringLiteral("%1不能为负数，未发送").arg(name);
        return false;
    }
    if (number > highest) {
        *reason = QStringLiteral("%1最大为 %2，未发送").arg(name).arg(highest);
        return false;
    }
    *value = int(number);
    return true;
}

} // namespace FrameCheck
