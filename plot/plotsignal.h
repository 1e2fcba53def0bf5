#pragma once

// What a name typed into the plot window stands for, and its samples from frames: a
// database signal "Message.Signal", or without one a bit field of an identifier in DBC
// notation, "123[8|16@1+]" (start bit | length @1 Intel or @0 Motorola, + unsigned or -
// signed; eight hex digits name an extended identifier), taken as its raw value. The
// bits come out of the database codec either way. Plain values: resolve on the GUI
// thread, then read the copy from any thread.

#include "dbc/dbcmessage.h"
#include "device/framerecord.h"

#include <QString>
#include <QStringList>

class DbcDatabase;

struct PlotSignal
{
    QString name; // as typed, the plot's and the export's label
    QString unit;
    quint32 id = 0;
    bool extended = false;
    DbcSignal signal;
    // For a multiplexed signal: the message's multiplexor, whose raw value must equal
    // signal.multiplexValue for a frame to carry the signal.
    bool multiplexed = false;
    DbcSignal multiplexor;

    quint64 key() const { return dbcMessageKey(id, extended); }
    // The header of the signal's column in an export: name and unit in brackets.
    QString title() const;
    // The physical value the payload carries, false if it carries none.
    bool sample(const quint8 *data, int length, double *value) const;
    // The same for a frame of the log: none for remote, error or failed frames, nor for
    // frames of another identifier. `tails` holds the bytes beyond the eighth of an FD
    // record; without it an FD frame carries its first eight bytes alone.
    bool sample(const FrameRecord &record, const FrameTails *tails, double *value) const;
};

// The signal a name stands for, or false with the reason in `error`. `database` may be
// null or empty: then only bit fields resolve.
bool resolvePlotSignal(const QString &text, const DbcDatabase *database, PlotSignal *out,
                       QString *error);

// Up to `limit` names "Message.Signal" that hold `text` (any case), sorted, for completion.
// A database may hold a million signals: the names are made for the matches only.
QStringList plotSignalMatches(const DbcDatabase &database, const QString &text, int limit);

// A frame's time in microseconds: its wall-clock stamp, else its time of day.
qint64 plotFrameTimeUs(const FrameRecord &record);
