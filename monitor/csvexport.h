#pragma once

// Writes the frame log to a comma-separated file: every field followed by a comma, in the
// locale's encoding, one line for the headers and one per row.
// exportFrameLog() and FrameLogExport's members are for the GUI thread; FrameLogExport
// writes on a thread of its own.

#include "framelogmodel.h"

#include <QObject>
#include <QString>

#include <atomic>

QT_BEGIN_NAMESPACE
class QAbstractItemModel;
class QThread;
class QTimer;
QT_END_NAMESPACE

// Writes the header line and `rows` rows of the first `columns` cells of any model as the
// table shows them, leaving out columns whose header says notExportedRole. Cells that no
// longer exist are written empty. Returns false when the file cannot be opened (nothing is
// written then) or when writing fails.
bool exportFrameLog(const QAbstractItemModel *model, int rows, int columns,
                    const QString &path);

// Writes `rows` rows of a snapshot of the frame log without holding up the GUI thread:
// rows beyond the snapshot (gone since the rows were counted) are written as empty fields.
class FrameLogExport : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Written, Failed, Cancelled };
    Q_ENUM(Outcome)

    // Up to this many rows start() writes the file before it returns (a few ms).
    static constexpr int inlineRows = 10000;

    FrameLogExport(FrameLogSnapshot snapshot, int rows, const QString &path,
                   QObject *parent = nullptr);
    // Cancels a running export and waits for its thread, which stops within a few
    // thousand rows.
    ~FrameLogExport() override;

    // finished() comes from the event loop, or from start() itself for a small table.
    void start();
    // The partial file is removed, even when the writing ended before finished() was
    // emitted.
    void cancel();

    int rows() const { return rowTotal; }
    QString path() const { return filePath; }

signals:
    void progress(int rowsWritten);
    // Emitted once, on the GUI thread; a failed or cancelled export leaves no file.
    void finished(FrameLogExport::Outcome outcome);

private:
    void threadFinished();
    void joinWriter();

    const FrameLogSnapshot snapshot;
    const int rowTotal;
    const QString filePath;
    QThread *thread = nullptr;
    QTimer *progressTimer = nullptr;
    std::atomic<bool> cancelled { false };
    std::atomic<int> written { 0 };
    std::atomic<bool> ok { false };
    std::atomic<bool> opened { false };
    bool done = false;
};
