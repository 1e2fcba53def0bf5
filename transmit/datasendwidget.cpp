#include "transmit/datasendwidget.h"
#include "ui_datasendwidget.h"

#include "device/listenthread.h"
#include "input/refusedfield.h"
#include "input/typednumber.h"
#include "transmit/framecheck.h"
#include "transmit/sendlistfile.h"
#include "transmit/sendlistmodel.h"
#include "transmit/sendthread.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMap>
#include <QProgressDialog>
#include <QScopedValueRollback>
#include <QStyle>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

enum Column {
    NumberColumn,
    NameColumn,
    IdColumn,
    DataColumn,
    DlcColumn,
    FramesPerSendColumn,
    RepeatCountColumn,
    FormatColumn,
    TypeColumn,
    IntervalColumn,
    FdColumn,
    BrsColumn,
    ColumnCount
};

const QString dataFrameText = QStringLiteral("数据帧");
const QString remoteFrameText = QStringLiteral("远程帧");
const QString standardFrameText = QStringLiteral("标准帧");
const QString extendedFrameText = QStringLiteral("扩展帧");
const QString fdText = QStringLiteral("FD");
const QString brsText = QStringLiteral("BRS");
const QString sendText = QStringLiteral("立即发送");
const QString sendListText = QStringLiteral("列表发送");
const QString stopText = QStringLiteral("停止发送");

QStringList dataTokens(const QString &text)
{
    return TypedNumber::asciiForms(text).split(QStringLiteral(" "), Qt::SkipEmptyParts);
}

// The editor and loaded list files are free text: a token that is no number becomes 0
// and only the low eight bits of one that is count, so every token yields one byte.
QByteArray bytesFromText(const QString &text)
{
    QByteArray bytes;
    for (const QString &token : dataTokens(text))
        bytes.append(char(token.toInt(nullptr, 16) & 0xff));
    return bytes;
}

// The loose reading of a count, for showing what a text stands for rather than sending it.
int wholeOrZero(const QString &text)
{
    qint64 value = 0;
    if (!TypedNumber::readWhole(text, &value))
        return 0;
    return int(qBound<qint64>(std::numeric_limits<int>::min(), value,
                              std::numeric_limits<int>::max()));
}

QString hexText(qint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0'));
}

QString bytesText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

DataSendWidget::DataSendWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::DataSendWidget)
{
    ui->setupUi(this);

    sendListModel = new SendListModel(this);
    sendListModel->setHeaders({tr("序号"), tr("名称"), tr("帧ID"), tr("数据"), tr("DLC"),
                               tr("帧数"), tr("次数"), tr("格式"), tr("类型"),
                               tr("时间间隔"), fdText, brsText});
    ui->tableView->setModel(sendListModel);
    const int widths[ColumnCount] = {50, 80, 80, 200, 50, 50, 50, 60, 60, 90, 40, 40};
    for (int column = 0; column < ColumnCount; ++column)
        ui->tableView->setColumnWidth(column, widths[column]);
    ui->tableView->verticalHeader()->hide();

    ui->cbxType->addItem(standardFrameText, 0);
    ui->cbxType->addItem(extendedFrameText, 1);
    ui->cbxForm->addItem(dataFrameText, 0);
    ui->cbxForm->addItem(remoteFrameText, 1);

    ui->splitter->setStretchFactor(0, 0);
    ui->splitter->setStretchFactor(1, 1);

    connect(SendThread::instance(), &SendThread::sendFinished,
            this, &DataSendWidget::sendFinishedSlot);

    connect(ui->cbxType, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { markRefused(ui->txtID, false); });

    setupFdBoxes();
    setupNarrowEditor();
    editorFormMinimum = ui->groupBox_13->minimumHeight();
    connect(ui->txtData, &QLineEdit::textEdited, this,
            [this] { emit dataEditedByHand(frameFromEditor()); });

    // A send must not outlive the window it was started from: closing the window stops
    // it before the application's event loop has wound down.
    if (parent)
        parent->window()->installEventFilter(this);
}

