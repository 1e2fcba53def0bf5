#include "idview/idviewmodel.h"

#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "device/canmessage.h"

#include <QColor>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <memory>
#include <tuple>

namespace {
// Re-sorting by a column that changes with every frame moves rows under the reader's eyes
// and costs the table's length; once a second is enough for both.
constexpr qint64 resortIntervalMs = 1000;
// Beyond this many separate ranges one signal for their span is cheaper for the view.
constexpr int maxRanges = 256;

// Top-level indices carry 0; a child carries its parent's statistics row plus one, which
// stays valid while sorting moves the parent.
constexpr quintptr topLevel = 0;

const QColor activeColour(255, 255, 255);
const QColor silentColour(120, 120, 120);
const QColor outOfRangeColour(255, 90, 90);
const QColor deviationColour(160, 90, 0);

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', 3);
}

bool isStatisticsColumn(int column)
{
    return column >= IdViewModel::CountColumn && column <= IdViewModel::StdDevColumn;
}
}

IdViewModel::IdViewModel(QObject *parent, int maxRows, std::function<qint64()> clockMs)
    : QAbstractItemModel(parent)
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

QModelIndex IdViewModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column < 0 || column >= ColumnCount || row < 0)
        return QModelIndex();
    if (!parent.isValid())
        return row < order.size() ? createIndex(row, column, topLevel) : QModelIndex();
    if (parent.internalId() != topLevel || parent.row() >= order.size())
        return QModelIndex();
    const int statisticsRow = order.at(parent.row());
    if (row >= children(statisticsRow).size())
        return QModelIndex();
    return createIndex(row, column, quintptr(statisticsRow) + 1);
}

QModelIndex IdViewModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == topLevel)
        return QModelIndex();
    const int statisticsRow = int(child.internalId() - 1);
    if (statisticsRow >= position.size())
        return QModelIndex();
    return createIndex(position.at(statisticsRow), 0, topLevel);
}

bool IdViewModel::hasChildren(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return !order.isEmpty();
    if (parent.internalId() != topLevel || parent.row() >= order.size())
        return false;
    // Asked for every row in sight to draw its branch: a look-up, no decoding.
    const int statisticsRow = order.at(parent.row());
    const DbcMessage *message = messageOfStatistics(statisticsRow);
    return message && !message->signalList.isEmpty() && !stats.row(statisticsRow).remote;
}

int IdViewModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return order.size();
    if (parent.internalId() != topLevel || parent.row() >= order.size())
        return 0;
    return children(order.at(parent.row())).size();
}

int IdViewModel::columnCount(const QModelIndex &) const
{
    return ColumnCount;
}

void IdViewModel::setDatabase(const DbcDatabase *newDatabase)
{
    beginResetModel();
    database = newDatabase;
    shownChildren.clear();
    endResetModel();
}

bool IdViewModel::hasDatabase() const
{
    return database && !database->isEmpty();
}

const DbcMessage *IdViewModel::messageOf(int row) const
{
    return messageOfStatistics(order.at(row));
}

const DbcMessage *IdViewModel::messageOfStatistics(int statisticsRow) const
{
    if (!database)
        return nullptr;
    const IdRow &r = stats.row(statisticsRow);
    return database->message(r.id, r.extended);
}

QVector<int> IdViewModel::decodeChildren(int statisticsRow) const
{
    const DbcMessage *message = messageOfStatistics(statisticsRow);
    if (!message || stats.row(statisticsRow).remote)
        return {};
    const QByteArray &data = stats.row(statisticsRow).data;
    QVector<DbcDecodedSignal> values;
    const int count = DbcCodec::decode(
        *message, reinterpret_cast<const uint8_t *>(data.constData()), data.size(), &values);
    QVector<int> indices(count);
    for (int i = 0; i < count; ++i)
        indices[i] = values.at(i).index;
    return indices;
}

const QVector<int> &IdViewModel::children(int statisticsRow) const
{
    auto found = shownChildren.find(statisticsRow);
    if (found == shownChildren.end())
        found = shownChildren.insert(statisticsRow, decodeChildren(statisticsRow));
    return found.value();
}

