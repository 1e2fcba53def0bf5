#include "listenthread.h"

#include "canable.h"
#include "frametime.h"

#include <QMutexLocker>

#include <algorithm>

ListenThread *ListenThread::instance()
{
    static ListenThread thread;
    return &thread;
}

ListenThread::ListenThread() = default;

ListenThread::~ListenThread()
{
    running = false;
    wait();
}

void ListenThread::openDevice(quint32 bitrate)
{
    closeDevice();
    // run() copies the bit rate under this lock, so it waits until the start is complete.
    QMutexLocker locker(&mutex);
    running = true;
    this->bitrate = bitrate;
    start();
}

void ListenThread::closeDevice()
{
    running = false;
    wait();
    canable_freeDLL(0);
    emit deviceClosed();
}

void ListenThread::run()
{
    quint32 sessionBitrate = 0;
    {
        QMutexLocker locker(&mutex);
        sessionBitrate = bitrate;
    }

    if (canable_initDLL(0, sessionBitrate) != 0) {
        emit openFailed();
        return;
    }
    emit openSuccess();

    CanFrameRecord record = {};
    while (running) {
        // The library bounds each read, which is what lets closeDevice() stop this loop.
        if (canable_readMessage(0, &record, 1) != 0)
            continue;

        CanMessage msg;
        msg.direction = 0;
        msg.id = record.extended ? record.id & 0x1FFFFFFFu : record.id;
        msg.time = currentFrameTime();
        // A record never holds more than eight data bytes, so a larger count is clamped
        // rather than read past the end of the record.
        msg.dlc = std::min<int>(record.dlc, int(sizeof record.data));
        msg.data = QByteArray(reinterpret_cast<const char *>(record.data), msg.dlc);
        msg.extended = record.extended != 0;
        msg.remote = record.remote != 0;
        msg.success = true;
        emit receiveMsgSignal(msg);
    }
}
