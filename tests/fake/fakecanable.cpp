#include "tests/fake/fakecanable.h"

#include <QMutex>
#include <QMutexLocker>
#include <QQueue>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <cstring>

namespace {

struct State
{
    QMutex mutex;
    int initResult = 0;
    int writeResult = 0;
    int refusedWrite = -1;
    int writesSeen = 0;
    QList<CanFrameRecord> pending;
    QList<qint64> pendingStamps; // one per pending frame, 0 for none
    qint64 lastStamp = 0;
    bool initHeld = false;
    bool initWaiting = false;
    QWaitCondition initReleased;
    QByteArray lastError;
    int selectResult = 0;
    int listenOnlyResult = 0;
    QList<CanInterfaceInfo> interfaces;
    int listInterfacesResult = 0;
    QQueue<CanErrorEvent> errorEvents;
    CanBusStatus status = {};
    int statusResult = 0;
    QList<CanFrameRecord> written;
    QList<CanFdFrameRecord> pendingFd;
    QList<CanFdFrameRecord> writtenFd;
    QList<FakeCanable::Call> calls;
    QVector<CanReceiveFilter> receiveFilter;
};

State &state()
{
    static State s;
    return s;
}

void record(const FakeCanable::Call &call)
{
    state().calls.append(call);
}

} // namespace

namespace FakeCanable {

void reset()
{
    State &s = state();
    QMutexLocker locker(&s.mutex);
    s.initResult = 0;
    s.writeResult = 0;
    s.refusedWrite = -1;
    s.writesSeen = 0;
    s.pending.clear();
    s.pendingStamps.clear();
    s.lastStamp = 0;
    s.initHeld = false;
    s.initReleased.wakeAll();
    s.lastError.clear();
    s.selectResult = 0;
    s.listenOnlyResult = 0;
    s.interfaces.clear();
    s.listInterfacesResult = 0;
    s.errorEvents.clear();
    s.status = CanBusStatus();
    s.statusResult = 0;
    s.written.clear();
    s.pendingFd.clear();
    s.writtenFd.clear();
    s.calls.clear();
    s.receiveFilter.clear();
    adapterCalls() = AdapterCalls();
}

void installAdditionalCalls()
{
    adapterCalls() = additionalCalls();
}

void holdInit()
{
    QMutexLocker locker(&state().mutex);
    state().initHeld = true;
}

void releaseInit()
{
    QMutexLocker locker(&state().mutex);
    state().initHeld = false;
    state().initReleased.wakeAll();
}

bool initWaiting()
{
    QMutexLocker locker(&state().mutex);
    return state().initWaiting;
}

void setLastError(const QString &text)
{
    QMutexLocker locker(&state().mutex);
    state().lastError = text.toUtf8();
}

void setSelectResult(int result)
{
    QMutexLocker locker(&state().mutex);
    state().selectResult = result;
}

void setListenOnlyResult(int result)
{
    QMutexLocker locker(&state().mutex);
    state().listenOnlyResult = result;
}

void setInterfaces(const QList<CanInterfaceInfo> &interfaces)
{
    QMutexLocker locker(&state().mutex);
    state().interfaces = interfaces;
}

void setListInterfacesResult(int result)
{
    QMutexLocker locker(&state().mutex);
    state().listInterfacesResult = result;
}

CanInterfaceInfo interface(const char *name, bool up, quint32 bitrate, bool virtualBus)
{
    CanInterfaceInfo info;
    std::memset(&info, 0, sizeof info);
    std::strncpy(info.name, name, sizeof info.name - 1);
    info.up = up ? 1 : 0;
    info.virtualBus = virtualBus ? 1 : 0;
    info.bitrate = bitrate;
    return info;
}

void queueErrorEvent(quint32 errorClass, const QByteArray &data, qint64 timestampUs)
{
    CanErrorEvent event;
    std::memset(&event, 0, sizeof event);
    event.errorClass = errorClass;
    std::memcpy(event.data, data.constData(), size_t(qMin(data.size(), 8)));
    event.timestampUs = timestampUs;
    QMutexLocker locker(&state().mutex);
    state().errorEvents.enqueue(event);
}

int pendingErrorEvents()
{
    QMutexLocker locker(&state().mutex);
    return state().errorEvents.size();
}

void setStatus(const CanBusStatus &status)
{
    QMutexLocker locker(&state().mutex);
    state().status = status;
}

void setStatusResult(int result)
{
    QMutexLocker locker(&state().mutex);
    state().statusResult = result;
}

CanBusStatus status(int state, int txErrors, int rxErrors, quint64 kernelDrops,
                    quint64 adapterDrops)
{
    CanBusStatus s;
    std::memset(&s, 0, sizeof s);
    s.state = state;
    s.txErrors = txErrors;
    s.rxErrors = rxErrors;
    s.kernelDrops = kernelDrops;
    s.adapterDrops = adapterDrops;
    return s;
}

void setInitResult(int result)
{
    QMutexLocker locker(&state().mutex);
    state().initResult = result;
}

void queueFrames(const QList<CanFrameRecord> &frames)
{
    QMutexLocker locker(&state().mutex);
    state().pending.append(frames);
    for (int i = 0; i < frames.size(); ++i)
        state().pendingStamps.append(0);
}

void queueStampedFrame(const CanFrameRecord &frame, qint64 timestampUs)
{
    QMutexLocker locker(&state().mutex);
    state().pending.append(frame);
    state().pendingStamps.append(timestampUs);
}

void queueFrame(const CanFrameRecord &frame)
{
    queueFrames({ frame });
}

void queueFdFrames(const QList<CanFdFrameRecord> &frames)
{
    QMutexLocker locker(&state().mutex);
    state().pendingFd.append(frames);
}

QList<CanFdFrameRecord> writtenFdFrames()
{
    QMutexLocker locker(&state().mutex);
    return state().writtenFd;
}

int pendingFrames()
{
    QMutexLocker locker(&state().mutex);
    return state().pending.size();
}

void setWriteResult(int result)
{
    QMutexLocker locker(&state().mutex);
    state().writeResult = result;
}

void refuseWriteNumber(int writeNumber)
{
    QMutexLocker locker(&state().mutex);
    state().refusedWrite = writeNumber;
}

QList<Call> calls()
{
    QMutexLocker locker(&state().mutex);
    return state().calls;
}

int callCount(const QString &name)
{
    QMutexLocker locker(&state().mutex);
    int n = 0;
    for (const Call &call : qAsConst(state().calls))
        n += call.name == name ? 1 : 0;
    return n;
}

QList<CanFrameRecord> writtenFrames()
{
    QMutexLocker locker(&state().mutex);
    return state().written;
}

CanFrameRecord record(quint32 id, const QByteArray &data, bool extended, bool remote)
{
    CanFrameRecord r;
    std::memset(&r, 0, sizeof r);
    r.id = id;
    r.dlc = quint8(data.size());
    std::memcpy(r.data, data.constData(), size_t(qMin(data.size(), 8)));
    r.extended = extended ? 1 : 0;
    r.remote = remote ? 1 : 0;
    return r;
}

} // namespace FakeCanable

