#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "capture/capturefiltermenu.h"
#include "dbcview/databasemenu.h"
#include "dbcview/framelogdecoder.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "devicebar/fdmode.h"
#include "devicebar/interfacechoice.h"
#include "filter/framefiltermodel.h"
#include "filter/framelogfilter.h"
#include "health/healthfields.h"
#include "idview/idviewpanel.h"
#include "monitor/csvexport.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"
#include "monitor/workprogress.h"
#include "plot/plotmenu.h"
#include "tracemenu/tracemenu.h"
#include "transmit/datasendwidget.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>
#include <QTimerEvent>
#include <QTreeView>

namespace {

// A slice costs a few milliseconds; the budget leaves room for the repaint that follows.
constexpr int tickSliceFrames = 16384;
constexpr qint64 tickBudgetMs = 40;

using DeviceState = MonitorContext::DeviceState;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    ui->cbxDevType->addItem(QStringLiteral("CANable_candlelight"));
    const int bitrates[] = { 10, 20, 50, 100, 500, 1000 };
    for (int kbps : bitrates)
        ui->cbxBaudrate->addItem(QStringLiteral("%1k").arg(kbps), kbps);
    ui->cbxBaudrate->setCurrentIndex(5);

    receiveModel = new FrameLogModel(this);
    context = new MonitorContext(receiveModel, ui->tbReceive, this);
    connect(context, &MonitorContext::statusRequested, this, &MainWindow::showStatusMessage);
    connect(context, &MonitorContext::clearRequested, this, &MainWindow::on_btnClear_clicked);
    connect(context, &MonitorContext::chunksRequested, this, [this](const FrameChunkRun &run) {
        appendToFrameLog([&](int limit) {
            receiveModel->appendChunks(run, frameIndex, limit);
            frameIndex += run.rows();
        });
    });
    connect(context, &MonitorContext::frameSelectionRequested, this, &MainWindow::selectFrame);

    ListenThread *listenThread = ListenThread::instance();
    connect(listenThread, &ListenThread::openSuccess, this, &MainWindow::openSuccessSlot);
    connect(listenThread, &ListenThread::openFailed, this, &MainWindow::openFailedSlot);
    connect(listenThread, &ListenThread::deviceClosed, this, &MainWindow::deviceClosedSlot);

    ui->tbReceive->horizontalHeader()->show();
    ui->tbReceive->verticalHeader()->hide();

    lblSendCount = new QLabel(this);
    lblReceiveCount = new QLabel(this);
    lblReceiveRate = new QLabel(this);
    ui->statusbar->addWidget(lblSendCount);
    ui->statusbar->addWidget(lblReceiveCount);
    ui->statusbar->addWidget(lblReceiveRate);
    lblMessage = new QLabel(this);
    lblMessage->setObjectName(QStringLiteral("lblMessage"));
    ui->statusbar->addPermanentWidget(lblMessage);

    chkAutoScroll = new QCheckBox(QStringLiteral("自动滚动"), ui->layoutWidget1);
    chkAutoScroll->setObjectName(QStringLiteral("chkAutoScroll"));
    chkAutoScroll->setChecked(true);
    ui->horizontalLayout_2->addWidget(chkAutoScroll);
    ui->layoutWidget1->resize(ui->layoutWidget1->sizeHint());

    sendWidget = new DataSendWidget(this);
    connect(sendWidget, &DataSendWidget::statusMessage, this, &MainWindow::showStatusMessage);
    ui->sendLayout->addWidget(sendWidget);

    assembleComponents();
    setDeviceState(DeviceState::Closed);
    // The form's limit takes effect as a typed one does.
    on_txtMaxRowCount_editingFinished();

    on_btnClear_clicked();
    // The counters stay empty until the first tick, as they always have; the health fields
    // show their state (or that the library cannot tell it) at once.
    updateCounters(false);

    ui->splitter->setStretchFactor(0, 18);
    ui->splitter->setStretchFactor(1, 13);
    // The transmit panel's layouts ask for far more width than the frame log's table, and
    // the splitter would start from those hints; the same 18 : 13 split from the start
    // keeps the frame log the wider pane.
    ui->splitter->setSizes({ 18 * 100, 13 * 100 });

    startTimer(200, Qt::CoarseTimer);
}

