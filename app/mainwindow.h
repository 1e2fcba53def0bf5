#pragma once

// The program's only top-level window. It keeps the written parts itself: the device bar,
// the frame log with its row limit, clear and export controls, the transmit panel, the
// traffic counters of the status bar and the 200 ms tick that takes the hub's frames.
// Every further feature is a component it assembles: it creates each one with the shared
// MonitorContext, puts the component's actions into its menus and its widgets into its
// layout, and hands every tick's frames on through the context.
// GUI thread only.

#include "monitor/monitorcontext.h"

#include <QMainWindow>

class DatabaseMenu;
class FdMode;
class FrameLogFilter;
class DataSendWidget;
class InterfaceChoice;
class HealthFields;
class IdViewPanel;
class QCheckBox;
class QLabel;
class TraceMenu;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
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
    void assembleComponents();
    void setDeviceState(MonitorContext::DeviceState state);
    // Appends frames to the frame log, keeping the rows in sight unless it scrolls along.
    template<typename Append>
    void appendToFrameLog(Append append);
    void selectFrame(qint64 number);
    // The traffic counters, with the bus health fields beside them.
    void updateCounters(bool counters);

    Ui::MainWindow *ui = nullptr;
    MonitorContext *context = nullptr;
    qint64 frameIndex = 0; // an int would overflow after 28 hours of a full bus
    QLabel *lblSendCount = nullptr;
    QLabel *lblReceiveCount = nullptr;
    QLabel *lblReceiveRate = nullptr;
    QLabel *lblMessage = nullptr;
    QCheckBox *chkAutoScroll = nullptr;
    int messageTimer = 0;
    int backlogTimer = 0; // runs while the hub holds more than a tick took
    // The session whose result the device bar waits for; results of any other (closed)
    // session are dropped.
    quint64 pendingSession = 0;
    DataSendWidget *sendWidget = nullptr;
    InterfaceChoice *interfaceChoice = nullptr;
    FdMode *fdMode = nullptr;
    HealthFields *healthFields = nullptr;
    TraceMenu *traceMenu = nullptr;
    DatabaseMenu *databaseMenu = nullptr;
    IdViewPanel *idView = nullptr;
    FrameLogFilter *frameLogFilter = nullptr;
};
