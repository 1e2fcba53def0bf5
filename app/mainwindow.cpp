#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "csvexport.h"
#include "datasendwidget.h"
#include "framelog.h"
#include "framelogmodel.h"
#include "handlethread.h"
#include "listenthread.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>
#include <QTimerEvent>

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

    ListenThread *listenThread = ListenThread::instance();
    connect(listenThread, &ListenThread::openSuccess, this, &MainWindow::openSuccessSlot);
    connect(listenThread, &ListenThread::openFailed, this, &MainWindow::openFailedSlot);
    connect(listenThread, &ListenThread::deviceClosed, this, &MainWindow::deviceClosedSlot);

    setDeviceControls(false);

    receiveModel = new FrameLogModel(this);
    ui->tbReceive->setModel(receiveModel);
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

    ui->sendLayout->addWidget(new DataSendWidget(this));

    on_btnClear_clicked();

    ui->splitter->setStretchFactor(0, 18);
    ui->splitter->setStretchFactor(1, 13);
    // The transmit panel's layouts ask for far more width than the frame log's table, and
    // the splitter would start from those hints; the same 18 : 13 split from the start
    // keeps the frame log the wider pane.
    ui->splitter->setSizes({ 18 * 100, 13 * 100 });

    startTimer(200, Qt::CoarseTimer);
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
    ListenThread::instance()->closeDevice();
    delete ui;
}

void MainWindow::setDeviceControls(bool open)
{
    ui->cbxDevType->setEnabled(!open);
    ui->btnOpen->setEnabled(!open);
    ui->btnClose->setEnabled(open);
    ui->cbxBaudrate->setEnabled(!open);
}

void MainWindow::openSuccessSlot()
{
    setDeviceControls(true);
}

void MainWindow::openFailedSlot()
{
    QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("设备打开失败!"),
                             QMessageBox::Yes);
}

void MainWindow::deviceClosedSlot()
{
    setDeviceControls(false);
}

void MainWindow::on_btnOpen_clicked()
{
    ListenThread::instance()->openDevice(ui->cbxBaudrate->currentData().toUInt());
}

void MainWindow::on_btnClose_clicked()
{
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

    HandleThread *hub = HandleThread::instance();
    const QList<CanMessage> messages = hub->takeMessages();
    if (!messages.isEmpty()) {
        QScrollBar *scrollBar = ui->tbReceive->verticalScrollBar();
        const int top = scrollBar->value();
        ui->tbReceive->setUpdatesEnabled(false);
        const int removed = receiveModel->appendMessages(
                messages, frameIndex, rowLimit(ui->txtMaxRowCount->text()));
        frameIndex += messages.size();
        if (chkAutoScroll->isChecked())
            ui->tbReceive->scrollToBottom();
        else
            scrollBar->setValue(top - removed);
        ui->tbReceive->setUpdatesEnabled(true);
    }

    lblSendCount->setText(QStringLiteral("发送次数:%1次").arg(hub->getSendCount()));
    lblReceiveCount->setText(QStringLiteral("接收次数:%1次").arg(hub->getReceiveCount()));
    lblReceiveRate->setText(QStringLiteral("接收速度:%1次/s").arg(hub->getReceiveRate()));
}

void MainWindow::on_btnClear_clicked()
{
    HandleThread::instance()->clearCount();
    receiveModel->clear();
    frameIndex = 0;
}

void MainWindow::on_txtMaxRowCount_editingFinished()
{
    QScrollBar *scrollBar = ui->tbReceive->verticalScrollBar();
    const int top = scrollBar->value();
    const int removed = receiveModel->applyRowLimit(rowLimit(ui->txtMaxRowCount->text()));
    if (removed > 0 && !chkAutoScroll->isChecked())
        scrollBar->setValue(top - removed);
}

void MainWindow::on_btnExport_clicked()
{
    const int rows = receiveModel->rowCount();
    const QString path = QFileDialog::getSaveFileName(
        nullptr, tr("保存表格"), QDir::currentPath() + QStringLiteral("/DebugConfig"),
        tr("csv File(*.csv)"));
    if (path.isEmpty())
        return;

    // The rows are copied as they are now, so the table goes on filling and trimming
    // while they are written.
    auto job = new FrameLogExport(receiveModel->snapshot(rows), rows, path, this);
    auto progress = new QProgressDialog(QStringLiteral("正在导出…"), QStringLiteral("取消"),
                                        0, std::max(rows, 1), this);
    progress->setObjectName(QStringLiteral("exportProgress"));
    progress->setWindowTitle(tr("保存表格"));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(300);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setValue(0);
    connect(progress, &QProgressDialog::canceled, job, &FrameLogExport::cancel);
    connect(job, &FrameLogExport::progress, progress, &QProgressDialog::setValue);
    connect(job, &FrameLogExport::finished, this,
            [this, job, progress](FrameLogExport::Outcome outcome) {
        if (outcome == FrameLogExport::Failed)
            showStatusMessage(QStringLiteral("导出失败: 无法写入 %1").arg(job->path()));
        else if (outcome == FrameLogExport::Cancelled)
            showStatusMessage(QStringLiteral("导出已取消"));
        else
            showStatusMessage(QStringLiteral("已导出 %1 行到 %2").arg(job->rows())
                              .arg(job->path()));
        progress->deleteLater();
        job->deleteLater();
        ui->btnExport->setEnabled(true);
    });
    ui->btnExport->setEnabled(false);
    job->start();
}
