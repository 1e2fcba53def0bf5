#pragma once

// Writes the frame log's rows to a trace file of another tool's format (candump log, ASC,
// pcap, BLF) from a snapshot, on a thread of its own, so that frames keep arriving in the
// table while a long log is written. Refused writes never crossed the bus and are left
// out; error events go in every format, which each has a record for.
// Construct, start(), cancel() and the getters on the GUI thread; the signals arrive there.

#include "framelogmodel.h"
#include "tracefile.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

QT_BEGIN_NAMESPACE
class QThread;
class QTimer;
QT_END_NAMESPACE

// The save dialog's filters, one per format, in the order of traceSaveFormats().
QStringList traceSaveFilters();

// The format a chosen name is written in: the one its extension names, or else the
// selected filter's, whose extension is then appended to *path. Unknown when neither names
// a format the save writes.
trace::Format traceSaveFormat(QString *path, const QString &selectedFilter);

// One row of the frame log as a trace frame.
trace::Frame traceFrame(const FrameRecord &record);

class TraceSave : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Written, Failed, Cancelled };
    Q_ENUM(Outcome)

    TraceSave(FrameLogSnapshot snapshot, const QString &path, trace::Format format,
              QObject *parent = nullptr);
    // Cancels a running save and waits for its thread, which stops within a few thousand
    // rows; the partial file is removed.
    ~TraceSave() override;

    void start();
    // The partial file is removed.
    void cancel();

    int rows() const { return snapshot.rowCount(); }
    QString path() const { return filePath; }
    // Valid after finished().
    quint64 framesWritten() const { return written; }
    int refusedRows() const { return refused; }
    QString errorText() const { return error; }

signals:
    void progress(int rowsDone);
    // Emitted once, from the event loop; a failed or cancelled save leaves no file.
    void finished(TraceSave::Outcome outcome);

private:
    void run();
    void threadFinished();
    void joinWriter();

    const FrameLogSnapshot snapshot;
    const QString filePath;
    const trace::Format format;
    QThread *thread = nullptr;
    QTimer *progressTimer = nullptr;
    std::atomic<bool> cancelled { false };
    std::atomic<int> rowsDone { 0 };
    std::atomic<bool> ran { false };
    // Written by the thread before it ends, read after the join.
    quint64 written = 0;
    int refused = 0;
    QString error;
    bool created = false;
    bool ok = false;
    bool done = false;
};
