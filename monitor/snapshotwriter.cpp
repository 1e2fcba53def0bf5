#include "monitor/snapshotwriter.h"

#include <QFile>
#include <QThread>
#include <QTimer>

SnapshotWriter::SnapshotWriter(FrameLogSnapshot &&snapshot, int rows, int inlineRows,
                               const QString &path, QObject *parent)
    : QObject(parent)
    , snapshot(std::move(snapshot))
    , rowTotal(std::max(rows, 0))
    , inlineLimit(inlineRows)
    , filePath(path)
    , progressTimer(new QTimer(this))
{
    progressTimer->setInterval(100);
    connect(progressTimer, &QTimer::timeout, this,
            [this] { emit progress(written.load(std::memory_order_relaxed)); });
}

void SnapshotWriter::stop()
{
    if (!thread)
        return;
    cancelled = true;
    joinWriter();
    delete thread;
    thread = nullptr;
    if (!done && created)
        QFile::remove(filePath);
}

void SnapshotWriter::start()
{
    if (thread || done)
        return;
    // A cancel that comes before the file is opened leaves whatever file had the name.
    if (rowTotal <= inlineLimit) {
        ok = !cancelled && write();
        threadFinished();
        return;
    }
    thread = QThread::create([this] {
        ok = !cancelled && write();
        ran.store(true, std::memory_order_release);
    });
    connect(thread, &QThread::finished, this, &SnapshotWriter::threadFinished);
    progressTimer->start();
    thread->start();
}

void SnapshotWriter::cancel()
{
    cancelled = true;
}

bool SnapshotWriter::reportRows(int rowsWritten)
{
    written.store(rowsWritten, std::memory_order_relaxed);
    return !cancelled.load(std::memory_order_relaxed);
}

void SnapshotWriter::joinWriter()
{
    thread->wait();
    // The join orders the writer's results and its reads of the snapshot before what
    // follows, but inside the toolkit, out of a race detector's sight; the writer's last
    // store, acquired here, states the same order in our own code.
    ran.load(std::memory_order_acquire);
}

void SnapshotWriter::threadFinished()
{
    done = true;
    progressTimer->stop();
    if (thread)
        joinWriter();
    Outcome outcome = Written;
    if (cancelled)
        outcome = Cancelled;
    else if (!ok)
        outcome = Failed;
    if (outcome != Written && created)
        QFile::remove(filePath);
    else
        emit progress(rowTotal);
    emit finished(outcome);
}
