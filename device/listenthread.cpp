#include "device/listenthread.h"

#include "canable/canable.h"
#include "device/adaptercalls.h"
#include "device/frametime.h"

#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// The capture filter's terms that a library without its own filter leaves to this thread.
bool passes(const QVector<CanReceiveFilter> &ownTerms, const CanFrameRecord &addressing)
{
    return ownTerms.isEmpty()
            || canable_filterPasses(ownTerms.constData(), ownTerms.size(), &addressing);
}

qint64 steadyMsecs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString lastErrorText(const AdapterCalls &calls)
{
    const char *text = calls.lastError ? calls.lastError() : nullptr;
    return text ? QString::fromUtf8(text) : QString();
}

// A flood of error events must not starve the data frames: each pass of the read loop
// takes at most this many, which still empties a queue faster than any bus fills it.
constexpr int maxErrorEventsPerRead = 256;
constexpr qint64 statusPollMsecs = 200;

} // namespace

ListenThread *ListenThread::instance()
{
    static ListenThread thread;
    return &thread;
}

ListenThread::ListenThread()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

ListenThread::~ListenThread()
{
    running = false;
    wait();
}

quint64 ListenThread::openDevice(quint32 bitrate)
{
    OpenOptions plain;
    plain.bitrate = bitrate;
    return openDevice(plain);
}

quint64 ListenThread::openDevice(const OpenOptions &options)
{
    closeDevice();
    // run() copies the options under this lock, so it waits until the start is complete.
    QMutexLocker locker(&mutex);
    running = true;
    this->options = options;
    const quint64 number = ++sessionNumber;
    start();
    return number;
}

void ListenThread::closeDevice()
{
    running = false;
    wait();
    canable_freeDLL(0);
    openBitrate = 0;
    openDataBitrate = 0;
    {
        QMutexLocker locker(&mutex);
        status = BusStatus();
    }
    emit deviceClosed();
}

BusStatus ListenThread::busStatus() const
{
    QMutexLocker locker(&mutex);
    return status;
}

QString ListenThread::prepareOpen(const AdapterCalls &calls, const OpenOptions &options)
{
    if (options.chooseInterface && calls.selectInterface) {
        const QByteArray name = options.interfaceName;
        if (calls.selectInterface(name.isEmpty() ? nullptr : name.constData()) != 0)
            return QStringLiteral("无法选择接口 %1：%2")
                .arg(QString::fromUtf8(name), lastErrorText(calls));
    }
    // Asking for normal mode too keeps a refused listen-only request from outliving it.
    if (calls.setListenOnly) {
        if (calls.setListenOnly(options.listenOnly ? 1 : 0) != 0)
            return QStringLiteral("只听模式被拒绝：%1").arg(lastErrorText(calls));
    } else if (options.listenOnly) {
        // Opening normally instead would acknowledge and send error frames on a bus the
        // user meant only to watch.
        return QStringLiteral("只听模式被拒绝：适配器库不支持");
    }
    return QString();
}

void ListenThread::run()
{
    OpenOptions session;
    quint64 number = 0;
    {
        QMutexLocker locker(&mutex);
        session = options;
        number = sessionNumber;
    }

    // One copy for the whole session: tests swap the table between sessions.
    const AdapterCalls calls = adapterCalls();
    const QString refused = prepareOpen(calls, session);
    if (!refused.isEmpty()) {
        emit openFailed(number, refused);
        return;
    }
    const bool fd = session.dataBitrate != 0;
    if (fd && !calls.hasFd()) {
        emit openFailed(number, QStringLiteral("适配器库不支持 CAN FD"));
        return;
    }
    // Set before the open, so that the first frame already meets it.
    quint64 filterSeen = filterChanges.load(std::memory_order_acquire);
    QVector<CanReceiveFilter> ownTerms = applyCaptureFilter(calls);
    if ((fd ? calls.initFD(0, session.bitrate, session.dataBitrate)
            : canable_initDLL(0, session.bitrate)) != 0) {
        emit openFailed(number, lastErrorText(calls));
        return;
    }
    openBitrate = session.bitrate;
    openDataBitrate = session.dataBitrate;
    emit openSuccess(number);

    qint64 lastPoll = steadyMsecs() - statusPollMsecs;
    while (running) {
        if (filterChanges.load(std::memory_order_relaxed) != filterSeen) {
            filterSeen = filterChanges.load(std::memory_order_acquire);
            ownTerms = applyCaptureFilter(calls);
        }
        CanMessage msg;
        // The library bounds each read, which is what lets closeDevice() stop this loop.
        if (readFrame(calls, fd, ownTerms, &msg)) {
            msg.direction = 0;
            msg.time = currentFrameTime();
            int64_t stamp = 0;
            if (calls.lastReadTimestamp && calls.lastReadTimestamp(0, &stamp) == 0)
                msg.timestampUs = stamp;
            else
                msg.timestampUs = wallClockUs();
            msg.success = true;
            emit receiveMsgSignal(msg);
        }
        if (calls.readErrorEvent)
            drainErrorEvents(calls);
        if (calls.getStatus) {
            const qint64 now = steadyMsecs();
            if (now - lastPoll >= statusPollMsecs) {
                lastPoll = now;
                pollStatus(calls);
            }
        }
    }
}

