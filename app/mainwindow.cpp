#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "capture/capturefiltermenu.h"
#include "dbcview/framelogdecoder.h"
#include "dbcview/signalcomposer.h"
#include "dbcview/signalmonitor.h"
#include "filter/framefiltermodel.h"
#include "filter/framelogfilter.h"
#include "device/adaptercalls.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "health/busstatus.h"
#include "idview/idbytedelegate.h"
#include "idview/idstatsexport.h"
#include "idview/idviewmodel.h"
#include "monitor/csvexport.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"
#include "tracemenu/recorder.h"
#include "tracemenu/replaydialog.h"
#include "tracemenu/traceopen.h"
#include "tracemenu/tracesave.h"
#include "tracemenu/triggeredrecordingmenu.h"
#include "transmit/datasendwidget.h"
#include "transmit/sendthread.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>
#include <QTreeView>

#include <atomic>
#include <iterator>

namespace {

// A slice costs a few milliseconds; the budget leaves room for the repaint that follows.
constexpr int tickSliceFrames = 16384;
constexpr qint64 tickBudgetMs = 40;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    frameIndex = 0;
    ui->setupUi(this);

    ui->cbxDevType->addItem(QStringLiteral("CANable_candlelight"));
    const int bitrates[] = { 10, 20, 50, 100, 500, 1000 };
    for (int kbps : bitrates)
        ui->cbxBaudrate->addItem(QStringLiteral("%1k").arg(kbps), kbps);
    ui->cbxBaudrate->setCurrentIndex(5);

    cbxInterface = new QComboBox(ui->widget_77);
    cbxInterface->setObjectName(QStringLiteral("cbxInterface"));
    cbxInterface->setFont(ui->cbxBaudrate->font());
    cbxInterface->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    ui->horizontalLayout->insertWidget(ui->horizontalLayout->indexOf(ui->cbxDevType) + 1,
                                       cbxInterface);
    refreshInterfaces();

    ListenThread *listenThread = ListenThread::instance();
    connect(listenThread, &ListenThread::openSuccess, this, &MainWindow::openSuccessSlot);
    connect(listenThread, &ListenThread::openFailed, this, &MainWindow::openFailedSlot);
    connect(listenThread, &ListenThread::deviceClosed, this, &MainWindow::deviceClosedSlot);

    setDeviceState(DeviceState::Closed);

    receiveModel = new FrameLogModel(this);
    // The table shows the frame log with its optional decoded column; the export and
    // everything else read the frame log itself.
    frameLogDecoder = new FrameLogDecoder(receiveModel, this);
    frameLogFilter = new FrameLogFilter(receiveModel, frameLogDecoder, ui->tbReceive,
                                        &dbcDatabase, this);
    connect(frameLogFilter, &FrameLogFilter::statusMessage, this, &MainWindow::showStatusMessage);
    ui->tbReceive->setModel(frameLogFilter->model());
    ui->tbReceive->horizontalHeader()->show();
    ui->tbReceive->verticalHeader()->hide();
    // Once full, the table moves its rows up in place; the selected frame goes with them.
    connect(frameLogFilter->model(), &FrameFilterModel::rowsShifted, this, [this](int count) {
        QItemSelectionModel *selection = ui->tbReceive->selectionModel();
        const QModelIndex current = selection->currentIndex();
        if (!current.isValid())
            return;
        if (current.row() < count) {
            selection->clear();
            return;
        }
        const bool selected = selection->isRowSelected(current.row(), QModelIndex());
        selection->setCurrentIndex(current.sibling(current.row() - count, current.column()),
                                   selected ? QItemSelectionModel::ClearAndSelect
                                                      | QItemSelectionModel::Rows
                                            : QItemSelectionModel::NoUpdate);
    });

    lblSendCount = new QLabel(this);
    lblReceiveCount = new QLabel(this);
    lblReceiveRate = new QLabel(this);
    ui->statusbar->addWidget(lblSendCount);
    ui->statusbar->addWidget(lblReceiveCount);
    ui->statusbar->addWidget(lblReceiveRate);
    setupHealthFields();
    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    ui->statusbar->addPermanentWidget(lblMessage);

    chkAutoScroll = new QCheckBox(QStringLiteral("自动滚动"), ui->layoutWidget1);
    chkAutoScroll->setObjectName(QStringLiteral("chkAutoScroll"));
    chkAutoScroll->setChecked(true);
    ui->horizontalLayout_2->addWidget(chkAutoScroll);
    ui->horizontalLayout_2->addWidget(frameLogFilter->field());
    frameLogFilter->setAutoScroll(chkAutoScroll);
    ui->layoutWidget1->resize(ui->layoutWidget1->sizeHint());
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->widget_55),
                                     frameLogFilter->bars());

    sendWidget = new DataSendWidget(this);
    connect(sendWidget, &DataSendWidget::statusMessage, this, &MainWindow::showStatusMessage);
    ui->sendLayout->addWidget(sendWidget);

    // Trace files, recording and replay hang their actions in this menu; it leads the bar.
    fileMenu = menuBar()->addMenu(QStringLiteral("文件"));
    fileMenu->setObjectName(QStringLiteral("menuFile"));
    setupTraceActions();
    createRecordingActions();
    auto triggeredRecording = new TriggeredRecordingMenu(fileMenu, ui->statusbar, this,
                                                         &dbcDatabase, startRecordingAction,
                                                         stopRecordingAction);
    connect(triggeredRecording, &TriggeredRecordingMenu::statusMessage, this,
            &MainWindow::showStatusMessage);
    setupReplayActions();
    createViewMenu();
    setupDeviceMenu();
    setupDatabaseMenu();

    on_btnClear_clicked();
    // The counters stay empty until the first tick, as they always have; the health fields
    // show their state (or that the library cannot tell it) at once.
    updateHealthFields(false);

    ui->splitter->setStretchFactor(0, 18);
    ui->splitter->setStretchFactor(1, 13);
    // The transmit panel's layouts ask for far more width than the frame log's table, and
    // the splitter would start from those hints; the same 18 : 13 split from the start
    // keeps the frame log the wider pane.
    ui->splitter->setSizes({ 18 * 100, 13 * 100 });

    startTimer(200, Qt::CoarseTimer);
}