extern "C" {

int canable_initDLL(int deviceIndex, unsigned int bitrateKbps)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("init");
    call.deviceIndex = deviceIndex;
    call.bitrate = bitrateKbps;
    record(call);
    state().initWaiting = true;
    while (state().initHeld)
        state().initReleased.wait(&state().mutex);
    state().initWaiting = false;
    return state().initResult;
}

int canable_freeDLL(int deviceIndex)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("free");
    call.deviceIndex = deviceIndex;
    record(call);
    return 0;
}

int canable_readMessage(int deviceIndex, CanFrameRecord *frame, int count)
{
    {
        QMutexLocker locker(&state().mutex);
        FakeCanable::Call call;
        call.name = QStringLiteral("read");
        call.deviceIndex = deviceIndex;
        call.count = count;
        // Reads repeat without pause; recording each empty one would grow without bound.
        // A library that filters drops what does not pass as it reads.
        while (!state().pending.isEmpty()) {
            *frame = state().pending.takeFirst();
            state().lastStamp = state().pendingStamps.takeFirst();
            const QVector<CanReceiveFilter> &terms = state().receiveFilter;
            if (!canable_filterPasses(terms.constData(), terms.size(), frame))
                continue;
            record(call);
            return 0;
        }
    }
    // Like the real library, an empty read waits a little instead of returning at once.
    QThread::usleep(1000);
    return 1;
}

