#include "handlethread.h"

#include "listenthread.h"
#include "sendthread.h"

#include <QMutexLocker>

#include <chrono>

namespace {

qint64 steadyMsecs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

HandleThread *HandleThread::instance()
{
    static HandleThread hub;
    return &hub;
}

HandleThread::HandleThread()
    : clock(steadyMsecs)
{
    qRegisterMetaType<CanMessage>("CanMessage");
    connect(ListenThread::instance(), &ListenThread::receiveMsgSignal,
            this, &HandleThread::receiveDataSlot);
    connect(SendThread::instance(), &SendThread::sendMsgSignal,
            this, &HandleThread::sendDataSlot);
    moveToThread(&workThread);
    workThread.start();
}

HandleThread::~HandleThread()
{
    workThread.quit();
    workThread.wait();
}

qint64 HandleThread::getSendCount()
{
    QMutexLocker locker(&mutex);
    return sendCount;
}

qint64 HandleThread::getReceiveCount()
{
    QMutexLocker locker(&mutex);
    return receiveCount;
}

int HandleThread::getReceiveRate()
{
    QMutexLocker locker(&mutex);
    return receiveRate;
}

void HandleThread::clearCount()
{
    QMutexLocker locker(&mutex);
    sendCount = 0;
    receiveCount = 0;
    receiveRate = 0;
}

QList<CanMessage> HandleThread::takeMessages()
{
    QList<CanMessage> taken;
    QMutexLocker locker(&mutex);
    taken.swap(messageList);
    return taken;
}

void HandleThread::setClock(const std::function<qint64()> &msecsClock)
{
    QMutexLocker locker(&mutex);
    clock = msecsClock;
}

void HandleThread::sendDataSlot(const CanMessage &msg)
{
    QMutexLocker locker(&mutex);
    ++sendCount;
    messageList.append(msg);
}

void HandleThread::receiveDataSlot(const CanMessage &msg)
{
    QMutexLocker locker(&mutex);
    // The window outlives clearCount(), so that clearing mid-window still publishes a
    // whole window's frames next time.
    static bool windowOpen = false;
    static qint64 windowStart = 0;
    static int windowCount = 0;
    if (!windowOpen) {
        windowStart = clock();
        windowOpen = true;
    }
    ++windowCount;
    if (clock() - windowStart > 999) {
        receiveRate = windowCount;
        windowStart = clock();
        windowCount = 0;
    }
    ++receiveCount;
    messageList.append(msg);
}