// The FD boxes take a row of their own below the buttons, in the first pair's columns,
// which the narrow arrangement leaves where they are; hidden, the row takes no room.
void DataSendWidget::setupFdBoxes()
{
    auto grid = qobject_cast<QGridLayout *>(ui->widget->layout());
    fdLabel = new QLabel(tr("CAN FD："), ui->widget);
    auto boxes = new QWidget(ui->widget);
    auto line = new QHBoxLayout(boxes);
    line->setContentsMargins(0, 0, 0, 0);
    chkFd = new QCheckBox(fdText, boxes);
    chkFd->setObjectName(QStringLiteral("chkFd"));
    chkFd->setToolTip(tr("FD 帧：数据最长 64 字节，长度不在 FD 长度上时补 00"));
    chkBrs = new QCheckBox(brsText, boxes);
    chkBrs->setObjectName(QStringLiteral("chkBrs"));
    chkBrs->setToolTip(tr("数据段以数据波特率发送"));
    chkBrs->setEnabled(false);
    line->addWidget(chkFd);
    line->addWidget(chkBrs);
    line->addStretch();
    const int row = grid->rowCount();
    grid->addWidget(fdLabel, row, 0);
    grid->addWidget(boxes, row, 1, 1, 2);
    connect(chkFd, &QCheckBox::toggled, this, [this](bool on) {
        chkBrs->setEnabled(on && ui->txtData->isEnabled());
        if (!on)
            chkBrs->setChecked(false);
        ui->cbxForm->setEnabled(!on && ui->txtData->isEnabled());
        if (on)
            ui->cbxForm->setCurrentIndex(0);
        markRefused(ui->txtData, false);
    });
    setFdShown(false);
}

void DataSendWidget::setFdShown(bool shown)
{
    fdShown = shown;
    const bool visible = shown || chkFd->isChecked();
    fdLabel->setVisible(visible);
    chkFd->parentWidget()->setVisible(visible);
    // A classic list looks as it always has; an FD row shows its flags whatever the mode.
    bool columns = shown;
    for (int row = 0; !columns && row < sendListModel->rowCount(); ++row)
        columns = cellText(row, FdColumn) == fdText;
    ui->tableView->setColumnHidden(FdColumn, !columns);
    ui->tableView->setColumnHidden(BrsColumn, !columns);
}

void DataSendWidget::setEditorFd(bool fd, bool brs)
{
    chkFd->setChecked(fd);
    chkBrs->setChecked(fd && brs);
    setFdShown(fdShown);
}

// The frame editor's pairs of label and field columns, three side by side as the form has
// them, would need some 800 pixels and take the frame log's share of a small window. The
// buttons start under their labels, so that none widens its field's column, the data field
// asks for less, and below the width of three pairs the third pair moves under the first
// two: no text is cut and the panel narrows to about 450 pixels.
void DataSendWidget::setupNarrowEditor()
{
    auto grid = qobject_cast<QGridLayout *>(ui->widget->layout());
    if (!grid)
        return;
    const int pairColumns = 3;
    const int movedPair = 2;
    grid->setContentsMargins(0, 0, 0, 0);
    layout()->setContentsMargins(2, 2, 2, 2);
    ui->txtData->setMinimumWidth(ui->txtData->minimumWidth() / 2);

    int rowsAbove = 0;
    QList<GridPlace> places;
    for (int i = 0; i < grid->count(); ++i) {
        GridPlace place;
        place.item = grid->itemAt(i);
        grid->getItemPosition(i, &place.row, &place.column, &place.rowSpan, &place.columnSpan);
        place.alignment = place.item->alignment();
        if (qobject_cast<QAbstractButton *>(place.item->widget())
            && place.column % pairColumns == 1) {
            --place.column;
            place.columnSpan = pairColumns;
            place.alignment = Qt::AlignLeft;
        }
        rowsAbove = std::max(rowsAbove, place.row + place.rowSpan);
        places.append(place);
    }
    // A row of the third pair goes beside the first pair where the second has nothing in
    // that row, and below all rows otherwise.
    const auto inPair = [](const GridPlace &place, int pair) {
        return place.column / pairColumns == pair
                && place.column + place.columnSpan <= pairColumns * (pair + 1);
    };
    QMap<int, int> narrowRows;
    for (const GridPlace &place : qAsConst(places)) {
        if (inPair(place, movedPair))
            narrowRows.insert(place.row, -1);
    }
    int nextRow = rowsAbove;
    for (auto row = narrowRows.begin(); row != narrowRows.end(); ++row) {
        const bool secondPairFree = std::none_of(places.cbegin(), places.cend(),
                [&](const GridPlace &place) {
            return place.row == row.key() && place.column / pairColumns == movedPair - 1;
        });
        row.value() = secondPairFree ? row.key() : nextRow++;
    }
    for (const GridPlace &place : qAsConst(places)) {
        grid->takeAt(grid->indexOf(place.item));
        grid->addItem(place.item, place.row, place.column, place.rowSpan, place.columnSpan,
                      place.alignment);
        if (!inPair(place, movedPair))
            continue;
        GridPlace narrow = place;
        const bool besideFirst = narrowRows.value(place.row) == place.row;
        narrow.row = narrowRows.value(place.row);
        narrow.column -= (besideFirst ? 1 : movedPair) * pairColumns;
        // What reaches the end of its pair below the others may use the next pair's width.
        if (!besideFirst && place.column + place.columnSpan == pairColumns * (movedPair + 1))
            narrow.columnSpan += pairColumns;
        wideItems.append(place);
        narrowItems.append(narrow);
    }

    editorBoxHeight = ui->groupBox_13->minimumHeight();
    measureEditor();
    ui->widget->installEventFilter(this);
}

