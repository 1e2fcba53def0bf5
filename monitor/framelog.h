#pragma once

// The frame log's columns and model, shared by the main window's table, its column menu
// and the CSV export. GUI thread only.

#include <QList>
#include <QPair>
#include <QString>

class FrameLogModel;
class QLineEdit;

// Header text and relative width of each frame log column, in column order.
extern const QList<QPair<QString, int>> columnHeaders;

// Columns a view may add after those above, hidden until the user shows them: their
// widths count only while they are shown, and the CSV export leaves them out.
extern const QList<QPair<QString, int>> optionalColumnHeaders;

// Header data role, true for a column that the CSV export leaves out.
constexpr int notExportedRole = Qt::UserRole + 0x45;

// The frame log's model; set by the main window when it builds the table.
extern FrameLogModel *receiveModel;

// The row limit the user typed into `field`: a whole number as TypedNumber reads it, within
// the int range; 0 keeps no row and a negative limit keeps every row. Anything else is
// refused: the field is marked and `refusal` is the status bar's text.
bool readRowLimit(QLineEdit *field, int *limit, QString *refusal);
