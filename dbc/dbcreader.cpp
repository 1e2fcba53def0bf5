#include "dbc/dbcreader.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

struct Token
{
    enum Kind { End, Identifier, Number, String, Punctuation };
    Kind kind = End;
    const char *begin = nullptr;
    int size = 0;

    QByteArray bytes() const { return QByteArray(begin, size); }
    bool is(char c) const { return kind == Punctuation && *begin == c; }
    bool is(const char *word) const
    {
        return kind == Identifier && int(std::strlen(word)) == size
            && std::memcmp(begin, word, size) == 0;
    }
};

bool isIdentifierStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Writers escape a quote inside a string as \" and leave every other backslash alone.
bool isEscapedQuote(const char *p, const char *end)
{
    return *p == '\\' && p + 1 < end && p[1] == '"';
}

const char *closingQuote(const char *p, const char *end)
{
    for (; p < end; ++p) {
        if (isEscapedQuote(p, end))
            ++p;
        else if (*p == '"')
            return p;
    }
    return nullptr;
}

// Splits one statement into tokens; never reads past `end`.
class Tokenizer
{
public:
    Tokenizer(const char *begin, const char *end) : m_position(begin), m_end(end) {}

    Token next()
    {
        while (m_position < m_end && uint8_t(*m_position) <= ' ')
            ++m_position;
        Token token;
        token.begin = m_position;
        if (m_position >= m_end)
            return token;
        const char c = *m_position;
        if (c == '"') {
            const char *close = closingQuote(m_position + 1, m_end);
            if (!close) {
                m_position = m_end;
                token.kind = Token::Punctuation;   // an unterminated string is never valid
                token.size = 1;
                return token;
            }
            token.kind = Token::String;
            token.begin = m_position + 1;
            token.size = int(close - m_position - 1);
            m_position = close + 1;
        } else if (isIdentifierStart(c)) {
            token.kind = Token::Identifier;
            while (m_position < m_end
                   && (isIdentifierStart(*m_position) || isDigit(*m_position)))
                ++m_position;
            token.size = int(m_position - token.begin);
        } else if (isDigit(c) || c == '.'
                   || ((c == '-' || c == '+') && m_position + 1 < m_end
                       && (isDigit(m_position[1]) || m_position[1] == '.'))) {
            token.kind = Token::Number;
            ++m_position;
            while (m_position < m_end) {
                const char d = *m_position;
                if (isDigit(d) || d == '.' || d == 'e' || d == 'E') {
                    ++m_position;
                } else if ((d == '-' || d == '+')
                           && (m_position[-1] == 'e' || m_position[-1] == 'E')) {
                    ++m_position;
                } else {
                    break;
                }
            }
            token.size = int(m_position - token.begin);
        } else {
            token.kind = Token::Punctuation;
            token.size = 1;
            ++m_position;
        }
        return token;
    }

private:
    const char *m_position;
    const char *m_end;
};

bool toDouble(const Token &token, double *value)
{
    if (token.kind != Token::Number)
        return false;
    bool ok = false;
    *value = token.bytes().toDouble(&ok);
    return ok && std::isfinite(*value);
}

bool toInt(const Token &token, qint64 low, qint64 high, qint64 *value)
{
    if (token.kind != Token::Number)
        return false;
    bool ok = false;
    *value = token.bytes().toLongLong(&ok, 10);
    return ok && *value >= low && *value <= high;
}

// Looks for the statement's ';' outside any string, one line after the other: each byte is
// looked at once, however many lines a statement runs over.
class TerminatorScan
{
public:
    // Scans the next piece of the statement; true once its ';' has been seen.
    bool feed(const char *begin, const char *end)
    {
        for (const char *p = begin; p < end && !m_terminated; ++p) {
            if (m_inString && isEscapedQuote(p, end))
                ++p;
            else if (*p == '"')
                m_inString = !m_inString;
            else if (*p == ';' && !m_inString)
                m_terminated = true;
        }
        return m_terminated;
    }

private:
    bool m_inString = false;
    bool m_terminated = false;
};