void MainWindow::setupDatabaseMenu()
{
    databaseMenu = menuBar()->addMenu(QStringLiteral("数据库"));
    databaseMenu->setObjectName(QStringLiteral("menuDatabase"));
    loadDbcAction = databaseMenu->addAction(QStringLiteral("加载DBC…"));
    loadDbcAction->setObjectName(QStringLiteral("actionLoadDbc"));
    connect(loadDbcAction, &QAction::triggered, this, [this] {
        const QStringList paths = QFileDialog::getOpenFileNames(
            this, QStringLiteral("加载DBC"), QString(),
            QStringLiteral("DBC文件 (*.dbc *.DBC);;所有文件 (*)"));
        if (!paths.isEmpty())
            loadDbcFiles(paths);
    });
    unloadDbcAction = databaseMenu->addAction(QStringLiteral("卸载DBC"));
    unloadDbcAction->setObjectName(QStringLiteral("actionUnloadDbc"));
    connect(unloadDbcAction, &QAction::triggered, this, &MainWindow::unloadDbc);
    composeAction = databaseMenu->addAction(QStringLiteral("由信号组帧…"));
    composeAction->setObjectName(QStringLiteral("actionComposeFrame"));
    connect(composeAction, &QAction::triggered, this, &MainWindow::showComposer);

    signalMonitor = new SignalMonitor(this);
    signalMonitor->setObjectName(QStringLiteral("signalMonitor"));
    signalMonitor->setDatabase(&dbcDatabase);
    signalDock = new QDockWidget(QStringLiteral("信号"), this);
    signalDock->setObjectName(QStringLiteral("signalDock"));
    signalDock->setWidget(signalMonitor);
    addDockWidget(Qt::BottomDockWidgetArea, signalDock);
    signalDock->hide();
    QAction *showSignals = signalDock->toggleViewAction();
    showSignals->setText(QStringLiteral("显示信号"));
    showSignals->setObjectName(QStringLiteral("actionShowSignals"));
    databaseMenu->addAction(showSignals);
    // The same switch as the frame log's column menu entry "解析", which exists only while
    // a database is loaded.
    QAction *showDecoded = databaseMenu->addAction(QStringLiteral("显示解析列"));
    showDecoded->setObjectName(QStringLiteral("actionShowDecodedColumn"));
    showDecoded->setCheckable(true);
    showDecoded->setEnabled(false);
    const auto linkDecodedColumn = [this, showDecoded] {
        QAction *decodedColumn = ui->tbReceive->columnAction(frameLogDecoder->decodedColumn());
        showDecoded->setEnabled(decodedColumn != nullptr);
        showDecoded->setChecked(decodedColumn && decodedColumn->isChecked());
        if (!decodedColumn)
            return;
        connect(showDecoded, &QAction::toggled, decodedColumn, &QAction::setChecked);
        connect(decodedColumn, &QAction::toggled, showDecoded, &QAction::setChecked);
    };
    connect(ui->tbReceive, &MyTableView::optionalColumnsChanged, this, linkDecodedColumn);
    linkDecodedColumn();
    databaseMenu->addSeparator();
    updateDatabaseMenu();
}

void MainWindow::updateDatabaseMenu()
{
    qDeleteAll(dbcFileActions);
    dbcFileActions.clear();
    unloadDbcAction->setEnabled(!dbcDatabase.files().isEmpty() && !dbcLoadThread);
    composeAction->setEnabled(!dbcDatabase.isEmpty());
    if (composer)
        composer->setDatabase(&dbcDatabase);
    signalMonitor->setDatabase(&dbcDatabase);
    sendWidget->setDatabase(&dbcDatabase);
    frameLogDecoder->setDatabase(&dbcDatabase);
    QHash<QString, int> counts;
    for (const DbcMessage &message : dbcDatabase.messages())
        ++counts[message.file];
    for (const QString &path : dbcDatabase.files()) {
        // Listed for information only: a loaded file has nothing to do.
        QAction *entry = databaseMenu->addAction(QStringLiteral("%1（%2 个报文）")
                                                     .arg(QFileInfo(path).fileName())
                                                     .arg(counts.value(path)));
        entry->setEnabled(false);
        entry->setToolTip(QDir::toNativeSeparators(path));
        dbcFileActions.append(entry);
    }
    if (dbcFileActions.isEmpty()) {
        QAction *none = databaseMenu->addAction(QStringLiteral("（未加载DBC）"));
        none->setEnabled(false);
        dbcFileActions.append(none);
    }
}

void MainWindow::showComposer()
{
    if (!composer) {
        composer = new SignalComposer(this);
        composer->setObjectName(QStringLiteral("signalComposer"));
        connect(composer, &SignalComposer::frameComposed, sendWidget,
                &DataSendWidget::setEditorFrame);
        composer->setDatabase(&dbcDatabase);
    }
    composer->show();
    composer->raise();
}

// Shared by the GUI thread and the reader thread; files is the reader's until it ends.
struct DbcLoadJob
{
    std::atomic<bool> cancelled{false};
    std::atomic<int> filesRead{0};
    std::atomic<bool> done{false};   // files is complete
    QVector<DbcFile> files;
};

