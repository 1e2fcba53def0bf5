#pragma once

// Writes the frame log to a comma-separated file. GUI thread only.

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QAbstractItemModel;
class QString;
QT_END_NAMESPACE

// Writes the header line and `rows` rows of `columns` cells as the table shows them, every
// field followed by a comma, in the locale's encoding. Cells that no longer exist are
// written empty. Returns false when the file cannot be opened (nothing is written then) or
// when writing fails.
bool exportFrameLog(const QAbstractItemModel *model, int rows, int columns,
                    const QString &path);
