#pragma once

// The controller's health as the window shows it: the adapter's status report, or nothing
// known, and the texts and colours of its fields. Plain values and functions, any thread.

#include "canable/canable.h"

#include <QMetaType>
#include <QString>

struct BusStatus
{
    bool known = false; // false: no device open, or the library does not report status
    CanBusStatus report = {};
};

Q_DECLARE_METATYPE(BusStatus)

// "状态:主动错误" and the like; "状态:未知" when not known.
QString busStateText(const BusStatus &status);
// The state's colour as a style sheet colour: green while error active, yellow in warning
// or passive, red when bus-off; empty when nothing calls for attention.
QString busStateColour(const BusStatus &status);
// "TEC:%1 REC:%2", each "--" when unknown.
QString errorCountersText(const BusStatus &status);
// "丢帧:%1": frames the kernel and the adapter dropped, "--" when unknown.
QString droppedFramesText(const BusStatus &status);
