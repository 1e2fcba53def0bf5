#include "input/typednumber.h"

#include <limits>

namespace TypedNumber {

QString asciiForms(const QString &text)
{
    QString result = text;
    for (QChar &c : result) {
        const ushort code = c.unicode();
        if (code >= 0xff01 && code <= 0xff5e)
            c = QChar(ushort(code - 0xff01 + 0x21));
        else if (code == 0x3000)
            c = QLatin1Char(' ');
    }
    return result;
}

bool readWhole(const QString &text, qint64 *value)
{
    const QString digits = asciiForms(text).trimmed();
    int i = 0;
    const bool negative = digits.startsWith(QLatin1Char('-'));
    if (negative || digits.startsWith(QLatin1Char('+')))
        ++i;
    if (i == digits.size())
        return false;
    const qint64 highest = std::numeric_limits<qint64>::max();
    qint64 number = 0;
    bool saturated = false;
    for (; i < digits.size(); ++i) {
        const ushort c = digits.at(i).unicode();
        if (c < '0' || c > '9')
            return false;
        if (number > (highest - (c - '0')) / 10)
            saturated = true;
        else
            number = number * 10 + (c - '0');
    }
    if (saturated)
        number = highest;
    *value = negative ? (saturated ? std::numeric_limits<qint64>::min() : -number) : number;
    return true;
}

} // namespace TypedNumber