void DataSendWidget::measureEditor()
{
    // Rearranging resizes the editor, which must not rearrange it again meanwhile.
    const QScopedValueRollback<bool> busy(arrangingEditor, true);
    // The style sheet's least width of a combo box, set when it is polished, would cut its
    // texts.
    ui->widget->ensurePolished();
    for (QComboBox *box : ui->widget->findChildren<QComboBox *>())
        box->setMinimumWidth(std::max(box->minimumWidth(), box->sizeHint().width()));
    QLayout *grid = ui->widget->layout();
    arrangeEditor(false);
    wideEditorWidth = grid->minimumSize().width();
    arrangeEditor(true);
    // The layouts around see the narrow arrangement's least width in either.
    ui->widget->setMinimumWidth(grid->minimumSize().width());
    arrangeEditor(ui->widget->width() < wideEditorWidth);
}

void DataSendWidget::arrangeEditor(bool narrow)
{
    const QScopedValueRollback<bool> busy(arrangingEditor, true);
    auto grid = static_cast<QGridLayout *>(ui->widget->layout());
    editorNarrow = narrow;
    for (const GridPlace &place : qAsConst(wideItems))
        grid->takeAt(grid->indexOf(place.item));
    for (const GridPlace &place : qAsConst(narrow ? narrowItems : wideItems)) {
        grid->addItem(place.item, place.row, place.column, place.rowSpan, place.columnSpan,
                      place.alignment);
    }
    // The form's least height of the editor's box would let the splitter squeeze the
    // taller arrangement.
    grid->activate();
    const int needed = ui->groupBox_13->layout()->totalMinimumSize().height();
    ui->groupBox_13->setMinimumHeight(narrow ? std::max(editorBoxHeight, needed)
                                             : editorBoxHeight);
    // The splitter keeps the height the narrow arrangement needed; the list gets it back.
    const QList<int> heights = ui->splitter->sizes();
    const int wanted = ui->groupBox_13->sizeHint().height();
    if (!narrow && heights.size() == 2 && heights.at(0) > wanted)
        ui->splitter->setSizes({ wanted, heights.at(0) + heights.at(1) - wanted });
}

bool DataSendWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->widget && event->type() == QEvent::Show) {
        measureEditor();
        return false;
    }
    if (watched == ui->widget && event->type() == QEvent::Resize && !arrangingEditor) {
        const bool narrow = ui->widget->width() < wideEditorWidth;
        if (narrow != editorNarrow)
            arrangeEditor(narrow);
        return false;
    }
    // A section's new height reaches the editor's box only once its layout has taken it in.
    const QEvent::Type type = event->type();
    if ((type == QEvent::ShowToParent || type == QEvent::HideToParent
         || type == QEvent::LayoutRequest)
        && editorSections.contains(qobject_cast<QWidget *>(watched))) {
        QTimer::singleShot(0, this, &DataSendWidget::makeRoomForEditor);
    }
    if (event->type() == QEvent::Close && SendThread::instance()->isRunning())
        SendThread::instance()->stopSend();
    return QWidget::eventFilter(watched, event);
}

