#pragma once

// "文件" → "条件录制…": a dialog for the start expression, the seconds kept from before
// the trigger, the end (a stop expression, seconds after the trigger, or "停止录制"),
// the file and its format and "重新等待"; then the armed recorder's state in the status
// bar ("等待触发", then the file being written) and its files' outcome in the status line.
// While armed, "开始录制…" is off and "停止录制" disarms it. It belongs to the trace menu, which
// puts action() after its recording entries and whose stateField() the window places.
// GUI thread only.

#include "tracemenu/triggeredrecorder.h"

#include <QDialog>
#include <QObject>

class DbcDatabase;
class MonitorContext;

QT_BEGIN_NAMESPACE
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTimer;
QT_END_NAMESPACE

class TriggeredRecordingDialog : public QDialog
{
    Q_OBJECT

public:
    TriggeredRecordingDialog(const DbcDatabase *database, QWidget *parent = nullptr);
    // Valid once the dialog was accepted.
    TriggeredRecorder::Options options() const { return chosen; }
    // Refuses expressions that do not compile and a missing file name, saying why.
    void accept() override;

private:
    void chooseFile();
    void showEnd();
    bool refuse(QLineEdit *field, const QString &text);

    const DbcDatabase *database;
    QLineEdit *startField = nullptr;
    QSpinBox *beforeSeconds = nullptr;
    QComboBox *endChoice = nullptr;
    QLineEdit *stopField = nullptr;
    QSpinBox *afterSeconds = nullptr;
    QComboBox *formatChoice = nullptr;
    QLineEdit *pathField = nullptr;
    QCheckBox *rearm = nullptr;
    QLabel *errorLabel = nullptr;
    TriggeredRecorder::Options chosen;
};

class TriggeredRecordingMenu : public QObject
{
    Q_OBJECT

public:
    // startRecording and stopRecording are the plain recording's actions; the dialog and
    // the state field are children of `window`.
    TriggeredRecordingMenu(MonitorContext *context, QWidget *window, QAction *startRecording,
                           QAction *stopRecording);

    QAction *action() const { return armAction; }
    QLabel *stateField() const { return stateLabel; }
    TriggeredRecorder *recorder() const { return triggered; }
    // Arms with these options, or says in the status line why not.
    bool arm(const TriggeredRecorder::Options &options);

private:
    void choose();
    void disarm();
    void showState();

    MonitorContext *context;
    QWidget *window;
    QAction *armAction = nullptr;
    QAction *startRecording;
    QAction *stopRecording;
    TriggeredRecorder *triggered;
    QLabel *stateLabel = nullptr;
    QTimer *poll = nullptr;
};
