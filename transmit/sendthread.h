#pragma once

// Performs every transmission: runs a timer on a thread of its own and on each tick
// writes one list entry to the adapter, announcing every write as a CanMessage.
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

class SendThread : public QThread
{
    Q_OBJECT

public:
    static SendThread *instance();

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

    void transmitFrame(quint32 id, const QByteArray &data, bool extended, bool remote,
                       int count);
    void endRunningSend();

    QList<SendFrame> frameList;
    int passCount = 0;
    QMutex mutex;
};
