#pragma once

// The trace entries of the 文件 menu and the work behind them: saving the frame log to a
// trace file, opening one into it (with the device closed), recording the traffic into a
// file with its status bar field, recording that starts on a condition
// (TriggeredRecordingMenu), and replaying a file onto the open device. The window puts
// actions() into its 文件 menu and recordingFields() into its status bar.
// GUI thread only.

#include "tracemenu/replayoptions.h"

#include <QList>
#include <QObject>

class MonitorContext;
class QAction;
class QLabel;
class QTimer;
class QWidget;
class Recorder;
class TraceOpen;
class TriggeredRecordingMenu;

class TraceMenu : public QObject
{
    Q_OBJECT

public:
    // Dialogs are children of `window`.
    TraceMenu(MonitorContext *context, QWidget *window);
    ~TraceMenu() override;

    QList<QAction *> actions() const;
    QList<QLabel *> recordingFields() const;
    // A trace is being read into the frame log, which live frames must not join.
    bool isOpening() const { return traceOpen != nullptr; }

    // Starts a trace replay onto the open device, or says in the status bar why not.
    bool replayTrace(const ReplayOptions &options);

private:
    void save();
    void open();
    void setBusy(bool busy);
    void startRecording();
    // Stops the recording, closes its file and says how it ended.
    void finishRecording();
    void updateRecordingField();
    void chooseReplay();

    MonitorContext *context;
    QWidget *window;
    QAction *saveAction = nullptr;
    QAction *openAction = nullptr;
    // The trace being read into the frame log, and the frames it delivered so far.
    TraceOpen *traceOpen = nullptr;
    qint64 framesLoaded = 0;
    Recorder *recorder = nullptr;
    QAction *startRecordingAction = nullptr;
    QAction *stopRecordingAction = nullptr;
    QLabel *recordingLabel = nullptr;
    QTimer *recordingTimer = nullptr;
    TriggeredRecordingMenu *triggeredRecording = nullptr;
    QAction *replayAction = nullptr;
    QAction *stopReplayAction = nullptr;
    ReplayOptions lastReplayOptions;
};
