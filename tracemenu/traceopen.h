#pragma once

// Reads a trace file (candump log, ASC, pcap, BLF or the frame log's CSV) on a thread of
// its own and hands its frames to the GUI thread in order, as the frame log's records, in
// batches of bounded size with only a few batches waiting, so that a file of millions of
// frames neither freezes the window nor costs memory beyond the rows the table keeps.
// Construct, start(), cancel() and the getters on the GUI thread; the signals arrive there.

#include "device/framerecord.h"
#include "traceformats/tracefile.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

QT_BEGIN_NAMESPACE
class QThread;
class QTimer;
QT_END_NAMESPACE

// The open dialog's filters: every trace, then each format, then any file.
QStringList traceOpenFilters();

// The format the file name's extension names, else the one its first bytes show; Unknown
// when neither does.
trace::Format traceOpenFormat(const QString &path);

class TraceOpen : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Loaded, Failed, Cancelled };
    Q_ENUM(Outcome)

    static constexpr int batchFrames = 8192;
    // The GUI thread takes whatever was read at this pace: each delivery costs the table
    // view work in proportion to the rows it already holds, so a delivery per batch would
    // make a long file's open quadratic.
    static constexpr int deliveryMs = 100;
    // Batches read ahead of the GUI thread (8 MB), more than a delivery's worth at the
    // reader's pace; the reader waits when they are all taken.
    static constexpr int queuedBatches = 32;

    explicit TraceOpen(const QString &path, QObject *parent = nullptr);
    // Cancels a running read and waits for its thread.
    ~TraceOpen() override;

    // False with errorText() when the file cannot be read as a trace; nothing is emitted
    // then.
    bool start();
    // No batch is delivered after this; finished(Cancelled) follows.
    void cancel();

    QString path() const { return filePath; }
    trace::Format format() const { return fileFormat; }
    // Frames handed out so far.
    quint64 framesDelivered() const { return delivered; }
    // Valid after finished(): lines or records passed over as unreadable, and the read
    // error that ended a Failed read.
    quint64 skipped() const { return skippedRecords; }
    QString errorText() const { return error; }

signals:
    // The next frames of the file, in file order: the batches read since the last
    // delivery.
    void frames(const QList<RecordBatch> &batches);
    void progress(int permille);
    // Emitted once, from the event loop, after the last batch.
    void finished(TraceOpen::Outcome outcome);

private:
    void run();
    bool push(RecordBatch &batch);
    void deliver();
    void threadFinished();
    void joinReader();

    const QString filePath;
    trace::Format fileFormat = trace::Format::Unknown;
    // Used by the reader's thread alone once it runs.
    std::unique_ptr<trace::Reader> reader;
    quint64 totalBytes = 0;
    // A CSV trace holds times of day only; they are put on the day the file was written.
    qint64 dayStartUs = 0;
    QThread *thread = nullptr;
    QTimer *deliveryTimer = nullptr;
    std::mutex mutex;
    std::condition_variable taken;
    std::deque<RecordBatch> queue; // guarded by mutex
    std::atomic<bool> cancelled { false };
    std::atomic<quint64> bytesRead { 0 };
    std::atomic<bool> ran { false };
    // Written by the reader's thread before it ends, read after the join.
    quint64 skippedRecords = 0;
    QString error;
    quint64 delivered = 0;
    bool done = false;
};
