#pragma once

// Performs every transmission: runs an event loop on a thread of its own and on each tick
// writes one list entry to the adapter, announcing every write as a CanMessage. Ticks are
// due at absolute times counted from the start of the send (TickSchedule); the thread waits
// for each one in its event loop on a timer descriptor and covers the last stretch with a
// precise sleep, so a stop is seen at once.
//
// startSend() and stopSend() are for the GUI thread; run(), the tick handler and
// transmitFrame() run on the send thread. sendMsgSignal and sendStarted are emitted on
// the send thread; sendFinished on the send thread when a send runs out, or on the GUI
// thread by stopSend(). A send still running when the application's event loop ends is
// stopped then, without sendFinished.

#include "canmessage.h"
#include "sendframe.h"

#include <QList>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <functional>

class SendThread : public QThread
{
    Q_OBJECT

public:
    static SendThread *instance();

    // Both end a running send within a few milliseconds, also in the middle of a tick of
    // millions of copies: the writes made until then are announced, none follows.
    void startSend(const QList<SendFrame> &frames, int passes);
    void stopSend();

signals:
    void sendMsgSignal(const CanMessage &msg);
    void sendStarted();
    void sendFinished();

protected:
    void run() override;

private:
    SendThread();
    ~SendThread() override;

    // False when a stop cut the copies short; firstWritten runs once the first copy is out.
    bool transmitFrame(const SendFrame &frame, const std::function<void()> &firstWritten);
    void endRunningSend();

    QList<SendFrame> frameList;
    int passCount = 0;
    QMutex mutex;
    std::atomic<bool> stopRequested { false };
};
