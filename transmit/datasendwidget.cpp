#include "transmit/datasendwidget.h"
#include "ui_datasendwidget.h"

#include "dbc/dbcdatabase.h"
#include "dbcview/signalcomposerwidget.h"
#include "transmit/framecheck.h"
#include "transmit/sendlistfile.h"
#include "transmit/sendlistmodel.h"
#include "transmit/sendthread.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDebug>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QMap>
#include <QProgressDialog>
#include <QScopedValueRollback>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

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
    ColumnCount
};

const QString dataFrameText = QStringLiteral("数据帧");
const QString remoteFrameText = QStringLiteral("远程帧");
const QString standardFrameText = QStringLiteral("标准帧");
const QString extendedFrameText = QStringLiteral("扩展帧");
const QString sendText = QStringLiteral("立即发送");
const QString sendListText = QStringLiteral("列表发送");
const QString stopText = QStringLiteral("停止发送");
const char refusedProperty[] = "inputRefused";

QStringList dataTokens(const QString &text)
{
    return text.split(QStringLiteral(" "), Qt::SkipEmptyParts);
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
                               tr("时间间隔")});
    ui->tableView->setModel(sendListModel);
    const int widths[ColumnCount] = {50, 80, 80, 200, 50, 50, 50, 60, 60, 90};
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

    for (QLineEdit *field : { ui->txtID, ui->txtData, ui->txtCountOneTime, ui->txtSendCount,
                              ui->txtInvTime, ui->txtListSendCount }) {
        connect(field, &QLineEdit::textChanged, this,
                [this, field] { markRefused(field, false); });
    }
    connect(ui->cbxType, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { markRefused(ui->txtID, false); });

    setupNarrowEditor();
    setupComposer();

    // A send must not outlive the window it was started from: closing the window stops
    // it before the application's event loop has wound down.
    if (parent)
        parent->window()->installEventFilter(this);
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
    QString reason;
    QWidget *refused = nullptr;
    if (!FrameCheck::parseId(ui->txtID->text(), read.extended, &read.id, &reason))
        refused = ui->txtID;
    else if (!FrameCheck::parseData(ui->txtData->text(), &read.data, &reason))
        refused = ui->txtData;
    else if (!FrameCheck::parseCount(ui->txtCountOneTime->text(),
                                     FrameCheck::maxFramesPerSend, true, tr("每次发送帧数"),
                                     &read.framesPerSend, &reason))
        refused = ui->txtCountOneTime;
    else if (!FrameCheck::parseCount(ui->txtSendCount->text(), FrameCheck::maxRepeatCount,
                                     true, tr("发送次数"), &read.repeatCount, &reason))
        refused = ui->txtSendCount;
    else if (!FrameCheck::parseCount(ui->txtInvTime->text(), FrameCheck::maxIntervalMs,
                                     false, tr("每次时间间隔"), &read.interval, &reason))
        refused = ui->txtInvTime;
    if (refused) {
        markRefused(refused, true);
        emit statusMessage(reason);
        return false;
    }
    *frame = read;
    return true;
}

bool DataSendWidget::readRow(int row, SendFrame *frame, QString *reason) const
{
    SendFrame read;
    read.extended = cellText(row, TypeColumn) != standardFrameText;
    read.remote = cellText(row, FormatColumn) != dataFrameText;
    const bool ok = FrameCheck::parseId(cellText(row, IdColumn).mid(2), read.extended,
                                        &read.id, reason)
            && FrameCheck::parseData(cellText(row, DataColumn), &read.data, reason)
            && FrameCheck::parseCount(cellText(row, FramesPerSendColumn),
                                      FrameCheck::maxFramesPerSend, false, tr("帧数"),
                                      &read.framesPerSend, reason)
            && FrameCheck::parseCount(cellText(row, RepeatCountColumn),
                                      FrameCheck::maxRepeatCount, false, tr("次数"),
                                      &read.repeatCount, reason)
            && FrameCheck::parseCount(cellText(row, IntervalColumn), FrameCheck::maxIntervalMs,
                                      false, tr("时间间隔"), &read.interval, reason);
    if (ok)
        *frame = read;
    return ok;
}

SendFrame DataSendWidget::frameFromEditor() const
{
    SendFrame frame;
    frame.id = ui->txtID->text().toUInt(nullptr, 16);
    frame.data = bytesFromText(ui->txtData->text());
    frame.extended = ui->cbxType->currentData().toBool();
    frame.remote = ui->cbxForm->currentData().toBool();
    frame.framesPerSend = ui->txtCountOneTime->text().toInt();
    frame.repeatCount = ui->txtSendCount->text().toInt();
    frame.interval = int(ui->txtInvTime->text().toUInt());
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
}