int canable_writeMessage(int deviceIndex, const CanFrameRecord *frame)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("write");
    call.deviceIndex = deviceIndex;
    record(call);
    const int number = state().writesSeen++;
    if (state().writeResult != 0 || number == state().refusedWrite)
        return state().writeResult != 0 ? state().writeResult : 1;
    state().written.append(*frame);
    return 0;
}

} // extern "C"

namespace {

int fakeLastReadTimestamp(int, int64_t *usec)
{
    QMutexLocker locker(&state().mutex);
    if (state().lastStamp == 0)
        return 1;
    *usec = state().lastStamp;
    return 0;
}

int fakeListInterfaces(CanInterfaceInfo *list, int capacity)
{
    QMutexLocker locker(&state().mutex);
    if (state().listInterfacesResult != 0)
        return state().listInterfacesResult;
    const int count = state().interfaces.size();
    for (int i = 0; i < count && i < capacity; ++i)
        list[i] = state().interfaces.at(i);
    return count;
}

int fakeSelectInterface(const char *name)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("select");
    call.interfaceName = QByteArray(name ? name : "");
    record(call);
    return state().selectResult;
}

int fakeSetListenOnly(int enabled)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("listenOnly");
    call.enabled = enabled != 0;
    record(call);
    return state().listenOnlyResult;
}

const char *fakeLastError()
{
    // The text must outlive the lock; each thread keeps its own copy as the library does.
    thread_local QByteArray text;
    QMutexLocker locker(&state().mutex);
    text = state().lastError;
    return text.constData();
}

int fakeReadErrorEvent(int, CanErrorEvent *event)
{
    QMutexLocker locker(&state().mutex);
    if (state().errorEvents.isEmpty())
        return 1;
    *event = state().errorEvents.dequeue();
    return 0;
}

int fakeInitFD(int deviceIndex, unsigned int nominalKbps, unsigned int dataKbps)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("initFD");
    call.deviceIndex = deviceIndex;
    call.bitrate = nominalKbps;
    call.dataBitrate = dataKbps;
    record(call);
    return state().initResult;
}

int fakeReadMessageFD(int deviceIndex, CanFdFrameRecord *frame)
{
    {
        QMutexLocker locker(&state().mutex);
        if (!state().pendingFd.isEmpty()) {
            *frame = state().pendingFd.takeFirst();
            return 0;
        }
    }
    CanFrameRecord classic;
    if (canable_readMessage(deviceIndex, &classic, 1) != 0)
        return 1;
    *frame = CanFdFrameRecord();
    frame->id = classic.id;
    frame->len = classic.dlc;
    frame->flags = quint8((classic.extended ? CANABLE_FD_EXT : 0)
                          | (classic.remote ? CANABLE_FD_RTR : 0));
    std::memcpy(frame->data, classic.data, sizeof classic.data);
    return 0;
}

int fakeWriteMessageFD(int deviceIndex, const CanFdFrameRecord *frame)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("writeFD");
    call.deviceIndex = deviceIndex;
    record(call);
    const int number = state().writesSeen++;
    if (state().writeResult != 0 || number == state().refusedWrite)
        return state().writeResult != 0 ? state().writeResult : 1;
    state().writtenFd.append(*frame);
    return 0;
}

int fakeGetStatus(int, CanBusStatus *status)
{
    QMutexLocker locker(&state().mutex);
    if (state().statusResult != 0)
        return state().statusResult;
    *status = state().status;
    return 0;
}

int fakeSetReceiveFilter(int, const CanReceiveFilter *filters, int count)
{
    QMutexLocker locker(&state().mutex);
    FakeCanable::Call call;
    call.name = QStringLiteral("receiveFilter");
    call.count = count;
    record(call);
    state().receiveFilter = QVector<CanReceiveFilter>(filters, filters + count);
    return 0;
}

} // namespace

AdapterCalls FakeCanable::additionalCalls()
{
    AdapterCalls calls;
    calls.lastReadTimestamp = fakeLastReadTimestamp;
    calls.listInterfaces = fakeListInterfaces;
    calls.selectInterface = fakeSelectInterface;
    calls.setListenOnly = fakeSetListenOnly;
    calls.lastError = fakeLastError;
    calls.readErrorEvent = fakeReadErrorEvent;
    calls.getStatus = fakeGetStatus;
    calls.initFD = fakeInitFD;
    calls.readMessageFD = fakeReadMessageFD;
    calls.writeMessageFD = fakeWriteMessageFD;
    calls.setReceiveFilter = fakeSetReceiveFilter;
    return calls;
}