bool IdViewModel::decodeChild(const QModelIndex &index, const DbcMessage **message,
                              DbcDecodedSignal *value) const
{
    const int statisticsRow = int(index.internalId() - 1);
    const auto found = shownChildren.constFind(statisticsRow);
    *message = messageOfStatistics(statisticsRow);
    if (!*message || found == shownChildren.constEnd() || index.row() >= found->size())
        return false;
    value->index = found->at(index.row());
    if (value->index >= (*message)->signalList.size())
        return false;
    const DbcSignal &signal = (*message)->signalList.at(value->index);
    const QByteArray &data = stats.row(statisticsRow).data;
    if (!DbcCodec::extractBits(signal, reinterpret_cast<const uint8_t *>(data.constData()),
                               data.size(), &value->bits))
        return false;
    DbcCodec::interpret(signal, value->bits, value);
    return true;
}

QString IdViewModel::signalPath(const QModelIndex &index) const
{
    if (!index.isValid() || index.internalId() == topLevel)
        return QString();
    const DbcMessage *message = nullptr;
    DbcDecodedSignal value;
    decodeChild(index, &message, &value);
    if (!message || value.index < 0 || value.index >= message->signalList.size())
        return QString();
    return message->name + QLatin1Char('.') + message->signalList.at(value.index).name;
}

QVariant IdViewModel::childData(const QModelIndex &index, int role) const
{
    const DbcMessage *message = nullptr;
    DbcDecodedSignal value;
    if (!decodeChild(index, &message, &value))
        return QVariant();
    const DbcSignal &signal = message->signalList.at(value.index);
    const IdRow &r = stats.row(int(index.internalId() - 1));
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case IdColumn: return signal.name;
        case ValueColumn: return DbcCodec::physicalText(signal, value);
        case DescriptionColumn: return DbcCodec::valueDescription(signal, value.rawInteger);
        case RawColumn: return DbcCodec::rawText(signal, value);
        case RangeColumn: return DbcCodec::rangeMark(signal, value);
        default: return QVariant();
        }
    case Qt::ToolTipRole:
        return column == IdColumn && !signal.comment.isEmpty() ? QVariant(signal.comment)
                                                                : QVariant();
    case Qt::ForegroundRole:
        if (value.outOfRange && (column == ValueColumn || column == RangeColumn))
            return outOfRangeColour;
        return r.isSilent(nowMs) ? silentColour : activeColour;
    case Qt::TextAlignmentRole:
        return column == RawColumn ? int(Qt::AlignRight | Qt::AlignVCenter)
                                   : int(Qt::AlignLeft | Qt::AlignVCenter);
    case SilentRole:
        return r.isSilent(nowMs);
    case OutOfRangeRole:
        return value.outOfRange;
    default:
        return QVariant();
    }
}

bool IdViewModel::cycleDeviates(const IdRow &row, const DbcMessage *message) const
{
    if (!message || message->cycleTimeMs <= 0 || row.cycles() == 0)
        return false;
    return std::abs(row.meanMs() - message->cycleTimeMs) > cycleTolerance * message->cycleTimeMs;
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
        if (r.fd)
            return r.brs ? QStringLiteral("FD数据帧 BRS") : QStringLiteral("FD数据帧");
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
    case DbcCycleColumn: {
        const DbcMessage *message = messageOf(row);
        return message && message->cycleTimeMs > 0 ? QString::number(message->cycleTimeMs)
                                                   : QString();
    }
    case MessageNameColumn: {
        const DbcMessage *message = messageOf(row);
        return message ? message->name : QString();
    }
    default:
        return QString();
    }
}