SendFrame DataSendWidget::frameFromRow(int row) const
{
    SendFrame frame;
    frame.extended = cellText(row, TypeColumn) != standardFrameText;
    frame.remote = cellText(row, FormatColumn) != dataFrameText;
    // The cell's first two characters are the 0x that writeRow puts there; a loaded file
    // may hold anything, and whatever stands there is dropped the same way.
    frame.id = cellText(row, IdColumn).mid(2).toUInt(nullptr, 16);
    frame.data = bytesFromText(cellText(row, DataColumn));
    frame.framesPerSend = int(cellText(row, FramesPerSendColumn).toUInt());
    frame.repeatCount = int(cellText(row, RepeatCountColumn).toUInt());
    frame.interval = int(cellText(row, IntervalColumn).toUInt());
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
        if (result->cancelled)
            emit statusMessage(tr("已取消加载 %1，列表未改变").arg(path));
        else if (!result->loaded)
            emit statusMessage(tr("%1 不是可读的发送列表文件，列表未改变").arg(path));
        else
            sendListModel->setRows(result->rows);
        if (result->loaded && result->cutCells > 0)
            emit statusMessage(tr("%1 个单元格超过 %2 个字符，已截断")
                                       .arg(result->cutCells)
                                       .arg(SendListFile::maxCellLength));
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
                                false, tr("发送次数"), &passes, &passesRefusal)) {
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
    for (int row = 0; row < sendListModel->rowCount(); ++row) {
        SendFrame frame;
        QString reason;
        if (!readRow(row, &frame, &reason)) {
            // One failed row in the log where the row would have gone out, nothing written;
            // it shows what the row reads as, so that it is found in the list, rather than
            // an identifier 0x000 that nobody sent.
            frame = frameFromRow(row);
            frame.sendable = false;
            frame.framesPerSend = 1;
            frame.repeatCount = 1;
            frame.interval = 0;
            if (firstRefusal.isEmpty())
                firstRefusal = tr("第 %1 行：%2").arg(row + 1).arg(reason);
        }
        frames.append(frame);
    }
    if (!firstRefusal.isEmpty())
        emit statusMessage(firstRefusal);
    SendThread::instance()->startSend(frames, passes);
}

void DataSendWidget::on_tableView_clicked(const QModelIndex &index)
{
    const SendFrame frame = frameFromRow(index.row());
    ui->cbxType->setCurrentIndex(frame.extended ? 1 : 0);
    ui->cbxForm->setCurrentIndex(frame.remote ? 1 : 0);
    ui->txtID->setText(hexText(frame.id));
    ui->txtData->setText(bytesText(frame.data));
    ui->txtCountOneTime->setText(QString::number(frame.framesPerSend));
    ui->txtSendCount->setText(QString::number(frame.repeatCount));
    ui->txtInvTime->setText(QString::number(frame.interval));
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
    if (!FrameCheck::parseData(dataText, &data, &reason))
        ui->txtData->setText(dataText);
}

void DataSendWidget::setEditorFrame(quint32 id, bool extended, const QByteArray &data,
                                    const QString &name)
{
    // While a list is being sent the editor is locked and is not what goes out.
    if (!ui->txtData->isEnabled())
        return;
    ui->cbxType->setCurrentIndex(extended ? 1 : 0);
    ui->cbxForm->setCurrentIndex(0);
    ui->txtID->setText(hexText(id));
    ui->txtData->setText(bytesText(data));
    ui->txtName->setText(name);
}

void DataSendWidget::setDatabase(const DbcDatabase *database)
{
    composer->setDatabase(database);
    composeGroup->setVisible(database && !database->isEmpty());
    // Once the layouts have taken the change in.
    QTimer::singleShot(0, this, &DataSendWidget::makeRoomForEditor);
}

// The form lets the editor's group shrink to a fixed height, which the group "由信号组帧"
// outgrows: the fields and buttons above it would be squeezed flat, by the splitter or by
// a window made short. The list below gives up what the editor needs.
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

void DataSendWidget::setupComposer()
{
    editorFormMinimum = ui->groupBox_13->minimumHeight();
    composeGroup = new QGroupBox(tr("由信号组帧"), ui->groupBox_13);
    composeGroup->setObjectName(QStringLiteral("grpCompose"));
    composeGroup->setCheckable(true);
    composeGroup->setChecked(false);
    composer = new SignalComposerWidget(composeGroup);
    composer->setObjectName(QStringLiteral("panelComposer"));
    composer->setPlaceholderText(tr("（选择报文）"));
    composer->hide();
    auto *layout = new QVBoxLayout(composeGroup);
    layout->addWidget(composer);
    connect(composeGroup, &QGroupBox::toggled, composer, &QWidget::setVisible);
    connect(composeGroup, &QGroupBox::toggled, this, [this] {
        QTimer::singleShot(0, this, &DataSendWidget::makeRoomForEditor);
    });
    connect(composer, &SignalComposerWidget::frameComposed, this,
            &DataSendWidget::setEditorFrame);
    // Bytes typed by hand stay what is sent; the table shows what they carry, and values
    // typed afterwards change only their own bits.
    connect(ui->txtData, &QLineEdit::textEdited, this, [this](const QString &text) {
        const DbcMessage *message = composer->currentMessage();
        if (!composeGroup->isChecked() || !message)
            return;
        const SendFrame frame = frameFromEditor();
        if (frame.id == message->id && frame.extended == message->extended)
            composer->setPayload(bytesFromText(text));
    });
    // Below the editor's fields, above the spacer that keeps them at the top.
    ui->verticalLayout_3->insertWidget(ui->verticalLayout_3->indexOf(ui->widget) + 1,
                                       composeGroup);
    composeGroup->hide();
}

// Starting a send would end the replay that the same thread runs, unasked.
bool DataSendWidget::refuseWhileReplaying()
{
    if (!SendThread::instance()->isReplaying())
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
    return {ui->comboBox, ui->cbxForm, ui->cbxType, ui->txtID, ui->txtDlc, ui->txtData,
            ui->txtCountOneTime, ui->txtSendCount, ui->txtInvTime, ui->btnAddToList,
            composeGroup};
}

void DataSendWidget::setEditorEnabled(bool enabled)
{
    for (QWidget *widget : editorWidgets())
        widget->setEnabled(enabled);
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
void DataSendWidget::markRefused(QWidget *field, bool refused)
{
    if (field->property(refusedProperty).toBool() == refused)
        return;
    field->setProperty(refusedProperty, refused);
    field->style()->unpolish(field);
    field->style()->polish(field);
}

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
