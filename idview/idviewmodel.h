#pragma once

// The tree of the "按ID显示" view: one top-level row per (identifier, standard/extended,
// direction) from IdStatistics, sorted by any column, fed with each refresh tick's batch.
// Rows keep their place in the statistics while the view's order changes, so a row is
// found by its key (rowOfKey) whatever the sorting. A row whose message the database knows
// has one child per signal its last payload carries; the children are decoded only when
// the view asks for them, cell by cell, so rows never expanded cost nothing. GUI thread
// only.

#include "idview/idstatistics.h"

#include <QAbstractItemModel>
#include <QHash>

#include <functional>

class DbcDatabase;
struct DbcMessage;
struct DbcDecodedSignal;

class IdViewModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Column {
        IdColumn,
        DirectionColumn,
        FormatColumn,
        TypeColumn,
        DlcColumn,
        DataColumn,
        CountColumn,
        CycleColumn,
        MeanColumn,
        MinColumn,
        MaxColumn,
        StdDevColumn,
        DbcCycleColumn,    // the database's cycle time; marked when the mean strays from it
        MessageNameColumn,
        ValueColumn,       // the signal columns: filled in the children only
        DescriptionColumn,
        RawColumn,
        RangeColumn,
        ColumnCount
    };
    // A measured mean cycle further than this fraction from the database's is marked.
    static constexpr double cycleTolerance = 0.2;
    enum Role {
        ChangedBytesRole = Qt::UserRole + 1, // quint32, bit i: data byte i changed lately
        SilentRole,                          // bool
        OutOfRangeRole,                      // bool, children: the value is out of range
        CycleDeviatesRole,                   // bool, top level: the mean strays from the DBC
    };

    // `clockMs` gives milliseconds that never decrease; by default a monotonic clock.
    explicit IdViewModel(QObject *parent = nullptr, int maxRows = IdStatistics::defaultMaxRows,
                         std::function<qint64()> clockMs = {});

    // One refresh tick: takes the batch the frame log takes and repaints the rows that
    // changed, faded or fell silent. Costs time in proportion to the batch, plus the
    // table's length on ticks that bring new identifiers or re-sort by a changing column.
    void update(const QList<CanMessage> &messages);
    void clear();
    // The database whose messages name the rows and give them signals, or nullptr. Call
    // again after the database changed: the view is reset.
    void setDatabase(const DbcDatabase *database);
    bool hasDatabase() const;
    // The database's message for a top-level row, or nullptr.
    const DbcMessage *messageOf(int row) const;

    const IdStatistics &statistics() const { return stats; }
    // The table row of a key or -1; and the statistics row behind a table row.
    int rowOfKey(IdKey key) const;
    int statisticsRow(int row) const { return order.at(row); }
    int sortColumn() const { return sortBy; }
    Qt::SortOrder sortOrder() const { return sortDirection; }

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Cell text of a top-level row as shown and exported.
    QString text(int row, int column) const;
    // "Message.Signal" of a signal's child row, empty for any other index.
    QString signalPath(const QModelIndex &index) const;

private:
    const DbcMessage *messageOfStatistics(int statisticsRow) const;
    // The signal indices the row's children show, decoded from its payload.
    QVector<int> decodeChildren(int statisticsRow) const;
    const QVector<int> &children(int statisticsRow) const;
    bool decodeChild(const QModelIndex &index, const DbcMessage **message,
                     DbcDecodedSignal *value) const;
    QVariant childData(const QModelIndex &index, int role) const;
    bool cycleDeviates(const IdRow &row, const DbcMessage *message) const;
    void updateChildren(const QVector<int> &statisticsRows);
    bool lessThan(int a, int b) const;
    void resort(int sortedRows = 0);
    void emitChanged(const QVector<int> &statisticsRows);

    IdStatistics stats;
    std::function<qint64()> clock;
    qint64 nowMs = 0;
    QVector<int> order;    // table row -> statistics row
    QVector<int> position; // statistics row -> table row
    int sortBy = IdColumn;
    Qt::SortOrder sortDirection = Qt::AscendingOrder;
    qint64 lastResortMs = 0;
    bool resortPending = false;
    const DbcDatabase *database = nullptr;
    // Children of the rows the view asked about, by statistics row; kept up to date as
    // their frames come, since the view relies on the counts it was told.
    mutable QHash<int, QVector<int>> shownChildren;
};
