#include "filter/framefiltermodel.h"

namespace {

FrameScan::Test testOf(const FrameFilter &filter)
{
    return [filter](const FrameRecord &record, const FrameTails *tails) {
        return filter.matches(record, tails);
    };
}

} // namespace

FrameFilterModel::FrameFilterModel(FrameLogModel *log, QAbstractItemModel *shown,
                                   QObject *parent)
    : QAbstractProxyModel(parent)
    , log(log)
    , matches(new FrameMatches(log, this))
{
    QAbstractProxyModel::setSourceModel(shown);
    // Passed straight through, the frame log's changes are the table's; filtered, the
    // kept rows follow once the frame log has changed.
    connect(shown, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex &, int first, int last) {
        if (passThrough())
            beginInsertRows(QModelIndex(), first, last);
    });
    connect(shown, &QAbstractItemModel::rowsInserted, this, [this] {
        if (passThrough())
            endInsertRows();
        else
            follow();
    });
    connect(shown, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) {
        if (!passThrough())
            return;
        beginRemoveRows(QModelIndex(), first, last);
        if (first == 0)
            droppedAtTop += last + 1;
    });
    connect(shown, &QAbstractItemModel::rowsRemoved, this, [this] {
        if (passThrough())
            endRemoveRows();
        else
            follow();
    });
    connect(shown, &QAbstractItemModel::modelAboutToBeReset, this,
            &FrameFilterModel::beginResetModel);
    connect(shown, &QAbstractItemModel::modelReset, this, [this] {
        kept.clear();
        next = -1;
        if (!passThrough())
            follow();
        endResetModel();
    });
    connect(shown, &QAbstractItemModel::dataChanged, this,
            &FrameFilterModel::sourceDataChanged);
    connect(shown, &QAbstractItemModel::headerDataChanged, this,
            &QAbstractItemModel::headerDataChanged);
    // The decoded column comes and goes with the database, in every row alike.
    connect(shown, &QAbstractItemModel::columnsAboutToBeInserted, this,
            [this](const QModelIndex &, int first, int last) {
        beginInsertColumns(QModelIndex(), first, last);
    });
    connect(shown, &QAbstractItemModel::columnsInserted, this,
            &FrameFilterModel::endInsertColumns);
    connect(shown, &QAbstractItemModel::columnsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) {
        beginRemoveColumns(QModelIndex(), first, last);
    });
    connect(shown, &QAbstractItemModel::columnsRemoved, this,
            &FrameFilterModel::endRemoveColumns);
    connect(log, &FrameLogModel::rowsShifted, this, [this](int count) {
        if (!passThrough()) {
            follow();
            return;
        }
        droppedAtTop += count;
        emit rowsShifted(count);
    });
    connect(matches, &FrameMatches::finished, this, &FrameFilterModel::swapIn);
}

QModelIndex FrameFilterModel::index(int row, int column, const QModelIndex &parent) const
{
    return hasIndex(row, column, parent) ? createIndex(row, column) : QModelIndex();
}

QModelIndex FrameFilterModel::parent(const QModelIndex &) const
{
    return QModelIndex();
}

QModelIndex FrameFilterModel::sibling(int row, int column, const QModelIndex &) const
{
    return index(row, column);
}

int FrameFilterModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return passThrough() ? log->rowCount() : kept.size();
}

int FrameFilterModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : sourceModel()->columnCount();
}

bool FrameFilterModel::hasChildren(const QModelIndex &parent) const
{
    return !parent.isValid() && rowCount() > 0;
}

QModelIndex FrameFilterModel::mapToSource(const QModelIndex &proxyIndex) const
{
    if (!proxyIndex.isValid())
        return QModelIndex();
    return sourceModel()->index(logRow(proxyIndex.row()), proxyIndex.column());
}

QModelIndex FrameFilterModel::mapFromSource(const QModelIndex &sourceIndex) const
{
    if (!sourceIndex.isValid())
        return QModelIndex();
    return index(shownRow(sourceIndex.row()), sourceIndex.column());
}

