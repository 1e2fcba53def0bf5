#include "filter/framefilter.h"

#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "input/typednumber.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

enum class Compare : quint8 { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual };

constexpr quint32 maxIdentifier = 0x1FFFFFFF;
constexpr quint32 maxByte = 0xFF;
// Room for the longest payload a frame may carry, so longer frames need no new syntax.
constexpr int maxDataBytes = 64;

template<typename T>
bool compare(Compare op, T a, T b)
{
    switch (op) {
    case Compare::Equal: return a == b;
    case Compare::NotEqual: return a != b;
    case Compare::Less: return a < b;
    case Compare::LessEqual: return a <= b;
    case Compare::Greater: return a > b;
    case Compare::GreaterEqual: return a >= b;
    }
    return false;
}

// Physical values come from a factor and an offset, so 0.1 steps rarely land exactly on
// the decimal the user typed.
bool nearlyEqual(double a, double b)
{
    return std::fabs(a - b) <= 1e-9 * std::max({ 1.0, std::fabs(a), std::fabs(b) });
}

bool compareReal(Compare op, double a, double b)
{
    const bool equal = nearlyEqual(a, b);
    switch (op) {
    case Compare::Equal: return equal;
    case Compare::NotEqual: return !equal;
    case Compare::Less: return a < b && !equal;
    case Compare::LessEqual: return a < b || equal;
    case Compare::Greater: return a > b && !equal;
    case Compare::GreaterEqual: return a > b || equal;
    }
    return false;
}

struct Term
{
    enum Kind : quint8 {
        All, And, Or, Not,
        Id, Dlc, Byte, IdSet, Pattern,
        Ext, Rtr, Err, Rx, Tx, Failed, Fd, Brs,
        Message, Signal
    };
    Kind kind = All;
    Compare op = Compare::Equal;
    quint8 index = 0;    // the data byte; for a message, 1 when extended
    quint32 mask = ~0u;
    quint32 value = 0;
    int first = -1;      // the operand terms, or the set, pattern or signal test used
    int second = -1;
};

struct IdRange
{
    quint32 low;
    quint32 high;
};

struct BytePattern
{
    std::vector<quint8> mask;
    std::vector<quint8> value;
};

struct SignalTest
{
    quint32 id = 0;
    bool extended = false;
    DbcSignal signal;
    // A multiplexed signal is only in frames whose selector has its value.
    bool multiplexed = false;
    DbcSignal selector;
    int64_t selectorValue = 0;
    Compare op = Compare::Equal;
    double value = 0;
    bool byDescription = false;
    std::vector<int64_t> raws; // sorted: the raw values with the description
};

struct Refusal
{
    QString reason;
    int position;
};

struct Token
{
    enum Type { End, Word, Number, Text, Symbol };
    Type type = End;
    QString text;           // the word, the symbol, or the string without its quotes
    int position = 0;
    bool integer = true;
    bool overflow = false;  // an integer beyond 64 bits
    quint64 integerValue = 0;
    double real = 0;

    bool is(const char *symbol) const
    {
        return type == Symbol && text == QLatin1String(symbol);
    }
    bool isKeyword(const char *keyword) const
    {
        return type == Word && text.compare(QLatin1String(keyword), Qt::CaseInsensitive) == 0;
    }
};

bool isNameStart(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('_');
}

bool isNameChar(QChar c)
{
    return isNameStart(c) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

// An input method in full-width mode types "ｉｄ　＝＝　０ｘ７Ｅ８": outside the quoted value
// descriptions, which are compared as the database writes them, such forms are the
// characters they show. The forms map one character to one, so positions stay true.
QString typedForms(const QString &text)
{
    const QString shown = TypedNumber::asciiForms(text);
    QString result = text;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        if (!quoted)
            result[i] = shown.at(i);
        if (result.at(i) == QLatin1Char('"'))
            quoted = !quoted;
    }
    return result;
}

class Lexer
{
public:
    explicit Lexer(const QString &text) : text(text) {}

