#pragma once

// Records every frame the hub passes into a trace file while the capture runs: the hub
// hands each frame to a bounded queue, a writer thread of the recorder's own moves
// the queue to the file and flushes it to the disk at least twice a second, so a crash or
// a power cut loses at most the last half second or so. Memory stays constant however long
// it runs; a frame that finds the queue full is counted as lost, never dropped silently.
// A failed write ends the recording: the file keeps every frame up to the last complete
// one and failed() says why.
//
// start(), stop() and the destructor are for the thread the recorder lives in (the GUI
// thread); the counters and isRecording() may be read from any thread. failed() is emitted
// from the writer thread, so receivers in other threads get it queued.

#include "device/framerecord.h"
#include "device/frametap.h"
#include "traceformats/tracefile.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One row of the frame log, or a frame kept as a record, as a trace frame; `tails` holds
// the bytes of an FD row beyond the eighth (without it, such a row keeps its first eight).
trace::Frame traceFrame(const FrameRecord &record, const FrameTails *tails = nullptr);

class Recorder : public QObject, private FrameTap
{
    Q_OBJECT

public:
    // Frames the queue holds: six seconds of a full 1 Mbit/s bus, for a disk that stalls.
    static constexpr size_t queueCapacity = 1 << 17;

    explicit Recorder(QObject *parent = nullptr);
    // Stops a recording still running, so the file is complete.
    ~Recorder() override;

    // Creates the file and starts taking the hub's frames; false with *error set when the
    // file cannot be created or a recording is running.
    bool start(const QString &path, trace::Format format, QString *error);
    // Writes what is queued, completes the file and closes it; frames the hub passes after
    // this call are not recorded. False when the file could not be completed (or a write
    // had failed before), with the reason in errorString().
    bool stop();

    // From start() until stop(), also after a failed write.
    bool isRecording() const { return running.load(); }
    QString path() const { return filePath; }
    // The frames handed to the file so far, the newest of them waiting at most for the
    // next flush; refused writes are no frames and not counted.
    quint64 framesRecorded() const { return recorded.load(); }
    // Frames that found the queue full.
    quint64 framesLost() const { return lost.load(); }
    QString errorString() const;

signals:
    // A write failed and the recording ended; call stop() to close the file.
    void failed(const QString &reason);

private:
    void tapFrame(const CanMessage &msg) override;
    void run();

    std::unique_ptr<trace::Writer> writer;
    std::thread thread;
    QString filePath;
    std::atomic<bool> running { false };
    std::atomic<quint64> recorded { 0 };
    std::atomic<quint64> lost { 0 };

    // Shared between the device threads (through the hub), the writer thread and the
    // owner's thread.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<trace::Frame> queue;
    bool accepting = false;
    bool stopping = false;
    std::string error;
};
