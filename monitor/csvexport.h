#pragma once

// Writes the frame log to a comma-separated file. GUI thread only.

class QAbstractItemModel;
class QString;

// Writes the header line and `rows` rows of `columns` cells as the table shows them,
// every field followed by a comma. Cells that no longer exist are written empty.
// Returns false, having written nothing, when the file cannot be opened.
bool exportFrameLog(const QAbstractItemModel *model, int rows, int columns,
                    const QString &path);