// Statements that end with ';' and whose strings may run over several lines.
bool spansLines(const QByteArray &keyword)
{
    static const char *const keywords[] = {"CM_", "VAL_", "VAL_TABLE_", "BA_DEF_",
                                           "BA_DEF_DEF_", "BA_", "SIG_VALTYPE_"};
    for (const char *word : keywords) {
        if (keyword == word)
            return true;
    }
    return false;
}

// A statement never runs on into a message or signal line: an unterminated string costs
// one statement, not the rest of the file.
bool startsMessageOrSignal(const char *position, const char *end)
{
    while (position < end && (*position == ' ' || *position == '\t'))
        ++position;
    return end - position >= 4
        && (std::memcmp(position, "BO_ ", 4) == 0 || std::memcmp(position, "SG_ ", 4) == 0);
}

class Parser
{
public:
    Parser(const QByteArray &text, const QString &fileName) : m_text(text)
    {
        m_file.path = fileName;
        m_name = QFileInfo(fileName).fileName();
        if (m_name.isEmpty())
            m_name = fileName;
        QTextCodec::ConverterState state;
        QTextCodec::codecForName("UTF-8")->toUnicode(text.constData(), text.size(), &state);
        m_utf8 = state.invalidChars == 0;
    }

    DbcFile run();

private:
    void statement(const char *begin, const char *end);
    void message(Tokenizer &tokens);
    void signal(Tokenizer &tokens);
    void comment(Tokenizer &tokens);
    void values(Tokenizer &tokens);
    void valueType(Tokenizer &tokens);
    void attribute(Tokenizer &tokens);
    void attributeDefault(Tokenizer &tokens);
    void closeMessage();
    void attributeDefinition(Tokenizer &tokens);
    // Whether a VFrameFormat value (an index into its definition's list, or the name
    // itself) names an FD format; false when the value names no format.
    bool fdFormat(const Token &value, bool *fd) const;
    void finish();

    void warn(const QString &what, int line = 0)
    {
        if (m_file.warnings.size() >= DbcReader::maxWarnings) {
            ++m_file.skippedWarnings;
            return;
        }
        m_file.warnings.append(
            QStringLiteral("%1:%2: %3").arg(m_name).arg(line ? line : m_line).arg(what));
    }
    QString text(const Token &token) const
    {
        QString decoded = m_utf8 ? QString::fromUtf8(token.begin, token.size)
                                 : QString::fromLatin1(token.begin, token.size);
        if (token.kind == Token::String)
            decoded.replace(QLatin1String("\\\""), QLatin1String("\""));
        return decoded;
    }
    // The same text as an earlier one shares that one's data: names, units, receivers
    // and value tables repeat throughout a large database.
    QString shared(const QString &text);
    QString sharedText(const Token &token) { return shared(text(token)); }
    QStringList sharedList(const QStringList &list);
    QMap<int64_t, QString> sharedTable(const QMap<int64_t, QString> &table);
    DbcMessage *messageById(const Token &token);
    DbcSignal *signalByName(DbcMessage *message, const QString &name);

    const QByteArray &m_text;
    DbcFile m_file;
    QString m_name;
    bool m_utf8 = true;
    int m_line = 0;
    int m_current = -1;        // message the following SG_ lines belong to
    bool m_skipSignals = false;
    bool m_recognised = false;
    int m_defaultCycle = 0;
    QHash<uint64_t, int> m_index;
    // The signals of the message being read are collected here and given to it in one
    // block of their exact size when its lines end: a list grown in place leaves the heap
    // behind it in pieces too small to give back, about as large as the database itself.
    QVector<DbcSignal> m_pending;
    QHash<QString, int> m_pendingNames;
    // Signal indices by name of messages with many signals, made on the first look-up.
    QHash<int, QHash<QString, int>> m_signalIndex;
    QSet<int> m_explicitCycle;
    QSet<QString> m_strings;
    QHash<QStringList, QStringList> m_lists;
    QHash<QString, QMap<int64_t, QString>> m_tables; // by their entries written out
    QStringList m_frameFormats; // the names of VFrameFormat's values, in order
    bool m_defaultFd = false;
    QSet<int> m_explicitFormat;
};

