#include "monitor/framelogmodel.h"

#include "health/errorframe.h"
#include "memory/heaprelease.h"
#include "monitor/framelog.h"

#include <QColor>
#include <QStringList>

#include <algorithm>
#include <limits>
#include <thread>
#include <vector>

namespace {

// Row positions are ints, counted from the start of the first chunk.
constexpr qint64 maxRows = std::numeric_limits<int>::max() - frameChunkRows;

const FrameRecord &recordAt(const std::shared_ptr<const FrameChunk> *chunks, int head, int row)
{
    const qint64 at = qint64(head) + row;
    return chunks[at / frameChunkRows]->records[at % frameChunkRows];
}

// Returning a chunk's pages to the system costs some 0.1 ms, so a long history dropped at
// once goes back on a thread of its own rather than stalling the window for a quarter of a
// second at ten million rows.
template<typename Iterator>
void releaseChunks(Iterator begin, Iterator end)
{
    constexpr qptrdiff inlineChunks = 8;
    if (end - begin <= inlineChunks)
        return;
    std::vector<std::shared_ptr<const FrameChunk>> dropped(std::make_move_iterator(begin),
                                                           std::make_move_iterator(end));
    std::thread([dropped = std::move(dropped)]() mutable {
        dropped.clear();
        FrameChunk::releaseSpares();
    }).detach();
}

} // namespace

trace::LogRow frameLogRow(const FrameRecord &record, qint64 number, const FrameTails *tails)
{
    trace::LogRow row;
    row.number = number;
    row.id = record.id;
    row.data = record.data;
    row.size = record.size;
    row.dlc = record.dlc;
    row.tx = record.direction == 1;
    unpackFrameFlags(record, row);
    row.timeMs = record.timeMs;
    row.tail = frameTail(record, tails);
    row.tailSize = row.tail ? record.dlc - record.size : 0;
    return row;
}

QString frameLogText(const FrameRecord &record, qint64 number, int column,
                     const OversizedFrame *oversized, const FrameTails *tails)
{
    if (record.flags & FrameRecord::Error) {
        switch (column) {
        case trace::IdColumn:
            // An error event has no identifier of its own; its row shows the class bits.
            return QStringLiteral("0x%1").arg(record.errorClass, 3, 16, QLatin1Char('0'));
        case trace::DataColumn:
            return errorEventText(record.errorClass,
                                  QByteArray(reinterpret_cast<const char *>(record.data),
                                             record.size));
        case trace::StatusColumn:
        case trace::FormatColumn:
            // Neither an outcome nor a frame format belongs to an error event.
            return QString();
        case trace::TypeColumn:
            return QStringLiteral("错误帧");
        default:
            break;
        }
    }
    if (oversized && column == trace::DataColumn)
        return QString::fromLatin1(oversized->data.toHex(' '));
    trace::LogRow row = frameLogRow(record, number, tails);
    if (oversized)
        row.dlc = oversized->dlc;
    char text[trace::maxLogFieldBytes];
    return QString::fromUtf8(text, int(trace::writeLogField(text, row, column) - text));
}

QVariant frameLogBackground(const FrameRecord &record)
{
    // A refused write is red even though its direction would leave it uncoloured.
    if (!(record.flags & FrameRecord::Success))
        return QColor(150, 0, 0);
    if (record.flags & FrameRecord::Error)
        return QColor(180, 90, 0);
    if (record.direction == 0)
        return QColor(80, 80, 100);
    return QVariant();
}

const FrameRecord &FrameLogSnapshot::record(int row) const
{
    return recordAt(chunks.data(), head, held(row));
}

FrameLogSnapshot FrameLogSnapshot::selected(std::vector<int> rows) const
{
    FrameLogSnapshot view = *this;
    if (picked) {
        for (int &row : rows)
            row = held(row);
    }
    view.picked = std::make_shared<const std::vector<int>>(std::move(rows));
    return view;
}

const OversizedFrame *FrameLogSnapshot::oversized(int row) const
{
    if (!(record(row).flags & FrameRecord::Oversized))
        return nullptr;
    const auto found = extras.constFind(number(row));
    return found == extras.constEnd() ? nullptr : &found.value();
}

CanMessage FrameLogSnapshot::message(int row) const
{
    return frameMessage(record(row), oversized(row), &fdTails);
}

FrameLogModel::FrameLogModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

FrameLogModel::~FrameLogModel() = default;

int FrameLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows;
}

int FrameLogModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columnHeaders.size();
}

