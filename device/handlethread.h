#pragma once

// The message hub: counts and queues every received and transmitted frame and every error
// event until the main window's tick takes the queue, and measures the receive rate and
// the bus load.
//
// The three slots run on the device thread that delivers the frame (the listen and send
// threads' signals reach them directly), under the hub's lock: a frame waits in the
// 32-byte queue and nowhere else, however far the window falls behind. The getters,
// snapshot(), clearCount() and takeMessages() are for the GUI thread. setClock() and
// setFrameTap() may be called from any thread.

#include "device/canmessage.h"
#include "device/framerecord.h"
#include "device/frametap.h"
#include "health/busloadmeter.h"
#include "health/busstatus.h"

#include <QList>
#include <QMutex>
#include <QObject>

#include <functional>

class HandleThread : public QObject
{
    Q_OBJECT

public:
    // Everything the status bar shows, taken at one moment.
    struct Snapshot
    {
        qint64 sendCount = 0;
        qint64 receiveCount = 0;
        qint64 errorCount = 0;
        int receiveRate = 0;
        double busLoadPercent = -1; // -1 while no device is open
        BusStatus status;
    };

    static HandleThread *instance();

    qint64 getSendCount();
    qint64 getReceiveCount();
    qint64 getErrorCount();
    int getReceiveRate();
    // The bits of the frames received and sent successfully in the last second, as a
    // percentage of what bitrateKbps carries; -1 for a bit rate of 0.
    double busLoadPercent(quint32 bitrateKbps);
    // The counters, the bus load at the open session's bit rate and its controller status.
    Snapshot snapshot();
    void clearCount();
    QList<CanMessage> takeMessages();
    // The oldest maxCount frames at most; `more` tells whether frames remain queued.
    QList<CanMessage> takeMessages(int maxCount, bool *more);

    // The receive-rate window and the bus load measure time in milliseconds on a monotonic
    // clock, so that they survive midnight and clock changes; tests put a clock of their
    // own here.
    void setClock(const std::function<qint64()> &msecsClock);
    // Every frame the slots take from now on also goes to the tap (null: none). Once this
    // returns, the previous tap is not called again, so its owner may delete it.
    void setFrameTap(FrameTap *frameTap);

public slots:
    void sendDataSlot(const CanMessage &msg);
    void receiveDataSlot(const CanMessage &msg);
    void errorEventSlot(const CanMessage &msg);
    // A closed device receives nothing: the rate reads 0, and the next session's first
    // window counts its own frames only.
    void deviceClosedSlot();

private:
    HandleThread();

    void addToBusLoad(qint64 msecs, const CanMessage &msg);
    FrameBatch take(int maxCount);

    // 64 bits: a full bus passes 2^31 frames in little more than a day.
    qint64 sendCount = 0;
    qint64 receiveCount = 0;
    qint64 errorCount = 0;
    int receiveRate = 0;
    // The receive-rate window outlives clearCount(), so that clearing mid-window still
    // publishes a whole window's frames next time.
    bool windowOpen = false;
    qint64 windowStart = 0;
    int windowCount = 0;
    BusLoadMeter busLoad;
    // 32 bytes a frame, so a backlog the window has not taken yet stays small.
    FrameQueue messageQueue;
    int backlogPeak = 0; // the most frames queued since the queue was last empty
    QMutex mutex;
    std::function<qint64()> clock;
    FrameTap *tap = nullptr;
};
