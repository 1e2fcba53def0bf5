#include "monitor/csvexport.h"

#include "monitor/framelog.h"

#include <QAbstractItemModel>
#include <QFile>
#include <QTextCodec>
#include <QTextStream>
#include <QVector>

#include <cstring>

namespace {

constexpr int rowsPerSlice = 4096;
constexpr int flushBytes = 1 << 20;

char *appendHex(char *out, quint32 value, int minDigits)
{
    static const char digits[] = "0123456789abcdef";
    char buffer[8];
    int count = 0;
    do {
        buffer[count++] = digits[value & 0xF];
        value >>= 4;
    } while (value);
    while (count < minDigits)
        buffer[count++] = '0';
    while (count)
        *out++ = buffer[--count];
    return out;
}

char *appendDecimal(char *out, quint64 value, int minDigits)
{
    char buffer[20];
    int count = 0;
    do {
        buffer[count++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    while (count < minDigits)
        buffer[count++] = '0';
    while (count)
        *out++ = buffer[--count];
    return out;
}

char *appendBytes(char *out, const QByteArray &text)
{
    std::memcpy(out, text.constData(), size_t(text.size()));
    return out + text.size();
}

// The fixed texts of the table in UTF-8, the encoding of the fast path.
struct Utf8Texts
{
    const QByteArray sent = QStringLiteral("发送,").toUtf8();
    const QByteArray received = QStringLiteral("接收,").toUtf8();
    const QByteArray success = QStringLiteral("成功,").toUtf8();
    const QByteArray failure = QStringLiteral("失败,").toUtf8();
    const QByteArray remote = QStringLiteral("远程帧,").toUtf8();
    const QByteArray dataFrame = QStringLiteral("数据帧,").toUtf8();
    const QByteArray extended = QStringLiteral("扩展帧,").toUtf8();
    const QByteArray standard = QStringLiteral("标准帧,").toUtf8();
};

QString rowText(const FrameLogSnapshot &snapshot, int row, int columns)
{
    QString line;
    for (int column = 0; column < columns; ++column) {
        if (row < snapshot.rowCount()) {
            line += frameLogText(snapshot.record(row), snapshot.number(row), column,
                                 snapshot.oversized(row), &snapshot.tails());
        }
        line += QLatin1Char(',');
    }
    line += QLatin1Char('\n');
    return line;
}

// One ordinary row straight into UTF-8 bytes; what frameLogText() gives, without making
// nine strings per row.
void appendRowUtf8(QByteArray *out, const FrameRecord &r, qint64 number, const Utf8Texts &t)
{
    char line[160];
    char *p = line;
    if (number < 0) {
        *p++ = '-';
        p = appendDecimal(p, quint64(-(number + 1)) + 1, 1);
    } else {
        p = appendDecimal(p, quint64(number), 1);
    }
    *p++ = ',';
    *p++ = '0';
    *p++ = 'x';
    p = appendHex(p, r.id, 2);
    *p++ = ',';
    for (int i = 0; i < r.size; ++i) {
        if (i > 0)
            *p++ = ' ';
        p = appendHex(p, r.data[i], 2);
    }
    *p++ = ',';
    *p++ = '0';
    *p++ = 'x';
    p = appendHex(p, r.dlc, 2);
    *p++ = ',';
    p = appendBytes(p, r.direction == 1 ? t.sent : t.received);
    p = appendBytes(p, r.flags & FrameRecord::Success ? t.success : t.failure);
    if (r.timeMs >= 0) {
        const quint32 ms = quint32(r.timeMs);
        p = appendDecimal(p, ms / 3600000, 2);
        *p++ = ':';
        p = appendDecimal(p, ms / 60000 % 60, 2);
        *p++ = ':';
        p = appendDecimal(p, ms / 1000 % 60, 2);
        *p++ = ':';
        p = appendDecimal(p, ms % 1000, 3);
    }
    *p++ = ',';
    p = appendBytes(p, r.flags & FrameRecord::Remote ? t.remote : t.dataFrame);
    p = appendBytes(p, r.flags & FrameRecord::Extended ? t.extended : t.standard);
    *p++ = '\n';
    out->append(line, int(p - line));
}

} // namespace

bool FrameLogExport::write()
{
    QFile file(path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    markCreated();
    const int rows = this->rows();
    const int columns = columnHeaders.size();
    QString header;
    for (int column = 0; column < columns; ++column)
        header += columnHeaders.at(column).first + QLatin1Char(',');
    header += QLatin1Char('\n');

    // The stream keeps the locale's encoding; Qt 5 takes a C or POSIX locale for UTF-8,
    // so the Chinese texts survive an unset LANG. In UTF-8 the rows are formatted
    // straight into bytes, which is several times faster.
    const bool utf8 = QTextCodec::codecForLocale()->mibEnum() == 106;
    if (utf8) {
        const Utf8Texts texts;
        QByteArray buffer = header.toUtf8();
        buffer.reserve(flushBytes + 4096);
        for (int row = 0; row < rows; ++row) {
            if (row < snapshot.rowCount()
                && !(snapshot.record(row).flags & (FrameRecord::Error
                                                   | FrameRecord::Oversized
                                                   | FrameRecord::Fd))) {
                appendRowUtf8(&buffer, snapshot.record(row), snapshot.number(row), texts);
            } else {
                buffer += rowText(snapshot, row, columns).toUtf8();
            }
            if (buffer.size() >= flushBytes || (row + 1) % rowsPerSlice == 0) {
                if (file.write(buffer) != buffer.size())
                    return false;
                buffer.clear();
                if (!reportRows(row + 1))
                    return false;
            }
        }
        if (file.write(buffer) != buffer.size())
            return false;
    } else {
        QTextStream out(&file);
        out << header;
        for (int row = 0; row < rows; ++row) {
            out << rowText(snapshot, row, columns);
            if ((row + 1) % rowsPerSlice == 0 && !reportRows(row + 1))
                return false;
        }
        out.flush();
        if (out.status() != QTextStream::Ok)
            return false;
    }
    file.close();
    return file.error() == QFile::NoError;
}

bool exportFrameLog(const QAbstractItemModel *model, int rows, int columns,
                    const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;

    // A view's own columns (decoded signals) are not part of the table's file layout.
    QVector<int> exported;
    for (int column = 0; column < columns; ++column) {
        if (!model->headerData(column, Qt::Horizontal, notExportedRole).toBool())
            exported.append(column);
    }
    QTextStream out(&file);
    for (int column : qAsConst(exported))
        out << model->headerData(column, Qt::Horizontal).toString() << ',';
    out << '\n';
    for (int row = 0; row < rows; ++row) {
        for (int column : qAsConst(exported))
            out << model->index(row, column).data().toString() << ',';
        out << '\n';
    }
    out.flush();
    file.close();
    return out.status() == QTextStream::Ok && file.error() == QFile::NoError;
}

FrameLogExport::FrameLogExport(FrameLogSnapshot snapshot, int rows, const QString &path,
                               QObject *parent)
    : SnapshotWriter(std::move(snapshot), rows, inlineRows, path, parent)
{
}

FrameLogExport::~FrameLogExport()
{
    stop();
}
