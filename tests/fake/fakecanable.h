#pragma once

// A scriptable stand-in for the adapter library, linked into the tests in place of the
// real library. It can fail on purpose, hands out queued frames one per read and records
// every call. The additional calls are absent (as with a library that has only the four)
// until a test installs them with installAdditionalCalls(). All functions are safe from
// any thread.

#include "canable/canable.h"
#include "device/adaptercalls.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace FakeCanable {

struct Call
{
    // "init", "free", "read", "write", or of the additional calls "select",
    // "listenOnly", "initFD", "writeFD" and "receiveFilter" (which the fake then applies
    // as it reads)
    QString name;
    int deviceIndex = 0;
    unsigned int bitrate = 0; // init and initFD only
    unsigned int dataBitrate = 0; // initFD only
    int count = 0;            // read; receiveFilter: the terms
    QByteArray interfaceName; // select only; empty for the default
    bool enabled = false;     // listenOnly only
};

// Forgets all frames, calls and scripted results and takes the additional calls away.
void reset();

// Puts the fake's additional calls into adapterCalls(); a test may then null some of them
// to play a library that lacks those.
void installAdditionalCalls();
// The fake's additional calls, all present.
AdapterCalls additionalCalls();

// While held, canable_initDLL waits until released: a slow open under the test's control.
void holdInit();
void releaseInit();
// Whether a canable_initDLL call is waiting for releaseInit().
bool initWaiting();

// What canable_lastError() answers.
void setLastError(const QString &text);
// Results of canable_selectInterface and canable_setListenOnly (0 by default).
void setSelectResult(int result);
void setListenOnlyResult(int result);
// What canable_listInterfaces reports; -1 makes it fail.
void setInterfaces(const QList<CanInterfaceInfo> &interfaces);
void setListInterfacesResult(int result);
CanInterfaceInfo interface(const char *name, bool up, quint32 bitrate, bool virtualBus = false);
// Error events handed out by canable_readErrorEvent, oldest first.
void queueErrorEvent(quint32 errorClass, const QByteArray &data, qint64 timestampUs = 0);
int pendingErrorEvents();
// What canable_getStatus reports; a non-zero result says nothing is open.
void setStatus(const CanBusStatus &status);
void setStatusResult(int result);
CanBusStatus status(int state, int txErrors, int rxErrors, quint64 kernelDrops = 0,
                    quint64 adapterDrops = 0);

// Result of the following canable_initDLL calls (0 by default).
void setInitResult(int result);

// Frames handed out by canable_readMessage, one per call, in order. When none is queued
// a read waits about a millisecond and returns 1.
void queueFrames(const QList<CanFrameRecord> &frames);
void queueFrame(const CanFrameRecord &frame);
// A frame that canable_lastReadTimestamp stamps with timestampUs once it has been read.
void queueStampedFrame(const CanFrameRecord &frame, qint64 timestampUs);
int pendingFrames();
// Frames handed out by canable_readMessageFD (before the classic ones, which it hands out
// too, as the library does on an FD device).
void queueFdFrames(const QList<CanFdFrameRecord> &frames);
// The records of the accepted FD writes, in order.
QList<CanFdFrameRecord> writtenFdFrames();

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