DataSendWidget::~DataSendWidget()
{
    if (fileThread) {
        fileProgress->cancelled.store(true);
        fileThread->wait();
        delete fileThread;
    }
    delete ui;
}

bool DataSendWidget::readEditor(SendFrame *frame)
{
    SendFrame read;
    read.extended = ui->cbxType->currentData().toBool();
    read.remote = ui->cbxForm->currentData().toBool();
    read.fd = chkFd->isChecked();
    read.brs = chkBrs->isChecked();
    QString reason;
    QWidget *refused = nullptr;
    int padded = 0;
    if (!FrameCheck::parseId(ui->txtID->text(), read.extended, &read.id, &reason))
        refused = ui->txtID;
    else if (!FrameCheck::parseData(ui->txtData->text(), &read.data, &reason,
                                    read.fd ? FrameCheck::maxFdDataBytes
                                            : FrameCheck::maxDataBytes)
             || !FrameCheck::checkFd(read.fd, read.brs, read.remote, &read.data, &padded,
                                     &reason))
        refused = ui->txtData;
    else if (!FrameCheck::parseCount(ui->txtCountOneTime->text(),
                                     FrameCheck::maxFramesPerSend, tr("每次发送帧数"),
                                     &read.framesPerSend, &reason))
        refused = ui->txtCountOneTime;
    else if (!FrameCheck::parseCount(ui->txtSendCount->text(), FrameCheck::maxRepeatCount,
                                     tr("发送次数"), &read.repeatCount, &reason))
        refused = ui->txtSendCount;
    else if (!FrameCheck::parseCount(ui->txtInvTime->text(), FrameCheck::maxIntervalMs,
                                     tr("每次时间间隔"), &read.interval, &reason))
        refused = ui->txtInvTime;
    if (refused) {
        markRefused(refused, true);
        emit statusMessage(reason);
        return false;
    }
    if (padded > 0) {
        emit statusMessage(tr("数据补了 %1 个 00，成为 FD 长度 %2 字节")
                                   .arg(padded)
                                   .arg(read.data.size()));
    }
    *frame = read;
    return true;
}

bool DataSendWidget::readRow(int row, SendFrame *frame, QString *reason, int *column) const
{
    SendFrame read;
    read.extended = cellText(row, TypeColumn) != standardFrameText;
    read.remote = cellText(row, FormatColumn) != dataFrameText;
    read.fd = cellText(row, FdColumn) == fdText;
    read.brs = cellText(row, BrsColumn) == brsText;
    int padded = 0;
    int refused = -1;
    if (!FrameCheck::parseId(cellText(row, IdColumn).mid(2), read.extended, &read.id, reason))
        refused = IdColumn;
    else if (!FrameCheck::parseData(cellText(row, DataColumn), &read.data, reason,
                                    read.fd ? FrameCheck::maxFdDataBytes
                                            : FrameCheck::maxDataBytes)
             || !FrameCheck::checkFd(read.fd, read.brs, read.remote, &read.data, &padded,
                                     reason))
        refused = DataColumn;
    else if (!FrameCheck::parseCount(cellText(row, FramesPerSendColumn),
                                     FrameCheck::maxFramesPerSend, tr("帧数"),
                                     &read.framesPerSend, reason))
        refused = FramesPerSendColumn;
    else if (!FrameCheck::parseCount(cellText(row, RepeatCountColumn),
                                     FrameCheck::maxRepeatCount, tr("次数"), &read.repeatCount,
                                     reason))
        refused = RepeatCountColumn;
    else if (!FrameCheck::parseCount(cellText(row, IntervalColumn), FrameCheck::maxIntervalMs,
                                     tr("时间间隔"), &read.interval, reason))
        refused = IntervalColumn;
    if (column)
        *column = refused;
    if (refused >= 0)
        return false;
    *frame = read;
    return true;
}

