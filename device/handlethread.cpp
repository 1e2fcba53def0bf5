#include "device/handlethread.h"

#include "device/listenthread.h"
#include "health/busload.h"
#include "memory/heaprelease.h"

#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

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
    // Queued to a thread of the hub's own, every frame would wait as an event of its own
    // (a few hundred bytes in the heap) whenever that thread fell behind a flood.
    connect(ListenThread::instance(), &ListenThread::receiveMsgSignal,
            this, &HandleThread::receiveDataSlot, Qt::DirectConnection);
    connect(ListenThread::instance(), &ListenThread::errorEventSignal,
            this, &HandleThread::errorEventSlot, Qt::DirectConnection);
    connect(ListenThread::instance(), &ListenThread::deviceClosed,
            this, &HandleThread::deviceClosedSlot);
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

qint64 HandleThread::getErrorCount()
{
    QMutexLocker locker(&mutex);
    return errorCount;
}

int HandleThread::getReceiveRate()
{
    QMutexLocker locker(&mutex);
    return receiveRate;
}

double HandleThread::busLoadPercent(quint32 bitrateKbps)
{
    QMutexLocker locker(&mutex);
    return busLoad.percent(clock(), bitrateKbps);
}

HandleThread::Snapshot HandleThread::snapshot()
{
    ListenThread *device = ListenThread::instance();
    Snapshot taken;
    taken.status = device->busStatus();
    const quint32 bitrate = device->sessionBitrate();
    QMutexLocker locker(&mutex);
    taken.sendCount = sendCount;
    taken.receiveCount = receiveCount;
    taken.errorCount = errorCount;
    taken.receiveRate = receiveRate;
    taken.busLoadPercent = busLoad.percent(clock(), bitrate);
    return taken;
}

void HandleThread::clearCount()
{
    QMutexLocker locker(&mutex);
    sendCount = 0;
    receiveCount = 0;
    errorCount = 0;
    receiveRate = 0;
}

QList<CanMessage> HandleThread::takeMessages()
{
    bool more = false;
    return takeMessages(std::numeric_limits<int>::max(), &more);
}

QList<CanMessage> HandleThread::takeMessages(int maxCount, bool *more)
{
    // The device threads wait for the lock, a write of the send thread among them: only
    // the records are copied under it.
    FrameBatch batch;
    {
        QMutexLocker locker(&mutex);
        batch = take(maxCount);
        *more = messageQueue.size() > 0;
    }
    return batch.messages();
}

FrameBatch HandleThread::take(int maxCount)
{
    // The messages of a backlog's slices leave the heap at their size once they are gone;
    // a full bus's ticks (4,300 frames) stay far below this and never pay for a release.
    constexpr int releasedBacklog = 64 * 1024;
    backlogPeak = std::max(backlogPeak, messageQueue.size());
    FrameBatch taken = messageQueue.take(maxCount);
    if (messageQueue.size() == 0) {
        if (backlogPeak >= releasedBacklog)
            returnFreedMemory();
        backlogPeak = 0;
    }
    return taken;
}

void HandleThread::setClock(const std::function<qint64()> &msecsClock)
{
    QMutexLocker locker(&mutex);
    clock = msecsClock;
}

void HandleThread::setFrameTap(FrameTap *frameTap)
{
    QMutexLocker locker(&mutex);
    tap = frameTap;
}

void HandleThread::addToBusLoad(qint64 msecs, const CanMessage &msg)
{
    // A refused write never reached the bus.
    if (!msg.success)
        return;
    // Bytes past the end of a short data array count as zeros rather than being read.
    quint8 bytes[64] = {};
    std::memcpy(bytes, msg.data.constData(),
                size_t(std::clamp(msg.data.size(), 0, msg.fd ? 64 : 8)));
    if (!msg.fd) {
        busLoad.addFrame(msecs, int(busload::frameBits(msg.id, msg.extended, msg.remote,
                                                        unsigned(msg.dlc), bytes)));
        return;
    }
    // In nominal bit times: the meter measures against the nominal rate.
    const ListenThread *device = ListenThread::instance();
    const busload::FdFrameBits bits = busload::fdFrameBits(
            msg.id, msg.extended, msg.brs, unsigned(std::clamp(msg.dlc, 0, 64)), bytes);
    const quint32 dataRate = device->sessionDataBitrate();
    busLoad.addFrame(msecs, dataRate ? int(std::lround(busload::nominalBitTimes(
                                                bits, device->sessionBitrate(), dataRate)))
                                     : int(bits.nominal + bits.data));
}

void HandleThread::sendDataSlot(const CanMessage &msg)
{
    QMutexLocker locker(&mutex);
    addToBusLoad(clock(), msg);
    ++sendCount;
    messageQueue.append(msg);
    if (tap)
        tap->tapFrame(msg);
}

void HandleThread::receiveDataSlot(const CanMessage &msg)
{
    QMutexLocker locker(&mutex);
    const qint64 now = clock();
    if (!windowOpen) {
        windowStart = now;
        windowOpen = true;
    }
    ++windowCount;
    if (now - windowStart > 999) {
        receiveRate = windowCount;
        windowStart = now;
        windowCount = 0;
    }
    addToBusLoad(now, msg);
    ++receiveCount;
    messageQueue.append(msg);
    if (tap)
        tap->tapFrame(msg);
}

void HandleThread::errorEventSlot(const CanMessage &msg)
{
    QMutexLocker locker(&mutex);
    ++errorCount;
    messageQueue.append(msg);
    if (tap)
        tap->tapFrame(msg);
}

void HandleThread::deviceClosedSlot()
{
    QMutexLocker locker(&mutex);
    receiveRate = 0;
    windowOpen = false;
    windowCount = 0;
}
