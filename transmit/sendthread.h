#pragma once

// Performs every transmission: runs an event loop on a thread of its own and on each tick
// writes one list entry to the adapter, announcing every write as a CanMessage to the hub,
// which the thread connects itself to. Ticks are due at absolute times counted from the
// start of the send (TickSchedule); the thread waits for each one in its event loop on a
// timer descriptor and covers the last stretch with a precise sleep, so a stop is seen at
// once.
//
// The thread also runs what other parts of the program hand it as a SendJob (a trace
// replay): the same ticks, one per frame, at the times the job names. One thread does
// either, so the adapter never has two writers; starting one ends the other.
//
// startSend(), stopSend(), startJob(), stopJob() and isRunningJob() are for the GUI thread;
// run(), the tick handler, transmitFrame() and the job's calls run on the send thread.
// sendMsgSignal and sendStarted are emitted on the send thread; sendFinished on the send
// thread when a send runs out, or on the GUI thread by stopSend(). A send or job still
// running when the application's event loop ends is stopped then, without sendFinished.

#include "device/canmessage.h"
#include "transmit/sendframe.h"

#include <QList>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class SendJob;
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

    // Ends whatever runs, then writes the job's frames as they fall due.
    void startJob(std::unique_ptr<SendJob> job);
    // Ends a running job, not a send, within a few milliseconds, also in a gap of hours.
    void stopJob();
    bool isRunningJob() const { return jobRunning.load(); }

signals:
    void sendMsgSignal(const CanMessage &msg);
    void sendStarted();
    void sendFinished();

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
    void runJob();
    // False when a stop cut the copies short; firstWritten runs once the first copy is out.
    // *accepted, when given, grows by the writes the adapter took.
    bool transmitFrame(const SendFrame &frame, const std::function<void()> &firstWritten,
                       int *accepted = nullptr);
    void endRunningSend();

    QList<SendFrame> frameList;
    int passCount = 0;
    std::unique_ptr<SendJob> job;
    QMutex mutex;
    std::atomic<bool> stopRequested { false };
    std::atomic<bool> jobRunning { false };
};