SendFrame DataSendWidget::frameFromEditor() const
{
    SendFrame frame;
    frame.id = TypedNumber::asciiForms(ui->txtID->text()).toUInt(nullptr, 16);
    frame.data = bytesFromText(ui->txtData->text());
    frame.extended = ui->cbxType->currentData().toBool();
    frame.remote = ui->cbxForm->currentData().toBool();
    frame.fd = chkFd->isChecked();
    frame.brs = chkBrs->isChecked();
    frame.framesPerSend = wholeOrZero(ui->txtCountOneTime->text());
    frame.repeatCount = wholeOrZero(ui->txtSendCount->text());
    frame.interval = wholeOrZero(ui->txtInvTime->text());
    return frame;
}

void DataSendWidget::writeRow(int row, const SendFrame &frame)
{
    setCellText(row, NumberColumn, QString::number(row + 1));
    setCellText(row, NameColumn, ui->txtName->text());
    setCellText(row, IdColumn, QStringLiteral("0x") + hexText(frame.id));
    setCellText(row, DataColumn, bytesText(frame.data));
    setCellText(row, DlcColumn, QStringLiteral("0x") + hexText(frame.data.size()));
    setCellText(row, FramesPerSendColumn, QString::number(frame.framesPerSend));
    setCellText(row, RepeatCountColumn, QString::number(frame.repeatCount));
    setCellText(row, FormatColumn, frame.remote ? remoteFrameText : dataFrameText);
    setCellText(row, TypeColumn, frame.extended ? extendedFrameText : standardFrameText);
    setCellText(row, IntervalColumn, QString::number(frame.interval));
    setCellText(row, FdColumn, frame.fd ? fdText : QString());
    setCellText(row, BrsColumn, frame.fd && frame.brs ? brsText : QString());
    if (frame.fd && ui->tableView->isColumnHidden(FdColumn))
        setFdShown(fdShown);
}

SendFrame DataSendWidget::frameFromRow(int row) const
{
    SendFrame frame;
    frame.extended = cellText(row, TypeColumn) != standardFrameText;
    frame.remote = cellText(row, FormatColumn) != dataFrameText;
    frame.fd = cellText(row, FdColumn) == fdText;
    frame.brs = cellText(row, BrsColumn) == brsText;
    // The cell's first two characters are the 0x that writeRow puts there; a loaded file
    // may hold anything, and whatever stands there is dropped the same way.
    frame.id = TypedNumber::asciiForms(cellText(row, IdColumn).mid(2)).toUInt(nullptr, 16);
    frame.data = bytesFromText(cellText(row, DataColumn));
    frame.framesPerSend = wholeOrZero(cellText(row, FramesPerSendColumn));
    frame.repeatCount = wholeOrZero(cellText(row, RepeatCountColumn));
    frame.interval = wholeOrZero(cellText(row, IntervalColumn));
    return frame;
}

void DataSendWidget::on_btnSend_clicked()
{
    if (ui->btnSend->text() != sendText) {
        SendThread::instance()->stopSend();
        return;
    }
    if (refuseWhileReplaying())
        return;
    SendFrame frame;
    if (!readEditor(&frame))
        return;
    if (frame.fd && ListenThread::instance()->sessionDataBitrate() == 0)
        emit statusMessage(tr("设备未以 CAN FD 模式打开，FD 帧不能发送"));
    setEditorEnabled(false);
    ui->btnSend->setText(stopText);
    ui->btnDelete->setEnabled(false);
    ui->btnSendList->setEnabled(false);
    SendThread::instance()->startSend({frame}, 1);
}

void DataSendWidget::on_btnAddToList_clicked()
{
    SendFrame frame;
    if (!readEditor(&frame))
        return;
    sendListModel->appendRow({});
    writeRow(sendListModel->rowCount() - 1, frame);
}

void DataSendWidget::on_btnUpdateList_clicked()
{
    const QModelIndex current = ui->tableView->currentIndex();
    SendFrame frame;
    if (current.isValid() && readEditor(&frame))
        writeRow(current.row(), frame);
}

void DataSendWidget::on_btnUp_clicked()
{
    moveCurrentRow(-1);
}

void DataSendWidget::on_btnDown_clicked()
{
    moveCurrentRow(1);
}

void DataSendWidget::on_btnSave_clicked()
{
    const QString path = QFileDialog::getSaveFileName(nullptr, tr("另存为"), QString(),
                                                      tr("ini File(*.ini)"));
    if (path.isEmpty())
        return;
    qDebug() << path;
    saveList(path);
}

