#pragma once

// The device session: opens the adapter on a thread of its own, reports the outcome and
// then reads frames in a loop until closed, emitting each as a CanMessage, the error
// events the controller reports, and (at most five times a second) the controller's
// status.
//
// A capture filter keeps the frames that do not pass from ever being emitted: the library
// drops them where it can (canable_setReceiveFilter), else the listen thread does; error
// events always pass.
//
// openDevice() and closeDevice() are for the GUI thread; run() is the listen thread.
// openSuccess, openFailed, receiveMsgSignal and errorEventSignal are emitted on the listen
// thread, deviceClosed on the thread that called closeDevice(). session(), busStatus(),
// sessionBitrate(), sessionDataBitrate(), setCaptureFilter() and captureFilter() may be
// called from any thread.

#include "device/canmessage.h"
#include "device/capturefilter.h"
#include "health/busstatus.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

struct AdapterCalls;

class ListenThread : public QThread
{
    Q_OBJECT

public:
    struct OpenOptions
    {
        quint32 bitrate = 0; // kbit/s
        // Names the interface to open ("sim" for the simulated bus) when chooseInterface
        // is set and the library can choose; otherwise the library's own default opens.
        bool chooseInterface = false;
        QByteArray interfaceName;
        bool listenOnly = false;
        // Non-zero: open in CAN FD mode with this data bit rate (kbit/s), which needs the
        // library's FD calls; the session then reads FD frames too.
        quint32 dataBitrate = 0;
    };

    static ListenThread *instance();

    // Each open starts a session with a number of its own, returned here and carried by
    // openSuccess and openFailed, so that a result arriving after its session was closed
    // can be told from the current one.
    quint64 openDevice(quint32 bitrate);
    quint64 openDevice(const OpenOptions &options);
    void closeDevice();

    // The number of the latest session, 0 before the first.
    quint64 session() const { return sessionNumber; }
    // The controller's status as last polled; not known while no session is open or when
    // the library does not report it.
    BusStatus busStatus() const;
    // The bit rate of the session that is open, 0 while none is.
    quint32 sessionBitrate() const { return openBitrate; }
    // The data bit rate of the FD session that is open, 0 while none is.
    quint32 sessionDataBitrate() const { return openDataBitrate; }
    // In force from the next frame read on, for this session and the following ones.
    void setCaptureFilter(const CaptureFilter &filter);
    CaptureFilter captureFilter() const;

signals:
    void openSuccess(quint64 session);
    // reason: the library's explanation, empty when it gives none.
    void openFailed(quint64 session, const QString &reason);
    void deviceClosed();
    void receiveMsgSignal(const CanMessage &msg);
    // An error event of the controller: msg.error is set, msg.errorClass and msg.data
    // hold the error frame's class bits and bytes. Never a received frame.
    void errorEventSignal(const CanMessage &msg);

protected:
    void run() override;

private:
    ListenThread();
    ~ListenThread() override;

    QString prepareOpen(const AdapterCalls &calls, const OpenOptions &options);
    void drainErrorEvents(const AdapterCalls &calls);
    void pollStatus(const AdapterCalls &calls);
    bool readFrame(const AdapterCalls &calls, bool fd,
                   const QVector<CanReceiveFilter> &ownTerms, CanMessage *msg);
    // The terms the listen thread must apply itself: none when the library took them.
    QVector<CanReceiveFilter> applyCaptureFilter(const AdapterCalls &calls);

    OpenOptions options;
    std::atomic<bool> running { false };
    std::atomic<quint64> sessionNumber { 0 };
    std::atomic<quint32> openBitrate { 0 };
    std::atomic<quint32> openDataBitrate { 0 };
    mutable QMutex mutex;
    BusStatus status;
    CaptureFilter filter;
    // Bumped by every change, so the read loop notices one with a single atomic load.
    std::atomic<quint64> filterChanges { 0 };
};