QString Parser::shared(const QString &text)
{
    const auto found = m_strings.constFind(text);
    if (found != m_strings.constEnd())
        return *found;
    m_strings.insert(text);
    return text;
}

QStringList Parser::sharedList(const QStringList &list)
{
    if (list.isEmpty())
        return list;
    const auto found = m_lists.constFind(list);
    if (found != m_lists.constEnd())
        return found.value();
    m_lists.insert(list, list);
    return list;
}

QMap<int64_t, QString> Parser::sharedTable(const QMap<int64_t, QString> &table)
{
    QString key;
    for (auto entry = table.constBegin(); entry != table.constEnd(); ++entry)
        key += QString::number(entry.key()) + QChar(0x1f) + entry.value() + QChar(0x1e);
    const auto found = m_tables.constFind(key);
    if (found != m_tables.constEnd())
        return found.value();
    m_tables.insert(key, table);
    return table;
}

DbcFile Parser::run()
{
    if (std::memchr(m_text.constData(), '\0', m_text.size())) {
        m_file.error = QStringLiteral("%1 不是文本文件").arg(m_name);
        return m_file;
    }
    const char *position = m_text.constData();
    const char *const end = position + m_text.size();
    bool namesSection = false;
    while (position < end) {
        const char *lineEnd =
                static_cast<const char *>(std::memchr(position, '\n', end - position));
        if (!lineEnd)
            lineEnd = end;
        ++m_line;
        const int firstLine = m_line;
        const char *begin = position;
        position = lineEnd < end ? lineEnd + 1 : end;
        while (begin < lineEnd && uint8_t(*begin) <= ' ')
            ++begin;
        if (begin == lineEnd)
            continue;
        const char *keywordEnd = begin;
        while (keywordEnd < lineEnd && (isIdentifierStart(*keywordEnd) || isDigit(*keywordEnd)))
            ++keywordEnd;
        const QByteArray keyword(begin, int(keywordEnd - begin));

        // The NS_ section lists keywords one per line; they are no statements.
        if (namesSection) {
            const char *rest = keywordEnd;
            while (rest < lineEnd && uint8_t(*rest) <= ' ')
                ++rest;
            if (!keyword.isEmpty() && rest == lineEnd)
                continue;
            namesSection = false;
        }
        if (keyword == "NS_") {
            namesSection = true;
            m_recognised = true;
            continue;
        }

        const char *statementEnd = lineEnd;
        if (spansLines(keyword)) {
            TerminatorScan scan;
            bool terminated = scan.feed(begin, statementEnd);
            while (!terminated && statementEnd < end) {
                if (statementEnd - begin > DbcReader::maxStatementBytes
                    || startsMessageOrSignal(position, end))
                    break;
                const char *scanned = statementEnd;
                statementEnd = static_cast<const char *>(
                    std::memchr(position, '\n', end - position));
                if (!statementEnd)
                    statementEnd = end;
                position = statementEnd < end ? statementEnd + 1 : end;
                ++m_line;
                terminated = scan.feed(scanned, statementEnd);
            }
            if (!terminated) {
                warn(QStringLiteral("%1 语句没有以分号结束，已跳过")
                         .arg(QString::fromLatin1(keyword)), firstLine);
                continue;
            }
        }
        const int lastLine = m_line;
        m_line = firstLine;
        statement(begin, statementEnd);
        m_line = lastLine;
    }
    finish();
    return m_file;
}

void Parser::statement(const char *begin, const char *end)
{
    Tokenizer tokens(begin, end);
    const Token keyword = tokens.next();
    if (keyword.kind != Token::Identifier)
        return;
    if (keyword.is("BO_")) {
        m_recognised = true;
        message(tokens);
        return;
    }
    if (keyword.is("SG_")) {
        m_recognised = true;
        signal(tokens);
        return;
    }
    // Any other statement ends the signal lines of a message.
    closeMessage();
    m_skipSignals = false;
    if (keyword.is("CM_"))
        comment(tokens);
    else if (keyword.is("VAL_"))
        values(tokens);
    else if (keyword.is("SIG_VALTYPE_"))
        valueType(tokens);
    else if (keyword.is("BA_"))
        attribute(tokens);
    else if (keyword.is("BA_DEF_DEF_"))
        attributeDefault(tokens);
    else if (keyword.is("BA_DEF_"))
        attributeDefinition(tokens);
    else if (keyword.is("VERSION") || keyword.is("BU_") || keyword.is("BS_")
             || keyword.is("VAL_TABLE_"))
        m_recognised = true;
}