void MainWindow::loadDbcFiles(const QStringList &paths)
{
    if (dbcLoadThread || paths.isEmpty())
        return;
    showStatusMessage(QStringLiteral("正在加载DBC…"));
    loadDbcAction->setEnabled(false);
    unloadDbcAction->setEnabled(false);
    auto job = std::make_shared<DbcLoadJob>();
    dbcLoadJob = job;

    dbcLoadProgress = new QProgressDialog(QStringLiteral("正在加载DBC…"),
                                          QStringLiteral("取消"), 0, 0, this);
    dbcLoadProgress->setObjectName(QStringLiteral("dbcLoadProgress"));
    dbcLoadProgress->setWindowModality(Qt::WindowModal);
    dbcLoadProgress->setAutoClose(false);
    dbcLoadProgress->setAutoReset(false);
    // A file of a few hundred kilobytes reads at once and needs no dialog.
    dbcLoadProgress->setMinimumDuration(500);
    if (paths.size() > 1)
        dbcLoadProgress->setMaximum(paths.size());
    dbcLoadProgress->setValue(0);
    connect(dbcLoadProgress, &QProgressDialog::canceled, this, [this] {
        // The reader stops before its next file; the file it reads now is read to its end
        // (the parser cannot be stopped midway) and then dropped with the rest.
        dbcLoadJob->cancelled = true;
        showStatusMessage(QStringLiteral("已取消加载DBC"));
        dbcLoadProgress->hide();
    });

    // The GUI thread looks at the reader's counters rather than being sent events from it:
    // they are all it needs, and nothing queued from the reader outlives the window.
    dbcLoadThread = QThread::create([job, paths] {
        for (int i = 0; i < paths.size() && !job->cancelled; ++i) {
            job->files.append(DbcReader::readFile(paths.at(i)));
            job->filesRead.store(i + 1, std::memory_order_release);
        }
        job->done.store(true, std::memory_order_release);
    });
    dbcLoadThread->setParent(this);
    auto *poll = new QTimer(dbcLoadProgress);
    connect(poll, &QTimer::timeout, this, [this, job, poll] {
        if (job->done.load(std::memory_order_acquire)) {
            poll->stop();
            finishDbcLoad();
            return;
        }
        if (!job->cancelled && dbcLoadProgress->maximum() > 0)
            dbcLoadProgress->setValue(job->filesRead.load(std::memory_order_acquire));
    });
    poll->start(50);
    dbcLoadThread->start();
}

void MainWindow::finishDbcLoad()
{
    dbcLoadThread->wait();
    delete dbcLoadThread;
    dbcLoadThread = nullptr;
    const std::shared_ptr<DbcLoadJob> job = std::move(dbcLoadJob);
    dbcLoadProgress->disconnect(this);
    dbcLoadProgress->hide();
    dbcLoadProgress->deleteLater();
    dbcLoadProgress = nullptr;
    loadDbcAction->setEnabled(true);
    unloadDbcAction->setEnabled(!dbcDatabase.files().isEmpty());
    if (job->cancelled)
        return;
    const DbcDatabase::LoadReport report = dbcDatabase.addFiles(job->files);
    showStatusMessage(report.summary());
    if (report.filesLoaded > 0) {
        updateDatabaseMenu();
        emit databaseChanged();
    }
}

void MainWindow::unloadDbc()
{
    if (dbcDatabase.files().isEmpty() || dbcLoadThread)
        return;
    dbcDatabase.clear();
    updateDatabaseMenu();
    showStatusMessage(QStringLiteral("已卸载DBC"));
    emit databaseChanged();
}

void MainWindow::showStatusMessage(const QString &text)
{
    lblMessage->setText(text);
    if (messageTimer)
        killTimer(messageTimer);
    messageTimer = startTimer(10000, Qt::CoarseTimer);
}

MainWindow::~MainWindow()
{
    if (dbcLoadThread) {
        dbcLoadJob->cancelled = true;
        dbcLoadThread->wait();
    }
    SendThread::instance()->stopReplay();
    // The file is completed with every frame up to the window's end.
    recorder->stop();
    // Closing first lets deviceClosed() still reach this window while its form exists.
    ListenThread::instance()->closeDevice();
    delete ui;
}

void MainWindow::setupReplayActions()
{
    QAction *replay = fileMenu->addAction(QStringLiteral("回放记录…"));
    replay->setObjectName(QStringLiteral("actionReplayTrace"));
    replay->setToolTip(QStringLiteral("把记录文件中的帧按原来的时间间隔发送到打开的设备"));
    connect(replay, &QAction::triggered, this, &MainWindow::chooseReplay);
    stopReplayAction = fileMenu->addAction(QStringLiteral("停止回放"));
    stopReplayAction->setObjectName(QStringLiteral("actionStopReplay"));
    stopReplayAction->setEnabled(false);
    connect(stopReplayAction, &QAction::triggered, SendThread::instance(),
            &SendThread::stopReplay);

    SendThread *thread = SendThread::instance();
    connect(thread, &SendThread::replayProgress, this, [this](const ReplayProgress &progress) {
        showStatusMessage(ReplayDialog::statusText(progress, false));
    });
    // A finish may arrive after the next replay has started, which keeps the action.
    connect(thread, &SendThread::replayFinished, this, [this](const ReplayProgress &progress) {
        stopReplayAction->setEnabled(SendThread::instance()->isReplaying());
        showStatusMessage(ReplayDialog::statusText(progress, true));
    });
}