QVariant FrameFilterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    // Column headers stand whether or not any row is shown.
    if (orientation == Qt::Vertical)
        section = logRow(section);
    return sourceModel()->headerData(section, orientation, role);
}

void FrameFilterModel::setFilter(const FrameFilter &filter)
{
    wanted = filter;
    if (filter.matchesAll()) {
        matches->cancel();
        swapIn();
        return;
    }
    if (matches->collect(testOf(filter)))
        swapIn();
}

void FrameFilterModel::cancelApply()
{
    if (!matches->isRunning())
        return;
    matches->cancel();
    emit applyFinished(false);
}

void FrameFilterModel::swapIn()
{
    beginResetModel();
    inForce = wanted;
    test = testOf(inForce);
    if (passThrough()) {
        kept.clear();
        next = -1;
    } else {
        kept = matches->takeResult(&next);
    }
    endResetModel();
    emit applyFinished(true);
}

int FrameFilterModel::logRow(int row) const
{
    if (passThrough())
        return row;
    if (row < 0 || row >= kept.size() || log->rowCount() == 0)
        return -1;
    return int(kept.at(row) - log->number(0));
}

int FrameFilterModel::shownRow(int logRow) const
{
    if (logRow < 0 || logRow >= log->rowCount())
        return -1;
    if (passThrough())
        return logRow;
    const qint64 number = log->number(logRow);
    const int row = kept.lowerBound(number);
    return row < kept.size() && kept.at(row) == number ? row : -1;
}

int FrameFilterModel::rowAtOrAfter(qint64 number) const
{
    if (!passThrough())
        return kept.lowerBound(number);
    const int rows = log->rowCount();
    if (rows == 0)
        return 0;
    return int(qBound<qint64>(0, number - log->number(0), rows));
}

FrameLogSnapshot FrameFilterModel::shownSnapshot() const
{
    const int rows = log->rowCount();
    FrameLogSnapshot all = log->snapshot(rows);
    if (passThrough())
        return all;
    std::vector<int> picked;
    picked.reserve(size_t(kept.size()));
    for (int i = 0; i < kept.size(); ++i)
        picked.push_back(logRow(i));
    return all.selected(std::move(picked));
}

void FrameFilterModel::follow()
{
    const int rows = log->rowCount();
    const int gone = rows > 0 ? kept.lowerBound(log->number(0)) : kept.size();
    const std::vector<qint64> found = FrameScan::matchNewRows(*log, test, &next);
    if (rows == 0)
        next = -1;
    const int added = int(found.size());
    // As the frame log does: a full table that stays full moves its rows up in place,
    // which spares the view's header work in proportion to the rows; the frame log's
    // dataChanged() for its rows follows and repaints them.
    if (gone > 0 && gone == added) {
        kept.dropBefore(log->number(0));
        for (qint64 number : found)
            kept.append(number);
        droppedAtTop += gone;
        emit rowsShifted(gone);
        return;
    }
    if (gone > 0) {
        beginRemoveRows(QModelIndex(), 0, gone - 1);
        if (rows == 0)
            kept.clear();
        else
            kept.dropBefore(log->number(0));
        droppedAtTop += gone;
        endRemoveRows();
    }
    if (added > 0) {
        beginInsertRows(QModelIndex(), kept.size(), kept.size() + added - 1);
        for (qint64 number : found)
            kept.append(number);
        endInsertRows();
    }
}

void FrameFilterModel::sourceDataChanged(const QModelIndex &topLeft,
                                         const QModelIndex &bottomRight,
                                         const QVector<int> &roles)
{
    if (passThrough()) {
        emit dataChanged(index(topLeft.row(), topLeft.column()),
                         index(bottomRight.row(), bottomRight.column()), roles);
        return;
    }
    if (bottomRight.row() >= log->rowCount())
        return;
    const int first = kept.lowerBound(log->number(topLeft.row()));
    const int last = kept.lowerBound(log->number(bottomRight.row()) + 1) - 1;
    if (first <= last) {
        emit dataChanged(index(first, topLeft.column()), index(last, bottomRight.column()),
                         roles);
    }
}
