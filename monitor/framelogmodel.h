#pragma once

// The frame log's table model: every frame is a 32-byte record (framerecord.h) in chunks
// that grow at the end and are dropped from the front, so a long trace costs little memory
// and trimming or clearing costs the same whatever the history. Cell texts and colours are
// made on demand. The model is for the GUI thread; a FrameLogSnapshot, once taken, may be
// read from any one thread while the model goes on changing.

#include "device/framerecord.h"
#include "traceformats/framelogrow.h"

#include <QAbstractTableModel>
#include <QList>
#include <QMap>
#include <QVector>

#include <deque>
#include <memory>
#include <vector>

// The row's texts as the table, the CSV export and the CSV trace share them; `tails` holds
// the bytes beyond the eighth of an FD record.
trace::LogRow frameLogRow(const FrameRecord &record, qint64 number,
                          const FrameTails *tails = nullptr);

// The text of cell `column` of a frame numbered `number`, as the table shows it.
QString frameLogText(const FrameRecord &record, qint64 number, int column,
                     const OversizedFrame *oversized = nullptr,
                     const FrameTails *tails = nullptr);

// The background of a frame's row; invalid for a successful transmission.
QVariant frameLogBackground(const FrameRecord &record);

class FrameLogSnapshot
{
public:
    int rowCount() const { return picked ? int(picked->size()) : rows; }
    qint64 number(int row) const { return firstNumber + held(row); }
    const FrameRecord &record(int row) const;
    const OversizedFrame *oversized(int row) const;
    const FrameTails &tails() const { return fdTails; }
    // The frame of a row with all its bytes.
    CanMessage message(int row) const;

    // The same frames seen through a filter: row i of the result is row rows[i] of this
    // snapshot (ascending, all below rowCount()).
    FrameLogSnapshot selected(std::vector<int> rows) const;

private:
    friend class FrameLogModel;
    int held(int row) const { return picked ? (*picked)[size_t(row)] : row; }

    std::vector<std::shared_ptr<const FrameChunk>> chunks;
    int head = 0;
    int rows = 0;
    qint64 firstNumber = 0;
    QMap<qint64, OversizedFrame> extras;
    std::shared_ptr<const std::vector<int>> picked;
    FrameTails fdTails;
};

class FrameLogModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit FrameLogModel(QObject *parent = nullptr);
    ~FrameLogModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Appends one row per message, numbered from `firstNumber` on when the model is empty
    // and continuing the held rows' numbers otherwise, then removes the oldest rows beyond
    // `limit` (a negative limit removes nothing). Rows the limit would remove at once are
    // never stored. Costs O(messages); returns the number of rows held before that were
    // removed.
    int appendMessages(const QList<CanMessage> &messages, qint64 firstNumber, int limit);
    int appendMessages(const QVector<CanMessage> &messages, qint64 firstNumber, int limit);
    // The same for messages already made records (frameRecord()) on another thread, which
    // spares the GUI thread the conversion; a record flagged Oversized shows without its
    // data, which only appendMessages() keeps. The bytes of an FD record beyond the eighth
    // are copied from `tails`, the store its maker kept them in.
    int appendRecords(const QVector<FrameRecord> &records, qint64 firstNumber, int limit,
                      const FrameTails *tails = nullptr);
    // The same for rows made in chunks on another thread, whose chunks the model takes
    // over without a copy where its rows end on a chunk's edge (as they do from the first
    // append into an empty model on); the caller must not touch them after this.
    int appendChunks(const FrameChunkRun &run, qint64 firstNumber, int limit);

    // Makes `limit` the row limit in force and removes the oldest rows beyond it, nothing
    // for a negative limit; returns how many went.
    int applyRowLimit(int limit);
    // The limit last applied; unlimited (-1) before any.
    int rowLimit() const { return limitInForce; }
    void clear();

    CanMessage message(int row) const;
    qint64 number(int row) const;
    // The row as stored, for readers that test many rows (filters) without a message each.
    const FrameRecord &record(int row) const;
    // The bytes beyond the eighth of the rows' FD frames.
    const FrameTails &fdTails() const { return tails; }

    // The first `rows` rows as they are now (fewer if the model holds fewer), sharing the
    // model's storage; cheap even for millions of rows.
    FrameLogSnapshot snapshot(int rows) const;

signals:
    // An append to a full table that stays full moved every row up by `count` in place of
    // removing and inserting rows, and dataChanged() follows for the whole table: whoever
    // keeps rows of this model (a selection) moves them up itself.
    void rowsShifted(int count);

private:
    // store(i, slot, number) writes new row i into its slot.
    template<typename Store>
    int append(Store store, int count, qint64 firstNumber, int limit);
    template<typename Store>
    void storeRow(Store &store, int i, qint64 number);
    void storeMessage(const CanMessage &msg, FrameRecord &slot, qint64 number);
    void storeRecord(const FrameRecord &record, const FrameTails *source, FrameRecord &slot,
                     qint64 number);
    void dropFront(int count);
    void releaseAll();
    void releaseHeapAfter(int removedRows);
    const OversizedFrame *oversized(int row) const;

    std::deque<std::shared_ptr<FrameChunk>> chunks;
    int head = 0; // row 0's place in the first chunk
    int rows = 0;
    qint64 firstNumber = 0;
    int limitInForce = -1;
    QMap<qint64, OversizedFrame> extras; // by frame number
    // The bytes of FD frames beyond their records' eight, and for each block of them the
    // number of the first frame whose bytes it holds, so that dropping rows frees blocks.
    FrameTails tails;
    std::deque<std::pair<qint64, quint32>> tailBlocks;
};