void Parser::closeMessage()
{
    if (m_current >= 0) {
        m_file.messages[m_current].signalList =
                QVector<DbcSignal>(m_pending.cbegin(), m_pending.cend());
        m_signalIndex.remove(m_current);
    }
    m_current = -1;
    m_pending.clear();
    m_pendingNames.clear();
}

void Parser::message(Tokenizer &tokens)
{
    closeMessage();
    m_skipSignals = true;
    qint64 rawId;
    const Token idToken = tokens.next();
    const Token name = tokens.next();
    const Token colon = tokens.next();
    const Token lengthToken = tokens.next();
    const Token transmitter = tokens.next();
    qint64 length;
    if (!toInt(idToken, 0, 0xFFFFFFFFll, &rawId) || name.kind != Token::Identifier
        || !colon.is(':') || !toInt(lengthToken, 0, 1 << 30, &length)) {
        warn(QStringLiteral("无法识别的报文定义，已跳过"));
        return;
    }
    // Bits 29 and 30 mark the container of signals that belong to no message.
    if (rawId & 0x60000000)
        return;
    DbcMessage message;
    message.extended = rawId & 0x80000000u;
    message.id = uint32_t(rawId & 0x1FFFFFFF);
    message.name = sharedText(name);
    if (!message.extended && message.id > 0x7FF) {
        warn(QStringLiteral("报文 %1 的标准帧 ID 0x%2 超过 11 位，已跳过")
                 .arg(message.name).arg(message.id, 0, 16));
        return;
    }
    if (length > 64) {
        warn(QStringLiteral("报文 %1 的长度 %2 超过 64 字节，已跳过")
                 .arg(message.name).arg(length));
        return;
    }
    message.length = int(length);
    if (transmitter.kind == Token::Identifier)
        message.transmitter = sharedText(transmitter);
    message.file = m_file.path;
    message.line = m_line;
    const uint64_t key = dbcMessageKey(message.id, message.extended);
    const auto existing = m_index.constFind(key);
    if (existing != m_index.constEnd()) {
        warn(QStringLiteral("报文 ID 0x%1 重复定义，以第 %2 行为准")
                 .arg(message.id, 0, 16).arg(m_line));
        m_current = existing.value();
        m_explicitCycle.remove(m_current);
        m_explicitFormat.remove(m_current);
        m_file.messages[m_current] = message;
    } else {
        m_current = m_file.messages.size();
        m_index.insert(key, m_current);
        m_file.messages.append(message);
    }
    m_skipSignals = false;
}

