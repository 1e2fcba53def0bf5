#pragma once

// Replays a trace file onto the open device: the file's frames go to the send thread, the
// only writer to the adapter, at the trace's own time gaps (ReplayTiming), read from the
// file as they fall due so that a trace of any size takes constant memory. Frames go out as
// they would from the send list; error events, frames that cannot go on the bus (FD frames
// on a device opened in classic mode among them) and writes the trace marks as refused are
// skipped and counted.
//
// start(), stop() and isRunning() are for the GUI thread. progress and finished are emitted
// on the send thread: a few times a second while frames go out, and once at the end.

#include "tracemenu/replayoptions.h"

#include <QObject>

#include <atomic>

class TraceReplay : public QObject
{
    Q_OBJECT

public:
    static TraceReplay *instance();

    // False with *error saying why when the file is not a readable trace, the options are
    // out of range, or a send or replay runs.
    bool start(const ReplayOptions &options, QString *error);
    // Ends a running replay, not a send, within a few milliseconds, also in a gap of hours.
    void stop();
    bool isRunning() const { return running.load(); }

signals:
    void progress(const ReplayProgress &progress);
    void finished(const ReplayProgress &progress);

private:
    TraceReplay();
    friend class ReplayJob;

    std::atomic<bool> running { false };
};
