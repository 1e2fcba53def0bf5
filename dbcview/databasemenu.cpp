#include "dbcview/databasemenu.h"

#include "dbcview/composegroup.h"
#include "dbcview/framelogdecoder.h"
#include "dbcview/signalcomposer.h"
#include "dbcview/signalmonitor.h"
#include "monitor/monitorcontext.h"
#include "monitor/mytableview.h"
#include "transmit/datasendwidget.h"

#include <QAction>
#include <QDir>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>

#include <atomic>

// Shared by the GUI thread and the reader thread; database and report are the reader's
// until it ends.
struct DbcLoadJob
{
    std::atomic<bool> cancelled{false};
    std::atomic<int> filesRead{0};
    std::atomic<bool> done{false};   // database and report are complete
    // The window's database with the files added: merging a large file costs more time
    // than the window may stand still.
    DbcDatabase database;
    DbcDatabase::LoadReport report;
};

DatabaseMenu::DatabaseMenu(MonitorContext *context, QMenu *menu, QWidget *window)
    : QObject(window)
    , context(context)
    , window(window)
    , menu(menu)
{
    menu->setObjectName(QStringLiteral("menuDatabase"));
    loadAction = menu->addAction(QStringLiteral("加载DBC…"));
    loadAction->setObjectName(QStringLiteral("actionLoadDbc"));
    connect(loadAction, &QAction::triggered, this, [this] {
        const QStringList paths = QFileDialog::getOpenFileNames(
            this->window, QStringLiteral("加载DBC"), QString(),
            QStringLiteral("DBC文件 (*.dbc *.DBC);;所有文件 (*)"));
        if (!paths.isEmpty())
            loadFiles(paths);
    });
    unloadAction = menu->addAction(QStringLiteral("卸载DBC"));
    unloadAction->setObjectName(QStringLiteral("actionUnloadDbc"));
    connect(unloadAction, &QAction::triggered, this, &DatabaseMenu::unload);
    composeAction = menu->addAction(QStringLiteral("由信号组帧…"));
    composeAction->setObjectName(QStringLiteral("actionComposeFrame"));
    connect(composeAction, &QAction::triggered, this, &DatabaseMenu::showComposer);

    signalMonitor = new SignalMonitor(window);
    signalMonitor->setObjectName(QStringLiteral("signalMonitor"));
    dock = new QDockWidget(QStringLiteral("信号"), window);
    dock->setObjectName(QStringLiteral("signalDock"));
    dock->setWidget(signalMonitor);
    QAction *showSignals = dock->toggleViewAction();
    showSignals->setText(QStringLiteral("显示信号"));
    showSignals->setObjectName(QStringLiteral("actionShowSignals"));
    menu->addAction(showSignals);
    connect(context, &MonitorContext::framesArrived, this, [this](const QList<CanMessage> &f) {
        if (!f.isEmpty())
            signalMonitor->addFrames(f);
        if (dock->isVisible())
            signalMonitor->refresh();
    });
    connect(context, &MonitorContext::framesCleared, signalMonitor, &SignalMonitor::clearFrames);
    // "绘制曲线" on a signal's row hands it to whatever plots; other rows have no menu.
    signalMonitor->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(signalMonitor, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        const QString path = signalMonitor->signalPath(signalMonitor->indexAt(at));
        if (path.isEmpty())
            return;
        QMenu rowMenu;
        QAction *plot = rowMenu.addAction(QStringLiteral("绘制曲线"));
        plot->setObjectName(QStringLiteral("actionPlotSignal"));
        connect(plot, &QAction::triggered, this,
                [this, path] { this->context->plotSignal(path); });
        rowMenu.exec(signalMonitor->viewport()->mapToGlobal(at));
    });

    decoder = new FrameLogDecoder(context->frameLog(), this);
    // The same switch as the frame log's column menu entry "解析", which exists only while
    // a database is loaded.
    showDecoded = menu->addAction(QStringLiteral("显示解析列"));
    showDecoded->setObjectName(QStringLiteral("actionShowDecodedColumn"));
    showDecoded->setCheckable(true);
    showDecoded->setEnabled(false);
    connect(context->frameLogView(), &MyTableView::optionalColumnsChanged, this,
            &DatabaseMenu::linkDecodedColumn);
    menu->addSeparator();
    updateMenu();
}

DatabaseMenu::~DatabaseMenu()
{
    if (loadThread) {
        loadJob->cancelled = true;
        loadThread->wait();
    }
}

void DatabaseMenu::linkDecodedColumn()
{
    QAction *column = context->frameLogView()->columnAction(decoder->decodedColumn());
    showDecoded->setEnabled(column != nullptr);
    showDecoded->setChecked(column && column->isChecked());
    if (!column)
        return;
    connect(showDecoded, &QAction::toggled, column, &QAction::setChecked);
    connect(column, &QAction::toggled, showDecoded, &QAction::setChecked);
}

