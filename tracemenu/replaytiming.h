#pragma once

// When each frame of a replayed trace is due, in nanoseconds after the replay's start:
// the trace's own time gaps divided by the speed factor. Offsets count from the first
// frame of a stretch of rising times rather than adding up gap after gap, so rounding does
// not accumulate over millions of frames. A time that goes back (traces pasted together,
// a time of day past midnight) or is unknown (0) is due with the frame before it and
// starts a new stretch; so does each pass of a loop, whose first frame follows the last
// one of the pass before at once. Offsets never decrease and saturate rather than wrap.
//
// A value type; one thread at a time.

#include <QtGlobal>

class ReplayTiming
{
public:
    // speed must be positive.
    explicit ReplayTiming(double speed);

    qint64 dueOffsetNs(qint64 timestampUs);
    void startPass();

private:
    double speed;
    bool stretchOpen = false;
    qint64 stretchTimestampUs = 0;
    qint64 stretchOffsetNs = 0;
    qint64 lastTimestampUs = 0;
    qint64 lastOffsetNs = 0;
};
