#pragma once

// Performs every transmission: runs an event loop on a thread of its own and on each tick
// writes one list entry to the adapter, announcing every write as a CanMessage. Ticks are
// due at absolute times counted from the start of the send (TickSchedule); the thread waits
// for each one in its event loop on a timer descriptor and covers the last stretch with a
// precise sleep, so a stop is seen at once.
//
// The thread also replays trace files: the same ticks, one per frame of the trace, due at
// the trace's own time gaps (ReplayTiming), read from the file as they fall due so that a
// trace of any size takes constant memory. One thread does either, so the adapter never
// has two writers; a replay is refused while a send runs, and the transmit panel refuses
// to send while a replay runs (startSend() itself would end it).
//
// startSend(), stopSend(), startReplay(), stopReplay() and isReplaying() are for the GUI
// thread; run(), the tick handler and transmitFrame() run on the send thread.
// sendMsgSignal, sendStarted, replayProgress and replayFinished are emitted on the send
// thread; sendFinished on the send thread when a send runs out, or on the GUI thread by
// stopSend(). A send or replay still running when the application's event loop ends is
// stopped then, without sendFinished.

#include "device/canmessage.h"
#include "tracemenu/replayoptions.h"
#include "transmit/sendframe.h"

#include <QList>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace trace {
class Reader;
}
class TickSchedule;

class SendThread : public QThread
{
    Q_OBJECT

public:
    static SendThread *instance();

    // Both end a running send within a few milliseconds, also in the middle of a tick of
    // millions of copies: the writes made until then are announced, none follows.
    void startSend(const QList<SendFrame> &frames, int passes);
    void stopSend();

    // False with *error saying why when the file is not a readable trace, the options are
    // out of range, or a send or replay runs. Frames go out as they would from the list;
    // error events, frames that cannot be sent and writes the trace marks as refused are
    // skipped and counted.
    bool startReplay(const ReplayOptions &options, QString *error);
    static constexpr double minReplaySpeed = 0.1;
    static constexpr double maxReplaySpeed = 100.0;
    // Ends a running replay, not a send, within a few milliseconds, also in a gap of hours.
    void stopReplay();
    bool isReplaying() const { return replaying.load(); }

signals:
    void sendMsgSignal(const CanMessage &msg);
    void sendStarted();
    void sendFinished();
    // A few times a second while frames go out, and once at the end (stopped set).
    void replayProgress(const ReplayProgress &progress);
    void replayFinished(const ReplayProgress &progress);

protected:
    void run() override;

private:
    SendThread();
    ~SendThread() override;

    enum class Step { Again, Done, Stopped };
    using StepFunction = std::function<Step(const std::function<void()> &firstWritten)>;

    // Calls step() at each due time of the schedule until it is done or a stop comes;
    // step() writes what is due and moves the schedule on. True when the steps ran out.
    bool runSchedule(TickSchedule &schedule, const StepFunction &step);
    void runSend();
    void runReplay();
    // False when a stop cut the copies short; firstWritten runs once the first copy is out.
    // *accepted, when given, grows by the writes the adapter took.
    bool transmitFrame(const SendFrame &frame, const std::function<void()> &firstWritten,
                       int *accepted = nullptr);
    void endRunningSend();

    QList<SendFrame> frameList;
    int passCount = 0;
    ReplayOptions replayOptions;
    std::unique_ptr<trace::Reader> replayReader; // the first pass's, opened by startReplay()
    QMutex mutex;
    std::atomic<bool> stopRequested { false };
    std::atomic<bool> replaying { false };
};