void DataSendWidget::on_btnLoad_clicked()
{
    const QString path = QFileDialog::getOpenFileName(nullptr, tr("另存为"), QString(),
                                                      tr("ini File(*.ini)"));
    if (path.isEmpty())
        return;
    qDebug() << path;
    loadList(path);
}

void DataSendWidget::loadList(const QString &path)
{
    auto result = std::make_shared<SendListFile::ReadResult>();
    auto progress = std::make_shared<SendListFile::Progress>();
    startFileOperation(tr("正在加载发送列表 %1 …").arg(path), true,
                       [result, progress, path] { *result = SendListFile::read(path,
                                                                               progress.get()); },
                       [this, result, path] {
        if (result->cancelled) {
            emit statusMessage(tr("已取消加载 %1，列表未改变").arg(path));
            return;
        }
        if (!result->loaded) {
            emit statusMessage(tr("%1 不是可读的发送列表文件（%2），列表未改变")
                                       .arg(path, result->refusal));
            return;
        }
        sendListModel->setRows(result->rows);
        setFdShown(fdShown);
        QStringList notes;
        if (result->fileRows > result->rows.size()) {
            notes << tr("文件有 %1 行，发送列表最多 %2 行，只加载了前 %2 行")
                             .arg(result->fileRows)
                             .arg(result->rows.size());
        }
        if (result->cutCells > 0) {
            notes << tr("%1 个单元格超过 %2 个字符，已截断")
                             .arg(result->cutCells)
                             .arg(SendListFile::maxCellLength);
        }
        if (!notes.isEmpty())
            emit statusMessage(notes.join(QStringLiteral("；")));
    }, progress);
}

void DataSendWidget::saveList(const QString &path)
{
    // The rows are shared with the list until it changes, so the copy costs nothing and
    // the list stays editable while the file is written.
    const SendListRows rows = sendListModel->rows();
    auto written = std::make_shared<bool>(false);
    auto progress = std::make_shared<SendListFile::Progress>();
    startFileOperation(tr("正在保存发送列表 %1 …").arg(path), false,
                       [rows, written, progress, path] {
        *written = SendListFile::write(rows, path, progress.get());
    }, [this, written, path] {
        if (!*written) {
            qWarning() << "cannot write" << path;
            emit statusMessage(tr("发送列表无法保存到 %1").arg(path));
        }
    }, progress);
}

bool DataSendWidget::startFileOperation(const QString &label, bool cancellable,
                                        const std::function<void()> &work,
                                        const std::function<void()> &done,
                                        const std::shared_ptr<SendListFile::Progress> &progress)
{
    if (fileThread) {
        emit statusMessage(tr("发送列表文件正在读写，请稍候"));
        return false;
    }
    fileProgress = progress;
    fileThread = QThread::create(work);
    fileProgressDialog = new QProgressDialog(label, cancellable ? tr("取消") : QString(), 0,
                                             1000, this);
    fileProgressDialog->setObjectName(QStringLiteral("sendListProgress"));
    fileProgressDialog->setWindowTitle(tr("发送列表文件"));
    fileProgressDialog->setWindowModality(Qt::WindowModal);
    fileProgressDialog->setAutoReset(false);
    fileProgressDialog->setAutoClose(false);
    fileProgressDialog->setMinimumDuration(300);
    if (!cancellable)
        fileProgressDialog->setCancelButton(nullptr);
    connect(fileProgressDialog, &QProgressDialog::canceled, this,
            [progress] { progress->cancelled.store(true); });
    auto poll = new QTimer(fileProgressDialog);
    connect(poll, &QTimer::timeout, this, &DataSendWidget::showFileProgress);
    poll->start(50);
    fileProgressDialog->setValue(0);
    connect(fileThread, &QThread::finished, this, [this, done] {
        // The signal comes just before the thread ends.
        fileThread->wait();
        delete fileThread;
        fileThread = nullptr;
        delete fileProgressDialog;
        fileProgressDialog = nullptr;
        fileProgress.reset();
        done();
        emit fileOperationFinished();
    });
    fileThread->start();
    return true;
}

