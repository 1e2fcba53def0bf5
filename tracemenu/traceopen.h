#pragma once

// Reads a trace file (candump log, ASC, pcap, BLF or the frame log's CSV) on a thread of
// its own straight into the frame log's 32-byte records, in whole chunks that the frame
// log takes over as they are, and hands them to the GUI thread in order, everything read
// so far at each delivery: a file of millions of frames opens about as fast as it is read,
// in few large insertions, and the reader waits when a bounded number of chunks is
// waiting, so a row limit below the file's length keeps the memory small.
// Construct, start(), cancel() and the getters on the GUI thread; the signals arrive there.

#include "device/framerecord.h"
#include "traceformats/tracefile.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

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

    // The GUI thread looks this often whether to take what was read: when as many rows
    // wait as were delivered before, or deliveryMs after the last delivery. Each delivery
    // costs the table view work in proportion to the rows it already holds, so a delivery
    // per chunk would make a long file's open quadratic.
    static constexpr int checkMs = 20;
    static constexpr int deliveryMs = 400;
    // The most chunks one delivery hands over (524,288 frames): the table's insertion
    // costs 25 to 100 ns a row, and the GUI thread must not stay still for 100 ms.
    static constexpr int deliveryChunks = 128;
    // Chunks read ahead of the GUI thread (2,097,152 frames, 64 MiB), more than a
    // delivery's worth at the fastest reader's pace; the reader waits when they are all
    // waiting.
    static constexpr int queuedChunks = 512;

    explicit TraceOpen(const QString &path, QObject *parent = nullptr);
    // Cancels a running read and waits for its thread.
    ~TraceOpen() override;

    // False with errorText() when the file cannot be read as a trace; nothing is emitted
    // then.
    bool start();
    // No chunk is delivered after this; finished(Cancelled) follows.
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
    // The next frames of the file, in file order: the chunks read since the last
    // delivery, for FrameLogModel::appendChunks().
    void frames(const FrameChunkRun &run);
    void progress(int permille);
    // Emitted once, from the event loop, after the last chunks.
    void finished(TraceOpen::Outcome outcome);

private:
    void run();
    bool push(std::shared_ptr<FrameChunk> chunk, std::shared_ptr<const FrameTails> tails,
              int rows);
    bool deliveryDue();
    void deliver();
    void threadFinished();
    // Hands over what the finished reader left, a delivery per tick of the delivery timer,
    // then emits finished().
    void deliverRest();
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
    // Guarded by mutex: every chunk is full but the file's last; beside each, the bytes
    // beyond the eighth of its FD rows, or null.
    std::deque<std::shared_ptr<FrameChunk>> queue;
    std::deque<std::shared_ptr<const FrameTails>> queuedTails;
    int lastChunkRows = frameChunkRows;
    std::atomic<bool> cancelled { false };
    std::atomic<quint64> bytesRead { 0 };
    std::atomic<bool> ran { false };
    // Written by the reader's thread before it ends, read after the join.
    quint64 skippedRecords = 0;
    QString error;
    quint64 delivered = 0;
    QElapsedTimer sinceDelivery;
    int reportedPermille = -1;
    bool done = false;
};
