#pragma once

// One frame to transmit with its repetition settings, as the transmit panel hands it to
// the send thread.

#include "canable/canable.h"

#include <QByteArray>

struct SendFrame
{
    quint32 id = 0;        // as entered: neither masked nor range-checked
    QByteArray data;       // its size is the data length sent
    bool extended = false;
    bool remote = false;
    // A CAN FD frame (data up to 64 bytes of a valid FD length) and its bit rate switch.
    bool fd = false;
    bool brs = false;
    int framesPerSend = 0; // copies written back-to-back on one tick
    int repeatCount = 0;   // consecutive ticks on which the frame is sent
    int interval = 0;      // milliseconds to the next tick after each of its ticks
    // False for a list row that does not describe a sendable frame: each of its copies is
    // announced as failed and none reaches the adapter.
    bool sendable = true;
};

// Whether the open device can carry a frame of `length` bytes (for a remote frame, the
// length it asks for): an FD frame only when the device was opened in FD mode. Any thread.
inline bool fitsDevice(quint32 id, bool extended, bool fd, int length, bool fdDevice)
{
    return fd ? fdDevice && canable_isTransmittableFD(id, extended, unsigned(length))
              : canable_isTransmittable(id, extended, unsigned(length));
}