void MainWindow::chooseReplay()
{
    // Refused before the dialogs, so that nobody picks a file for nothing.
    if (deviceState != DeviceState::Open) {
        showStatusMessage(QStringLiteral("设备未打开，不能回放记录"));
        return;
    }
    if (SendThread::instance()->isRunning()) {
        showStatusMessage(SendThread::instance()->isReplaying()
                                  ? QStringLiteral("正在回放记录，请先停止回放")
                                  : QStringLiteral("正在发送，请先停止发送再回放记录"));
        return;
    }
    const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("回放记录"), QFileInfo(lastReplayOptions.path).path(),
            QStringLiteral("记录文件 (*.log *.asc *.pcap *.pcapng *.blf *.csv);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    ReplayOptions options = lastReplayOptions;
    options.path = path;
    ReplayDialog dialog(options, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    lastReplayOptions = dialog.options();
    replayTrace(lastReplayOptions);
}

bool MainWindow::replayTrace(const ReplayOptions &options)
{
    // The device may have closed while the dialogs were open.
    if (deviceState != DeviceState::Open) {
        showStatusMessage(QStringLiteral("设备未打开，不能回放记录"));
        return false;
    }
    QString error;
    if (!SendThread::instance()->startReplay(options, &error)) {
        showStatusMessage(QStringLiteral("不能回放记录：%1").arg(error));
        return false;
    }
    stopReplayAction->setEnabled(true);
    showStatusMessage(QStringLiteral("回放中：%1").arg(QFileInfo(options.path).fileName()));
    return true;
}

void MainWindow::setupDeviceMenu()
{
    QMenu *menu = menuBar()->addMenu(QStringLiteral("设备"));
    menu->setObjectName(QStringLiteral("menuDevice"));
    actListenOnly = menu->addAction(QStringLiteral("只听模式"));
    actListenOnly->setObjectName(QStringLiteral("actListenOnly"));
    actListenOnly->setCheckable(true);
    actListenOnly->setToolTip(QStringLiteral("下次打开设备时生效：只接收，不应答也不发送"));
    if (!adapterCalls().setListenOnly) {
        actListenOnly->setEnabled(false);
        actListenOnly->setToolTip(QStringLiteral("适配器库不支持只听模式"));
    }
    connect(actListenOnly, &QAction::toggled, this, [this](bool on) {
        if (deviceState != DeviceState::Closed) {
            showStatusMessage(on ? QStringLiteral("只听模式将在下次打开设备时生效")
                                 : QStringLiteral("正常模式将在下次打开设备时生效"));
        }
    });
    auto captureFilter = new CaptureFilterMenu(menu, ui->statusbar, this);
    connect(captureFilter, &CaptureFilterMenu::statusMessage, this,
            &MainWindow::showStatusMessage);
}

void MainWindow::setupHealthFields()
{
    const auto field = [this](QLabel *&label, const char *name, const QString &tip) {
        label = new QLabel(this);
        label->setObjectName(QLatin1String(name));
        label->setToolTip(tip);
        ui->statusbar->addWidget(label);
    };
    field(lblErrorCount, "lblErrorCount", QStringLiteral("控制器报告的错误帧数"));
    field(lblBusState, "lblBusState", QStringLiteral("控制器的错误状态"));
    field(lblErrorCounters, "lblErrorCounters", QStringLiteral("发送错误计数 / 接收错误计数"));
    field(lblDrops, "lblDrops", QStringLiteral("内核与适配器丢弃的帧数"));
    field(lblBusLoad, "lblBusLoad", QStringLiteral("最近一秒收发帧占用的总线时间（含填充位）"));
}

void MainWindow::refreshInterfaces()
{
    const QVariant previous = cbxInterface->currentData();
    cbxInterface->clear();
    cbxInterface->setToolTip(QString());

    // The library opens what the environment names whatever the window chooses, so the
    // combo box says so instead of offering a choice that would not be honoured.
    const QByteArray environment = qgetenv("CANABLE_INTERFACE");
    interfaceFromEnvironment = !environment.isEmpty();
    if (interfaceFromEnvironment) {
        const QString name = environment == "sim" ? QStringLiteral("模拟总线")
                                                  : QString::fromLocal8Bit(environment);
        cbxInterface->addItem(QStringLiteral("%1 (CANABLE_INTERFACE)").arg(name));
        cbxInterface->setToolTip(
            QStringLiteral("接口由环境变量 CANABLE_INTERFACE 指定；清除该变量后可在此选择"));
        setDeviceState(deviceState);
        return;
    }

    const AdapterCalls &calls = adapterCalls();
    if (!calls.selectInterface) {
        cbxInterface->addItem(QStringLiteral("默认接口"));
        cbxInterface->setToolTip(QStringLiteral("适配器库不支持选择接口"));
        setDeviceState(deviceState);
        return;
    }

    bool listed = false;
    if (calls.listInterfaces) {
        CanInterfaceInfo list[64];
        const int count = calls.listInterfaces(list, int(std::size(list)));
        listed = count >= 0;
        for (int i = 0; i < qMin(count, int(std::size(list))); ++i) {
            const CanInterfaceInfo &info = list[i];
            const QByteArray name(info.name, int(qstrnlen(info.name, sizeof info.name)));
            QStringList facts;
            facts << (info.up ? QStringLiteral("已启动") : QStringLiteral("未启动"));
            if (info.virtualBus)
                facts << QStringLiteral("虚拟");
            else if (info.bitrate > 0 && info.bitrate % 1000 == 0)
                facts << QStringLiteral("%1k").arg(info.bitrate / 1000);
            else if (info.bitrate > 0)
                facts << QStringLiteral("%1 bit/s").arg(info.bitrate);
            const QString text = QStringLiteral("%1 (%2)").arg(
                QString::fromLocal8Bit(name), facts.join(QStringLiteral(", ")));
            cbxInterface->addItem(text, name);
        }
    }
    if (!listed)
        cbxInterface->addItem(QStringLiteral("默认接口"), QByteArray());
    cbxInterface->addItem(QStringLiteral("模拟总线"), QByteArray("sim"));

    const int kept = previous.isValid() ? cbxInterface->findData(previous) : -1;
    cbxInterface->setCurrentIndex(kept >= 0 ? kept : 0);
    setDeviceState(deviceState);
}

void MainWindow::setDeviceState(DeviceState state)
{
    deviceState = state;
    const bool closed = state == DeviceState::Closed;
    ui->cbxDevType->setEnabled(closed);
    ui->btnOpen->setEnabled(closed);
    ui->btnClose->setEnabled(state == DeviceState::Open);
    ui->cbxBaudrate->setEnabled(closed);
    if (cbxInterface)
        cbxInterface->setEnabled(closed && !interfaceFromEnvironment);
}

void MainWindow::openSuccessSlot(quint64 session)
{
    if (deviceState != DeviceState::Opening || session != pendingSession)
        return;
    setDeviceState(DeviceState::Open);
    lblMessage->clear();
}

void MainWindow::openFailedSlot(quint64 session, const QString &reason)
{
    if (deviceState != DeviceState::Opening || session != pendingSession)
        return;
    pendingSession = 0;
    setDeviceState(DeviceState::Closed);
    showStatusMessage(reason.isEmpty() ? QStringLiteral("设备打开失败")
                                       : QStringLiteral("设备打开失败：%1").arg(reason));
    QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("设备打开失败!"),
                             QMessageBox::Yes);
}

void MainWindow::deviceClosedSlot()
{
    // A replay must not go on writing into a device that is gone.
    SendThread::instance()->stopReplay();
    pendingSession = 0;
    setDeviceState(DeviceState::Closed);
    refreshInterfaces();
}

void MainWindow::on_btnOpen_clicked()
{
    // A second open would wait for the first inside the window's thread.
    if (deviceState != DeviceState::Closed)
        return;
    // Live frames would land among the rows of the trace being read.
    if (traceOpen) {
        showStatusMessage(QStringLiteral("正在打开记录，请等待完成或取消后再打开设备"));
        return;
    }
    ListenThread::OpenOptions options;
    options.bitrate = ui->cbxBaudrate->currentData().toUInt();
    const QVariant choice = cbxInterface->currentData();
    options.chooseInterface = !interfaceFromEnvironment && choice.isValid();
    options.interfaceName = choice.toByteArray();
    options.listenOnly = actListenOnly->isChecked();
    // Opening closes the previous session first, which resets the device bar; the new
    // session's state is set after that.
    const quint64 session = ListenThread::instance()->openDevice(options);
    pendingSession = session;
    setDeviceState(DeviceState::Opening);
    showStatusMessage(QStringLiteral("正在打开…"));
}

void MainWindow::on_btnClose_clicked()
{
    SendThread::instance()->stopReplay();
    ListenThread::instance()->closeDevice();
}

void MainWindow::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == messageTimer) {
        killTimer(messageTimer);
        messageTimer = 0;
        lblMessage->clear();
        return;
    }

    if (event->timerId() == backlogTimer) {
        killTimer(backlogTimer);
        backlogTimer = 0;
    }

    // A backlog is taken in slices within a time budget, and the rest at once after the
    // events that waited meanwhile, so the window never stalls behind it.
    HandleThread *hub = HandleThread::instance();
    QScrollBar *scrollBar = ui->tbReceive->verticalScrollBar();
    const int top = scrollBar->value();
    const int limit = rowLimit(ui->txtMaxRowCount->text());
    const qint64 droppedBefore = frameLogFilter->model()->rowsDroppedAtTop();
    QElapsedTimer spent;
    spent.start();
    int taken = 0;
    bool more = false;
    do {
        const QList<CanMessage> messages = hub->takeMessages(tickSliceFrames, &more);
        if (!messages.isEmpty()) {
            if (taken == 0)
                ui->tbReceive->setUpdatesEnabled(false);
            receiveModel->appendMessages(messages, frameIndex, limit);
            frameIndex += messages.size();
            taken += messages.size();
            signalMonitor->addFrames(messages);
        }
        // Every tick, with or without frames: rows fade and fall silent as time passes.
        idModel->update(messages);
    } while (more && spent.elapsed() < tickBudgetMs);
    if (more && !backlogTimer)
        backlogTimer = startTimer(0);
    if (taken > 0) {
        if (chkAutoScroll->isChecked())
            ui->tbReceive->scrollToBottom();
        else
            scrollBar->setValue(top - int(frameLogFilter->model()->rowsDroppedAtTop()
                                          - droppedBefore));
        ui->tbReceive->setUpdatesEnabled(true);
    }
    if (signalDock->isVisible())
        signalMonitor->refresh();
    if (!idViewSized && tbIdView->isVisible() && idModel->rowCount() > 0) {
        // Sizes follow the rows in sight only, so this costs little even at 100,000 rows.
        for (int column = 0; column < IdViewModel::ColumnCount; ++column)
            tbIdView->resizeColumnToContents(column);
        // The data cell's hint falls short of the styled text by a few characters.
        const int data = IdViewModel::DataColumn;
        tbIdView->setColumnWidth(data, tbIdView->columnWidth(data)
                                           + tbIdView->fontMetrics().horizontalAdvance("ff ff"));
        idViewSized = true;
    }
    const qint64 refused = idModel->statistics().refusedFrames();
    if (refused > reportedRefusedFrames) {
        reportedRefusedFrames = refused;
        showStatusMessage(QStringLiteral("按ID显示已满%1行,新ID的%2帧未列入")
                              .arg(idModel->statistics().maxRows())
                              .arg(refused));
    }

    updateHealthFields(true);
}