void DataSendWidget::showFileProgress()
{
    if (!fileProgress)
        return;
    const qint64 total = fileProgress->total.load();
    if (total > 0)
        fileProgressDialog->setValue(int(qMin<qint64>(999, fileProgress->done.load() * 1000
                                                              / total)));
}

void DataSendWidget::on_btnDelete_clicked()
{
    const QModelIndex current = ui->tableView->currentIndex();
    if (current.isValid())
        sendListModel->removeRow(current.row());
}

void DataSendWidget::on_btnSendList_clicked()
{
    if (ui->btnSendList->text() != sendListText) {
        SendThread::instance()->stopSend();
        return;
    }
    if (refuseWhileReplaying() || sendListModel->rowCount() == 0)
        return;
    // Read unchecked, a count beyond the integers became a negative one and sent nothing.
    int passes = 0;
    QString passesRefusal;
    if (!FrameCheck::parseCount(ui->txtListSendCount->text(), FrameCheck::maxRepeatCount,
                                tr("发送次数"), &passes, &passesRefusal)) {
        markRefused(ui->txtListSendCount, true);
        emit statusMessage(passesRefusal);
        return;
    }
    setEditorEnabled(false);
    ui->btnSend->setEnabled(false);
    ui->btnSendList->setText(stopText);
    ui->btnDelete->setEnabled(false);
    QList<SendFrame> frames;
    QString firstRefusal;
    QModelIndex firstRefusedCell;
    for (int row = 0; row < sendListModel->rowCount(); ++row) {
        SendFrame frame;
        QString reason;
        int column = -1;
        if (!readRow(row, &frame, &reason, &column)) {
            // One failed row in the log where the row would have gone out, nothing written;
            // it shows what the row reads as, so that it is found in the list, rather than
            // an identifier 0x000 that nobody sent.
            frame = frameFromRow(row);
            frame.sendable = false;
            frame.framesPerSend = 1;
            frame.repeatCount = 1;
            frame.interval = 0;
            if (firstRefusal.isEmpty()) {
                firstRefusal = tr("第 %1 行：%2").arg(row + 1).arg(reason);
                firstRefusedCell = sendListModel->index(row, column);
            }
        }
        frames.append(frame);
    }
    if (!firstRefusal.isEmpty()) {
        // The list's field that was refused is its cell: it becomes the current one.
        ui->tableView->setCurrentIndex(firstRefusedCell);
        ui->tableView->scrollTo(firstRefusedCell);
        emit statusMessage(firstRefusal);
    }
    SendThread::instance()->startSend(frames, passes);
}

void DataSendWidget::on_tableView_clicked(const QModelIndex &index)
{
    const SendFrame frame = frameFromRow(index.row());
    ui->cbxType->setCurrentIndex(frame.extended ? 1 : 0);
    setEditorFd(frame.fd, frame.brs);
    ui->cbxForm->setCurrentIndex(frame.remote ? 1 : 0);
    ui->txtID->setText(hexText(frame.id));
    ui->txtData->setText(bytesText(frame.data));
    // Counts and the interval come as the cells hold them: "1e3" read loosely would come
    // in as an interval of 0 ms, where the editor now refuses it.
    ui->txtCountOneTime->setText(cellText(index.row(), FramesPerSendColumn));
    ui->txtSendCount->setText(cellText(index.row(), RepeatCountColumn));
    ui->txtInvTime->setText(cellText(index.row(), IntervalColumn));
    ui->txtName->setText(cellText(index.row(), NameColumn));
    // A cell that does not read as a frame would come in as 00, which the editor would then
    // send as identifier 0x000: its own text comes in instead, and the editor refuses it.
    QString reason;
    quint32 id = 0;
    const QString idText = cellText(index.row(), IdColumn).mid(2);
    if (!FrameCheck::parseId(idText, frame.extended, &id, &reason))
        ui->txtID->setText(idText);
    QByteArray data;
    const QString dataText = cellText(index.row(), DataColumn);
    if (!FrameCheck::parseData(dataText, &data, &reason,
                               frame.fd ? FrameCheck::maxFdDataBytes : FrameCheck::maxDataBytes))
        ui->txtData->setText(dataText);
}