// Each component takes the context, and the window places what it shows. A new one
// follows the same pattern: create it, add its actions to a menu, its widgets to a place.
void MainWindow::assembleComponents()
{
    interfaceChoice = new InterfaceChoice(context, ui->widget_77);
    interfaceChoice->comboBox()->setFont(ui->cbxBaudrate->font());
    ui->horizontalLayout->insertWidget(ui->horizontalLayout->indexOf(ui->cbxDevType) + 1,
                                       interfaceChoice->comboBox());

    healthFields = new HealthFields(this);
    for (QLabel *field : healthFields->fields())
        ui->statusbar->addWidget(field);

    QMenu *fileMenu = menuBar()->addMenu(QStringLiteral("文件"));
    fileMenu->setObjectName(QStringLiteral("menuFile"));
    traceMenu = new TraceMenu(context, this);
    fileMenu->addActions(traceMenu->actions());
    for (QLabel *field : traceMenu->recordingFields())
        ui->statusbar->addWidget(field);

    idView = new IdViewPanel(context, ui->tbReceive->parentWidget());
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->tbReceive) + 1,
                                     idView->view());
    connect(idView, &IdViewPanel::shown, ui->tbReceive, [this](bool shown) {
        ui->tbReceive->setVisible(!shown);
    });
    QMenu *viewMenu = menuBar()->addMenu(QStringLiteral("视图"));
    viewMenu->addActions(idView->actions());

    QMenu *deviceMenu = menuBar()->addMenu(QStringLiteral("设备"));
    deviceMenu->setObjectName(QStringLiteral("menuDevice"));
    deviceMenu->addAction(interfaceChoice->listenOnlyAction());
    auto captureFilter = new CaptureFilterMenu(context, this);
    deviceMenu->addActions(captureFilter->actions());
    ui->statusbar->addWidget(captureFilter->stateField());

    fdMode = new FdMode(context, ui->widget_77);
    deviceMenu->addAction(fdMode->action());
    fdMode->dataBitrateLabel()->setFont(ui->cbxBaudrate->font());
    fdMode->dataBitrateBox()->setFont(ui->cbxBaudrate->font());
    const int afterBitrate = ui->horizontalLayout->indexOf(ui->cbxBaudrate) + 1;
    ui->horizontalLayout->insertWidget(afterBitrate, fdMode->dataBitrateLabel());
    ui->horizontalLayout->insertWidget(afterBitrate + 1, fdMode->dataBitrateBox());
    connect(fdMode, &FdMode::fdChosen, sendWidget, &DataSendWidget::setFdShown);

    databaseMenu = new DatabaseMenu(context, menuBar()->addMenu(QStringLiteral("数据库")), this);
    addDockWidget(Qt::BottomDockWidgetArea, databaseMenu->signalDock());
    databaseMenu->signalDock()->hide();
    // The table shows the frame log with its optional decoded column; the export and
    // everything else read the frame log itself.
    ui->tbReceive->setModel(databaseMenu->decodedFrameLog());

    frameLogFilter = new FrameLogFilter(receiveModel, databaseMenu->decodedFrameLog(),
                                        ui->tbReceive, &context->database(), this);
    connect(frameLogFilter, &FrameLogFilter::statusMessage, this, &MainWindow::showStatusMessage);
    ui->tbReceive->setModel(frameLogFilter->model());
    ui->horizontalLayout_2->addWidget(frameLogFilter->field());
    frameLogFilter->setAutoScroll(chkAutoScroll);
    ui->layoutWidget1->resize(ui->layoutWidget1->sizeHint());
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->widget_55),
                                     frameLogFilter->bars());
    viewMenu->addSeparator();
    frameLogFilter->addActions(viewMenu);
    frameLogFilter->setIdView(idView->view(), [this](quint32 *id, bool *extended) {
        return idView->currentIdentifier(id, extended);
    });
    idView->addRowActions(frameLogFilter->idActions());
    context->setShownRows([this](int *ofRows) { return frameLogFilter->shownRows(ofRows); });
    databaseMenu->composeInto(sendWidget);

    viewMenu->addSeparator();
    viewMenu->addActions((new PlotMenu(context, this))->actions());
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
    // Closing first lets deviceClosed() still reach this window while its form exists.
    emit context->deviceClosing();
    ListenThread::instance()->closeDevice();
    delete ui;
}

void MainWindow::setDeviceState(DeviceState state)
{
    const bool closed = state == DeviceState::Closed;
    ui->cbxDevType->setEnabled(closed);
    ui->btnOpen->setEnabled(closed);
    ui->btnClose->setEnabled(state == DeviceState::Open);
    ui->cbxBaudrate->setEnabled(closed);
    context->setDeviceState(state);
}

void MainWindow::openSuccessSlot(quint64 session)
{
    if (context->deviceState() != DeviceState::Opening || session != pendingSession)
        return;
    setDeviceState(DeviceState::Open);
    lblMessage->clear();
}

void MainWindow::openFailedSlot(quint64 session, const QString &reason)
{
    if (context->deviceState() != DeviceState::Opening || session != pendingSession)
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
    pendingSession = 0;
    setDeviceState(DeviceState::Closed);
    interfaceChoice->refresh();
}