void Parser::signal(Tokenizer &tokens)
{
    if (m_current < 0) {
        if (!m_skipSignals)
            warn(QStringLiteral("信号不属于任何报文，已跳过"));
        return;
    }
    DbcMessage &message = m_file.messages[m_current];
    DbcSignal signal;
    const Token name = tokens.next();
    Token token = tokens.next();
    const QString malformed = QStringLiteral("无法识别的信号定义，已跳过");
    if (name.kind != Token::Identifier) {
        warn(malformed);
        return;
    }
    signal.name = sharedText(name);
    if (token.kind == Token::Identifier) {
        const QByteArray mux = token.bytes();
        if (mux == "M") {
            signal.multiplex = DbcSignal::Multiplex::Multiplexor;
        } else if (mux.size() >= 2 && mux.at(0) == 'm') {
            // mNM is a multiplexor of its own inside value N; only the outer level is used.
            const QByteArray digits = mux.endsWith('M') ? mux.mid(1, mux.size() - 2)
                                                        : mux.mid(1);
            bool ok = !digits.isEmpty();
            for (char c : digits)
                ok = ok && isDigit(c);
            signal.multiplexValue = digits.toLongLong(&ok);
            if (!ok) {
                warn(malformed);
                return;
            }
            signal.multiplex = DbcSignal::Multiplex::Multiplexed;
        } else {
            warn(malformed);
            return;
        }
        token = tokens.next();
    }
    qint64 start;
    qint64 length;
    qint64 order;
    if (!token.is(':') || !toInt(tokens.next(), 0, 1 << 20, &start) || !tokens.next().is('|')
        || !toInt(tokens.next(), -(1 << 20), 1 << 20, &length) || !tokens.next().is('@')
        || !toInt(tokens.next(), 0, 1, &order)) {
        warn(malformed);
        return;
    }
    const Token sign = tokens.next();
    if (!sign.is('+') && !sign.is('-')) {
        warn(malformed);
        return;
    }
    if (!tokens.next().is('(') || !toDouble(tokens.next(), &signal.factor)
        || !tokens.next().is(',') || !toDouble(tokens.next(), &signal.offset)
        || !tokens.next().is(')') || !tokens.next().is('[')
        || !toDouble(tokens.next(), &signal.minimum) || !tokens.next().is('|')
        || !toDouble(tokens.next(), &signal.maximum) || !tokens.next().is(']')) {
        warn(malformed);
        return;
    }
    const Token unit = tokens.next();
    if (unit.kind != Token::String) {
        warn(malformed);
        return;
    }
    signal.unit = sharedText(unit);
    QStringList receivers;
    for (Token receiver = tokens.next(); receiver.kind != Token::End; receiver = tokens.next()) {
        if (receiver.kind == Token::Identifier)
            receivers.append(sharedText(receiver));
    }
    signal.receivers = sharedList(receivers);
    signal.startBit = int(start);
    signal.length = int(length);
    signal.byteOrder = order == 1 ? DbcSignal::ByteOrder::Intel : DbcSignal::ByteOrder::Motorola;
    signal.isSigned = sign.is('-');

    const QString problem = dbcPrepareLayout(&signal, message.length);
    if (!problem.isEmpty()) {
        warn(problem + QStringLiteral("，已跳过"));
        return;
    }
    if (m_pendingNames.contains(signal.name)) {
        warn(QStringLiteral("信号 %1 在报文 %2 中重复，已跳过").arg(signal.name, message.name));
        return;
    }
    if (m_pending.size() >= DbcReader::maxSignalsPerMessage) {
        warn(QStringLiteral("报文 %1 的信号超过 %2 个，已跳过 %3")
                 .arg(message.name).arg(DbcReader::maxSignalsPerMessage).arg(signal.name));
        return;
    }
    if (signal.multiplex == DbcSignal::Multiplex::Multiplexor) {
        if (message.multiplexorIndex >= 0) {
            warn(QStringLiteral("报文 %1 有多个多路复用器，已跳过 %2")
                     .arg(message.name, signal.name));
            return;
        }
        if (signal.valueType != DbcSignal::ValueType::Integer) {
            warn(malformed);
            return;
        }
        message.multiplexorIndex = m_pending.size();
    }
    m_pendingNames.insert(signal.name, m_pending.size());
    m_pending.append(signal);
}

DbcMessage *Parser::messageById(const Token &token)
{
    qint64 rawId;
    if (!toInt(token, 0, 0xFFFFFFFFll, &rawId))
        return nullptr;
    const bool extended = rawId & 0x80000000u;
    const auto found = m_index.constFind(dbcMessageKey(uint32_t(rawId & 0x1FFFFFFF), extended));
    if (found == m_index.constEnd() || (!extended && rawId > 0x7FF))
        return nullptr;
    return &m_file.messages[found.value()];
}

DbcSignal *Parser::signalByName(DbcMessage *message, const QString &name)
{
    if (!message)
        return nullptr;
    QVector<DbcSignal> &signalList = message->signalList;
    // A short list is searched: an index for each message would stay behind in the heap
    // between the comments and value tables read meanwhile.
    constexpr int searched = 32;
    if (signalList.size() <= searched) {
        for (DbcSignal &signal : signalList) {
            if (signal.name == name)
                return &signal;
        }
        return nullptr;
    }
    const int at = int(message - m_file.messages.data());
    auto names = m_signalIndex.find(at);
    if (names == m_signalIndex.end()) {
        names = m_signalIndex.insert(at, QHash<QString, int>());
        for (int i = 0; i < signalList.size(); ++i)
            names->insert(signalList.at(i).name, i);
    }
    const int index = names->value(name, -1);
    return index < 0 ? nullptr : &signalList[index];
}

