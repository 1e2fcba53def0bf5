#include "transmit/sendlistfile.h"

#include "input/typednumber.h"

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QRect>
#include <QSaveFile>
#include <QSettings>
#include <QSize>
#include <QTextCodec>
#include <QVariant>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace SendListFile {

namespace {

constexpr int columns = SendListRow::cellCount;
constexpr quint16 allCells = (1u << columns) - 1;
constexpr quint16 classicCells = (1u << SendListRow::classicCellCount) - 1;
static_assert(SendListRow::cellCount == 12, "keyOrder lists every column");

// Keys in the order the settings class sorts them ("10" before "2").
constexpr int keyOrder[columns] = { 0, 1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9 };

bool writesKey(const SendListRow &cells, int column)
{
    return column < SendListRow::classicCellCount || !cells.cell(column).isEmpty();
}
const QString countKey = QStringLiteral("INFO/Count");

// How often, in bytes, the reader and the writer report progress and look for a cancel.
constexpr int progressStep = 1 << 18;

bool isSpace(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
}

bool isSpecial(char ch)
{
    return ch == '\n' || ch == '\r' || ch == '"' || ch == ';' || ch == '=' || ch == '\\';
}

bool isHexDigit(char ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

int hexValue(char ch)
{
    if (ch <= '9')
        return ch - '0';
    return (ch | 0x20) - 'a' + 10;
}

// One logical line of the INI text: a quoted part or an escaped line end continues it, a
// ';' outside quotes ends it (the rest is a comment line), comment lines are skipped.
struct Line
{
    int start = 0;
    int length = 0;
    int equals = -1;
};

bool nextLine(const char *data, int size, int &pos, Line &line)
{
    bool inQuotes = false;
    line.equals = -1;
    int start = pos;
    while (start < size && isSpace(data[start]))
        ++start;
    int i = start;
    while (i < size) {
        while (!isSpecial(data[i])) {
            if (++i == size)
                goto done;
        }
        const char ch = data[i++];
        if (ch == '=') {
            if (!inQuotes && line.equals == -1)
                line.equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char escaped = data[i++];
                if (i < size) {
                    const char next = data[i];
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (i == start + 1) {
            while (i < size && data[i] != '\n' && data[i] != '\r')
                ++i;
            while (i < size && isSpace(data[i]))
                ++i;
            start = i;
        } else if (!inQuotes) {
            --i;
            goto done;
        }
    }
done:
    pos = i;
    line.start = start;
    line.length = i - start;
    return line.length > 0;
}

// Group and key names: '\' stands for '/', %XX and %UXXXX for one character each, any
// other byte for the Latin-1 character.
QString unescapedName(const char *data, int from, int to)
{
    QString result;
    result.reserve(to - from);
    int i = from;
    while (i < to) {
        const uchar ch = uchar(data[i]);
        if (ch == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != '%' || i == to - 1) {
            result += QLatin1Char(char(ch));
            ++i;
            continue;
        }
        int digits = 2;
        int first = i + 1;
        if (data[i + 1] == 'U') {
            ++first;
            digits = 4;
        }
        bool ok = first + digits <= to;
        int code = 0;
        for (int d = first; ok && d < first + digits; ++d) {
            ok = isHexDigit(data[d]);
            if (ok)
                code = code * 16 + hexValue(data[d]);
        }
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(code);
        i = first + digits;
    }
    return result;
}

void chopTrailingSpaces(QString &text, int limit)
{
    int n = text.size();
    while (n > limit
           && (text.at(n - 1) == QLatin1Char(' ') || text.at(n - 1) == QLatin1Char('\t')))
        --n;
    text.truncate(n);
}

void appendText(QString &text, const char *data, int size, QTextCodec *codec)
{
    if (codec)
        text += codec->toUnicode(data, size);
    else
        text += QLatin1String(data, size);
}

// A value: leading blanks skipped, trailing ones dropped unless quoted or escaped, C-like
// escapes, and commas outside quotes separating the items of a list. Returns true for a
// list, whose items are then in `list`.
bool unescapedValue(const char *data, int from, int to, QTextCodec *codec, QString &text,
                    QStringList &list)
{
    static const char escapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},
                                      {'r', '\r'}, {'t', '\t'}, {'v', '\v'}, {'"', '"'},
                                      {'?', '?'}, {'\'', '\''}, {'\\', '\\'}};
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false;
    int i = from;
    int chopLimit = 0;
    bool skipSpaces = true;
    while (true) {
        if (skipSpaces) {
            while (i < to && (data[i] == ' ' || data[i] == '\t'))
                ++i;
            skipSpaces = false;
        }
        chopLimit = text.size();
        bool restart = false;
        while (i < to && !restart) {
            const char ch = data[i];
            if (ch == '\\') {
                ++i;
                if (i >= to)
                    goto end;
                const char code = data[i++];
                bool known = false;
                for (const auto &escape : escapes) {
                    if (code == escape[0]) {
                        text += QLatin1Char(escape[1]);
                        known = true;
                        break;
                    }
                }
                if (known) {
                    restart = true;
                    break;
                }
                if (code == 'x' || (code >= '0' && code <= '7')) {
                    const bool hex = code == 'x';
                    if (hex && i >= to)
                        goto end;
                    if (!hex || isHexDigit(data[i])) {
                        uint value = hex ? 0 : uint(code - '0');
                        while (i < to && (hex ? isHexDigit(data[i])
                                              : (data[i] >= '0' && data[i] <= '7'))) {
                            value = hex ? (value << 4) + uint(hexValue(data[i]))
                                        : (value << 3) + uint(data[i] - '0');
                            ++i;
                        }
                        text += QChar(ushort(value & 0xffff));
                        if (i >= to)
                            goto end;
                        restart = true;
                        break;
                    }
                } else if (code == '\n' || code == '\r') {
                    if (i < to && (data[i] == '\n' || data[i] == '\r') && data[i] != code)
                        ++i;
                }
                chopLimit = text.size();
            } else if (ch == '"') {
                ++i;
                quoted = true;
                inQuotes = !inQuotes;
                if (!inQuotes) {
                    skipSpaces = true;
                    restart = true;
                }
            } else if (ch == ',' && !inQuotes) {
                if (!quoted)
                    chopTrailingSpaces(text, chopLimit);
                if (!isList) {
                    isList = true;
                    list.clear();
                }
                list.append(text);
                text.clear();
                quoted = false;
                ++i;
                skipSpaces = true;
                restart = true;
            } else {
                int j = i + 1;
                while (j < to && data[j] != '\\' && data[j] != '"' && data[j] != ',')
                    ++j;
                appendText(text, data + i, j - i, codec);
                i = j;
            }
        }
        if (!restart)
            break;
    }
    if (!quoted)
        chopTrailingSpaces(text, chopLimit);
end:
    if (isList)
        list.append(text);
    return isList;
}

QStringList splitArgs(const QString &text, int open)
{
    QStringList result;
    QString item;
    for (int i = open + 1; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char(')')) {
            result.append(item);
        } else if (c == QLatin1Char(' ')) {
            result.append(item);
            item.clear();
        } else {
            item.append(c);
        }
    }
    return result;
}

// The typed spellings the settings class writes for values that are no plain text.
QVariant typedValue(const QString &text)
{
    if (!text.startsWith(QLatin1Char('@')))
        return text;
    if (text.endsWith(QLatin1Char(')'))) {
        if (text.startsWith(QLatin1String("@ByteArray(")))
            return text.midRef(11, text.size() - 12).toLatin1();
        if (text.startsWith(QLatin1String("@String(")))
            return text.mid(8, text.size() - 9);
        if (text.startsWith(QLatin1String("@Variant("))
                || text.startsWith(QLatin1String("@DateTime("))) {
            const bool dateTime = text.at(1) == QLatin1Char('D');
            QByteArray bytes = text.midRef(dateTime ? 10 : 9).toLatin1();
            QDataStream stream(&bytes, QIODevice::ReadOnly);
            stream.setVersion(dateTime ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
            QVariant result;
            stream >> result;
            return result;
        }
        if (text.startsWith(QLatin1String("@Rect("))) {
            const QStringList args = splitArgs(text, 5);
            if (args.size() == 4)
                return QRect(args[0].toInt(), args[1].toInt(), args[2].toInt(),
                             args[3].toInt());
        } else if (text.startsWith(QLatin1String("@Size("))) {
            const QStringList args = splitArgs(text, 5);
            if (args.size() == 2)
                return QSize(args[0].toInt(), args[1].toInt());
        } else if (text.startsWith(QLatin1String("@Point("))) {
            const QStringList args = splitArgs(text, 6);
            if (args.size() == 2)
                return QPoint(args[0].toInt(), args[1].toInt());
        } else if (text == QLatin1String("@Invalid()")) {
            return QVariant();
        }
    }
    if (text.startsWith(QLatin1String("@@")))
        return text.mid(1);
    return text;
}

QVariant listValue(const QStringList &items)
{
    QStringList plain = items;
    for (QString &item : plain) {
        if (!item.startsWith(QLatin1Char('@')))
            continue;
        if (item.size() >= 2 && item.at(1) == QLatin1Char('@')) {
            item.remove(0, 1);
            continue;
        }
        QVariantList typed;
        for (const QString &original : items)
            typed.append(typedValue(original));
        return typed;
    }
    return plain;
}

QVariant value(const char *data, int from, int to, QTextCodec *codec)
{
    QString text;
    QStringList list;
    if (unescapedValue(data, from, to, codec, text, list))
        return listValue(list);
    return typedValue(text);
}

// An unquoted comma makes a hand-written value a list; the cell keeps the whole text
// rather than losing it.
QString cellText(const QVariant &value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

// Most cells are plain text: no escape, quote, list or type, so the bytes are the text.
QString cellText(const char *data, int from, int to, QTextCodec *codec)
{
    int start = from;
    while (start < to && (data[start] == ' ' || data[start] == '\t'))
        ++start;
    const bool plain = (start == to || data[start] != '@')
            && std::none_of(data + start, data + to, [](char ch) {
                   return ch == '\\' || ch == '"' || ch == ',';
               });
    if (!plain)
        return cellText(value(data, from, to, codec));
    QString text;
    appendText(text, data + start, to - start, codec);
    chopTrailingSpaces(text, 0);
    return text;
}

// "0", "17": the spelling QString::number gives, within int.
int canonicalNumber(const QString &text, int from)
{
    const int digits = text.size() - from;
    if (digits < 1 || digits > 10 || (digits > 1 && text.at(from) == QLatin1Char('0')))
        return -1;
    qint64 number = 0;
    for (int i = from; i < text.size(); ++i) {
        const ushort ch = text.at(i).unicode();
        if (ch < '0' || ch > '9')
            return -1;
        number = number * 10 + (ch - '0');
    }
    return number > std::numeric_limits<int>::max() ? -1 : int(number);
}

// The row of a group name CMDn, or -1.
int groupRow(const QString &group)
{
    if (!group.startsWith(QLatin1String("CMD")))
        return -1;
    return canonicalNumber(group, 3);
}

// Cells of one row as one source gave them; `general` marks cells whose key stood in the
// file's general part with the group in its name, which a group of that name overrides.
struct Entry
{
    int row = 0;
    bool general = false;
    quint16 set = 0;
    quint16 cut = 0;
    SendListRow cells;
};

class Reader
{
public:
    Reader(const QByteArray &data, Progress *progress, int maxRows = maxListRows)
        : bytes(data)
        , progress(progress)
        , maxRows(maxRows)
    {
    }

    ReadResult run();

private:
    enum class Section { General, Info, Row, Other };

    void startSection(const QString &name);
    void endSection();
    void keyLine(const Line &line);
    void generalKey(const QString &key, const Line &line);
    void noteGroup(const QString &group);
    QString cell(const Line &line, bool *cut) const;
    void setCount(const Line &line, bool general);

    bool readCount(qint64 *rows, QString *refusal) const;

    const QByteArray &bytes;
    const char *data = nullptr;
    Progress *progress;
    // Rows from here on are only counted: the cells of a file of millions of rows would
    // take gigabytes before the list drops them.
    const int maxRows;
    QTextCodec *codec = nullptr;

    Section section = Section::General;
    int sectionRow = -1;
    QString sectionGroup;
    bool sectionHasKeys = false;
    QString cells[columns];
    Entry current;

    std::vector<Entry> entries;
    std::vector<int> groupRows;
    bool infoGroup = false;
    QVariant count;
    bool countFromGroup = false;
};

void Reader::noteGroup(const QString &group)
{
    if (group == QLatin1String("INFO")) {
        infoGroup = true;
        return;
    }
    const int row = groupRow(group);
    if (row >= 0)
        groupRows.push_back(row);
}

void Reader::startSection(const QString &name)
{
    endSection();
    sectionHasKeys = false;
    sectionRow = -1;
    if (name.isNull()) {
        section = Section::General;
        return;
    }
    const int slash = name.indexOf(QLatin1Char('/'));
    sectionGroup = name.left(slash);
    if (slash >= 0 && slash != name.size() - 1) {
        section = Section::Other;
    } else if (sectionGroup == QLatin1String("INFO")) {
        section = Section::Info;
    } else {
        sectionRow = groupRow(sectionGroup);
        section = sectionRow >= 0 ? Section::Row : Section::Other;
    }
    if (section == Section::Row) {
        current = Entry();
        current.row = sectionRow;
        for (QString &text : cells)
            text.clear();
    }
}

void Reader::endSection()
{
    if (section != Section::General && sectionHasKeys)
        noteGroup(sectionGroup);
    if (section == Section::Row && current.set) {
        current.cells = SendListRow(QStringList(std::begin(cells), std::end(cells)));
        entries.push_back(std::move(current));
        current = Entry();
    }
    section = Section::General;
}

QString Reader::cell(const Line &line, bool *cut) const
{
    QString text = cellText(data, line.equals + 1, line.start + line.length, codec);
    *cut = text.size() > maxCellLength;
    if (*cut)
        text.truncate(maxCellLength);
    return text;
}

void Reader::setCount(const Line &line, bool general)
{
    if (general && countFromGroup)
        return;
    count = value(data, line.equals + 1, line.start + line.length, codec);
    countFromGroup = !general;
}

void Reader::keyLine(const Line &line)
{
    int keyEnd = line.equals;
    while (keyEnd > line.start && (data[keyEnd - 1] == ' ' || data[keyEnd - 1] == '\t'))
        --keyEnd;
    sectionHasKeys = true;
    if (section == Section::Row && sectionRow >= maxRows)
        return;
    const int keySize = keyEnd - line.start;
    const char *key = data + line.start;
    // The group's own keys are nearly always spelled plainly; others are decoded first.
    if (section == Section::Row && keySize == 1 && *key >= '0' && *key <= '9') {
        const int column = *key - '0';
        bool cut = false;
        cells[column] = cell(line, &cut);
        current.set |= quint16(1u << column);
        current.cut = quint16(cut ? current.cut | (1u << column) : current.cut & ~(1u << column));
        return;
    }
    if (section == Section::Other)
        return;
    const QString name = unescapedName(data, line.start, keyEnd);
    if (section == Section::General) {
        generalKey(name, line);
    } else if (section == Section::Info) {
        if (name == QLatin1String("Count"))
            setCount(line, false);
    } else {
        const int column = canonicalNumber(name, 0);
        if (column >= 0 && column < columns) {
            bool cut = false;
            cells[column] = cell(line, &cut);
            current.set |= quint16(1u << column);
            current.cut = quint16(cut ? current.cut | (1u << column)
                                      : current.cut & ~(1u << column));
        }
    }
}

void Reader::generalKey(const QString &key, const Line &line)
{
    const int slash = key.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return;
    const QString group = key.left(slash);
    noteGroup(group);
    if (key.indexOf(QLatin1Char('/'), slash + 1) >= 0)
        return;
    if (group == QLatin1String("INFO")) {
        if (key.midRef(slash + 1) == QLatin1String("Count"))
            setCount(line, true);
        return;
    }
    const int row = groupRow(group);
    const int column = canonicalNumber(key.mid(slash + 1), 0);
    if (row < 0 || row >= maxRows || column < 0 || column >= columns)
        return;
    Entry entry;
    entry.row = row;
    entry.general = true;
    entry.set = quint16(1u << column);
    bool cut = false;
    QStringList texts;
    for (int c = 0; c < columns; ++c)
        texts << (c == column ? cell(line, &cut) : QString());
    entry.cut = cut ? entry.set : 0;
    entry.cells = SendListRow(texts);
    entries.push_back(std::move(entry));
}

ReadResult Reader::run()
{
    ReadResult result;
    data = bytes.constData();
    const int size = bytes.size();
    int pos = 0;
    if (size >= 3 && uchar(data[0]) == 0xef && uchar(data[1]) == 0xbb
            && uchar(data[2]) == 0xbf) {
        codec = QTextCodec::codecForName("UTF-8");
        pos = 3;
    }
    int reported = 0;
    Line line;
    while (nextLine(data, size, pos, line)) {
        if (progress && pos - reported >= progressStep) {
            reported = pos;
            progress->done.store(pos);
            if (progress->cancelled.load()) {
                result.cancelled = true;
                return result;
            }
        }
        if (data[line.start] == '[') {
            const char *close = static_cast<const char *>(
                    std::memchr(data + line.start, ']', size_t(line.length)));
            const int end = close ? int(close - data) : line.start + line.length;
            const QByteArray name = bytes.mid(line.start + 1, end - line.start - 1).trimmed();
            if (qstricmp(name.constData(), "general") == 0) {
                startSection(QString());
            } else if (qstricmp(name.constData(), "%general") == 0) {
                startSection(QLatin1String(name.constData() + 1) + QLatin1Char('/'));
            } else {
                startSection(unescapedName(name.constData(), 0, name.size())
                             + QLatin1Char('/'));
            }
            continue;
        }
        if (line.equals >= 0)
            keyLine(line);
    }
    endSection();

    std::sort(groupRows.begin(), groupRows.end());
    groupRows.erase(std::unique(groupRows.begin(), groupRows.end()), groupRows.end());
    qint64 counted = 0;
    if (!readCount(&counted, &result.refusal))
        return result;
    result.loaded = true;

    // Count comes from outside and may be anything; the rows that can hold data end at the
    // last CMDn group present, and gaps between groups are bounded on top of that.
    const qint64 limit = groupRows.empty()
            ? 0
            : std::min<qint64>(qint64(groupRows.back()) + 1,
                               qint64(groupRows.size()) + maxRowsWithoutGroup);
    result.fileRows = std::min(counted, limit);
    const int rows = int(std::min<qint64>(result.fileRows, maxRows));
    result.rows.resize(rows);
    std::vector<quint16> fromGroup(size_t(rows), 0);
    std::vector<quint16> cut(size_t(rows), 0);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry &a, const Entry &b) { return a.row < b.row; });
    for (Entry &entry : entries) {
        if (entry.row >= rows)
            break;
        const size_t row = size_t(entry.row);
        SendListRow &target = result.rows[entry.row];
        if (!entry.general && fromGroup[row] == 0
            && (entry.set == allCells || entry.set == classicCells)) {
            // Cells the group leaves out keep what the general part gave them.
            for (int column = SendListRow::classicCellCount; column < columns; ++column) {
                if (!(entry.set & (1u << column)))
                    entry.cells.setCell(column, target.cell(column));
            }
            target = std::move(entry.cells);
            fromGroup[row] = entry.set;
            cut[row] = entry.cut;
            continue;
        }
        for (int column = 0; column < columns; ++column) {
            const quint16 bit = quint16(1u << column);
            if (!(entry.set & bit) || (entry.general && (fromGroup[row] & bit)))
                continue;
            target.setCell(column, entry.cells.cell(column));
            if (!entry.general)
                fromGroup[row] |= bit;
            cut[row] = quint16((cut[row] & ~bit) | (entry.cut & bit));
        }
    }
    for (quint16 bits : cut) {
        for (; bits; bits &= bits - 1)
            ++result.cutCells;
    }
    return result;
}

// Count says how many rows the list has: a file without it, or with one that is no whole
// number from 0 up, would replace the list by an empty one.
bool Reader::readCount(qint64 *rows, QString *refusal) const
{
    if (!infoGroup && groupRows.empty()) {
        *refusal = QStringLiteral("没有 INFO 组，也没有 CMD 组");
        return false;
    }
    if (!count.isValid()) {
        *refusal = QStringLiteral("INFO 组没有 Count");
        return false;
    }
    bool whole = false;
    qint64 number = 0;
    switch (count.userType()) {
    case QMetaType::QString: {
        QString text = count.toString();
        // Without a byte order mark the text was read as Latin-1; a Count typed in
        // full-width digits by an editor that saves UTF-8 is meant as those digits.
        const bool bytes = std::all_of(text.cbegin(), text.cend(),
                                       [](QChar c) { return c.unicode() <= 0xff; });
        if (!codec && bytes)
            text = QString::fromUtf8(text.toLatin1());
        whole = TypedNumber::readWhole(text, &number);
        break;
    }
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        number = count.toLongLong(&whole);
        break;
    default:
        break;
    }
    if (!whole) {
        *refusal = QStringLiteral("Count“%1”不是整数").arg(cellText(count).left(40));
        return false;
    }
    if (number < 0) {
        *refusal = QStringLiteral("Count 为负数：%1").arg(number);
        return false;
    }
    if (number > 0 && groupRows.empty()) {
        *refusal = QStringLiteral("Count 为 %1，但没有 CMD 组").arg(number);
        return false;
    }
    *rows = number;
    return true;
}

// Values are written as the settings class writes a text without a codec: escapes for
// control and non-ASCII characters, quotes when a separator or an outer blank needs them.
void appendEscapedText(const QString &text, QByteArray &out)
{
    const bool plain = std::all_of(text.begin(), text.end(), [](QChar c) {
        const ushort ch = c.unicode();
        return ch >= 0x20 && ch < 0x7f && ch != '"' && ch != '\\' && ch != ';' && ch != ','
                && ch != '=';
    });
    if (plain && (text.isEmpty() || (text.front() != QLatin1Char(' ')
                                     && text.back() != QLatin1Char(' ')))) {
        out += text.toLatin1();
        return;
    }
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    const int startPos = out.size();
    for (const QChar c : text) {
        const uint ch = c.unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        if (escapeNextIfDigit && ch < 0x80 && isHexDigit(char(ch))) {
            out += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (ch) {
        case '\0':
            out += "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            out += "\\a";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\v':
            out += "\\v";
            break;
        case '"':
        case '\\':
            out += '\\';
            out += char(ch);
            break;
        default:
            if (ch <= 0x1f || ch >= 0x7f) {
                out += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfDigit = true;
            } else {
                out += char(ch);
            }
        }
    }
    if (needsQuotes || (startPos < out.size() && (out.at(startPos) == ' ' || out.back() == ' '))) {
        out.insert(startPos, '"');
        out += '"';
    }
}

// A text value as the settings class spells it before escaping.
QString storedText(const QString &text)
{
    if (text.contains(QChar::Null))
        return QLatin1String("@String(") + text + QLatin1Char(')');
    if (text.startsWith(QLatin1Char('@')))
        return QLatin1Char('@') + text;
    return text;
}

// Row numbers in the order of their decimal spellings (0, 1, 10, 100, ..., 11, ...), the
// order in which the settings class writes groups.
std::vector<int> rowsByName(int rows)
{
    std::vector<int> order;
    order.reserve(size_t(rows));
    if (rows > 0)
        order.push_back(0);
    int row = 1;
    for (int written = 1; written < rows; ++written) {
        order.push_back(row);
        if (qint64(row) * 10 < rows) {
            row *= 10;
        } else {
            while (row % 10 == 9 || row + 1 >= rows)
                row /= 10;
            ++row;
        }
    }
    return order;
}

// The groups in the order given, each with the cells of rows[row] (or of previous[row]
// beyond the rows), then INFO with Count: the layout the settings class writes.
bool writeGroups(QIODevice &file, const std::vector<int> &order, const SendListRows &rows,
                 const SendListRows &previous, Progress *progress)
{
    if (progress)
        progress->total.store(qint64(order.size()));
    QByteArray block;
    int written = 0;
    for (const int row : order) {
        if (written++ > 0)
            block += '\n';
        block += "[CMD" + QByteArray::number(row) + "]\n";
        const SendListRow &cells = row < rows.size() ? rows.at(row) : previous.at(row);
        for (const int column : keyOrder) {
            if (!writesKey(cells, column))
                continue;
            block += QByteArray::number(column);
            block += '=';
            appendEscapedText(storedText(cells.cell(column)), block);
            block += '\n';
        }
        if (block.size() >= progressStep) {
            if (file.write(block) != block.size())
                return false;
            block.clear();
            if (progress)
                progress->done.store(written);
        }
    }
    // INFO sorts after every CMD group.
    if (written > 0)
        block += '\n';
    block += "[INFO]\nCount=" + QByteArray::number(rows.size()) + '\n';
    return file.write(block) == block.size();
}

bool writeNew(const SendListRows &rows, const QString &path, Progress *progress)
{
    QSaveFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
            && writeGroups(file, rowsByName(rows.size()), rows, {}, progress) && file.commit();
}

// The settings class writes the groups it read and the ones it adds in the order of their
// names. Over a file exactly as this writer (or that class) wrote it, the result is known:
// the new rows, then the rows of the file beyond them. Any other file is left to that
// class, which alone knows how to write back every value it may hold.
bool writeOverOwnFile(const SendListRows &rows, const QString &path, Progress *progress,
                      bool *handled)
{
    *handled = false;
    QFile previousFile(path);
    if (!previousFile.open(QIODevice::ReadOnly))
        return false;
    const QByteArray previousBytes = previousFile.readAll();
    previousFile.close();
    const ReadResult previous = Reader(previousBytes, nullptr).run();
    if (!previous.loaded || previous.cutCells > 0)
        return false;
    const SendListRows &old = previous.rows;
    QBuffer canonical;
    canonical.open(QIODevice::WriteOnly);
    if (!writeGroups(canonical, rowsByName(old.size()), old, {}, nullptr)
            || canonical.data() != previousBytes)
        return false;
    *handled = true;

    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly)
            && writeGroups(file, rowsByName(std::max(rows.size(), old.size())), rows, old,
                           progress)
            && file.commit();
}

// The settings class keeps the groups and keys of the file it writes over, in their order.
bool writeOver(const SendListRows &rows, const QString &path, Progress *progress)
{
    bool handled = false;
    const bool written = writeOverOwnFile(rows, path, progress, &handled);
    if (handled)
        return written;
    QSettings settings(path, QSettings::IniFormat);
    if (progress)
        progress->total.store(qint64(rows.size()) + 1);
    settings.setValue(countKey, rows.size());
    for (int row = 0; row < rows.size(); ++row) {
        settings.beginGroup(QStringLiteral("CMD%1").arg(row));
        for (int column = 0; column < columns; ++column) {
            if (writesKey(rows.at(row), column))
                settings.setValue(QString::number(column), rows.at(row).cell(column));
            else
                settings.remove(QString::number(column));
        }
        settings.endGroup();
        if (progress && row % 4096 == 0)
            progress->done.store(row);
    }
    settings.sync();
    // A format error comes from reading what the file held before; the write replaces
    // that content, so it is a failure only when the file could not be written.
    switch (settings.status()) {
    case QSettings::NoError:
        return true;
    case QSettings::FormatError:
        return QFileInfo(path).isWritable();
    case QSettings::AccessError:
        break;
    }
    return false;
}

} // namespace