void DatabaseMenu::updateMenu()
{
    const DbcDatabase &database = context->database();
    qDeleteAll(fileActions);
    fileActions.clear();
    unloadAction->setEnabled(!database.files().isEmpty() && !loadThread);
    composeAction->setEnabled(!database.isEmpty());
    if (composer)
        composer->setDatabase(&database);
    if (panelGroup)
        panelGroup->setDatabase(&database);
    signalMonitor->setDatabase(&database);
    decoder->setDatabase(&database);
    QHash<QString, int> counts;
    for (const DbcMessage &message : database.messages())
        ++counts[message.file];
    for (const QString &path : database.files()) {
        // Listed for information only: a loaded file has nothing to do.
        QAction *entry = menu->addAction(QStringLiteral("%1（%2 个报文）")
                                             .arg(QFileInfo(path).fileName())
                                             .arg(counts.value(path)));
        entry->setEnabled(false);
        entry->setToolTip(QDir::toNativeSeparators(path));
        fileActions.append(entry);
    }
    if (fileActions.isEmpty()) {
        QAction *none = menu->addAction(QStringLiteral("（未加载DBC）"));
        none->setEnabled(false);
        fileActions.append(none);
    }
}

void DatabaseMenu::composeInto(DataSendWidget *panel)
{
    connect(this, &DatabaseMenu::frameComposed, panel, &DataSendWidget::setEditorFrame);
    panelGroup = new ComposeGroup(panel);
    panelGroup->setDatabase(&context->database());
}

void DatabaseMenu::showComposer()
{
    if (!composer) {
        composer = new SignalComposer(window);
        composer->setObjectName(QStringLiteral("signalComposer"));
        connect(composer, &SignalComposer::frameComposed, this, &DatabaseMenu::frameComposed);
        composer->setDatabase(&context->database());
    }
    composer->show();
    composer->raise();
}

void DatabaseMenu::loadFiles(const QStringList &paths)
{
    if (loadThread || paths.isEmpty())
        return;
    context->showStatus(QStringLiteral("正在加载DBC…"));
    loadAction->setEnabled(false);
    unloadAction->setEnabled(false);
    auto job = std::make_shared<DbcLoadJob>();
    loadJob = job;

    loadProgress = new QProgressDialog(QStringLiteral("正在加载DBC…"), QStringLiteral("取消"),
                                       0, 0, window);
    loadProgress->setObjectName(QStringLiteral("dbcLoadProgress"));
    loadProgress->setWindowModality(Qt::WindowModal);
    loadProgress->setAutoClose(false);
    loadProgress->setAutoReset(false);
    // A file of a few hundred kilobytes reads at once and needs no dialog.
    loadProgress->setMinimumDuration(500);
    if (paths.size() > 1)
        loadProgress->setMaximum(paths.size());
    loadProgress->setValue(0);
    connect(loadProgress, &QProgressDialog::canceled, this, [this] {
        // The reader stops before its next file; the file it reads now is read to its end
        // (the parser cannot be stopped midway) and then dropped with the rest.
        loadJob->cancelled = true;
        context->showStatus(QStringLiteral("已取消加载DBC"));
        loadProgress->hide();
    });

    // The GUI thread looks at the reader's counters rather than being sent events from it:
    // they are all it needs, and nothing queued from the reader outlives the window.
    loadThread = QThread::create([job, paths, base = context->database()] {
        QVector<DbcFile> files;
        for (int i = 0; i < paths.size() && !job->cancelled; ++i) {
            files.append(DbcReader::readFile(paths.at(i)));
            job->filesRead.store(i + 1, std::memory_order_release);
        }
        if (!job->cancelled) {
            job->database = base;
            job->report = job->database.addFiles(files);
        }
        job->done.store(true, std::memory_order_release);
    });
    loadThread->setParent(this);
    auto *poll = new QTimer(loadProgress);
    connect(poll, &QTimer::timeout, this, [this, job, poll] {
        if (job->done.load(std::memory_order_acquire)) {
            poll->stop();
            finishLoad();
            return;
        }
        if (!job->cancelled && loadProgress->maximum() > 0)
            loadProgress->setValue(job->filesRead.load(std::memory_order_acquire));
    });
    poll->start(50);
    loadThread->start();
}

void DatabaseMenu::finishLoad()
{
    loadThread->wait();
    delete loadThread;
    loadThread = nullptr;
    const std::shared_ptr<DbcLoadJob> job = std::move(loadJob);
    loadProgress->disconnect(this);
    loadProgress->hide();
    loadProgress->deleteLater();
    loadProgress = nullptr;
    DbcDatabase &database = context->databaseToChange();
    loadAction->setEnabled(true);
    unloadAction->setEnabled(!database.files().isEmpty());
    if (job->cancelled)
        return;
    const DbcDatabase::LoadReport &report = job->report;
    context->showStatus(report.summary());
    if (report.filesLoaded > 0) {
        database.replace(std::move(job->database));
        updateMenu();
        emit context->databaseChanged();
    }
}

void DatabaseMenu::unload()
{
    DbcDatabase &database = context->databaseToChange();
    if (database.files().isEmpty() || loadThread)
        return;
    database.clear();
    updateMenu();
    context->showStatus(QStringLiteral("已卸载DBC"));
    emit context->databaseChanged();
}