void Parser::comment(Tokenizer &tokens)
{
    const Token kind = tokens.next();
    if (!kind.is("BO_") && !kind.is("SG_"))
        return;
    const Token idToken = tokens.next();
    DbcMessage *message = messageById(idToken);
    if (!message) {
        warn(QStringLiteral("注释指向不存在的报文，已跳过"));
        return;
    }
    if (kind.is("BO_")) {
        const Token body = tokens.next();
        if (body.kind == Token::String)
            message->comment = text(body);
        return;
    }
    const Token name = tokens.next();
    const Token body = tokens.next();
    if (body.kind != Token::String)
        return;
    if (DbcSignal *signal = signalByName(message, text(name))) {
        signal->comment = text(body);
        return;
    }
    warn(QStringLiteral("注释指向不存在的信号 %1，已跳过").arg(text(name)));
}

void Parser::values(Tokenizer &tokens)
{
    const Token idToken = tokens.next();
    if (idToken.kind != Token::Number)
        return;   // descriptions of an environment variable
    DbcMessage *message = messageById(idToken);
    const Token name = tokens.next();
    DbcSignal *signal = signalByName(message, text(name));
    if (!signal) {
        warn(QStringLiteral("值描述指向不存在的信号 %1，已跳过").arg(text(name)));
        return;
    }
    QMap<int64_t, QString> descriptions;
    for (;;) {
        const Token value = tokens.next();
        if (value.is(';') || value.kind == Token::End)
            break;
        const Token description = tokens.next();
        double number;
        if (!toDouble(value, &number) || description.kind != Token::String
            || number != std::floor(number) || std::fabs(number) > 9.2e18) {
            warn(QStringLiteral("信号 %1 的值描述无法识别，已跳过").arg(signal->name));
            return;
        }
        qint64 exact;
        descriptions.insert(toInt(value, LLONG_MIN, LLONG_MAX, &exact) ? exact : int64_t(number),
                            text(description));
    }
    signal->valueDescriptions = sharedTable(descriptions);
}

void Parser::valueType(Tokenizer &tokens)
{
    DbcMessage *message = messageById(tokens.next());
    const Token name = tokens.next();
    Token kind = tokens.next();
    if (kind.is(':'))
        kind = tokens.next();
    qint64 type;
    if (!message || !toInt(kind, 0, 2, &type)) {
        warn(QStringLiteral("无法识别的信号类型定义，已跳过"));
        return;
    }
    if (DbcSignal *signal = signalByName(message, text(name))) {
        DbcSignal changed = *signal;
        changed.valueType = type == 1 ? DbcSignal::ValueType::Float
            : type == 2               ? DbcSignal::ValueType::Double
                                      : DbcSignal::ValueType::Integer;
        const QString problem = dbcPrepareLayout(&changed, message->length);
        if (!problem.isEmpty() || changed.multiplex == DbcSignal::Multiplex::Multiplexor) {
            warn(QStringLiteral("信号 %1 不能作为浮点数，按整数解析").arg(signal->name));
            return;
        }
        *signal = changed;
        return;
    }
    warn(QStringLiteral("信号类型指向不存在的信号 %1，已跳过").arg(text(name)));
}

bool Parser::fdFormat(const Token &value, bool *fd) const
{
    QString format;
    qint64 index;
    if (value.kind == Token::String)
        format = text(value);
    else if (toInt(value, 0, m_frameFormats.size() - 1, &index))
        format = m_frameFormats.at(int(index));
    if (format.isEmpty())
        return false;
    *fd = format.endsWith(QLatin1String("CAN_FD"));
    return true;
}

