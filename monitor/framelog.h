#pragma once

// The frame log's columns and model, shared by the main window's table, its column menu
// and the CSV export. GUI thread only.

#include <QList>
#include <QPair>
#include <QString>

class QStandardItemModel;

// Header text and relative width of each frame log column, in column order.
extern const QList<QPair<QString, int>> columnHeaders;

// The frame log's model; set by the main window when it builds the table.
extern QStandardItemModel *receiveModel;

struct CanMessage;

// Fills row `row` of the frame log model with the nine cells of one frame, numbered
// `index`, coloured by direction and outcome.
void writeFrameLogRow(QStandardItemModel *model, int row, int index, const CanMessage &msg);

// Removes the oldest rows beyond `limitText` parsed as a decimal row count (a text that
// is not a number counts as 0; a negative count removes nothing).
void applyRowLimit(QStandardItemModel *model, const QString &limitText);
