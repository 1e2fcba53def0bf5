#include "transmit/sendthread.h"

#include "canable/canable.h"
#include "device/adaptercalls.h"
#include "device/frametime.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "transmit/sendjob.h"
#include "transmit/tickschedule.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// The last stretch before a due time is slept precisely rather than waited for in the
// event loop, which may wake late by the time it takes to dispatch.
constexpr qint64 precisionNs = 1000000;

timespec timespecFromNs(qint64 ns)
{
    timespec ts = {};
    ts.tv_sec = time_t(ns / 1000000000);
    ts.tv_nsec = long(ns % 1000000000);
    return ts;
}

void sleepUntil(qint64 monotonicNs)
{
    const timespec due = timespecFromNs(monotonicNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
}

// While it waits for a due time the thread asks for a real-time priority, so that a busy
// machine cannot keep it from waking on time; it drops back to the ordinary policy once a
// tick's first copy is written, so that a long run of back-to-back copies never starves the
// rest of the system.
// Without the right to real-time scheduling both calls fail and the thread waits as is.
class WaitPriority
{
public:
    WaitPriority()
    {
        sched_param param = {};
        pthread_getschedparam(pthread_self(), &ordinaryPolicy, &param);
        ordinaryPriority = param.sched_priority;
    }

    void raise()
    {
        if (refused || raised)
            return;
        sched_param param = {};
        param.sched_priority = 10;
        raised = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
        refused = !raised;
    }

    void lower()
    {
        if (!raised)
            return;
        sched_param param = {};
        param.sched_priority = ordinaryPriority;
        pthread_setschedparam(pthread_self(), ordinaryPolicy, &param);
        raised = false;
    }

private:
    int ordinaryPolicy = SCHED_OTHER;
    int ordinaryPriority = 0;
    bool raised = false;
    bool refused = false;
};

// A timer descriptor armed at absolute CLOCK_MONOTONIC times, read by the event loop.
class WakeTimer
{
public:
    WakeTimer()
        : fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
    {
    }
    ~WakeTimer()
    {
        if (fd >= 0)
            close(fd);
    }
    WakeTimer(const WakeTimer &) = delete;
    WakeTimer &operator=(const WakeTimer &) = delete;

    int descriptor() const { return fd; }

    bool arm(qint64 monotonicNs)
    {
        itimerspec deadline = {};
        deadline.it_value = timespecFromNs(qMax<qint64>(1, monotonicNs));
        return fd >= 0 && timerfd_settime(fd, TFD_TIMER_ABSTIME, &deadline, nullptr) == 0;
    }

    void acknowledge()
    {
        quint64 expirations = 0;
        while (read(fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
        }
    }

private:
    int fd;
};

} // namespace

SendThread *SendThread::instance()
{
    static SendThread thread;
    return &thread;
}

SendThread::SendThread()
{
    // Every write reaches the hub, which counts it and queues it for the frame log.
    qRegisterMetaType<CanMessage>("CanMessage");
    // Directly, on this thread under the hub's lock: a queued frame would wait as an event of
    // its own whenever the hub's thread fell behind.
    connect(this, &SendThread::sendMsgSignal, HandleThread::instance(),
            &HandleThread::sendDataSlot, Qt::DirectConnection);
    // Left running, a send would go on writing to the bus after the window has closed,
    // until the process tears this object down.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &SendThread::endRunningSend);
}

SendThread::~SendThread()
{
    endRunningSend();
}

void SendThread::startSend(const QList<SendFrame> &frames, int passes)
{
    endRunningSend();
    {
        QMutexLocker locker(&mutex);
        frameList = frames;
        passCount = passes;
    }
    start();
}

void SendThread::stopSend()
{
    endRunningSend();
    emit sendFinished();
}

void SendThread::startJob(std::unique_ptr<SendJob> newJob)
{
    endRunningSend();
    {
        QMutexLocker locker(&mutex);
        job = std::move(newJob);
    }
    jobRunning.store(true);
    start();
}

void SendThread::stopJob()
{
    if (jobRunning.load())
        endRunningSend();
}

// The flag reaches the copies loop of a tick under way and any tick still queued; the
// quit request ends the event loop once the tick handler has returned.
void SendThread::endRunningSend()
{
    stopRequested.store(true);
    quit();
    wait();
    stopRequested.store(false);
}

void SendThread::run()
{
    // The kernel may otherwise let a sleep of this thread run 50 µs long.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (jobRunning.load())
        runJob();
    else
        runSend();
}

bool SendThread::runSchedule(TickSchedule &schedule, const StepFunction &step)
{
    WaitPriority priority;
    WakeTimer wakeTimer;
    QSocketNotifier wakeNotifier(wakeTimer.descriptor(), QSocketNotifier::Read);
    QTimer dueSoon;
    dueSoon.setSingleShot(true);
    bool ranOut = false;

    const auto armNextTick = [&] {
        if (schedule.remainingNs() > 0)
            priority.raise();
        if (schedule.remainingNs() <= precisionNs || !wakeTimer.arm(schedule.coarseWakeNs(
                                                             precisionNs)))
            dueSoon.start(0);
    };

    const auto onTick = [&] {
        if (stopRequested.load())
            return;
        sleepUntil(schedule.dueNs());
        const Step next = step([&priority] { priority.lower(); });
        priority.lower();
        if (next == Step::Again) {
            armNextTick();
        } else if (next == Step::Done) {
            ranOut = true;
            quit();
        }
    };

    connect(&dueSoon, &QTimer::timeout, &dueSoon, onTick, Qt::DirectConnection);
    connect(&wakeNotifier, &QSocketNotifier::activated, &wakeNotifier, [&] {
        wakeTimer.acknowledge();
        onTick();
    }, Qt::DirectConnection);

    schedule.start();
    dueSoon.start(0);
    exec();
    return ranOut;
}

void SendThread::runSend()
{
    QList<SendFrame> frames;
    int passes = 0;
    {
        QMutexLocker locker(&mutex);
        frames = frameList;
        passes = passCount;
    }
    if (frames.isEmpty())
        return;

    emit sendStarted();

    int pass = 0;
    int position = 0;
    int tick = 0;

    const auto seekEntryWithTicksLeft = [&] {
        while (pass < passes) {
            if (position >= frames.size()) {
                ++pass;
                position = 0;
                tick = 0;
            } else if (tick < frames.at(position).repeatCount) {
                return true;
            } else {
                ++position;
                tick = 0;
            }
        }
        return false;
    };

    TickSchedule schedule;
    const auto step = [&](const std::function<void()> &firstWritten) {
        if (seekEntryWithTicksLeft()) {
            const SendFrame &frame = frames.at(position);
            if (!transmitFrame(frame, firstWritten))
                return Step::Stopped;
            ++tick;
            schedule.advance(frame.interval);
        }
        // Finishing in the tick that sent the last frame spares the user the wait for
        // the last entry's interval.
        return seekEntryWithTicksLeft() ? Step::Again : Step::Done;
    };
    if (runSchedule(schedule, step)) {
        qDebug("执行完毕");
        emit sendFinished();
    }
}

void SendThread::runJob()
{
    std::unique_ptr<SendJob> running;
    {
        QMutexLocker locker(&mutex);
        running = std::move(job);
    }
    SendFrame frame;
    qint64 dueNs = 0;
    if (running->next(&frame, &dueNs, stopRequested)) {
        qint64 lastDueNs = dueNs;
        TickSchedule schedule;
        const auto step = [&](const std::function<void()> &firstWritten) {
            int accepted = 0;
            if (!transmitFrame(frame, firstWritten, &accepted))
                return Step::Stopped;
            running->written(accepted > 0);
            if (!running->next(&frame, &dueNs, stopRequested))
                return stopRequested.load() ? Step::Stopped : Step::Done;
            schedule.advanceNs(dueNs - lastDueNs);
            lastDueNs = dueNs;
            return Step::Again;
        };
        runSchedule(schedule, step);
    }
    // The stop flag stays set until the stopping thread has joined this one.
    jobRunning.store(false);
    running->finished(stopRequested.load());
}

bool SendThread::transmitFrame(const SendFrame &frame, const std::function<void()> &firstWritten,
                               int *accepted)
{
    const QByteArray &data = frame.data;
    // A device opened in FD mode takes every frame through the FD call; a classic device
    // takes no FD frame, which is then refused here like any frame that cannot go out.
    const AdapterCalls &calls = adapterCalls();
    const bool fdDevice = ListenThread::instance()->sessionDataBitrate() != 0
            && calls.writeMessageFD;
    CanFrameRecord record = {};
    CanFdFrameRecord fdRecord = {};
    record.id = frame.id;
    fdRecord.id = frame.id;
    // A frame longer than the record holds is refused rather than cut: cut, it would go on
    // the wire as something the user did not type while the log showed what was typed.
    // An identifier beyond its format's range would go out as some other identifier.
    const bool fits = frame.sendable
            && fitsDevice(frame.id, frame.extended, frame.fd, data.size(), fdDevice);
    if (fits) {
        std::memcpy(fdDevice ? fdRecord.data : record.data, data.constData(),
                    size_t(data.size()));
        record.dlc = quint8(data.size());
        fdRecord.len = quint8(data.size());
    }
    record.remote = frame.remote ? 1 : 0;
    record.extended = frame.extended ? 1 : 0;
    fdRecord.flags = quint8((frame.fd ? CANABLE_FD_FDF : 0)
                            | (frame.fd && frame.brs ? CANABLE_FD_BRS : 0)
                            | (frame.extended ? CANABLE_FD_EXT : 0)
                            | (frame.remote && !frame.fd ? CANABLE_FD_RTR : 0));

    for (int copy = 0; copy < frame.framesPerSend; ++copy) {
        if (stopRequested.load(std::memory_order_relaxed))
            return false;
        CanMessage message;
        message.direction = 1;
        message.id = frame.id;
        message.time = currentFrameTime();
        message.timestampUs = wallClockUs();
        message.dlc = data.size();
        message.data = data;
        message.extended = frame.extended;
        message.remote = frame.remote && !frame.fd;
        message.fd = frame.fd;
        message.brs = frame.fd && frame.brs;
        const int written = !fits ? -1
                : fdDevice        ? calls.writeMessageFD(0, &fdRecord)
                                  : canable_writeMessage(0, &record);
        message.success = written == 0;
        if (!message.success)
            qDebug("发送失败");
        else if (accepted)
            ++*accepted;
        if (copy == 0)
            firstWritten();
        emit sendMsgSignal(message);
    }
    return true;
}
