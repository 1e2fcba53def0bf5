#pragma once

// A scriptable stand-in for the adapter library's four calls, linked into the tests in
// place of the real library. It can fail on purpose, hands out queued frames one per read
// and records every call. All functions are safe from any thread.

#include "canable.h"

#include <QList>
#include <QString>

namespace FakeCanable {

struct Call
{
    QString name;        // "init", "free", "read" or "write"
    int deviceIndex = 0;
    unsigned int bitrate = 0; // init only
    int count = 0;            // read only
};

// Forgets all frames, calls and scripted results.
void reset();

// Result of the following canable_initDLL calls (0 by default).
void setInitResult(int result);

// Frames handed out by canable_readMessage, one per call, in order. When none is queued
// a read waits about a millisecond and returns 1.
void queueFrames(const QList<CanFrameRecord> &frames);
void queueFrame(const CanFrameRecord &frame);
int pendingFrames();

// Result of the following canable_writeMessage calls (0 by default).
void setWriteResult(int result);
// Refuses only the write with this zero-based number (counted since reset), -1 for none.
void refuseWriteNumber(int writeNumber);

// Every call in order; a read is recorded only when it delivered a frame, since the
// receive loop reads without pause.
QList<Call> calls();
int callCount(const QString &name);
// The records of the accepted writes, in order.
QList<CanFrameRecord> writtenFrames();

CanFrameRecord record(quint32 id, const QByteArray &data, bool extended = false,
                      bool remote = false);

} // namespace FakeCanable
