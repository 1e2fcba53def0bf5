#pragma once

// The frame log's columns and model, shared by the main window's table, its column menu
// and the CSV export, and the operations that fill and trim the model. GUI thread only.

#include <QList>
#include <QPair>
#include <QString>

QT_BEGIN_NAMESPACE
class QStandardItem;
class QStandardItemModel;
QT_END_NAMESPACE

struct CanMessage;

// Header text and relative width of each frame log column, in column order.
extern const QList<QPair<QString, int>> columnHeaders;

// The frame log's model; set by the main window when it builds the table.
extern QStandardItemModel *receiveModel;

// The nine cells of one frame's row, numbered `index`, coloured by direction and outcome;
// an error event's row says "错误帧" in the type column and what happened in the data
// column, in a colour of its own. The caller takes ownership.
QList<QStandardItem *> frameLogRow(qint64 index, const CanMessage &msg);

// The row limit typed by the user: a decimal number, 0 for anything else.
int rowLimit(const QString &text);

// Appends one row per message, numbered from `firstIndex` on, then removes the oldest rows
// beyond `limit` (a negative limit removes nothing). The result is the same as appending
// every row and trimming afterwards, but rows the limit would remove at once are never
// built, and the model signals once per removal and once per surviving row.
// Cost: QStandardItemModel finds a removed item's position by searching from where the
// item was appended, so each removed row costs in proportion to the rows removed before it
// since then. With the limit above the batch size this grows as batch size times limit:
// about 1 ms at the default 100, tens of ms at 1000, hundreds at 10000.
void appendFrameLogRows(QStandardItemModel *model, const QList<CanMessage> &messages,
                        qint64 firstIndex, int limit);

// Removes the oldest rows beyond `limit`; a negative limit removes nothing.
void applyRowLimit(QStandardItemModel *model, int limit);
