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
    bool success = true; // the adapter accepted the write; always true when received
};

Q_DECLARE_METATYPE(CanMessage)
