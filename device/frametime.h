#pragma once

// The time of day stamped on each frame, for the device threads.

#include <QTime>

// The local time of day now, in milliseconds, like QTime::currentTime(). That call looks up
// the time zone on every use, which at a full bus costs the listen thread more than
// everything else it does per frame; this one takes the offset from UTC once a second per
// thread, so a daylight-saving change reaches the stamps at most a second late.
// Any thread may call it.
QTime currentFrameTime();
// Microseconds since the epoch, for a frame whose device gave no time of its own.
// Any thread may call it.
qint64 wallClockUs();
