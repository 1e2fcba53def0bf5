#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "csvexport.h"
#include "datasendwidget.h"
#include "framelog.h"
#include "handlethread.h"
#include "idbytedelegate.h"
#include "idstatsexport.h"
#include "idviewmodel.h"
#include "listenthread.h"

#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QStandardItemModel>
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

    receiveModel = new QStandardItemModel(this);
    receiveModel->setColumnCount(columnHeaders.size());
    for (int i = 0; i < columnHeaders.size(); ++i)
        receiveModel->setHorizontalHeaderItem(i, new QStandardItem(columnHeaders.at(i).first));
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

    ui->sendLayout->addWidget(new DataSendWidget(this));

    createViewMenu();

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
        ui->tbReceive->setUpdatesEnabled(false);
        appendFrameLogRows(receiveModel, messages, frameIndex,
                           rowLimit(ui->txtMaxRowCount->text()));
        frameIndex += messages.size();
        ui->tbReceive->scrollToBottom();
        ui->tbReceive->setUpdatesEnabled(true);
    }
    // Every tick, with or without frames: rows fade and fall silent as time passes.
    idModel->update(messages);
    if (!idViewSized && tbIdView->isVisible() && idModel->rowCount() > 0) {
        // Sizes follow the rows in sight only, so this costs little even at 100,000 rows.
        tbIdView->resizeColumnsToContents();
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

    lblSendCount->setText(QStringLiteral("发送次数:%1次").arg(hub->getSendCount()));
    lblReceiveCount->setText(QStringLiteral("接收次数:%1次").arg(hub->getReceiveCount()));
    lblReceiveRate->setText(QStringLiteral("接收速度:%1次/s").arg(hub->getReceiveRate()));
}

void MainWindow::on_btnClear_clicked()
{
    HandleThread::instance()->clearCount();
    receiveModel->setRowCount(0);
    frameIndex = 0;
    idModel->clear();
    reportedRefusedFrames = 0;
}

void MainWindow::on_txtMaxRowCount_editingFinished()
{
    applyRowLimit(receiveModel, rowLimit(ui->txtMaxRowCount->text()));
}

void MainWindow::on_btnExport_clicked()
{
    const int rows = receiveModel->rowCount();
    const int columns = receiveModel->columnCount();
    const QString path = QFileDialog::getSaveFileName(
        nullptr, tr("保存表格"), QDir::currentPath() + QStringLiteral("/DebugConfig"),
        tr("csv File(*.csv)"));
    if (path.isEmpty())
        return;
    exportFrameLog(receiveModel, rows, columns, path);
}

void MainWindow::createViewMenu()
{
    // The per-identifier table shares the frame log's place and controls; the frame log
    // stays where the form put it and only hides while the other table is shown.
    idModel = new IdViewModel(this);
    tbIdView = new QTableView(ui->tbReceive->parentWidget());
    tbIdView->setObjectName(QStringLiteral("tbIdView"));
    tbIdView->setModel(idModel);
    tbIdView->setItemDelegateForColumn(IdViewModel::DataColumn, new IdByteDelegate(tbIdView));
    tbIdView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tbIdView->setSelectionMode(QAbstractItemView::SingleSelection);
    tbIdView->setSelectionBehavior(QAbstractItemView::SelectRows);
    // The frame log's sheet without its colour for every item, which would win over the
    // grey of silent rows.
    tbIdView->setStyleSheet(QStringLiteral(
        "QTableView::item:pressed, QTableView::item:selected {"
        " background: rgb(0, 0, 255); color: rgb(255, 255, 255); }"));
    tbIdView->verticalHeader()->hide();
    tbIdView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    tbIdView->verticalHeader()->setDefaultSectionSize(23);
    tbIdView->horizontalHeader()->setSortIndicator(IdViewModel::IdColumn, Qt::AscendingOrder);
    tbIdView->setSortingEnabled(true);
    // Wide enough for the header and a typical cell; measuring the rows themselves would
    // cost the whole table at every change.
    const QString samples[IdViewModel::ColumnCount] = {
        QStringLiteral("0x18ffffff"), QStringLiteral("接收"), QStringLiteral("数据帧"),
        QStringLiteral("标准帧"),     QStringLiteral("0x08"),
        QStringLiteral("ff ff ff ff ff ff ff ff"), QStringLiteral("9999999"),
        QStringLiteral("1000.000"), QStringLiteral("1000.000"), QStringLiteral("1000.000"),
        QStringLiteral("1000.000"), QStringLiteral("1000.000"),
    };
    // The application's style sheet sets the fonts when the widgets are polished.
    tbIdView->ensurePolished();
    tbIdView->horizontalHeader()->ensurePolished();
    const QFontMetrics cellFont(tbIdView->font());
    const QFontMetrics headerFont(tbIdView->horizontalHeader()->font());
    for (int column = 0; column < IdViewModel::ColumnCount; ++column) {
        const QString header = idModel->headerData(column, Qt::Horizontal).toString();
        tbIdView->setColumnWidth(column, 18 + qMax(headerFont.horizontalAdvance(header),
                                                   cellFont.horizontalAdvance(samples[column])));
    }
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
