#pragma once

// One frame as it travels from a device thread through the hub to the frame log, copied
// by value through queued connections.

#include <QByteArray>
#include <QMetaType>
#include <QTime>

struct CanMessage
{
    quint8 direction = 0; // 0 received, 1 transmitted
    quint32 id = 0;
    QTime time;
    int dlc = 0;
    QByteArray data;
    bool extended = false;
    bool remote = false;
    // A CAN FD frame (data up to 64 bytes, dlc its length in bytes), with its bit rate
    // switch and error state indicator.
    bool fd = false;
    bool brs = false;
    bool esi = false;
    bool success = true; // the adapter accepted the write; always true when received
    // Wall-clock time of the read or write in microseconds since 1970-01-01 UTC, for
    // traces and cycle times; 0 when unknown. `time` stays the time of day shown.
    qint64 timestampUs = 0;
    // An error event reported by the controller rather than a frame: errorClass holds the
    // CAN_ERR_* class bits (linux/can/error.h) and data the error frame's eight bytes.
    bool error = false;
    quint32 errorClass = 0;
};

Q_DECLARE_METATYPE(CanMessage)
