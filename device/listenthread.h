#pragma once

// The device session: opens the adapter on a thread of its own, reports the outcome and
// then reads frames in a loop until closed, emitting each as a CanMessage.
//
// openDevice() and closeDevice() are for the GUI thread; run() is the listen thread.
// openSuccess, openFailed and receiveMsgSignal are emitted on the listen thread,
// deviceClosed on the thread that called closeDevice().

#include "canmessage.h"

#include <QMutex>
#include <QThread>

#include <atomic>

class ListenThread : public QThread
{
    Q_OBJECT

public:
    static ListenThread *instance();

    void openDevice(quint32 bitrate);
    void closeDevice();

signals:
    void openSuccess();
    void openFailed();
    void deviceClosed();
    void receiveMsgSignal(const CanMessage &msg);

protected:
    void run() override;

private:
    ListenThread();
    ~ListenThread() override;

    quint32 bitrate = 0;
    std::atomic<bool> running { false };
    QMutex mutex;
};