void MainWindow::updateHealthFields(bool counters)
{
    const HandleThread::Snapshot now = HandleThread::instance()->snapshot();
    if (counters) {
        lblSendCount->setText(QStringLiteral("发送次数:%1次").arg(now.sendCount));
        lblReceiveCount->setText(QStringLiteral("接收次数:%1次").arg(now.receiveCount));
        lblReceiveRate->setText(QStringLiteral("接收速度:%1次/s").arg(now.receiveRate));
    }

    const AdapterCalls &calls = adapterCalls();
    lblErrorCount->setText(calls.readErrorEvent
                               ? QStringLiteral("错误帧:%1").arg(now.errorCount)
                               : QStringLiteral("错误帧:--"));
    lblBusState->setText(busStateText(now.status));
    const QString colour = busStateColour(now.status);
    lblBusState->setStyleSheet(colour.isEmpty()
                                   ? QString()
                                   : QStringLiteral("color: %1; font-weight: bold;").arg(colour));
    lblErrorCounters->setText(errorCountersText(now.status));
    lblDrops->setText(droppedFramesText(now.status));
    lblBusLoad->setText(now.busLoadPercent < 0
                            ? QStringLiteral("总线负载:--")
                            : QStringLiteral("总线负载:%1%").arg(now.busLoadPercent, 0, 'f', 1));
}

void MainWindow::on_btnClear_clicked()
{
    HandleThread::instance()->clearCount();
    receiveModel->clear();
    frameIndex = 0;
    signalMonitor->clearFrames();
    idModel->clear();
    reportedRefusedFrames = 0;
}

void MainWindow::on_txtMaxRowCount_editingFinished()
{
    QScrollBar *scrollBar = ui->tbReceive->verticalScrollBar();
    const int top = scrollBar->value();
    const qint64 droppedBefore = frameLogFilter->model()->rowsDroppedAtTop();
    receiveModel->applyRowLimit(rowLimit(ui->txtMaxRowCount->text()));
    const int removed = int(frameLogFilter->model()->rowsDroppedAtTop() - droppedBefore);
    if (removed > 0 && !chkAutoScroll->isChecked())
        scrollBar->setValue(top - removed);
}

