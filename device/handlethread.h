#pragma once

// The message hub: counts and queues every received and transmitted frame on a thread
// of its own until the main window's tick takes the queue.
//
// The two slots run on workThread (queued from the device threads); the getters,
// clearCount() and takeMessages() are for the GUI thread. setClock() may be called from
// any thread.

#include "canmessage.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <functional>

class HandleThread : public QObject
{
    Q_OBJECT

public:
    static HandleThread *instance();

    qint64 getSendCount();
    qint64 getReceiveCount();
    int getReceiveRate();
    void clearCount();
    QList<CanMessage> takeMessages();

    // The receive-rate window measures time in milliseconds on a monotonic clock, so that
    // it survives midnight and clock changes; tests put a clock of their own here.
    void setClock(const std::function<qint64()> &msecsClock);

public slots:
    void sendDataSlot(const CanMessage &msg);
    void receiveDataSlot(const CanMessage &msg);

private:
    HandleThread();
    ~HandleThread() override;

    // 64 bits: a full bus passes 2^31 frames in little more than a day.
    qint64 sendCount = 0;
    qint64 receiveCount = 0;
    int receiveRate = 0;
    QThread workThread;
    QList<CanMessage> messageList;
    QMutex mutex;
    std::function<qint64()> clock;
};