QVariant IdViewModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (index.internalId() != topLevel)
        return childData(index, role);
    if (index.row() >= order.size())
        return QVariant();
    const IdRow &r = stats.row(order.at(index.row()));
    switch (role) {
    case Qt::DisplayRole:
        return text(index.row(), index.column());
    case Qt::ForegroundRole:
        return r.isSilent(nowMs) ? silentColour : activeColour;
    case Qt::BackgroundRole:
        if (index.column() == DbcCycleColumn && cycleDeviates(r, messageOf(index.row())))
            return deviationColour;
        return QVariant();
    case Qt::ToolTipRole: {
        const DbcMessage *message = messageOf(index.row());
        if (!message)
            return QVariant();
        if (index.column() == DbcCycleColumn && cycleDeviates(r, message))
            return QStringLiteral("实测平均周期 %1 ms 与DBC周期 %2 ms 相差超过%3%")
                .arg(r.meanMs(), 0, 'f', 1)
                .arg(message->cycleTimeMs)
                .arg(int(cycleTolerance * 100));
        if (index.column() == MessageNameColumn && !message->comment.isEmpty())
            return message->comment;
        return QVariant();
    }
    case Qt::TextAlignmentRole:
        return isStatisticsColumn(index.column()) || index.column() == DbcCycleColumn
            ? int(Qt::AlignRight | Qt::AlignVCenter)
            : int(Qt::AlignLeft | Qt::AlignVCenter);
    case CycleDeviatesRole:
        return cycleDeviates(r, messageOf(index.row()));
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
        QStringLiteral("DBC周期(ms)"), QStringLiteral("报文名"),   QStringLiteral("信号值"),
        QStringLiteral("描述"),       QStringLiteral("原始值"),    QStringLiteral("范围"),
    };
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0
        && section < ColumnCount)
        return headers[section];
    return QAbstractItemModel::headerData(section, orientation, role);
}

bool IdViewModel::lessThan(int a, int b) const
{
    const IdRow &x = stats.row(a);
    const IdRow &y = stats.row(b);
    // The identifier order breaks every tie, so equal values keep a stable, readable order.
    const auto idOf = [](const IdRow &r) {
        return std::make_tuple(r.id, r.extended, r.fd, r.direction);
    };
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
        return compare(std::make_tuple(x.fd, x.brs, x.remote),
                       std::make_tuple(y.fd, y.brs, y.remote));
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
    case DbcCycleColumn: {
        const DbcMessage *mx = messageOfStatistics(a);
        const DbcMessage *my = messageOfStatistics(b);
        return compare(mx ? mx->cycleTimeMs : -1, my ? my->cycleTimeMs : -1);
    }
    case MessageNameColumn: {
        // Unknown identifiers last, whatever the direction would make of an empty name.
        const DbcMessage *mx = messageOfStatistics(a);
        const DbcMessage *my = messageOfStatistics(b);
        return compare(std::make_pair(!mx, mx ? mx->name : QString()),
                       std::make_pair(!my, my ? my->name : QString()));
    }
    default:
        return idOf(x) < idOf(y);
    }
}

void IdViewModel::resort(int sortedRows)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Children follow their parent by themselves: their index names the statistics row.
    QModelIndexList persistent;
    for (const QModelIndex &index : persistentIndexList()) {
        if (index.internalId() == topLevel)
            persistent.append(index);
    }
    QVector<int> persistentRows;
    persistentRows.reserve(persistent.size());
    for (const QModelIndex &index : persistent)
        persistentRows.append(order.at(index.row()));

    const auto less = [this](int a, int b) {
        return sortDirection == Qt::AscendingOrder ? lessThan(a, b) : lessThan(b, a);
    };
    if (sortedRows == 0 && isStatisticsColumn(sortBy)) {
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
            const quint64 tie = quint64(x.id) << 3 | quint64(x.extended) << 2
                    | quint64(x.fd) << 1 | x.direction;
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
    if (!shownChildren.isEmpty())
        updateChildren(changed);
}

void IdViewModel::updateChildren(const QVector<int> &statisticsRows)
{
    for (int r : statisticsRows) {
        const auto found = shownChildren.constFind(r);
        if (found == shownChildren.constEnd())
            continue;
        // A multiplexed message shows other signals, or a shorter payload fewer of them.
        // The views' answers to the signals may add entries, so the hash is not held.
        const int before = found->size();
        const QVector<int> now = decodeChildren(r);
        const QModelIndex parent = index(position.at(r), 0);
        if (now.size() > before) {
            beginInsertRows(parent, before, now.size() - 1);
            shownChildren[r] = now;
            endInsertRows();
        } else if (now.size() < before) {
            beginRemoveRows(parent, now.size(), before - 1);
            shownChildren[r] = now;
            endRemoveRows();
        } else {
            shownChildren[r] = now;
        }
        if (!now.isEmpty())
            emit dataChanged(index(0, 0, parent), index(now.size() - 1, ColumnCount - 1, parent));
    }
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
    shownChildren.clear();
    order = QVector<int>();
    position = QVector<int>();
    resortPending = false;
    nowMs = std::max(nowMs, clock());
    endResetModel();
}
