#pragma once

// Writes a snapshot of the frame log to a file without holding up the GUI thread, so that
// frames keep arriving in the table while a long log is written; a subclass says how the
// rows become bytes. A cancelled or failed write leaves no partial file behind.
// Construct, start(), cancel() and the getters on the GUI thread; the signals arrive there.
// write() runs on the writer's thread (within start() for a table of up to inlineRows), and
// calls markCreated() and reportRows() from there.

#include "monitor/framelogmodel.h"

#include <QObject>
#include <QString>

#include <atomic>

QT_BEGIN_NAMESPACE
class QThread;
class QTimer;
QT_END_NAMESPACE

class SnapshotWriter : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Written, Failed, Cancelled };
    Q_ENUM(Outcome)

    // finished() comes from the event loop, or from start() itself for a small table.
    void start();
    // The partial file is removed, even when the writing ended before finished() was
    // emitted.
    void cancel();

    int rows() const { return rowTotal; }
    QString path() const { return filePath; }

signals:
    void progress(int rowsWritten);
    // Emitted once, on the GUI thread; a failed or cancelled write leaves no file.
    void finished(SnapshotWriter::Outcome outcome);

protected:
    // start() writes a table of up to `inlineRows` rows itself, before it returns: quicker
    // than a thread, and the file is complete when the click returns. None when negative.
    SnapshotWriter(FrameLogSnapshot &&snapshot, int rows, int inlineRows, const QString &path,
                   QObject *parent);

    // Cancels a running write, waits for its thread, which stops within a few thousand
    // rows, and removes the partial file. Every subclass's destructor calls it first: the
    // thread may still be in write(), on the subclass's members.
    void stop();

    // Writes the file; false when that fails or reportRows() said to stop.
    virtual bool write() = 0;
    // The file exists now: from here on a failure or a cancel removes it.
    void markCreated() { created = true; }
    // For the progress signal, every few thousand rows; false once the write is cancelled.
    bool reportRows(int rowsWritten);

    const FrameLogSnapshot snapshot;

private:
    void threadFinished();
    void joinWriter();

    const int rowTotal;
    const int inlineLimit;
    const QString filePath;
    QThread *thread = nullptr;
    QTimer *progressTimer = nullptr;
    std::atomic<bool> cancelled { false };
    std::atomic<int> written { 0 };
    std::atomic<bool> ran { false };
    // Set by the writer before it ends, read after the join.
    bool created = false;
    bool ok = false;
    bool done = false;
};
