#include "device/capturefilter.h"

#include "input/typednumber.h"

namespace {

// All eight digits mark a 29-bit identifier, as in candump's filters.
constexpr int extendedDigits = 8;

class Parser
{
public:
    explicit Parser(const QString &text) : text(text) {}

    bool parse(QVector<CanReceiveFilter> *terms)
    {
        skipSpace();
        if (at == text.size())
            return true;
        for (;;) {
            CanReceiveFilter term = {};
            if (!parseTerm(&term))
                return false;
            if (terms->size() == CANABLE_FILTER_MAX)
                return fail(QStringLiteral("最多 %1 项").arg(CANABLE_FILTER_MAX), termStart);
            terms->append(term);
            skipSpace();
            if (at == text.size())
                return true;
            if (text.at(at) != QLatin1Char(','))
                return fail(QStringLiteral("过滤项之间应为逗号"), at);
            ++at;
            skipSpace();
        }
    }

    QString error;
    int errorAt = 0;

private:
    bool parseTerm(CanReceiveFilter *term)
    {
        termStart = at;
        if (at < text.size() && text.at(at) == QLatin1Char('#'))
            return fail(QStringLiteral("错误帧总是接收，不能过滤"), at);
        int digits = 0;
        quint32 id = 0;
        if (!parseHex(&id, &digits, QStringLiteral("ID")))
            return false;
        if (at == text.size() || (text.at(at) != QLatin1Char(':')
                                  && text.at(at) != QLatin1Char('~')))
            return fail(QStringLiteral("应为 ID:掩码 或 ID~掩码"), at);
        term->inverted = text.at(at) == QLatin1Char('~') ? 1 : 0;
        ++at;
        int maskDigits = 0;
        if (!parseHex(&term->mask, &maskDigits, QStringLiteral("掩码")))
            return false;
        if (digits == extendedDigits) {
            if (id > CANABLE_MAX_EXTENDED_ID)
                return fail(QStringLiteral("扩展帧ID不能大于 1FFFFFFF"), termStart);
            term->id = id | CANABLE_FILTER_EXTENDED;
        } else {
            if (id > CANABLE_MAX_STANDARD_ID)
                return fail(QStringLiteral("标准帧ID不能大于 7FF（扩展帧ID写满 8 位）"),
                            termStart);
            term->id = id;
        }
        return true;
    }

    bool parseHex(quint32 *value, int *digits, const QString &what)
    {
        const int start = at;
        quint64 number = 0;
        while (at < text.size()) {
            const int digit = hexDigit(text.at(at));
            if (digit < 0)
                break;
            number = number << 4 | quint64(digit);
            ++at;
            if (at - start > extendedDigits)
                return fail(QStringLiteral("%1最多 8 位十六进制数").arg(what), start);
        }
        if (at == start)
            return fail(QStringLiteral("应为十六进制的%1").arg(what), start);
        *value = quint32(number);
        *digits = at - start;
        return true;
    }

    static int hexDigit(QChar c)
    {
        const ushort u = c.unicode();
        if (u >= '0' && u <= '9')
            return u - '0';
        if (u >= 'a' && u <= 'f')
            return u - 'a' + 10;
        if (u >= 'A' && u <= 'F')
            return u - 'A' + 10;
        return -1;
    }

    void skipSpace()
    {
        while (at < text.size() && text.at(at).isSpace())
            ++at;
    }

    bool fail(const QString &why, int where)
    {
        error = why;
        errorAt = where;
        return false;
    }

    const QString &text;
    int at = 0;
    int termStart = 0;
};

} // namespace

bool CaptureFilter::parse(const QString &text, CaptureFilter *filter, QString *error,
                          int *position)
{
    // "１２３：７ＦＦ" as a full-width input method types it is the filter it shows; the forms
    // map one character to one, so an error's position stays true.
    const QString typed = TypedNumber::asciiForms(text);
    Parser parser(typed);
    QVector<CanReceiveFilter> terms;
    if (!parser.parse(&terms)) {
        if (error)
            *error = parser.error;
        if (position)
            *position = parser.errorAt;
        return false;
    }
    filter->terms = terms;
    filter->text = terms.isEmpty() ? QString() : text.trimmed();
    return true;
}
