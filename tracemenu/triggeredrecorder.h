#pragma once

// Recording that starts on a condition: while armed, the hub's frames of the last N
// seconds (up to 60) wait in a ring of records of fixed size, and an FD frame's bytes
// beyond the eighth in a store beside it that lets go of them with the ring's oldest
// frames, so the memory stays flat however long nothing happens; the first frame that
// matches the start expression opens a file that gets the ring's frames, the trigger frame
// and every frame after it until the end: a frame that matches the stop expression
// (written too), a number of seconds after the trigger, or stop(). With rearm the recorder
// then waits again and the next trigger opens the next numbered file; the frames between
// two files wait in the ring meanwhile, so the next file's time before its trigger is
// whole. Refused writes are no frames of the bus and are not recorded.
//
// start(), stop() and the destructor are for the thread the recorder lives in (the GUI
// thread); the getters may be called from any thread. fileFinished() and failed() are
// emitted from the writer thread, so receivers in other threads get them queued.

#include "device/framerecord.h"
#include "device/frametap.h"
#include "filter/framefilter.h"
#include "traceformats/tracefile.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TriggeredRecorder : public QObject, private FrameTap
{
    Q_OBJECT

public:
    enum class End { Manual, StopExpression, Seconds };
    enum class State { Idle, Waiting, Recording };

    struct Options
    {
        FrameFilter start;
        int beforeSeconds = 5;
        End end = End::Manual;
        FrameFilter stop;
        int afterSeconds = 10;
        // The files are named from it: name_001.ext, name_002.ext and so on.
        QString path;
        trace::Format format = trace::Format::Blf;
        bool rearm = false;
    };

    static constexpr int maxBeforeSeconds = 60;
    // Frames a second the ring makes room for: more than a 1 Mbit/s bus carries of the
    // shortest frames (21,277) with the program's own writes among them.
    static constexpr int ringFramesPerSecond = 25000;
    // Frames waiting for the writer once triggered, as for a plain recording.
    static constexpr size_t queueCapacity = 1 << 17;

    explicit TriggeredRecorder(QObject *parent = nullptr);
    ~TriggeredRecorder() override;

    // Arms; false with *error set when already armed or the options are unusable.
    bool start(const Options &options, QString *error);
    // Disarms: a file being written gets what is queued and is completed. False when a
    // file could not be written, with the reason in errorString().
    bool stop();

    State state() const;
    bool isArmed() const { return thread.joinable(); }
    // The file being written, else the last one completed.
    QString currentPath() const;
    int filesCompleted() const { return completed.load(); }
    // Of the file being written, else of the last one.
    quint64 framesRecorded() const { return recorded.load(); }
    quint64 framesLost() const { return lost.load(); }
    QString errorString() const;

    static QString numberedPath(const QString &path, int number);

signals:
    void fileFinished(const QString &path, quint64 frames, quint64 lost);
    // A file could not be created or written; the recorder is disarmed. Call stop().
    void failed(const QString &reason);

private:
    // The frames of the last beforeSeconds, oldest first, in records of fixed size; the
    // bytes of FD frames beyond the eighth are in `tails`, which holds no more blocks than
    // the frames still in the ring need.
    struct Ring
    {
        std::vector<FrameRecord> records;
        FrameTails tails;
        size_t head = 0;
        size_t count = 0;

        // `record` was made with `tails`.
        void push(const FrameRecord &record, qint64 keepUs);
        const FrameRecord &at(size_t i) const { return records[(head + i) % records.size()]; }
        void clear()
        {
            head = count = 0;
            tails.clear();
        }

    private:
        void dropOldest();
    };

    void tapFrame(const CanMessage &msg) override;
    void run();
    bool writeAll(trace::Writer &writer, const Ring &before,
                  const std::vector<FrameRecord> &batch, const FrameTails &batchTails);

    Options options;
    std::thread thread;
    std::atomic<int> completed { 0 };
    std::atomic<quint64> recorded { 0 };
    std::atomic<quint64> lost { 0 };

    // Shared between the device threads (through the hub's tap), the writer thread and the
    // owner's thread.
    mutable std::mutex mutex;
    std::condition_variable wake;
    State current = State::Idle;
    // Recording ended (stop expression or time) and the writer has not closed the file yet.
    bool ending = false;
    bool stopping = false;
    Ring ring;
    // The ring as it was at the trigger, until the writer takes it.
    Ring handedOver;
    bool triggered = false;
    qint64 triggerUs = 0;
    std::chrono::steady_clock::time_point triggerTime;
    std::vector<FrameRecord> queue;
    FrameTails queueTails;
    // The bytes of a frame that found the queue full, for the stop expression alone.
    FrameTails lostTails;
    QString path;
    std::string error;
};