void MainWindow::on_btnExport_clicked()
{
    const QString path = QFileDialog::getSaveFileName(
        nullptr, tr("保存表格"), QDir::currentPath() + QStringLiteral("/DebugConfig"),
        tr("csv File(*.csv)"));
    if (path.isEmpty())
        return;

    // The rows are copied as they are now, so the table goes on filling and trimming
    // while they are written.
    // With a filter in force, the rows the table shows.
    int ofRows = -1;
    FrameLogSnapshot shown = frameLogFilter->shownRows(&ofRows);
    const int rows = shown.rowCount();
    auto job = new FrameLogExport(std::move(shown), rows, path, this);
    QProgressDialog *progress = workProgress(QStringLiteral("正在导出…"), tr("保存表格"),
                                             QStringLiteral("exportProgress"), rows);
    connect(progress, &QProgressDialog::canceled, job, &FrameLogExport::cancel);
    connect(job, &FrameLogExport::progress, progress, &QProgressDialog::setValue);
    connect(job, &FrameLogExport::finished, this,
            [this, job, progress, ofRows](FrameLogExport::Outcome outcome) {
        if (outcome == FrameLogExport::Failed)
            showStatusMessage(QStringLiteral("导出失败: 无法写入 %1").arg(job->path()));
        else if (outcome == FrameLogExport::Cancelled)
            showStatusMessage(QStringLiteral("导出已取消"));
        else
            showStatusMessage(QStringLiteral("已导出 %1 行到 %2")
                                  .arg(FrameLogFilter::countText(job->rows(), ofRows),
                                       job->path()));
        progress->deleteLater();
        job->deleteLater();
        ui->btnExport->setEnabled(true);
    });
    ui->btnExport->setEnabled(false);
    job->start();
}

void MainWindow::createViewMenu()
{
    // The per-identifier table shares the frame log's place and controls; the frame log
    // stays where the form put it and only hides while the other table is shown.
    idModel = new IdViewModel(this);
    idModel->setDatabase(&dbcDatabase);
    connect(this, &MainWindow::databaseChanged, this, [this] {
        idModel->setDatabase(&dbcDatabase);
        // Names and signals widen the columns they fill.
        idViewSized = false;
    });
    // A tree, so that a row of a known message opens onto its signals.
    tbIdView = new QTreeView(ui->tbReceive->parentWidget());
    tbIdView->setObjectName(QStringLiteral("tbIdView"));
    tbIdView->setModel(idModel);
    tbIdView->setItemDelegateForColumn(IdViewModel::DataColumn, new IdByteDelegate(tbIdView));
    tbIdView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tbIdView->setSelectionMode(QAbstractItemView::SingleSelection);
    tbIdView->setSelectionBehavior(QAbstractItemView::SelectRows);
    // The frame log's sheet without its colour for every item, which would win over the
    // grey of silent rows.
    tbIdView->setStyleSheet(QStringLiteral(
        "QTreeView::item:pressed, QTreeView::item:selected {"
        " background: rgb(0, 0, 255); color: rgb(255, 255, 255); }"));
    // One height for all rows spares the tree measuring each of 100,000 of them.
    tbIdView->setUniformRowHeights(true);
    tbIdView->setAllColumnsShowFocus(true);
    tbIdView->header()->setSortIndicator(IdViewModel::IdColumn, Qt::AscendingOrder);
    tbIdView->header()->setStretchLastSection(false);
    tbIdView->setSortingEnabled(true);
    // Wide enough for the header and a typical cell; measuring the rows themselves would
    // cost the whole table at every change.
    const QString samples[IdViewModel::ColumnCount] = {
        QStringLiteral("0x18ffffff"), QStringLiteral("接收"), QStringLiteral("数据帧"),
        QStringLiteral("标准帧"),     QStringLiteral("0x08"),
        QStringLiteral("ff ff ff ff ff ff ff ff"), QStringLiteral("9999999"),
        QStringLiteral("1000.000"), QStringLiteral("1000.000"), QStringLiteral("1000.000"),
        QStringLiteral("1000.000"), QStringLiteral("1000.000"), QStringLiteral("10000"),
        QStringLiteral("EngineTemperature"), QStringLiteral("16383.75 rpm"),
        QStringLiteral("Running"), QStringLiteral("65535"), QStringLiteral("超限 [0, 100]"),
    };
    // The application's style sheet sets the fonts when the widgets are polished.
    tbIdView->ensurePolished();
    tbIdView->header()->ensurePolished();
    const QFontMetrics cellFont(tbIdView->font());
    const QFontMetrics headerFont(tbIdView->header()->font());
    for (int column = 0; column < IdViewModel::ColumnCount; ++column) {
        const QString header = idModel->headerData(column, Qt::Horizontal).toString();
        tbIdView->setColumnWidth(column, 18 + qMax(headerFont.horizontalAdvance(header),
                                                   cellFont.horizontalAdvance(samples[column])));
    }
    // Signal names sit indented under the identifiers and may be longer; the columns only
    // grow, so that opening rows one after the other does not make them jump.
    connect(tbIdView, &QTreeView::expanded, this, [this] {
        for (int column : { int(IdViewModel::IdColumn), int(IdViewModel::ValueColumn),
                            int(IdViewModel::DescriptionColumn), int(IdViewModel::RawColumn),
                            int(IdViewModel::RangeColumn) }) {
            const int width = tbIdView->columnWidth(column);
            tbIdView->resizeColumnToContents(column);
            tbIdView->setColumnWidth(column, qMax(width, tbIdView->columnWidth(column)));
        }
    });
    tbIdView->hide();
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->tbReceive) + 1, tbIdView);

    QMenu *menu = menuBar()->addMenu(QStringLiteral("视图"));
    QAction *byId = menu->addAction(QStringLiteral("按ID显示"));
    byId->setObjectName(QStringLiteral("actionIdView"));
    byId->setCheckable(true);
    connect(byId, &QAction::toggled, this, &MainWindow::showIdView);
    QAction *exportAction = menu->addAction(QStringLiteral("导出统计…"));
    exportAction->setObjectName(QStringLiteral("actionExportIdStatistics"));
    connect(exportAction, &QAction::triggered, this, &MainWindow::exportIdStatisticsFile);
    menu->addSeparator();
    frameLogFilter->addActions(menu);
    frameLogFilter->setIdView(tbIdView, idModel);
}

