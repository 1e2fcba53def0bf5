#pragma once

// Performs every transmission: runs a timer on a thread of its own and on each tick
// writes one list entry to the adapter, announcing every write as a CanMessage.
//
// startSend() and stopSend() are for the GUI thread; run(), the tick handler and
// transmitFrame() run on the send thread.

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

    void startSend(const QList<SendFrame> &frames, int passCount);
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

    QList<SendFrame> frameList;
    int passCount = 0;
    QMutex mutex;
};