    Token next()
    {
        while (at < text.size() && text.at(at).isSpace())
            ++at;
        Token token;
        token.position = at;
        if (at >= text.size())
            return token;
        const QChar c = text.at(at);
        if (isNameStart(c)) {
            const int start = at;
            while (at < text.size() && isNameChar(text.at(at)))
                ++at;
            token.type = Token::Word;
            token.text = text.mid(start, at - start);
            return token;
        }
        if (c.isDigit())
            return number(token);
        if (c == QLatin1Char('"')) {
            const int close = text.indexOf(QLatin1Char('"'), at + 1);
            if (close < 0)
                throw Refusal { QStringLiteral("字符串缺少结尾的引号"), at };
            token.type = Token::Text;
            token.text = text.mid(at + 1, close - at - 1);
            at = close + 1;
            return token;
        }
        static const char *const symbols[] = {
            "&&", "||", "==", "!=", "<=", ">=", "<", ">", "!", "&", "~",
            "(", ")", "{", "}", "[", "]", ",", "-", ".",
        };
        for (const char *symbol : symbols) {
            const QLatin1String candidate(symbol);
            if (text.midRef(at).startsWith(candidate)) {
                token.type = Token::Symbol;
                token.text = candidate;
                at += candidate.size();
                return token;
            }
        }
        throw Refusal { QStringLiteral("无法识别的字符“%1”").arg(c), at };
    }

private:
    Token number(Token &token)
    {
        token.type = Token::Number;
        const int start = at;
        bool ok = true;
        if (text.midRef(at, 2).compare(QLatin1String("0x"), Qt::CaseInsensitive) == 0) {
            at += 2;
            const int digits = at;
            while (at < text.size() && isxdigit(text.at(at).toLatin1()))
                ++at;
            if (at == digits)
                throw Refusal { QStringLiteral("0x 后应为十六进制数字"), at };
            token.integerValue = text.midRef(digits, at - digits).toULongLong(&ok, 16);
        } else {
            while (at < text.size() && text.at(at).isDigit())
                ++at;
            if (at + 1 < text.size() && text.at(at) == QLatin1Char('.')
                && text.at(at + 1).isDigit()) {
                ++at;
                while (at < text.size() && text.at(at).isDigit())
                    ++at;
                token.integer = false;
                token.real = text.midRef(start, at - start).toDouble();
            } else {
                token.integerValue = text.midRef(start, at - start).toULongLong(&ok, 10);
            }
        }
        if (at < text.size() && isNameChar(text.at(at)))
            throw Refusal { QStringLiteral("数字后不能紧跟字母"), at };
        token.overflow = !ok;
        if (token.integer)
            token.real = double(token.integerValue);
        token.text = text.mid(start, at - start);
        return token;
    }

    const QString &text;
    int at = 0;
};

} // namespace

struct FrameFilter::Program
{
    std::vector<Term> terms;
    std::vector<std::vector<IdRange>> sets;
    std::vector<BytePattern> patterns;
    std::vector<SignalTest> signalTests;
    int root = 0;
    bool valid = true;
    QString text;
};

namespace {

class Parser
{
public:
    Parser(const QString &text, const DbcDatabase *database, FrameFilter::Program &program)
        : lexer(text), database(database), program(program)
    {
        advance();
    }

    int parse()
    {
        const int root = parseOr();
        if (current.type != Token::End)
            throw Refusal { QStringLiteral("此处应为 && 或 ||"), current.position };
        return root;
    }

private:
    void advance() { current = lexer.next(); }

    int add(const Term &term)
    {
        program.terms.push_back(term);
        return int(program.terms.size()) - 1;
    }

    int combine(Term::Kind kind, int first, int second = -1)
    {
        Term term;
        term.kind = kind;
        term.first = first;
        term.second = second;
        return add(term);
    }

    int parseOr()
    {
        int left = parseAnd();
        while (current.is("||") || current.isKeyword("or")) {
            advance();
            left = combine(Term::Or, left, parseAnd());
        }
        return left;
    }

    int parseAnd()
    {
        int left = parseNot();
        while (current.is("&&") || current.isKeyword("and")) {
            advance();
            left = combine(Term::And, left, parseNot());
        }
        return left;
    }

