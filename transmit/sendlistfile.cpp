#include "sendlistfile.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardItemModel>
#include <QStringList>

#include <algorithm>

namespace SendListFile {

namespace {

const QString countKey = QStringLiteral("INFO/Count");

QString rowGroup(int row)
{
    return QStringLiteral("CMD%1").arg(row);
}

// Count comes from outside and may be anything; the rows that can hold data end at the
// last CMDn group present, and gaps between groups are bounded on top of that.
int rowLimit(const QStringList &groups)
{
    const QString prefix = QStringLiteral("CMD");
    qint64 highestRow = -1;
    qint64 groupRows = 0;
    for (const QString &group : groups) {
        if (!group.startsWith(prefix))
            continue;
        const QString number = group.mid(prefix.size());
        bool ok = false;
        const int row = number.toInt(&ok);
        // Only the spelling the loader looks up counts; CMD007 or CMD+7 are never read.
        if (!ok || row < 0 || QString::number(row) != number)
            continue;
        highestRow = std::max<qint64>(highestRow, row);
        ++groupRows;
    }
    return int(std::min(highestRow + 1, groupRows + maxRowsWithoutGroup));
}

// An unquoted comma makes the INI reader split a hand-written value into a list; the
// cell keeps the whole text rather than losing it.
QString cellText(const QVariant &value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

} // namespace

bool save(const QStandardItemModel &model, const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    const int rows = model.rowCount();
    settings.setValue(countKey, rows);
    for (int row = 0; row < rows; ++row) {
        settings.beginGroup(rowGroup(row));
        for (int column = 0; column < model.columnCount(); ++column)
            settings.setValue(QString::number(column), model.index(row, column).data().toString());
        settings.endGroup();
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

LoadResult load(QStandardItemModel *model, const QString &path)
{
    LoadResult result;
    QSettings settings(path, QSettings::IniFormat);
    const QStringList groups = settings.childGroups();
    const int limit = rowLimit(groups);
    if (settings.status() == QSettings::AccessError
            || (limit <= 0 && !groups.contains(QStringLiteral("INFO"))))
        return result;
    result.loaded = true;
    model->setRowCount(0);
    const int count = std::min(settings.value(countKey, 0).toInt(), limit);
    for (int row = 0; row < count; ++row) {
        settings.beginGroup(rowGroup(row));
        // Inserting a row with its items costs the attached view one insertion, whereas
        // setting items into empty cells makes it handle a change per cell, which turns a
        // large list into minutes of work.
        QList<QStandardItem *> items;
        for (int column = 0; column < model->columnCount(); ++column) {
            QString text = cellText(settings.value(QString::number(column)));
            if (text.size() > maxCellLength) {
                text.truncate(maxCellLength);
                ++result.cutCells;
            }
            items.append(new QStandardItem(text));
        }
        model->insertRow(row, items);
        settings.endGroup();
    }
    return result;
}

} // namespace SendListFile
