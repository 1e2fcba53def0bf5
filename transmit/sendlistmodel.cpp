#include "transmit/sendlistmodel.h"

SendListRow::SendListRow(const QStringList &cells)
{
    quint32 end = 0;
    for (int column = 0; column < cellCount; ++column) {
        if (column < cells.size()) {
            text += cells.at(column);
            end += quint32(cells.at(column).size());
        }
        ends[size_t(column)] = end;
    }
}

QString SendListRow::cell(int column) const
{
    if (column < 0 || column >= cellCount)
        return QString();
    return text.mid(start(column), int(ends[size_t(column)]) - start(column));
}

void SendListRow::setCell(int column, const QString &newText)
{
    if (column < 0 || column >= cellCount)
        return;
    const int begin = start(column);
    const int oldSize = int(ends[size_t(column)]) - begin;
    text.replace(begin, oldSize, newText);
    const qint64 change = qint64(newText.size()) - oldSize;
    for (int later = column; later < cellCount; ++later)
        ends[size_t(later)] = quint32(qint64(ends[size_t(later)]) + change);
}

SendListModel::SendListModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void SendListModel::setHeaders(const QStringList &headers)
{
    headerTexts = headers;
    emit headerDataChanged(Qt::Horizontal, 0, SendListRow::cellCount - 1);
}

int SendListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : list.size();
}

int SendListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : SendListRow::cellCount;
}

QVariant SendListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)
            || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    return list.at(index.row()).cell(index.column());
}

bool SendListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)
            || (role != Qt::DisplayRole && role != Qt::EditRole))
        return false;
    list[index.row()].setCell(index.column(), value.toString());
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

QVariant SendListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0
            && section < headerTexts.size())
        return headerTexts.at(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags SendListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable;
}

bool SendListModel::insertRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || row > list.size() || count < 1)
        return false;
    beginInsertRows(QModelIndex(), row, row + count - 1);
    list.insert(row, count, SendListRow());
    endInsertRows();
    return true;
}

bool SendListModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count < 1 || row + count > list.size())
        return false;
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    list.remove(row, count);
    endRemoveRows();
    return true;
}

QString SendListModel::cell(int row, int column) const
{
    if (row < 0 || row >= list.size())
        return QString();
    return list.at(row).cell(column);
}

void SendListModel::appendRow(const QStringList &cells)
{
    beginInsertRows(QModelIndex(), list.size(), list.size());
    list.append(SendListRow(cells));
    endInsertRows();
}

void SendListModel::moveRow(int from, int to)
{
    if (from == to || from < 0 || to < 0 || from >= list.size() || to >= list.size())
        return;
    // The destination of beginMoveRows counts the row's place before it is taken out.
    beginMoveRows(QModelIndex(), from, from, QModelIndex(), to > from ? to + 1 : to);
    list.move(from, to);
    endMoveRows();
}

void SendListModel::setRows(const SendListRows &rows)
{
    beginResetModel();
    list = rows;
    endResetModel();
}
