#include "sendthread.h"

#include "canable.h"
#include "frametime.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QTimer>

#include <cstring>

SendThread *SendThread::instance()
{
    static SendThread thread;
    return &thread;
}

SendThread::SendThread()
{
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

// No time limit: the event loop sees the quit request only between ticks, and a tick
// that has begun must write all its copies.
void SendThread::endRunningSend()
{
    quit();
    wait();
}

void SendThread::run()
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

    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, &timer, [&] {
        if (seekEntryWithTicksLeft()) {
            const SendFrame &frame = frames.at(position);
            transmitFrame(frame.id, frame.data, frame.extended, frame.remote,
                          frame.framesPerSend);
            ++tick;
            // A negative interval would leave the timer without ticks, and the send would
            // never finish.
            const int interval = qMax(0, frame.interval);
            if (timer.interval() != interval)
                timer.setInterval(interval);
        }
        // Finishing in the tick that sent the last frame spares the user the wait for
        // the last entry's interval.
        if (seekEntryWithTicksLeft())
            return;
        qDebug("执行完毕");
        timer.stop();
        quit();
        emit sendFinished();
    }, Qt::DirectConnection);
    timer.start();
    exec();
}

void SendThread::transmitFrame(quint32 id, const QByteArray &data, bool extended, bool remote,
                               int count)
{
    CanFrameRecord record = {};
    record.id = id;
    // A frame longer than the record holds is refused rather than cut: cut, it would go on
    // the wire as something the user did not type while the log showed what was typed.
    const bool fits = data.size() <= int(sizeof record.data);
    if (fits) {
        std::memcpy(record.data, data.constData(), size_t(data.size()));
        record.dlc = quint8(data.size());
    }
    record.remote = remote ? 1 : 0;
    record.extended = extended ? 1 : 0;

    for (int copy = 0; copy < count; ++copy) {
        CanMessage message;
        message.direction = 1;
        message.id = id;
        message.time = currentFrameTime();
        message.dlc = data.size();
        message.data = data;
        message.extended = extended;
        message.remote = remote;
        message.success = fits && canable_writeMessage(0, &record) == 0;
        if (!message.success)
            qDebug("发送失败");
        emit sendMsgSignal(message);
    }
}
