#pragma once

// Writes the frame log's rows to a trace file of another tool's format (candump log, ASC,
// pcap, BLF) from a snapshot, on a thread of its own, so that frames keep arriving in the
// table while a long log is written. Refused writes never crossed the bus and are left
// out; error events go in every format, which each has a record for.
// Which thread may call what: as SnapshotWriter says.

#include "monitor/snapshotwriter.h"
#include "traceformats/tracefile.h"
#include "tracemenu/recorder.h"

#include <QString>
#include <QStringList>

// The save dialog's filters, one per format, in the order of traceSaveFormats().
QStringList traceSaveFilters();

// The format a chosen name is written in: the one its extension names, or else the
// selected filter's, whose extension is then appended to *path. Unknown when neither names
// a format the save writes.
trace::Format traceSaveFormat(QString *path, const QString &selectedFilter);

class TraceSave : public SnapshotWriter
{
    Q_OBJECT

public:
    TraceSave(FrameLogSnapshot snapshot, const QString &path, trace::Format format,
              QObject *parent = nullptr);
    ~TraceSave() override;

    // Valid after finished().
    quint64 framesWritten() const { return written; }
    int refusedRows() const { return refused; }
    QString errorText() const { return error; }

private:
    bool write() override;

    const trace::Format format;
    // Written by the thread before it ends, read after the join.
    quint64 written = 0;
    int refused = 0;
    QString error;
};
