#include "monitor/csvexport.h"

#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"

#include <QAbstractItemModel>
#include <QFile>
#include <QTextCodec>
#include <QTextStream>
#include <QVector>

namespace {

constexpr int rowsPerSlice = 4096;
constexpr int flushBytes = 1 << 20;

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
        QByteArray buffer = header.toUtf8();
        buffer.reserve(flushBytes + 4096);
        for (int row = 0; row < rows; ++row) {
            if (row < snapshot.rowCount()
                && !(snapshot.record(row).flags & (FrameRecord::Error
                                                   | FrameRecord::Oversized))) {
                char line[trace::maxLogRowBytes];
                const char *end = trace::writeLogRow(
                        line, frameLogRow(snapshot.record(row), snapshot.number(row),
                                          &snapshot.tails()));
                buffer.append(line, int(end - line));
            } else {
                buffer += rowText(snapshot, row, columns).toUtf8();
            }
            if (buffer.size() >= flushBytes || (row + 1) % rowsPerSlice == 0) {
                if (file.write(buffer) != buffer.size())
                    return false;
                // Keeps the reserved room, which clear() would free.
                buffer.resize(0);
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