void Parser::attributeDefinition(Tokenizer &tokens)
{
    m_recognised = true;
    if (!tokens.next().is("BO_"))
        return;
    const Token name = tokens.next();
    if (name.kind != Token::String || name.bytes() != "VFrameFormat"
        || !tokens.next().is("ENUM"))
        return;
    QStringList formats;
    for (Token value = tokens.next(); value.kind == Token::String || value.is(',');
         value = tokens.next()) {
        if (value.kind == Token::String)
            formats << text(value);
    }
    m_frameFormats = formats;
}

void Parser::attribute(Tokenizer &tokens)
{
    const Token name = tokens.next();
    if (name.kind == Token::String && name.bytes() == "VFrameFormat") {
        if (!tokens.next().is("BO_"))
            return;
        DbcMessage *message = messageById(tokens.next());
        bool fd = false;
        if (!message || !fdFormat(tokens.next(), &fd)) {
            warn(QStringLiteral("无法识别的帧格式属性，已跳过"));
            return;
        }
        message->fd = fd;
        m_explicitFormat.insert(int(message - m_file.messages.data()));
        return;
    }
    if (name.kind != Token::String || name.bytes() != "GenMsgCycleTime")
        return;
    if (!tokens.next().is("BO_"))
        return;
    DbcMessage *message = messageById(tokens.next());
    double cycle;
    if (!message || !toDouble(tokens.next(), &cycle) || cycle < 0 || cycle > 1e9) {
        warn(QStringLiteral("无法识别的周期属性，已跳过"));
        return;
    }
    message->cycleTimeMs = int(cycle);
    m_explicitCycle.insert(int(message - m_file.messages.data()));
}

void Parser::attributeDefault(Tokenizer &tokens)
{
    const Token name = tokens.next();
    if (name.kind == Token::String && name.bytes() == "VFrameFormat") {
        bool fd = false;
        if (fdFormat(tokens.next(), &fd))
            m_defaultFd = fd;
        return;
    }
    if (name.kind != Token::String || name.bytes() != "GenMsgCycleTime")
        return;
    double cycle;
    if (toDouble(tokens.next(), &cycle) && cycle >= 0 && cycle <= 1e9)
        m_defaultCycle = int(cycle);
}

void Parser::finish()
{
    closeMessage();
    for (int i = 0; i < m_file.messages.size(); ++i) {
        DbcMessage &message = m_file.messages[i];
        if (!m_explicitCycle.contains(i))
            message.cycleTimeMs = m_defaultCycle;
        if (!m_explicitFormat.contains(i))
            message.fd = m_defaultFd;
        if (message.multiplexorIndex >= 0)
            continue;
        const int before = message.signalList.size();
        message.signalList.erase(
            std::remove_if(message.signalList.begin(), message.signalList.end(),
                           [](const DbcSignal &signal) {
                               return signal.multiplex == DbcSignal::Multiplex::Multiplexed;
                           }),
            message.signalList.end());
        if (message.signalList.size() != before)
            warn(QStringLiteral("报文 %1 没有多路复用器，已跳过它的多路信号").arg(message.name),
                 message.line);
    }
    if (m_file.messages.isEmpty()) {
        m_file.error = m_recognised
            ? QStringLiteral("%1 中没有可用的报文").arg(m_name)
            : QStringLiteral("%1 不是DBC文件").arg(m_name);
        if (!m_file.warnings.isEmpty())
            m_file.error += QStringLiteral("（%1）").arg(m_file.warnings.first());
    }
}

} // namespace

namespace DbcReader {

DbcFile parse(const QByteArray &text, const QString &fileName)
{
    return Parser(text, fileName).run();
}

DbcFile readFile(const QString &path)
{
    DbcFile refused;
    refused.path = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        refused.error = QStringLiteral("无法打开 %1：%2").arg(path, file.errorString());
        return refused;
    }
    if (file.size() > maxFileBytes) {
        refused.error = QStringLiteral("%1 过大（%2 MB），不像DBC文件")
                            .arg(path).arg(file.size() / (1024 * 1024));
        return refused;
    }
    const QByteArray text = file.read(maxFileBytes + 1);
    if (text.size() > maxFileBytes || file.error() != QFileDevice::NoError) {
        refused.error = QStringLiteral("无法读取 %1：%2").arg(path, file.errorString());
        return refused;
    }
    return parse(text, path);
}

} // namespace DbcReader