    int parseNot()
    {
        if (current.is("!") || current.isKeyword("not")) {
            advance();
            return combine(Term::Not, parseNot());
        }
        return parsePrimary();
    }

    int parsePrimary()
    {
        if (current.is("(")) {
            advance();
            const int inner = parseOr();
            if (!current.is(")"))
                throw Refusal { QStringLiteral("缺少右括号"), current.position };
            advance();
            return inner;
        }
        if (current.type == Token::End)
            throw Refusal { QStringLiteral("表达式不完整"), current.position };
        if (current.type == Token::Number) {
            // A bare number is the identifier the user is after.
            Term term;
            term.kind = Term::Id;
            term.value = integer(maxIdentifier);
            return add(term);
        }
        if (current.type != Token::Word)
            throw Refusal { QStringLiteral("此处应为条件"), current.position };

        static const struct {
            const char *word;
            Term::Kind kind;
        } flags[] = {
            { "ext", Term::Ext }, { "rtr", Term::Rtr }, { "err", Term::Err },
            { "rx", Term::Rx },   { "tx", Term::Tx },   { "failed", Term::Failed },
            { "fd", Term::Fd },   { "brs", Term::Brs },
        };
        for (const auto &flag : flags) {
            if (current.isKeyword(flag.word)) {
                advance();
                Term term;
                term.kind = flag.kind;
                return add(term);
            }
        }
        if (current.isKeyword("id")) {
            advance();
            if (current.isKeyword("in"))
                return parseSet();
            return parseComparison(Term::Id, maxIdentifier);
        }
        if (current.isKeyword("dlc")) {
            advance();
            return parseComparison(Term::Dlc, maxByte);
        }
        if (current.isKeyword("data")) {
            advance();
            return parseData();
        }
        for (const char *reserved : { "and", "or", "not", "in" }) {
            if (current.isKeyword(reserved))
                throw Refusal { QStringLiteral("此处应为条件"), current.position };
        }
        return parseName();
    }

    quint32 integer(quint32 maximum)
    {
        if (current.type != Token::Number || !current.integer)
            throw Refusal { QStringLiteral("此处应为整数"), current.position };
        if (current.overflow || current.integerValue > maximum) {
            throw Refusal { QStringLiteral("数值超出范围（最大 0x%1）")
                                .arg(QString::number(maximum, 16).toUpper()),
                            current.position };
        }
        const quint32 value = quint32(current.integerValue);
        advance();
        return value;
    }

    Compare comparison()
    {
        static const struct {
            const char *symbol;
            Compare op;
        } operators[] = {
            { "==", Compare::Equal }, { "!=", Compare::NotEqual },
            { "<", Compare::Less },   { "<=", Compare::LessEqual },
            { ">", Compare::Greater }, { ">=", Compare::GreaterEqual },
        };
        for (const auto &candidate : operators) {
            if (current.is(candidate.symbol)) {
                advance();
                return candidate.op;
            }
        }
        throw Refusal { QStringLiteral("此处应为比较运算符（== != < <= > >=）"),
                        current.position };
    }

    int parseComparison(Term::Kind kind, quint32 maximum, quint8 index = 0)
    {
        Term term;
        term.kind = kind;
        term.index = index;
        if (current.is("&")) {
            advance();
            term.mask = integer(maximum);
        }
        term.op = comparison();
        term.value = integer(maximum);
        return add(term);
    }

    int parseSet()
    {
        advance();
        if (!current.is("{"))
            throw Refusal { QStringLiteral("in 后应为 {"), current.position };
        advance();
        std::vector<IdRange> ranges;
        for (;;) {
            IdRange range;
            range.low = range.high = integer(maxIdentifier);
            if (current.is("-")) {
                advance();
                const int position = current.position;
                range.high = integer(maxIdentifier);
                if (range.high < range.low)
                    throw Refusal { QStringLiteral("范围的下限大于上限"), position };
            }
            ranges.push_back(range);
            if (current.is("}"))
                break;
            if (!current.is(","))
                throw Refusal { QStringLiteral("此处应为 , 或 }"), current.position };
            advance();
        }
        advance();
        // Sorted and merged, so a frame's identifier is found by bisection.
        std::sort(ranges.begin(), ranges.end(),
                  [](const IdRange &a, const IdRange &b) { return a.low < b.low; });
        std::vector<IdRange> merged;
        for (const IdRange &range : ranges) {
            if (!merged.empty() && quint64(range.low) <= quint64(merged.back().high) + 1)
                merged.back().high = std::max(merged.back().high, range.high);
            else
                merged.push_back(range);
        }
        program.sets.push_back(std::move(merged));
        Term term;
        term.kind = Term::IdSet;
        term.first = int(program.sets.size()) - 1;
        return add(term);
    }

