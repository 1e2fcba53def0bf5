#pragma once

// What a trace replay is asked to do, and how far it has got, as the GUI thread and the
// send thread hand them to each other by value.

#include <QMetaType>
#include <QString>

struct ReplayOptions
{
    QString path;              // the trace file; its extension names the format
    bool loop = false;         // starts over at the end until stopped
    double speed = 1.0;        // time gaps are divided by it: 2 plays twice as fast
    bool receivedOnly = false; // frames the trace marks as sent are left out
};

struct ReplayProgress
{
    qint64 sent = 0;    // writes the adapter accepted
    qint64 failed = 0;  // writes the adapter refused, shown as 失败 in the log
    // Error events, frames no adapter can send, writes the trace marks as refused, and
    // lines or objects the reader could not parse.
    qint64 skipped = 0;
    int pass = 1;       // counts from 1; above 1 only when looping
    int percent = 0;    // of the current pass's file read
    // Set once the replay has ended: by a stop, or with the read error that ended it.
    bool stopped = false;
    QString error;
};

Q_DECLARE_METATYPE(ReplayProgress)