void MainWindow::showIdView(bool show)
{
    ui->tbReceive->setVisible(!show);
    tbIdView->setVisible(show);
    idViewSized = false;
}

void MainWindow::exportIdStatisticsFile()
{
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("导出统计"), QDir::currentPath() + QStringLiteral("/IdStatistics"),
        QStringLiteral("csv File(*.csv)"));
    if (path.isEmpty())
        return;
    QString error;
    if (exportIdStatistics(*idModel, path, &error))
        showStatusMessage(QStringLiteral("已导出%1行统计到%2").arg(idModel->rowCount()).arg(path));
    else
        showStatusMessage(QStringLiteral("导出统计失败:%1:%2").arg(path, error));
}

namespace {

struct RecordingType
{
    const char *filter;
    trace::Format format;
};

const RecordingType recordingTypes[] = {
    { "candump日志 (*.log)", trace::Format::CandumpLog },
    { "Vector ASC (*.asc)", trace::Format::Asc },
    { "pcap (*.pcap)", trace::Format::Pcap },
    { "Vector BLF (*.blf)", trace::Format::Blf },
};

} // namespace

void MainWindow::createRecordingActions()
{
    recorder = new Recorder(this);
    // Queued even though the writer thread emits it: a recording the user stopped and
    // started again in the meantime must not be stopped by the old one's failure.
    connect(recorder, &Recorder::failed, this, [this] {
        if (recorder->isRecording() && !recorder->errorString().isEmpty())
            finishRecording();
    }, Qt::QueuedConnection);

    startRecordingAction = fileMenu->addAction(QStringLiteral("开始录制…"));
    startRecordingAction->setObjectName(QStringLiteral("actionStartRecording"));
    connect(startRecordingAction, &QAction::triggered, this, &MainWindow::startRecording);
    stopRecordingAction = fileMenu->addAction(QStringLiteral("停止录制"));
    stopRecordingAction->setObjectName(QStringLiteral("actionStopRecording"));
    stopRecordingAction->setEnabled(false);
    connect(stopRecordingAction, &QAction::triggered, this, &MainWindow::finishRecording);

    lblRecording = new QLabel(this);
    lblRecording->setObjectName(QStringLiteral("lblRecording"));
    ui->statusbar->addWidget(lblRecording);
    lblRecording->hide();
    recordingTimer = new QTimer(this);
    recordingTimer->setInterval(1000);
    connect(recordingTimer, &QTimer::timeout, this, &MainWindow::updateRecordingField);
}

void MainWindow::startRecording()
{
    QStringList filters;
    for (const RecordingType &type : recordingTypes)
        filters << QString::fromUtf8(type.filter);
    QString selected = filters.first();
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("开始录制"),
                                                QDir::currentPath(),
                                                filters.join(QStringLiteral(";;")), &selected);
    if (path.isEmpty())
        return;
    trace::Format format = trace::formatForPath(QFile::encodeName(path).toStdString());
    // Only the four trace types record; any other name gets the chosen type's extension.
    if (format == trace::Format::Unknown || format == trace::Format::Csv) {
        format = recordingTypes[std::max(0, filters.indexOf(selected))].format;
        path += QLatin1Char('.') + QLatin1String(trace::extensionOf(format));
        // The dialog asked about the name as typed; the added extension names another
        // file, which the recording would empty.
        if (QFileInfo::exists(path)
            && QMessageBox::question(this, QStringLiteral("开始录制"),
                                     QStringLiteral("%1 已存在，要替换它吗？")
                                         .arg(QFileInfo(path).fileName()))
                   != QMessageBox::Yes) {
            return;
        }
    }
    QString error;
    if (!recorder->start(path, format, &error)) {
        showStatusMessage(QStringLiteral("无法录制到 %1: %2").arg(path, error));
        return;
    }
    startRecordingAction->setEnabled(false);
    stopRecordingAction->setEnabled(true);
    updateRecordingField();
    lblRecording->show();
    recordingTimer->start();
    showStatusMessage(QStringLiteral("开始录制到 %1").arg(path));
}