    int parseData()
    {
        if (current.is("[")) {
            advance();
            const quint8 index = quint8(integer(maxDataBytes - 1));
            if (!current.is("]"))
                throw Refusal { QStringLiteral("缺少 ]"), current.position };
            advance();
            return parseComparison(Term::Byte, maxByte, index);
        }
        if (!current.is("~"))
            throw Refusal { QStringLiteral("data 后应为 [ 或 ~"), current.position };
        advance();
        if (current.type != Token::Text)
            throw Refusal { QStringLiteral("~ 后应为带引号的字节模式，如 \"?? 3? 44\""),
                            current.position };
        BytePattern pattern;
        const QString &bytes = current.text;
        const int base = current.position + 1;
        int at = 0;
        while (at < bytes.size()) {
            if (bytes.at(at).isSpace()) {
                ++at;
                continue;
            }
            const int start = at;
            while (at < bytes.size() && !bytes.at(at).isSpace())
                ++at;
            if ((at - start) % 2 != 0)
                throw Refusal { QStringLiteral("字节模式每字节两位"), base + start };
            for (int i = start; i < at; i += 2) {
                quint8 mask = 0;
                quint8 value = 0;
                for (int nibble = 0; nibble < 2; ++nibble) {
                    const QChar c = bytes.at(i + nibble);
                    const int shift = nibble == 0 ? 4 : 0;
                    if (c == QLatin1Char('?'))
                        continue;
                    if (!isxdigit(c.toLatin1()))
                        throw Refusal { QStringLiteral("字节模式只能含十六进制数字和 ?"),
                                        base + i + nibble };
                    mask |= quint8(0xF << shift);
                    value |= quint8(QString(c).toInt(nullptr, 16) << shift);
                }
                if (int(pattern.mask.size()) == maxDataBytes)
                    throw Refusal { QStringLiteral("字节模式超过 %1 字节").arg(maxDataBytes),
                                    base + i };
                pattern.mask.push_back(mask);
                pattern.value.push_back(value);
            }
        }
        if (pattern.mask.empty())
            throw Refusal { QStringLiteral("字节模式为空"), current.position };
        advance();
        program.patterns.push_back(std::move(pattern));
        Term term;
        term.kind = Term::Pattern;
        term.first = int(program.patterns.size()) - 1;
        return add(term);
    }

    bool isComparison() const
    {
        for (const char *symbol : { "==", "!=", "<", "<=", ">", ">=" }) {
            if (current.is(symbol))
                return true;
        }
        return false;
    }

    QString unknown(const QString &name) const
    {
        if (!database || database->isEmpty())
            return QStringLiteral("未知的名称 %1（未加载DBC）").arg(name);
        return QStringLiteral("未知的名称 %1").arg(name);
    }