void MainWindow::on_btnOpen_clicked()
{
    // A second open would wait for the first inside the window's thread.
    if (context->deviceState() != DeviceState::Closed)
        return;
    // Live frames would land among the rows of the trace being read.
    if (traceMenu->isOpening()) {
        showStatusMessage(QStringLiteral("正在打开记录，请等待完成或取消后再打开设备"));
        return;
    }
    ListenThread::OpenOptions options;
    options.bitrate = ui->cbxBaudrate->currentData().toUInt();
    interfaceChoice->chooseFor(&options);
    fdMode->chooseFor(&options);
    // Opening closes the previous session first, which resets the device bar; the new
    // session's state is set after that.
    const quint64 session = ListenThread::instance()->openDevice(options);
    pendingSession = session;
    setDeviceState(DeviceState::Opening);
    showStatusMessage(QStringLiteral("正在打开…"));
}

void MainWindow::on_btnClose_clicked()
{
    emit context->deviceClosing();
    ListenThread::instance()->closeDevice();
}

template<typename Append>
void MainWindow::appendToFrameLog(Append append)
{
    QScrollBar *scrollBar = ui->tbReceive->verticalScrollBar();
    const int top = scrollBar->value();
    // The rows the table lost above, which a filter may hide some of.
    const qint64 droppedBefore = frameLogFilter->model()->rowsDroppedAtTop();
    ui->tbReceive->setUpdatesEnabled(false);
    append(receiveModel->rowLimit());
    if (chkAutoScroll->isChecked())
        ui->tbReceive->scrollToBottom();
    else
        scrollBar->setValue(top - int(frameLogFilter->model()->rowsDroppedAtTop()
                                      - droppedBefore));
    ui->tbReceive->setUpdatesEnabled(true);
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
    QElapsedTimer spent;
    spent.start();
    bool more = false;
    do {
        const QList<CanMessage> messages = hub->takeMessages(tickSliceFrames, &more);
        if (!messages.isEmpty()) {
            appendToFrameLog([&](int limit) {
                receiveModel->appendMessages(messages, frameIndex, limit);
                frameIndex += messages.size();
            });
        }
        // Every tick, with or without frames: views fade rows that fall silent.
        emit context->framesArrived(messages);
    } while (more && spent.elapsed() < tickBudgetMs);
    if (more && !backlogTimer)
        backlogTimer = startTimer(0);

    updateCounters(true);
}

void MainWindow::updateCounters(bool counters)
{
    const HandleThread::Snapshot now = HandleThread::instance()->snapshot();
    if (counters) {
        lblSendCount->setText(QStringLiteral("发送次数:%1次").arg(now.sendCount));
        lblReceiveCount->setText(QStringLiteral("接收次数:%1次").arg(now.receiveCount));
        lblReceiveRate->setText(QStringLiteral("接收速度:%1次/s").arg(now.receiveRate));
    }
    healthFields->show(now);
}

void MainWindow::selectFrame(qint64 number)
{
    const int rows = receiveModel->rowCount();
    if (rows == 0 || number < receiveModel->number(0) || number > receiveModel->number(rows - 1))
        return;
    // A frame the filter hides has no row to select.
    const int row = frameLogFilter->model()->shownRow(int(number - receiveModel->number(0)));
    if (row < 0)
        return;
    // Whoever asks wants to see the frame: the table comes back in place of the
    // per-identifier view, and the next tick must not scroll it away.
    if (idView->view()->isVisible())
        idView->actions().first()->setChecked(false);
    chkAutoScroll->setChecked(false);
    const QModelIndex index = ui->tbReceive->model()->index(row, 0);
    ui->tbReceive->selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ui->tbReceive->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void MainWindow::on_btnClear_clicked()
{
    HandleThread::instance()->clearCount();
    receiveModel->clear();
    frameIndex = 0;
    emit context->framesCleared();
}

void MainWindow::on_txtMaxRowCount_editingFinished()
{
    int limit = 0;
    QString refusal;
    if (!readRowLimit(ui->txtMaxRowCount, &limit, &refusal)) {
        showStatusMessage(refusal);
        return;
    }
    QScrollBar *scrollBar = ui->tbReceive->verticalScrollBar();
    const int top = scrollBar->value();
    const qint64 droppedBefore = frameLogFilter->model()->rowsDroppedAtTop();
    receiveModel->applyRowLimit(limit);
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
    FrameLogSnapshot shown = context->shownRows(&ofRows);
    const int rows = shown.rowCount();
    auto job = new FrameLogExport(std::move(shown), rows, path, this);
    QProgressDialog *progress = workProgress(this, QStringLiteral("正在导出…"), tr("保存表格"),
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
                                  .arg(MonitorContext::countText(job->rows(), ofRows),
                                       job->path()));
        progress->deleteLater();
        job->deleteLater();
        ui->btnExport->setEnabled(true);
    });
    ui->btnExport->setEnabled(false);
    job->start();
}