void MainWindow::finishRecording()
{
    if (!recorder->isRecording())
        return;
    recordingTimer->stop();
    const bool ok = recorder->stop();
    lblRecording->hide();
    startRecordingAction->setEnabled(true);
    stopRecordingAction->setEnabled(false);
    const QString name = QFileInfo(recorder->path()).fileName();
    if (!ok) {
        const QString text = QStringLiteral("录制失败已停止: %1: %2，文件保留到最后一个完整帧")
                                     .arg(name, recorder->errorString());
        showStatusMessage(text);
        auto box = new QMessageBox(QMessageBox::Warning, QStringLiteral("录制"), text,
                                   QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("recordingFailed"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    QString text = QStringLiteral("录制已停止: %1 共%2帧").arg(name)
                           .arg(recorder->framesRecorded());
    if (recorder->framesLost() > 0)
        text += QStringLiteral("，丢失%1帧").arg(recorder->framesLost());
    showStatusMessage(text);
}

void MainWindow::updateRecordingField()
{
    QString text = QStringLiteral("录制: %1  %2帧").arg(QFileInfo(recorder->path()).fileName())
                           .arg(recorder->framesRecorded());
    if (recorder->framesLost() > 0)
        text += QStringLiteral("  丢失%1帧").arg(recorder->framesLost());
    lblRecording->setText(text);
    lblRecording->setToolTip(QDir::toNativeSeparators(recorder->path()));
}

void MainWindow::setupTraceActions()
{
    saveTraceAction = fileMenu->addAction(QStringLiteral("保存记录…"));
    saveTraceAction->setObjectName(QStringLiteral("actionSaveTrace"));
    connect(saveTraceAction, &QAction::triggered, this, &MainWindow::saveTrace);
    openTraceAction = fileMenu->addAction(QStringLiteral("打开记录…"));
    openTraceAction->setObjectName(QStringLiteral("actionOpenTrace"));
    connect(openTraceAction, &QAction::triggered, this, &MainWindow::openTrace);
}

void MainWindow::setTraceBusy(bool busy)
{
    saveTraceAction->setEnabled(!busy);
    openTraceAction->setEnabled(!busy);
}

void MainWindow::saveTrace()
{
    QString filter;
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("保存记录"),
                                                QDir::currentPath(),
                                                traceSaveFilters().join(QStringLiteral(";;")),
                                                &filter);
    if (path.isEmpty())
        return;
    const QString typed = path;
    const trace::Format format = traceSaveFormat(&path, filter);
    if (format == trace::Format::Unknown) {
        showStatusMessage(QStringLiteral("保存记录失败：%1：无法确定文件类型").arg(path));
        return;
    }
    // The dialog asked about the name as typed; the added extension names another file.
    if (path != typed && QFileInfo::exists(path)
        && QMessageBox::question(this, QStringLiteral("保存记录"),
                                 QStringLiteral("%1 已存在，要替换它吗？")
                                     .arg(QFileInfo(path).fileName()))
               != QMessageBox::Yes) {
        return;
    }

    // The rows are taken as they are now; the table goes on filling while they are written.
    int ofRows = -1;
    FrameLogSnapshot shown = frameLogFilter->shownRows(&ofRows);
    const int rows = shown.rowCount();
    auto job = new TraceSave(std::move(shown), path, format, this);
    QProgressDialog *progress = workProgress(QStringLiteral("正在保存…"),
                                             QStringLiteral("保存记录"),
                                             QStringLiteral("saveTraceProgress"), rows);
    connect(progress, &QProgressDialog::canceled, job, &TraceSave::cancel);
    connect(job, &TraceSave::progress, progress, &QProgressDialog::setValue);
    connect(job, &TraceSave::finished, this,
            [this, job, progress, ofRows](TraceSave::Outcome outcome) {
        if (outcome == TraceSave::Failed) {
            showStatusMessage(QStringLiteral("保存记录失败：%1：%2")
                                  .arg(job->path(), job->errorText()));
        } else if (outcome == TraceSave::Cancelled) {
            showStatusMessage(QStringLiteral("保存记录已取消"));
        } else {
            QString text = QStringLiteral("已保存 %1 帧到 %2")
                               .arg(FrameLogFilter::countText(qint64(job->framesWritten()),
                                                              ofRows),
                                    job->path());
            if (job->refusedRows() > 0)
                text += QStringLiteral("（%1 行发送失败，未写入）").arg(job->refusedRows());
            showStatusMessage(text);
        }
        progress->deleteLater();
        job->deleteLater();
        setTraceBusy(false);
    });
    setTraceBusy(true);
    job->start();
}

void MainWindow::openTrace()
{
    // A trace is viewed offline: live frames would interleave with it under other
    // numbers and another clock, and a later save would hold neither capture.
    if (deviceState != DeviceState::Closed) {
        showStatusMessage(QStringLiteral("请先关闭设备再打开记录"));
        return;
    }
    const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("打开记录"), QDir::currentPath(),
            traceOpenFilters().join(QStringLiteral(";;")));
    if (path.isEmpty())
        return;
    auto job = new TraceOpen(path, this);
    if (!job->start()) {
        showStatusMessage(QStringLiteral("打开记录失败：%1：%2").arg(path, job->errorText()));
        delete job;
        return;
    }
    on_btnClear_clicked();
    traceOpen = job;
    traceFramesLoaded = 0;

    QProgressDialog *progress = workProgress(QStringLiteral("正在打开…"),
                                             QStringLiteral("打开记录"),
                                             QStringLiteral("openTraceProgress"), 1000);
    connect(progress, &QProgressDialog::canceled, job, &TraceOpen::cancel);
    connect(job, &TraceOpen::progress, progress, &QProgressDialog::setValue);
    connect(job, &TraceOpen::frames, this, &MainWindow::showLoadedFrames);
    connect(job, &TraceOpen::finished, this, [this, job, progress](TraceOpen::Outcome outcome) {
        const qint64 dropped = traceFramesLoaded - receiveModel->rowCount();
        QString text;
        if (outcome == TraceOpen::Failed) {
            text = QStringLiteral("打开记录出错：%1：%2，已载入 %3 帧")
                       .arg(job->path(), job->errorText()).arg(traceFramesLoaded);
        } else if (outcome == TraceOpen::Cancelled) {
            text = QStringLiteral("打开记录已取消，已载入 %1 帧").arg(traceFramesLoaded);
        } else {
            text = QStringLiteral("已打开 %1：%2 帧").arg(job->path()).arg(traceFramesLoaded);
        }
        if (dropped > 0)
            text += QStringLiteral("，超出行数上限舍弃最早的 %1 帧").arg(dropped);
        if (job->skipped() > 0)
            text += QStringLiteral("，跳过 %1 条无法解析的记录").arg(job->skipped());
        showStatusMessage(text);
        traceOpen = nullptr;
        progress->deleteLater();
        job->deleteLater();
        setTraceBusy(false);
    });
    setTraceBusy(true);
}

QProgressDialog *MainWindow::workProgress(const QString &label, const QString &title,
                                          const QString &objectName, int maximum)
{
    auto progress = new QProgressDialog(label, QStringLiteral("取消"), 0, std::max(maximum, 1),
                                        this);
    progress->setObjectName(objectName);
    progress->setWindowTitle(title);
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(300);
    // It stays up until the work says it has finished, whatever its value says.
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setValue(0);
    return progress;
}

void MainWindow::showLoadedFrames(const FrameChunkRun &run)
{
    QScrollBar *scrollBar = ui->tbReceive->verticalScrollBar();
    const int top = scrollBar->value();
    ui->tbReceive->setUpdatesEnabled(false);
    const int limit = rowLimit(ui->txtMaxRowCount->text());
    const qint64 droppedBefore = frameLogFilter->model()->rowsDroppedAtTop();
    receiveModel->appendChunks(run, frameIndex, limit);
    frameIndex += run.rows();
    traceFramesLoaded += run.rows();
    if (chkAutoScroll->isChecked())
        ui->tbReceive->scrollToBottom();
    else
        scrollBar->setValue(top - int(frameLogFilter->model()->rowsDroppedAtTop()
                                      - droppedBefore));
    ui->tbReceive->setUpdatesEnabled(true);
}