    int parseName()
    {
        const QString name = current.text;
        const int position = current.position;
        advance();
        const DbcMessage *message = database ? database->messageByName(name) : nullptr;
        if (current.is(".")) {
            if (!message)
                throw Refusal { unknown(name), position };
            advance();
            if (current.type != Token::Word)
                throw Refusal { QStringLiteral(". 后应为信号名"), current.position };
            const int signalPosition = current.position;
            const int index = signalIndex(*message, current.text);
            if (index < 0) {
                throw Refusal { QStringLiteral("报文 %1 没有信号 %2").arg(name, current.text),
                                signalPosition };
            }
            advance();
            return parseSignal(*message, index);
        }
        if (isComparison()) {
            if (message) {
                throw Refusal { QStringLiteral("报文 %1 不能比较，信号请写成 %1.信号名")
                                    .arg(name), position };
            }
            const DbcMessage *owner = nullptr;
            int index = -1;
            if (database) {
                for (const DbcMessage &candidate : database->messages()) {
                    const int found = signalIndex(candidate, name);
                    if (found < 0)
                        continue;
                    if (owner) {
                        throw Refusal { QStringLiteral("信号 %1 在多个报文中（%2、%3），"
                                                       "请写成 报文.信号")
                                            .arg(name, owner->name, candidate.name),
                                        position };
                    }
                    owner = &candidate;
                    index = found;
                }
            }
            if (!owner)
                throw Refusal { unknown(name), position };
            return parseSignal(*owner, index);
        }
        if (!message) {
            if (database) {
                for (const DbcMessage &candidate : database->messages()) {
                    if (signalIndex(candidate, name) >= 0) {
                        throw Refusal { QStringLiteral("信号 %1 需要比较，如 %1 > 0").arg(name),
                                        position };
                    }
                }
            }
            throw Refusal { unknown(name), position };
        }
        Term term;
        term.kind = Term::Message;
        term.value = message->id;
        term.index = message->extended ? 1 : 0;
        return add(term);
    }

    static int signalIndex(const DbcMessage &message, const QString &name)
    {
        for (int i = 0; i < message.signalList.size(); ++i) {
            if (message.signalList.at(i).name == name)
                return i;
        }
        return -1;
    }

    int parseSignal(const DbcMessage &message, int index)
    {
        SignalTest test;
        test.id = message.id;
        test.extended = message.extended;
        test.signal = message.signalList.at(index);
        if (test.signal.multiplex == DbcSignal::Multiplex::Multiplexed
            && message.multiplexorIndex >= 0) {
            test.multiplexed = true;
            test.selector = message.signalList.at(message.multiplexorIndex);
            test.selectorValue = test.signal.multiplexValue;
        }
        const int opPosition = current.position;
        test.op = comparison();
        if (current.type == Token::Text) {
            if (test.op != Compare::Equal && test.op != Compare::NotEqual)
                throw Refusal { QStringLiteral("值描述只能用 == 或 != 比较"), opPosition };
            const auto &descriptions = test.signal.valueDescriptions;
            for (auto it = descriptions.cbegin(); it != descriptions.cend(); ++it) {
                if (it.value() == current.text)
                    test.raws.push_back(it.key());
            }
            if (test.raws.empty()) {
                throw Refusal { QStringLiteral("信号 %1 没有值描述“%2”")
                                    .arg(test.signal.name, current.text),
                                current.position };
            }
            std::sort(test.raws.begin(), test.raws.end());
            test.byDescription = true;
            advance();
        } else {
            const bool negative = current.is("-");
            if (negative)
                advance();
            if (current.type != Token::Number || current.overflow)
                throw Refusal { QStringLiteral("此处应为数值或带引号的值描述"),
                                current.position };
            test.value = negative ? -current.real : current.real;
            advance();
        }
        program.signalTests.push_back(std::move(test));
        Term term;
        term.kind = Term::Signal;
        term.first = int(program.signalTests.size()) - 1;
        return add(term);
    }

    Lexer lexer;
    const DbcDatabase *database;
    FrameFilter::Program &program;
    Token current;
};

bool inSet(const std::vector<IdRange> &ranges, quint32 id)
{
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), id,
                                        [](quint32 value, const IdRange &range) {
                                            return value < range.low;
                                        });
    return after != ranges.begin() && id <= (after - 1)->high;
}

// The frame's data bytes as the terms read them: the record's first eight and an FD
// frame's further ones from the store they are kept in.
struct FrameBytes
{
    FrameBytes(const FrameRecord &record, const FrameTails *tails)
        : record(record)
    {
        tail = frameTail(record, tails);
        size = tail ? record.dlc : record.size;
    }

    quint8 at(int i) const { return i < record.size ? record.data[i] : tail[i - record.size]; }

    // The bytes in one piece, in `buffer` when they are kept in two.
    const quint8 *joined(quint8 (&buffer)[64]) const
    {
        if (!tail)
            return record.data;
        std::memcpy(buffer, record.data, record.size);
        std::memcpy(buffer + record.size, tail, size_t(size - record.size));
        return buffer;
    }

