#pragma once

// The program's only top-level window: the device bar, the frame log with its row limit,
// clear and export controls, the per-identifier view in its place on demand, the transmit
// panel and the traffic counters.
// GUI thread only.

#include <QMainWindow>

class IdViewModel;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
class QAction;
class QLabel;
class QTableView;
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
    void openSuccessSlot();
    void openFailedSlot();
    void deviceClosedSlot();
    void on_btnOpen_clicked();
    void on_btnClose_clicked();
    void on_btnClear_clicked();
    void on_txtMaxRowCount_editingFinished();
    void on_btnExport_clicked();

private:
    void setDeviceControls(bool open);
    void createViewMenu();
    void showIdView(bool show);
    void exportIdStatisticsFile();

    Ui::MainWindow *ui = nullptr;
    qint64 frameIndex = 0; // an int would overflow after 28 hours of a full bus
    QLabel *lblSendCount = nullptr;
    QLabel *lblReceiveCount = nullptr;
    QLabel *lblReceiveRate = nullptr;
    QLabel *lblMessage = nullptr;
    int messageTimer = 0;
    IdViewModel *idModel = nullptr;
    QTableView *tbIdView = nullptr;
    qint64 reportedRefusedFrames = 0;
    bool idViewSized = false; // columns fitted to the rows since the view was shown
};
