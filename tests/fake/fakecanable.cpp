#include "fakecanable.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThread>

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
    QList<CanFrameRecord> written;
    QList<FakeCanable::Call> calls;
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
    s.written.clear();
    s.calls.clear();
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
}

void queueFrame(const CanFrameRecord &frame)
{
    queueFrames({ frame });
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
        if (!state().pending.isEmpty()) {
            record(call);
            *frame = state().pending.takeFirst();
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