ReadResult read(const QString &path, Progress *progress, int maxRows)
{
    QFile file(path);
    ReadResult result;
    if (!file.exists()) {
        result.refusal = QStringLiteral("文件不存在");
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        result.refusal = QStringLiteral("无法打开：%1").arg(file.errorString());
        return result;
    }
    const qint64 size = file.size();
    if (size > std::numeric_limits<int>::max() - 1) {
        result.refusal = QStringLiteral("文件大于 2 GB");
        return result;
    }
    if (progress)
        progress->total.store(size);
    // A view of the mapped file spares a copy of a large list.
    const uchar *mapped = size > 0 ? file.map(0, size) : nullptr;
    const QByteArray data = mapped
            ? QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), int(size))
            : file.readAll();
    result = Reader(data, progress, maxRows).run();
    if (progress && progress->cancelled.load()) {
        result = ReadResult();
        result.cancelled = true;
    }
    if (progress)
        progress->done.store(size);
    return result;
}

bool write(const SendListRows &rows, const QString &path, Progress *progress)
{
    const QFileInfo info(path);
    if (!info.exists() || (info.isFile() && info.size() == 0))
        return writeNew(rows, path, progress);
    return writeOver(rows, path, progress);
}

bool save(const SendListModel &model, const QString &path)
{
    return write(model.rows(), path);
}

LoadResult load(SendListModel *model, const QString &path)
{
    ReadResult read = SendListFile::read(path);
    if (read.loaded)
        model->setRows(read.rows);
    return {read.loaded, read.cutCells};
}

} // namespace SendListFile