QVariant FrameLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows || index.column() >= columnHeaders.size())
        return QVariant();
    const FrameRecord &frame = record(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return frameLogText(frame, number(index.row()), index.column(),
                            oversized(index.row()), &tails);
    case Qt::BackgroundRole:
        return frameLogBackground(frame);
    case Qt::ToolTipRole:
        // Sixty-four bytes need more room than the column gives: all of them, in lines of
        // sixteen.
        if (index.column() == 2 && (frame.flags & FrameRecord::Fd) && frame.dlc > 8
            && !(frame.flags & FrameRecord::Error)) {
            const QString text = frameLogText(frame, number(index.row()), 2,
                                              oversized(index.row()), &tails);
            QStringList lines;
            for (int at = 0; at < text.size(); at += 16 * 3)
                lines << text.mid(at, 16 * 3 - 1);
            return lines.join(QLatin1Char('\n'));
        }
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant FrameLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section >= 0 && section < columnHeaders.size()
        && (role == Qt::DisplayRole || role == Qt::EditRole)) {
        return columnHeaders.at(section).first;
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

int FrameLogModel::appendMessages(const QList<CanMessage> &messages, qint64 firstNumber,
                                  int limit)
{
    return append([this, &messages](int i, FrameRecord &slot, qint64 number) {
        storeMessage(messages.at(i), slot, number);
    }, messages.size(), firstNumber, limit);
}

int FrameLogModel::appendMessages(const QVector<CanMessage> &messages, qint64 firstNumber,
                                  int limit)
{
    return append([this, &messages](int i, FrameRecord &slot, qint64 number) {
        storeMessage(messages.at(i), slot, number);
    }, messages.size(), firstNumber, limit);
}

int FrameLogModel::appendRecords(const QVector<FrameRecord> &records, qint64 firstNumber,
                                 int limit, const FrameTails *source)
{
    return append([this, &records, source](int i, FrameRecord &slot, qint64 number) {
        storeRecord(records.at(i), source, slot, number);
    }, records.size(), firstNumber, limit);
}

void FrameLogModel::storeRecord(const FrameRecord &record, const FrameTails *source,
                                FrameRecord &slot, qint64 number)
{
    slot = record;
    if (!hasFrameTail(record))
        return;
    const quint8 *tail = frameTail(record, source);
    if (!tail) {
        // Bytes nobody kept: the row shows what the record holds, not another frame's.
        slot.dlc = slot.size;
        return;
    }
    const qint64 heldBefore = tails.bytesHeld();
    slot.errorClass = tails.append(reinterpret_cast<const char *>(tail),
                                   record.dlc - record.size);
    if (tails.bytesHeld() != heldBefore)
        tailBlocks.emplace_back(number, slot.errorClass);
}

int FrameLogModel::appendChunks(const FrameChunkRun &run, qint64 numberOfFirst, int limit)
{
    const int added = run.rows();
    const auto copy = [this, &run](int i, FrameRecord &slot, qint64 number) {
        const size_t chunk = size_t(i / frameChunkRows);
        storeRecord(run.chunks[chunk]->records[i % frameChunkRows],
                    chunk < run.tails.size() ? run.tails[chunk].get() : nullptr, slot,
                    number);
    };
    const qint64 allRows = qint64(rows) + added;
    const qint64 kept = std::min(limit >= 0 && allRows > limit ? qint64(limit) : allRows,
                                 maxRows);
    const int removedOld = int(std::max<qint64>(0, allRows - kept));
    // Every new row stays and old ones, if any go, leave a table that is not full before
    // and after alike: only then are whole chunks taken over; the rest is copied.
    if (added == 0 || removedOld > rows || (removedOld > 0 && removedOld == added))
        return append(copy, added, numberOfFirst, limit);
    const qint64 base = rows > 0 ? firstNumber + rows : numberOfFirst;
    if (removedOld > 0) {
        beginRemoveRows(QModelIndex(), 0, removedOld - 1);
        dropFront(removedOld);
        endRemoveRows();
    }
    if (rows == 0)
        firstNumber = base;
    if ((head + rows) % frameChunkRows != 0)
        return removedOld + append(copy, added, base, -1);
    beginInsertRows(QModelIndex(), rows, rows + added - 1);
    for (size_t c = 0; c < run.chunks.size(); ++c) {
        FrameChunk &chunk = *run.chunks[c];
        // The FD rows' longer bytes move into this model's own store.
        if (c < run.tails.size() && run.tails[c]) {
            const int used = c + 1 == run.chunks.size() ? run.lastRows : frameChunkRows;
            const qint64 number = base + qint64(c) * frameChunkRows;
            for (int r = 0; r < used; ++r)
                storeRecord(chunk.records[r], run.tails[c].get(), chunk.records[r], number + r);
        }
        chunks.push_back(run.chunks[c]);
    }
    rows += added;
    endInsertRows();
    return removedOld;
}

void FrameLogModel::storeMessage(const CanMessage &msg, FrameRecord &slot, qint64 number)
{
    const qint64 heldBefore = tails.bytesHeld();
    slot = frameRecord(msg, &tails);
    if (tails.bytesHeld() != heldBefore)
        tailBlocks.emplace_back(number, slot.errorClass);
    if (slot.flags & FrameRecord::Oversized)
        extras.insert(number, { msg.data, msg.dlc });
}

template<typename Store>
int FrameLogModel::append(Store store, int added, qint64 numberOfFirst, int limit)
{
    const qint64 base = rows > 0 ? firstNumber + rows : numberOfFirst;
    const qint64 allRows = qint64(rows) + added;
    qint64 kept = limit >= 0 && allRows > limit ? limit : allRows;
    kept = std::min(kept, maxRows);
    const int keptNew = int(std::min<qint64>(added, kept));
    const int removedOld = std::max(0, rows - int(kept - keptNew));
    const int skipped = added - keptNew;

    // A full table that stays full moves its rows up rather than removing and inserting
    // them: a view's header keeps an entry per row and removing entries at the front costs
    // it time in proportion to the history, tens of milliseconds a tick at ten million rows.
    if (removedOld > 0 && removedOld == keptNew) {
        dropFront(removedOld);
        if (rows == 0)
            firstNumber = base + skipped;
        for (int i = skipped; i < added; ++i)
            storeRow(store, i, base + i);
        emit rowsShifted(removedOld);
        emit dataChanged(index(0, 0), index(rows - 1, columnHeaders.size() - 1));
        return removedOld;
    }

    // Trimming first keeps the storage small and never stores rows only to drop them.
    if (removedOld > 0) {
        beginRemoveRows(QModelIndex(), 0, removedOld - 1);
        dropFront(removedOld);
        endRemoveRows();
    }
    if (rows == 0)
        firstNumber = base + skipped;
    if (keptNew == 0)
        return removedOld;

    beginInsertRows(QModelIndex(), rows, rows + keptNew - 1);
    for (int i = skipped; i < added; ++i)
        storeRow(store, i, base + i);
    endInsertRows();
    return removedOld;
}

template<typename Store>
void FrameLogModel::storeRow(Store &store, int i, qint64 number)
{
    const qint64 at = qint64(head) + rows;
    if (at / frameChunkRows >= qint64(chunks.size()))
        chunks.push_back(std::shared_ptr<FrameChunk>(new FrameChunk));
    store(i, chunks[size_t(at / frameChunkRows)]->records[at % frameChunkRows], number);
    ++rows;
}

int FrameLogModel::applyRowLimit(int limit)
{
    limitInForce = limit;
    if (limit < 0 || rows <= limit)
        return 0;
    const int removed = rows - limit;
    beginRemoveRows(QModelIndex(), 0, removed - 1);
    dropFront(removed);
    endRemoveRows();
    releaseHeapAfter(removed);
    return removed;
}

void FrameLogModel::clear()
{
    const int removed = rows;
    if (rows > 0) {
        beginRemoveRows(QModelIndex(), 0, rows - 1);
        releaseAll();
        endRemoveRows();
    }
    firstNumber = 0;
    releaseHeapAfter(removed);
}

void FrameLogModel::releaseHeapAfter(int removedRows)
{
    // The chunks go back to the system by themselves; a view's bookkeeping of that many
    // rows, freed once they are removed, stays with the allocator unless asked for.
    constexpr int releasedRows = 64 * 1024;
    if (removedRows >= releasedRows)
        returnFreedMemory();
}

void FrameLogModel::dropFront(int count)
{
    if (count >= rows) {
        firstNumber += rows;
        releaseAll();
        return;
    }
    head += count;
    rows -= count;
    firstNumber += count;
    const size_t whole = size_t(head / frameChunkRows);
    releaseChunks(chunks.begin(), chunks.begin() + qptrdiff(whole));
    chunks.erase(chunks.begin(), chunks.begin() + qptrdiff(whole));
    head %= frameChunkRows;
    while (!extras.isEmpty() && extras.firstKey() < firstNumber)
        extras.erase(extras.begin());
    // A block goes once the frames of the next one begin before the first row kept.
    bool dropped = false;
    while (tailBlocks.size() > 1 && tailBlocks[1].first <= firstNumber) {
        tailBlocks.pop_front();
        dropped = true;
    }
    if (dropped)
        tails.dropBefore(tailBlocks.front().second);
}

void FrameLogModel::releaseAll()
{
    releaseChunks(chunks.begin(), chunks.end());
    chunks.clear();
    extras.clear();
    tails.clear();
    tailBlocks.clear();
    head = 0;
    rows = 0;
}

CanMessage FrameLogModel::message(int row) const
{
    if (row < 0 || row >= rows)
        return CanMessage();
    return frameMessage(record(row), oversized(row), &tails);
}

qint64 FrameLogModel::number(int row) const
{
    return firstNumber + row;
}

FrameLogSnapshot FrameLogModel::snapshot(int wanted) const
{
    FrameLogSnapshot taken;
    taken.rows = std::clamp(wanted, 0, rows);
    taken.head = head;
    taken.firstNumber = firstNumber;
    if (taken.rows > 0) {
        const qint64 last = (qint64(head) + taken.rows - 1) / frameChunkRows;
        taken.chunks.assign(chunks.begin(), chunks.begin() + qptrdiff(last + 1));
    }
    taken.extras = extras;
    taken.fdTails = tails;
    return taken;
}

const FrameRecord &FrameLogModel::record(int row) const
{
    const qint64 at = qint64(head) + row;
    return chunks[size_t(at / frameChunkRows)]->records[at % frameChunkRows];
}

const OversizedFrame *FrameLogModel::oversized(int row) const
{
    if (!(record(row).flags & FrameRecord::Oversized))
        return nullptr;
    const auto found = extras.constFind(number(row));
    return found == extras.constEnd() ? nullptr : &found.value();
}