bool ListenThread::readFrame(const AdapterCalls &calls, bool fd,
                             const QVector<CanReceiveFilter> &ownTerms, CanMessage *msg)
{
    if (!fd) {
        CanFrameRecord record = {};
        if (canable_readMessage(0, &record, 1) != 0 || !passes(ownTerms, record))
            return false;
        msg->id = record.extended ? record.id & 0x1FFFFFFFu : record.id;
        // A record never holds more than eight data bytes, so a larger count is clamped
        // rather than read past the end of the record.
        msg->dlc = std::min<int>(record.dlc, int(sizeof record.data));
        msg->data = QByteArray(reinterpret_cast<const char *>(record.data), msg->dlc);
        msg->extended = record.extended != 0;
        msg->remote = record.remote != 0;
        return true;
    }
    CanFdFrameRecord record = {};
    if (calls.readMessageFD(0, &record) != 0)
        return false;
    if (!ownTerms.isEmpty()) {
        CanFrameRecord addressing = {};
        addressing.id = record.id;
        addressing.extended = (record.flags & CANABLE_FD_EXT) != 0;
        addressing.remote = (record.flags & CANABLE_FD_RTR) != 0;
        if (!passes(ownTerms, addressing))
            return false;
    }
    msg->extended = record.flags & CANABLE_FD_EXT;
    msg->id = msg->extended ? record.id & 0x1FFFFFFFu : record.id;
    msg->fd = record.flags & CANABLE_FD_FDF;
    msg->brs = msg->fd && (record.flags & CANABLE_FD_BRS);
    msg->esi = msg->fd && (record.flags & CANABLE_FD_ESI);
    msg->remote = !msg->fd && (record.flags & CANABLE_FD_RTR);
    msg->dlc = std::min<int>(record.len, msg->fd ? int(sizeof record.data) : 8);
    msg->data = QByteArray(reinterpret_cast<const char *>(record.data), msg->dlc);
    return true;
}

void ListenThread::setCaptureFilter(const CaptureFilter &newFilter)
{
    QMutexLocker locker(&mutex);
    filter = newFilter;
    ++filterChanges;
}

CaptureFilter ListenThread::captureFilter() const
{
    QMutexLocker locker(&mutex);
    return filter;
}

QVector<CanReceiveFilter> ListenThread::applyCaptureFilter(const AdapterCalls &calls)
{
    const QVector<CanReceiveFilter> terms = captureFilter().terms;
    // A library that refuses the terms still gets them applied, here.
    if (calls.setReceiveFilter && calls.setReceiveFilter(0, terms.constData(), terms.size()) == 0)
        return {};
    return terms;
}

void ListenThread::drainErrorEvents(const AdapterCalls &calls)
{
    CanErrorEvent event;
    for (int i = 0; i < maxErrorEventsPerRead; ++i) {
        std::memset(&event, 0, sizeof event);
        if (calls.readErrorEvent(0, &event) != 0)
            return;
        CanMessage msg;
        msg.direction = 0;
        msg.error = true;
        msg.errorClass = event.errorClass;
        msg.id = event.errorClass;
        msg.dlc = int(sizeof event.data);
        msg.data = QByteArray(reinterpret_cast<const char *>(event.data), msg.dlc);
        msg.time = currentFrameTime();
        msg.timestampUs = event.timestampUs != 0 ? event.timestampUs : wallClockUs();
        emit errorEventSignal(msg);
    }
}

void ListenThread::pollStatus(const AdapterCalls &calls)
{
    BusStatus polled;
    polled.known = calls.getStatus(0, &polled.report) == 0;
    QMutexLocker locker(&mutex);
    status = polled;
}
