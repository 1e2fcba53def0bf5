#pragma once

// The frame log as the table shows it through a filter: the rows of the frame log (with
// its decoded column) whose frames the filter in force matches, in order, each with its
// own number. Without a filter every row passes straight through at no cost. With one,
// the numbers of the matching frames are kept (FrameNumberIndex, 4 bytes a row): the rows
// each tick appends are tested as they come and rows the frame log drops leave with them.
// A new filter over a long log is applied by a worker (FrameMatches) while the filter in
// force stays, and swapped in with the rows that arrived meanwhile once complete.
// GUI thread only.

#include "filter/framefilter.h"
#include "filter/framematches.h"

#include <QAbstractProxyModel>

class FrameFilterModel : public QAbstractProxyModel
{
    Q_OBJECT

public:
    // `shown` is the model over `log` whose rows, the same rows, the table shows.
    FrameFilterModel(FrameLogModel *log, QAbstractItemModel *shown, QObject *parent = nullptr);

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    QModelIndex sibling(int row, int column, const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex mapToSource(const QModelIndex &proxyIndex) const override;
    QModelIndex mapFromSource(const QModelIndex &sourceIndex) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    const FrameFilter &filter() const { return inForce; }
    bool isFiltered() const { return !inForce.matchesAll(); }
    // Puts a valid filter in force: at once for a short log, else when a worker has gone
    // through the rows; applyFinished() follows either way. Another filter being applied
    // is given up. The table's rows change over in one reset.
    void setFilter(const FrameFilter &filter);
    bool isApplying() const { return matches->isRunning(); }
    void cancelApply();
    const FrameMatches *application() const { return matches; }

    // The frame log's row shown in `row`; the row that shows a frame log row, or -1.
    int logRow(int row) const;
    int shownRow(int logRow) const;
    // The first row that shows frame `number` or a later one; rowCount() when none.
    int rowAtOrAfter(qint64 number) const;
    // How many rows left the top of the table since the model was made: a scroll bar
    // keeps its rows in sight by going back as many as left between two looks.
    qint64 rowsDroppedAtTop() const { return droppedAtTop; }
    // The rows shown as they are now, for a writer on another thread.
    FrameLogSnapshot shownSnapshot() const;

signals:
    // As FrameLogModel::rowsShifted, for the rows shown.
    void rowsShifted(int count);
    // A filter was put in force (true), or its application cancelled (false).
    void applyFinished(bool applied);

private:
    bool passThrough() const { return inForce.matchesAll(); }
    // Brings the kept rows up to the frame log after it changed.
    void follow();
    void swapIn();
    void sourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                           const QVector<int> &roles);

    FrameLogModel *log;
    FrameFilter inForce;
    FrameScan::Test test;
    FrameNumberIndex kept;
    qint64 next = -1;
    FrameFilter wanted;
    FrameMatches *matches;
    qint64 droppedAtTop = 0;
};
