#include "idviewmodel.h"

#include "canmessage.h"

#include <QColor>
#include <QElapsedTimer>

#include <algorithm>
#include <memory>
#include <tuple>

namespace {
// Re-sorting by a column that changes with every frame moves rows under the reader's eyes
// and costs the table's length; once a second is enough for both.
constexpr qint64 resortIntervalMs = 1000;
// Beyond this many separate ranges one signal for their span is cheaper for the view.
constexpr int maxRanges = 256;

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', 3);
}
}

IdViewModel::IdViewModel(QObject *parent, int maxRows, std::function<qint64()> clockMs)
    : QAbstractTableModel(parent)
    , stats(maxRows)
    , clock(std::move(clockMs))
{
    if (!clock) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        clock = [timer] { return timer->elapsed(); };
    }
    nowMs = clock();
}

int IdViewModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : order.size();
}

int IdViewModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

int IdViewModel::rowOfKey(IdKey key) const
{
    const int r = stats.indexOf(key);
    return r < 0 ? -1 : position.at(r);
}

QString IdViewModel::text(int row, int column) const
{
    const IdRow &r = stats.row(order.at(row));
    const bool hasCycles = r.cycles() > 0;
    switch (column) {
    case IdColumn:
        return QStringLiteral("0x%1").arg(r.id, 2, 16, QLatin1Char('0'));
    case DirectionColumn:
        return r.direction == 1 ? QStringLiteral("发送") : QStringLiteral("接收");
    case FormatColumn:
        return r.remote ? QStringLiteral("远程帧") : QStringLiteral("数据帧");
    case TypeColumn:
        return r.extended ? QStringLiteral("扩展帧") : QStringLiteral("标准帧");
    case DlcColumn:
        return QStringLiteral("0x%1").arg(r.dlc, 2, 16, QLatin1Char('0'));
    case DataColumn:
        return QString::fromLatin1(r.data.toHex(' '));
    case CountColumn:
        return QString::number(r.count);
    case CycleColumn:
        return r.lastCycleMs >= 0 ? milliseconds(r.lastCycleMs) : QString();
    case MeanColumn:
        return hasCycles ? milliseconds(r.meanMs()) : QString();
    case MinColumn:
        return hasCycles ? milliseconds(r.minMs()) : QString();
    case MaxColumn:
        return hasCycles ? milliseconds(r.maxMs()) : QString();
    case StdDevColumn:
        return hasCycles ? milliseconds(r.stdDevMs()) : QString();
    default:
        return QString();
    }
}

QVariant IdViewModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= order.size())
        return QVariant();
    const IdRow &r = stats.row(order.at(index.row()));
    switch (role) {
    case Qt::DisplayRole:
        return text(index.row(), index.column());
    case Qt::ForegroundRole:
        return r.isSilent(nowMs) ? QColor(120, 120, 120) : QColor(255, 255, 255);
    case Qt::TextAlignmentRole:
        return index.column() >= CountColumn ? int(Qt::AlignRight | Qt::AlignVCenter)
                                             : int(Qt::AlignLeft | Qt::AlignVCenter);
    case ChangedBytesRole:
        return index.column() == DataColumn ? QVariant(r.changedMask(nowMs)) : QVariant();
    case SilentRole:
        return r.isSilent(nowMs);
    default:
        return QVariant();
    }
}

