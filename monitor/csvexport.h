#pragma once

// Writes the frame log to a comma-separated file: every field followed by a comma, in the
// locale's encoding, one line for the headers and one per row.
// exportFrameLog() is for the GUI thread; FrameLogExport as SnapshotWriter says.

#include "monitor/snapshotwriter.h"

#include <QString>

QT_BEGIN_NAMESPACE
class QAbstractItemModel;
QT_END_NAMESPACE

// Writes the header line and `rows` rows of the first `columns` cells of any model as the
// table shows them, leaving out columns whose header says notExportedRole. Cells that no
// longer exist are written empty. Returns false when the file cannot be opened (nothing is
// written then) or when writing fails.
bool exportFrameLog(const QAbstractItemModel *model, int rows, int columns,
                    const QString &path);

// Writes `rows` rows of a snapshot of the frame log on a thread of its own: rows beyond the
// snapshot (gone since the rows were counted) are written as empty fields.
class FrameLogExport : public SnapshotWriter
{
    Q_OBJECT

public:
    // Up to this many rows start() writes the file before it returns (a few ms).
    static constexpr int inlineRows = 10000;

    FrameLogExport(FrameLogSnapshot snapshot, int rows, const QString &path,
                   QObject *parent = nullptr);
    ~FrameLogExport() override;

private:
    bool write() override;
};