    const FrameRecord &record;
    const quint8 *tail = nullptr;
    int size = 0;
};

bool matchesPattern(const BytePattern &pattern, const FrameBytes &bytes)
{
    const size_t length = pattern.mask.size();
    if (size_t(bytes.size) < length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if ((bytes.at(int(i)) & pattern.mask[i]) != pattern.value[i])
            return false;
    }
    return true;
}

bool matchesSignal(const SignalTest &test, const FrameBytes &bytes)
{
    const FrameRecord &record = bytes.record;
    // An error event, a refused write and a remote frame carry no signals.
    constexpr quint8 without = FrameRecord::Error | FrameRecord::Remote;
    if (record.id != test.id || (record.flags & without) || !(record.flags & FrameRecord::Success)
        || bool(record.flags & FrameRecord::Extended) != test.extended) {
        return false;
    }
    quint8 buffer[64];
    const quint8 *data = bytes.joined(buffer);
    uint64_t bits;
    DbcDecodedSignal value;
    if (test.multiplexed) {
        if (!DbcCodec::extractBits(test.selector, data, bytes.size, &bits))
            return false;
        DbcCodec::interpret(test.selector, bits, &value);
        if (value.rawInteger != test.selectorValue)
            return false;
    }
    if (!DbcCodec::extractBits(test.signal, data, bytes.size, &bits))
        return false;
    DbcCodec::interpret(test.signal, bits, &value);
    if (test.byDescription) {
        const bool found = std::binary_search(test.raws.begin(), test.raws.end(),
                                              value.rawInteger);
        return test.op == Compare::Equal ? found : !found;
    }
    return compareReal(test.op, value.physical, test.value);
}

bool evaluate(const FrameFilter::Program &program, int at, const FrameBytes &bytes)
{
    const Term &term = program.terms[size_t(at)];
    const FrameRecord &record = bytes.record;
    // An error event has no identifier, length or data of its own.
    const bool frame = !(record.flags & FrameRecord::Error);
    switch (term.kind) {
    case Term::All:
        return true;
    case Term::And:
        return evaluate(program, term.first, bytes) && evaluate(program, term.second, bytes);
    case Term::Or:
        return evaluate(program, term.first, bytes) || evaluate(program, term.second, bytes);
    case Term::Not:
        return !evaluate(program, term.first, bytes);
    case Term::Id:
        return frame && compare(term.op, record.id & term.mask, term.value);
    case Term::Dlc:
        return frame && compare(term.op, quint32(record.dlc) & term.mask, term.value);
    case Term::Byte:
        return frame && !(record.flags & FrameRecord::Remote) && term.index < bytes.size
            && compare(term.op, quint32(bytes.at(term.index)) & term.mask, term.value);
    case Term::IdSet:
        return frame && inSet(program.sets[size_t(term.first)], record.id);
    case Term::Pattern:
        return frame && !(record.flags & FrameRecord::Remote)
            && matchesPattern(program.patterns[size_t(term.first)], bytes);
    case Term::Ext:
        return frame && (record.flags & FrameRecord::Extended);
    case Term::Rtr:
        return frame && (record.flags & FrameRecord::Remote);
    case Term::Err:
        return !frame;
    case Term::Rx:
        return record.direction == 0;
    case Term::Tx:
        return record.direction == 1;
    case Term::Failed:
        return frame && record.direction == 1 && !(record.flags & FrameRecord::Success);
    case Term::Fd:
        return frame && (record.flags & FrameRecord::Fd);
    case Term::Brs:
        return frame && (record.flags & FrameRecord::Brs);
    case Term::Message:
        return frame && record.id == term.value
            && bool(record.flags & FrameRecord::Extended) == bool(term.index);
    case Term::Signal:
        return matchesSignal(program.signalTests[size_t(term.first)], bytes);
    }
    return false;
}

std::shared_ptr<FrameFilter::Program> everyFrame()
{
    auto program = std::make_shared<FrameFilter::Program>();
    program->terms.push_back(Term());
    return program;
}

} // namespace

