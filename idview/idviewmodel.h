#pragma once

// The table of the "按ID显示" view: one row per (identifier, standard/extended,
// direction) from IdStatistics, sorted by any column, fed with each refresh tick's batch.
// Rows keep their place in the statistics while the view's order changes, so a row is
// found by its key (rowOfKey) whatever the sorting. GUI thread only.

#include "idstatistics.h"

#include <QAbstractTableModel>

#include <functional>

class IdViewModel : public QAbstractTableModel
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
        ColumnCount
    };
    enum Role {
        ChangedBytesRole = Qt::UserRole + 1, // quint32, bit i: data byte i changed lately
        SilentRole,                          // bool
    };

    // `clockMs` gives milliseconds that never decrease; by default a monotonic clock.
    explicit IdViewModel(QObject *parent = nullptr, int maxRows = IdStatistics::defaultMaxRows,
                         std::function<qint64()> clockMs = {});

    // One refresh tick: takes the batch the frame log takes and repaints the rows that
    // changed, faded or fell silent. Costs time in proportion to the batch, plus the
    // table's length on ticks that bring new identifiers or re-sort by a changing column.
    void update(const QList<CanMessage> &messages);
    void clear();

    const IdStatistics &statistics() const { return stats; }
    // The table row of a key or -1; and the statistics row behind a table row.
    int rowOfKey(IdKey key) const;
    int statisticsRow(int row) const { return order.at(row); }
    int sortColumn() const { return sortBy; }
    Qt::SortOrder sortOrder() const { return sortDirection; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Cell text as shown and exported.
    QString text(int row, int column) const;

private:
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
};
