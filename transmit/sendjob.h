#pragma once

// A run of frames another part of the program hands the send thread (SendThread::
// startJob()), which writes each one when it falls due: the send thread stays the only
// writer to the adapter, the job says what goes out and when and hears how each write went.
//
// Every call comes on the send thread, one at a time.

#include "transmit/sendframe.h"

#include <QtGlobal>

#include <atomic>

class SendJob
{
public:
    virtual ~SendJob() = default;

    // The next frame and when it is due, in nanoseconds after the job's start, never before
    // the frame before it. False once the job has run out, or when `stop` is set, which a
    // long search for the next frame looks at now and then.
    virtual bool next(SendFrame *frame, qint64 *dueNs, const std::atomic<bool> &stop) = 0;
    // The frame next() gave went out; `accepted` tells whether the adapter took it.
    virtual void written(bool accepted) = 0;
    // Once at the end, also when next() never gave a frame; `stopped` when a stop cut the
    // job short.
    virtual void finished(bool stopped) = 0;
};