FrameFilter::FrameFilter()
    : program(everyFrame())
{
}

FrameFilter FrameFilter::compile(const QString &text, const DbcDatabase *database,
                                 QString *error, int *position)
{
    FrameFilter filter;
    if (error)
        error->clear();
    if (position)
        *position = -1;
    if (text.trimmed().isEmpty())
        return filter;
    auto compiled = std::make_shared<Program>();
    compiled->text = text.trimmed();
    try {
        const QString typed = typedForms(text);
        Parser parser(typed, database, *compiled);
        compiled->root = parser.parse();
    } catch (const Refusal &refusal) {
        compiled->terms.clear();
        compiled->valid = false;
        if (error)
            *error = refusal.reason;
        if (position)
            *position = refusal.position;
    }
    filter.program = compiled;
    return filter;
}

FrameFilter FrameFilter::both(const FrameFilter &first, const FrameFilter &second)
{
    if (!first.isValid() || second.matchesAll())
        return first;
    if (!second.isValid() || first.matchesAll())
        return second;
    auto joined = std::make_shared<Program>(*first.program);
    const Program &other = *second.program;
    const int terms = int(joined->terms.size());
    const int sets = int(joined->sets.size());
    const int patterns = int(joined->patterns.size());
    const int tests = int(joined->signalTests.size());
    for (Term term : other.terms) {
        switch (term.kind) {
        case Term::And:
        case Term::Or:
            term.second += terms;
            Q_FALLTHROUGH();
        case Term::Not:
            term.first += terms;
            break;
        case Term::IdSet:
            term.first += sets;
            break;
        case Term::Pattern:
            term.first += patterns;
            break;
        case Term::Signal:
            term.first += tests;
            break;
        default:
            break;
        }
        joined->terms.push_back(term);
    }
    joined->sets.insert(joined->sets.end(), other.sets.begin(), other.sets.end());
    joined->patterns.insert(joined->patterns.end(), other.patterns.begin(),
                            other.patterns.end());
    joined->signalTests.insert(joined->signalTests.end(), other.signalTests.begin(),
                               other.signalTests.end());
    Term both;
    both.kind = Term::And;
    both.first = first.program->root;
    both.second = other.root + terms;
    joined->terms.push_back(both);
    joined->root = int(joined->terms.size()) - 1;
    joined->text = QStringLiteral("(%1) && (%2)").arg(first.text(), second.text());
    FrameFilter filter;
    filter.program = joined;
    return filter;
}

bool FrameFilter::isValid() const
{
    return program->valid;
}

bool FrameFilter::matchesAll() const
{
    return program->valid && program->terms.size() == 1
        && program->terms.front().kind == Term::All;
}

QString FrameFilter::text() const
{
    return program->text;
}

bool FrameFilter::matches(const FrameRecord &record, const FrameTails *tails) const
{
    return program->valid && evaluate(*program, program->root, FrameBytes(record, tails));
}

QString FrameFilter::identifierTerm(quint32 id, bool extended)
{
    return QStringLiteral("id == 0x%1 && %2ext")
        .arg(QString::number(id, 16).toUpper().rightJustified(extended ? 8 : 3,
                                                              QLatin1Char('0')),
             extended ? QString() : QStringLiteral("!"));
}

QString FrameFilter::narrowed(const QString &expression, const QString &term)
{
    // && binds before ||: a side with an || of its own outside parentheses is wrapped.
    const auto joined = [](const QString &side) {
        bool alternative = false;
        try {
            Lexer lexer(side);
            int depth = 0;
            for (Token token = lexer.next(); token.type != Token::End; token = lexer.next()) {
                if (token.is("("))
                    ++depth;
                else if (token.is(")"))
                    --depth;
                else if (depth == 0 && (token.is("||") || token.isKeyword("or")))
                    alternative = true;
            }
        } catch (const Refusal &) {
            alternative = true;
        }
        return alternative ? QStringLiteral("(%1)").arg(side) : side;
    };
    const QString kept = expression.trimmed();
    if (kept.isEmpty())
        return term.trimmed();
    return QStringLiteral("%1 && %2").arg(joined(kept), joined(term.trimmed()));
}