QVariant IdViewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QString headers[ColumnCount] = {
        QStringLiteral("帧ID"),       QStringLiteral("传输方向"),  QStringLiteral("格式"),
        QStringLiteral("类型"),       QStringLiteral("DLC"),       QStringLiteral("数据"),
        QStringLiteral("次数"),       QStringLiteral("周期(ms)"),  QStringLiteral("平均(ms)"),
        QStringLiteral("最小(ms)"),   QStringLiteral("最大(ms)"),  QStringLiteral("标准差(ms)"),
    };
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0
        && section < ColumnCount)
        return headers[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

bool IdViewModel::lessThan(int a, int b) const
{
    const IdRow &x = stats.row(a);
    const IdRow &y = stats.row(b);
    // The identifier order breaks every tie, so equal values keep a stable, readable order.
    const auto idOf = [](const IdRow &r) { return std::make_tuple(r.id, r.extended, r.direction); };
    const auto cycleOf = [](const IdRow &r, double value) { return r.cycles() ? value : -1.0; };
    auto compare = [&](auto vx, auto vy) {
        if (vx < vy)
            return true;
        if (vy < vx)
            return false;
        return idOf(x) < idOf(y);
    };
    switch (sortBy) {
    case DirectionColumn:
        return compare(x.direction, y.direction);
    case FormatColumn:
        return compare(x.remote, y.remote);
    case TypeColumn:
        return compare(x.extended, y.extended);
    case DlcColumn:
        return compare(x.dlc, y.dlc);
    case DataColumn:
        return compare(x.data, y.data);
    case CountColumn:
        return compare(x.count, y.count);
    case CycleColumn:
        return compare(x.lastCycleMs, y.lastCycleMs);
    case MeanColumn:
        return compare(cycleOf(x, x.meanMs()), cycleOf(y, y.meanMs()));
    case MinColumn:
        return compare(cycleOf(x, x.minMs()), cycleOf(y, y.minMs()));
    case MaxColumn:
        return compare(cycleOf(x, x.maxMs()), cycleOf(y, y.maxMs()));
    case StdDevColumn:
        return compare(cycleOf(x, x.stdDevMs()), cycleOf(y, y.stdDevMs()));
    default:
        return idOf(x) < idOf(y);
    }
}

void IdViewModel::resort(int sortedRows)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList persistent = persistentIndexList();
    QVector<int> persistentRows;
    persistentRows.reserve(persistent.size());
    for (const QModelIndex &index : persistent)
        persistentRows.append(order.at(index.row()));

    const auto less = [this](int a, int b) {
        return sortDirection == Qt::AscendingOrder ? lessThan(a, b) : lessThan(b, a);
    };
    if (sortedRows == 0 && sortBy >= CountColumn) {
        // A full sort by a number: the keys are taken once per row rather than twice per
        // comparison, which matters at 100,000 rows.
        struct Keyed
        {
            double value;
            quint64 tie;
            int row;
        };
        std::vector<Keyed> keyed;
        keyed.reserve(size_t(order.size()));
        for (int r : qAsConst(order)) {
            const IdRow &x = stats.row(r);
            const bool cycles = x.cycles() > 0;
            double value = 0;
            switch (sortBy) {
            case CountColumn: value = double(x.count); break;
            case CycleColumn: value = x.lastCycleMs; break;
            case MeanColumn: value = cycles ? x.meanMs() : -1; break;
            case MinColumn: value = cycles ? x.minMs() : -1; break;
            case MaxColumn: value = cycles ? x.maxMs() : -1; break;
            default: value = cycles ? x.stdDevMs() : -1; break;
            }
            const quint64 tie = quint64(x.id) << 2 | quint64(x.extended) << 1 | x.direction;
            keyed.push_back({ value, tie, r });
        }
        const bool ascending = sortDirection == Qt::AscendingOrder;
        std::sort(keyed.begin(), keyed.end(), [ascending](const Keyed &a, const Keyed &b) {
            return ascending ? std::tie(a.value, a.tie) < std::tie(b.value, b.tie)
                             : std::tie(b.value, b.tie) < std::tie(a.value, a.tie);
        });
        for (size_t i = 0; i < keyed.size(); ++i)
            order[int(i)] = keyed[i].row;
    } else {
        // Rows before `sortedRows` are in order already: sorting the rest and merging costs
        // the table's length once instead of a full sort.
        std::sort(order.begin() + sortedRows, order.end(), less);
        std::inplace_merge(order.begin(), order.begin() + sortedRows, order.end(), less);
    }
    for (int row = 0; row < order.size(); ++row)
        position[order.at(row)] = row;

    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (int i = 0; i < persistent.size(); ++i)
        moved.append(index(position.at(persistentRows.at(i)), persistent.at(i).column()));
    changePersistentIndexList(persistent, moved);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    lastResortMs = nowMs;
    resortPending = false;
}

void IdViewModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount)
        return;
    sortBy = column;
    sortDirection = order;
    resort();
}

void IdViewModel::update(const QList<CanMessage> &messages)
{
    nowMs = std::max(nowMs, clock());
    const int oldSize = order.size();
    const QVector<int> changed = stats.add(messages, nowMs);

    const int newSize = stats.size();
    if (newSize > oldSize) {
        beginInsertRows(QModelIndex(), oldSize, newSize - 1);
        order.reserve(newSize);
        position.reserve(newSize);
        for (int r = oldSize; r < newSize; ++r) {
            order.append(r);
            position.append(r);
        }
        endInsertRows();
        // New rows arrive at the end; one merge puts them in their place.
        resort(oldSize);
    }
    if (changed.isEmpty())
        return;
    if (sortBy != IdColumn)
        resortPending = true;
    if (resortPending && nowMs - lastResortMs >= resortIntervalMs)
        resort();
    emitChanged(changed);
}

void IdViewModel::emitChanged(const QVector<int> &statisticsRows)
{
    QVector<int> rows;
    rows.reserve(statisticsRows.size());
    for (int r : statisticsRows) {
        if (r < position.size())
            rows.append(position.at(r));
    }
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());
    int ranges = 1;
    for (int i = 1; i < rows.size(); ++i)
        ranges += rows.at(i) != rows.at(i - 1) + 1;
    const int lastColumn = ColumnCount - 1;
    if (ranges > maxRanges) {
        emit dataChanged(index(rows.first(), 0), index(rows.last(), lastColumn));
        return;
    }
    int start = rows.first();
    for (int i = 1; i <= rows.size(); ++i) {
        if (i == rows.size() || rows.at(i) != rows.at(i - 1) + 1) {
            emit dataChanged(index(start, 0), index(rows.at(i - 1), lastColumn));
            if (i < rows.size())
                start = rows.at(i);
        }
    }
}

void IdViewModel::clear()
{
    beginResetModel();
    stats.clear();
    order = QVector<int>();
    position = QVector<int>();
    resortPending = false;
    nowMs = std::max(nowMs, clock());
    endResetModel();
}
