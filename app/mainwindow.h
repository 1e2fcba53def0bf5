#pragma once

// The program's only top-level window: the device bar with the interface choice, the
// frame log with its row limit, clear and export controls, the per-identifier view in its
// place on demand, the transmit panel, the traffic counters and the bus health fields of
// the status bar, and the recording of the traffic into a trace file.
// GUI thread only.

#include "dbc/dbcdatabase.h"
#include "device/canmessage.h"
#include "device/framerecord.h"
#include "tracemenu/replayoptions.h"

#include <QMainWindow>

#include <memory>

class FrameLogFilter;
class IdViewModel;
struct DbcLoadJob;
class Recorder;
class TraceOpen;
class TraceSave;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QProgressDialog;
class QThread;
class DataSendWidget;
class FrameLogDecoder;
class SignalComposer;
class SignalMonitor;
class QDockWidget;
class QTableView;
class QTimer;
class QTreeView;
QT_END_NAMESPACE

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    // One line for the user at the right of the status bar (a failed file operation, a
    // refused input, progress), kept until the next one or for ten seconds. The counters
    // on the left stay visible, which QStatusBar::showMessage() would hide.
    void showStatusMessage(const QString &text);
    // Reads the DBC files on a thread of their own, then adds them, in order, to the loaded
    // database and says once what happened. Ignored while a load runs.
    void loadDbcFiles(const QStringList &paths);
    bool isLoadingDbc() const { return dbcLoadThread != nullptr; }
    void unloadDbc();
    // Starts a trace replay onto the open device, or says in the status bar why not.
    bool replayTrace(const ReplayOptions &options);

signals:
    // The loaded database changed; views that decode must look their messages up again.
    void databaseChanged();

public:
    const DbcDatabase &database() const { return dbcDatabase; }

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void openSuccessSlot(quint64 session);
    void openFailedSlot(quint64 session, const QString &reason);
    void deviceClosedSlot();
    void on_btnOpen_clicked();
    void on_btnClose_clicked();
    void on_btnClear_clicked();
    void on_txtMaxRowCount_editingFinished();
    void on_btnExport_clicked();

private:
    enum class DeviceState { Closed, Opening, Open };

    void setDeviceState(DeviceState state);
    void setupTraceActions();
    void saveTrace();
    void openTrace();
    void showLoadedFrames(const FrameChunkRun &run);
    void setTraceBusy(bool busy);
    QProgressDialog *workProgress(const QString &label, const QString &title,
                                  const QString &objectName, int maximum);
    void setupDatabaseMenu();
    void updateDatabaseMenu();
    void finishDbcLoad();
    void showComposer();
    void createViewMenu();
    void showIdView(bool show);
    void exportIdStatisticsFile();
    void setupDeviceMenu();
    void setupReplayActions();
    void chooseReplay();
    void setupHealthFields();
    // Lists the interfaces present, keeping the current choice when it is still there.
    void refreshInterfaces();
    // The bus health fields, and with `counters` the three traffic counters too.
    void updateHealthFields(bool counters);
    void createRecordingActions();
    void startRecording();
    // Stops the recording, closes its file and says how it ended.
    void finishRecording();
    void updateRecordingField();

    Ui::MainWindow *ui = nullptr;
    qint64 frameIndex = 0; // an int would overflow after 28 hours of a full bus
    QLabel *lblSendCount = nullptr;
    QLabel *lblReceiveCount = nullptr;
    QLabel *lblReceiveRate = nullptr;
    QLabel *lblMessage = nullptr;
    QLabel *lblErrorCount = nullptr;
    QLabel *lblBusState = nullptr;
    QLabel *lblErrorCounters = nullptr;
    QLabel *lblDrops = nullptr;
    QLabel *lblBusLoad = nullptr;
    QComboBox *cbxInterface = nullptr;
    QAction *actListenOnly = nullptr;
    QCheckBox *chkAutoScroll = nullptr;
    int messageTimer = 0;
    int backlogTimer = 0; // runs while the hub holds more than a tick took
    DeviceState deviceState = DeviceState::Closed;
    // The session whose result the device bar waits for; results of any other (closed)
    // session are dropped.
    quint64 pendingSession = 0;
    bool interfaceFromEnvironment = false;
    DbcDatabase dbcDatabase;
    QMenu *fileMenu = nullptr;
    QAction *stopReplayAction = nullptr;
    ReplayOptions lastReplayOptions;
    QAction *saveTraceAction = nullptr;
    QAction *openTraceAction = nullptr;
    // The trace being read into the frame log, and the frames it delivered so far.
    TraceOpen *traceOpen = nullptr;
    qint64 traceFramesLoaded = 0;
    QMenu *databaseMenu = nullptr;
    QAction *loadDbcAction = nullptr;
    QAction *unloadDbcAction = nullptr;
    // The running DBC load: its reader thread, what it shares with it, and its dialog.
    QThread *dbcLoadThread = nullptr;
    std::shared_ptr<DbcLoadJob> dbcLoadJob;
    QProgressDialog *dbcLoadProgress = nullptr;
    QAction *composeAction = nullptr;
    DataSendWidget *sendWidget = nullptr;
    FrameLogDecoder *frameLogDecoder = nullptr;
    FrameLogFilter *frameLogFilter = nullptr;
    SignalComposer *composer = nullptr;
    SignalMonitor *signalMonitor = nullptr;
    QDockWidget *signalDock = nullptr;
    QList<QAction *> dbcFileActions;
    IdViewModel *idModel = nullptr;
    QTreeView *tbIdView = nullptr;
    qint64 reportedRefusedFrames = 0;
    bool idViewSized = false; // columns fitted to the rows since the view was shown
    Recorder *recorder = nullptr;
    QAction *startRecordingAction = nullptr;
    QAction *stopRecordingAction = nullptr;
    QLabel *lblRecording = nullptr;
    QTimer *recordingTimer = nullptr;
};