void DataSendWidget::setEditorFrame(quint32 id, bool extended, const QByteArray &data,
                                    const QString &name, bool fd)
{
    // While a list is being sent the editor is locked and is not what goes out.
    if (!ui->txtData->isEnabled())
        return;
    ui->cbxType->setCurrentIndex(extended ? 1 : 0);
    // A classic message composed after an FD one goes out classic; BRS stays as chosen.
    setEditorFd(fd, fd && chkBrs->isChecked());
    ui->cbxForm->setCurrentIndex(0);
    ui->txtID->setText(hexText(id));
    ui->txtData->setText(bytesText(data));
    ui->txtName->setText(name);
}

void DataSendWidget::addEditorSection(QWidget *section)
{
    // Above the spacer that keeps the editor's fields at the top.
    const int after = ui->verticalLayout_3->indexOf(ui->widget) + editorSections.size();
    ui->verticalLayout_3->insertWidget(after + 1, section);
    section->setEnabled(ui->txtData->isEnabled());
    section->installEventFilter(this);
    editorSections.append(section);
}

// The form lets the editor's group shrink to a fixed height, which a section below the
// fields may outgrow: the fields and buttons above it would be squeezed flat, by the
// splitter or by a window made short. The list below gives up what the editor needs.
void DataSendWidget::makeRoomForEditor()
{
    const int needed = std::max(editorFormMinimum, ui->groupBox_13->minimumSizeHint().height());
    ui->groupBox_13->setMinimumHeight(needed);
    QList<int> sizes = ui->splitter->sizes();
    if (sizes.size() < 2 || sizes.at(0) >= needed)
        return;
    sizes[1] = std::max(0, sizes.at(1) - (needed - sizes.at(0)));
    sizes[0] = needed;
    ui->splitter->setSizes(sizes);
}

// Starting a send would end the replay that the same thread runs, unasked.
bool DataSendWidget::refuseWhileReplaying()
{
    if (!SendThread::instance()->isRunningJob())
        return false;
    emit statusMessage(tr("正在回放记录，请先停止回放再发送"));
    return true;
}

// Runs for the finish of either kind of send, and may run twice for one send (a queued
// finish followed by a stop), so it restores everything unconditionally.
void DataSendWidget::sendFinishedSlot()
{
    setEditorEnabled(true);
    ui->btnDelete->setEnabled(true);
    ui->btnSend->setEnabled(true);
    ui->btnSend->setText(sendText);
    ui->btnSendList->setEnabled(true);
    ui->btnSendList->setText(sendListText);
}

void DataSendWidget::on_txtData_textChanged(const QString &arg1)
{
    ui->txtDlc->setText(hexText(dataTokens(arg1).size()));
}

QList<QWidget *> DataSendWidget::editorWidgets() const
{
    QList<QWidget *> widgets{ui->comboBox, ui->cbxForm, ui->cbxType, ui->txtID, ui->txtDlc,
                             ui->txtData, ui->txtCountOneTime, ui->txtSendCount,
                             ui->txtInvTime, ui->btnAddToList};
    for (QWidget *section : editorSections) {
        if (section)
            widgets.append(section);
    }
    return widgets;
}

void DataSendWidget::setEditorEnabled(bool enabled)
{
    for (QWidget *widget : editorWidgets())
        widget->setEnabled(enabled);
    chkFd->setEnabled(enabled);
    chkBrs->setEnabled(enabled && chkFd->isChecked());
    if (enabled && chkFd->isChecked())
        ui->cbxForm->setEnabled(false);
}

QString DataSendWidget::cellText(int row, int column) const
{
    return sendListModel->cell(row, column);
}

void DataSendWidget::setCellText(int row, int column, const QString &text)
{
    sendListModel->setData(sendListModel->index(row, column), text);
}

// Only the two rows that swap places are renumbered; the others keep their numbers, gaps
// left by deletions included.
void DataSendWidget::moveCurrentRow(int offset)
{
    const QModelIndex current = ui->tableView->currentIndex();
    if (!current.isValid())
        return;
    const int row = current.row();
    const int target = row + offset;
    if (target < 0 || target >= sendListModel->rowCount())
        return;
    sendListModel->moveRow(row, target);
    setCellText(target, NumberColumn, QString::number(target + 1));
    setCellText(row, NumberColumn, QString::number(row + 1));
    // Selecting the moved row also makes it current, so pressing again moves it further.
    ui->tableView->selectRow(target);
}
