#pragma once

// The 数据库 menu and what hangs on the loaded database: loading DBC files on a reader
// thread with a progress dialog, unloading them, the list of loaded files, the composer
// window, the dock "信号" with the latest decoded signals (whose "绘制曲线" asks the
// context to plot one), the transmit panel's group "由信号组帧", and the frame log's decoded
// column "解析". The database itself is the context's; this menu alone changes it. The
// window gives the menu to fill, puts signalDock() into its dock area, shows the frame log
// through decodedFrameLog() and hands its transmit panel to composeInto(). GUI thread only.

#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class ComposeGroup;
class DataSendWidget;
class FrameLogDecoder;
class MonitorContext;
class QAction;
class QDockWidget;
class QMenu;
class QProgressDialog;
class QThread;
class QWidget;
class SignalComposer;
class SignalMonitor;
struct DbcLoadJob;

class DatabaseMenu : public QObject
{
    Q_OBJECT

public:
    // Dialogs and the dock are children of `window`.
    DatabaseMenu(MonitorContext *context, QMenu *menu, QWidget *window);
    ~DatabaseMenu() override;

    QDockWidget *signalDock() const { return dock; }
    // The frame log with the decoded column after its own.
    FrameLogDecoder *decodedFrameLog() const { return decoder; }
    // Frames composed in the window "由信号组帧" and in the group this adds below the panel's
    // editor go into the panel's editor.
    void composeInto(DataSendWidget *panel);

    // Reads the DBC files on a thread of their own, then adds them, in order, to the loaded
    // database and says once what happened. Ignored while a load runs.
    void loadFiles(const QStringList &paths);
    bool isLoading() const { return loadThread != nullptr; }
    void unload();

signals:
    void frameComposed(quint32 id, bool extended, const QByteArray &data, const QString &name,
                       bool fd);

private:
    void linkDecodedColumn();
    void updateMenu();
    void finishLoad();
    void showComposer();

    MonitorContext *context;
    QWidget *window;
    QMenu *menu;
    QAction *loadAction = nullptr;
    QAction *unloadAction = nullptr;
    QAction *composeAction = nullptr;
    QAction *showDecoded = nullptr;
    QList<QAction *> fileActions;
    // The running load: its reader thread, what it shares with it, and its dialog.
    QThread *loadThread = nullptr;
    std::shared_ptr<DbcLoadJob> loadJob;
    QProgressDialog *loadProgress = nullptr;
    FrameLogDecoder *decoder = nullptr;
    SignalComposer *composer = nullptr;
    QPointer<ComposeGroup> panelGroup; // the panel's, which may go first
    SignalMonitor *signalMonitor = nullptr;
    QDockWidget *dock = nullptr;
};
