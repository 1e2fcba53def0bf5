#pragma once

// What the main window shares with the components it assembles (the trace menu, the
// database menu, the per-identifier view, ...), so that a component needs neither the
// window nor any other component: the device's state, the frame log and its table, every
// tick's frames, the loaded database and the status line. A component takes the context
// in its constructor and connects to what it needs.
//
// The window owns the context, sets the device state and emits the frame signals; the
// database menu alone changes the database. GUI thread only.

#include "dbc/dbcdatabase.h"
#include "device/canmessage.h"
#include "device/framerecord.h"
#include "monitor/framelogmodel.h"

#include <QList>
#include <QObject>

#include <functional>

class FrameLogModel;
class MyTableView;

class MonitorContext : public QObject
{
    Q_OBJECT

public:
    enum class DeviceState { Closed, Opening, Open };

    MonitorContext(FrameLogModel *frameLog, MyTableView *frameLogView, QObject *parent)
        : QObject(parent), log(frameLog), view(frameLogView)
    {
    }

    // The frame log's rows, and the table that shows them (with the columns others add).
    FrameLogModel *frameLog() const { return log; }
    MyTableView *frameLogView() const { return view; }

    DeviceState deviceState() const { return state; }
    void setDeviceState(DeviceState deviceState)
    {
        state = deviceState;
        emit deviceStateChanged(state);
    }

    const DbcDatabase &database() const { return dbc; }
    // For the database menu: the database to change, followed by databaseChanged().
    DbcDatabase &databaseToChange() { return dbc; }

    // Requests the window carries out.
    void showStatus(const QString &text) { emit statusRequested(text); }
    // Empties the frame log, the counters and every view of the frames, as "清空列表".
    void clearFrames() { emit clearRequested(); }
    // Appends frames read from a file to the frame log, numbered on from its last row; the
    // frame log takes the run's chunks over, so the caller must not touch them after this.
    void appendChunks(const FrameChunkRun &run) { emit chunksRequested(run); }
    // Selects and shows the frame log's row of frame `number`, if the table shows it.
    void selectFrame(qint64 number) { emit frameSelectionRequested(number); }
    // Asks whatever plots signals to plot "Message.Signal" and come up; views that list
    // signals offer it without knowing the plot.
    void plotSignal(const QString &path) { emit signalPlotRequested(path); }
    // For the trace open, once the frame log holds what it read from a file (all of it,
    // or what came before a cancel or an error).
    void announceFramesReplaced() { emit framesReplaced(); }

    // The rows the table shows, for an export or a save: the whole frame log, or the rows a
    // filter passes, and then *ofRows is the frame log's row count (else -1).
    FrameLogSnapshot shownRows(int *ofRows) const
    {
        if (shown)
            return shown(ofRows);
        *ofRows = -1;
        return log->snapshot(log->rowCount());
    }
    // For whatever decides which rows the table shows.
    void setShownRows(std::function<FrameLogSnapshot(int *)> rows) { shown = std::move(rows); }
    // "N" rows written, or "N / M" when only N of the frame log's M rows were shown.
    static QString countText(qint64 written, int ofRows)
    {
        return ofRows < 0 ? QString::number(written)
                          : QStringLiteral("%1 / %2").arg(written).arg(ofRows);
    }

signals:
    void deviceStateChanged(MonitorContext::DeviceState state);
    // The window is about to close the device: whatever writes to it stops now.
    void deviceClosing();
    // Each tick's frames as the window took them from the hub, in order, after they went
    // into the frame log; emitted on every tick, with no frames on a quiet one, and once
    // more for each further slice of a backlog.
    void framesArrived(const QList<CanMessage> &frames);
    void framesCleared();
    // The frame log was filled from a file without framesArrived(): views that keep their
    // own copy of its frames take them again.
    void framesReplaced();
    // Views that decode must look their messages up again.
    void databaseChanged();
    void signalPlotRequested(const QString &path);

    // For the window alone.
    void statusRequested(const QString &text);
    void clearRequested();
    void chunksRequested(const FrameChunkRun &run);
    void frameSelectionRequested(qint64 number);

private:
    FrameLogModel *log;
    MyTableView *view;
    std::function<FrameLogSnapshot(int *)> shown;
    DeviceState state = DeviceState::Closed;
    DbcDatabase dbc;
};
