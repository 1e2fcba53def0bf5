#include "tracemenu/triggeredrecordingmenu.h"

#include "input/refusedfield.h"
#include "input/typedspinbox.h"
#include "monitor/monitorcontext.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

struct FormatChoice
{
    const char *text;
    trace::Format format;
};

const FormatChoice formats[] = {
    { "Vector BLF (*.blf)", trace::Format::Blf },
    { "Vector ASC (*.asc)", trace::Format::Asc },
    { "candump日志 (*.log)", trace::Format::CandumpLog },
    { "pcap (*.pcap)", trace::Format::Pcap },
};

} // namespace

TriggeredRecordingDialog::TriggeredRecordingDialog(const DbcDatabase *database, QWidget *parent)
    : QDialog(parent)
    , database(database)
{
    setObjectName(QStringLiteral("triggeredRecordingDialog"));
    setWindowTitle(QStringLiteral("条件录制"));
    auto form = new QFormLayout(this);
    const auto field = [this](const char *name, const QString &placeholder) {
        auto edit = new QLineEdit(this);
        edit->setObjectName(QLatin1String(name));
        edit->setPlaceholderText(placeholder);
        edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 45);
        connect(edit, &QLineEdit::textChanged, this, [this, edit] {
            markRefused(edit, false);
            errorLabel->hide();
        });
        return edit;
    };
    startField = field("txtTriggerStart", QStringLiteral("例如 id == 0x7E8 && data[1] == 0x41"));
    form->addRow(QStringLiteral("开始条件："), startField);
    beforeSeconds = new TypedSpinBox(this);
    beforeSeconds->setObjectName(QStringLiteral("spnBeforeSeconds"));
    beforeSeconds->setRange(0, TriggeredRecorder::maxBeforeSeconds);
    beforeSeconds->setValue(5);
    beforeSeconds->setSuffix(QStringLiteral(" 秒"));
    form->addRow(QStringLiteral("保留触发前："), beforeSeconds);
    endChoice = new QComboBox(this);
    endChoice->setObjectName(QStringLiteral("cbxTriggerEnd"));
    endChoice->addItem(QStringLiteral("停止条件"), int(TriggeredRecorder::End::StopExpression));
    endChoice->addItem(QStringLiteral("触发后秒数"), int(TriggeredRecorder::End::Seconds));
    endChoice->addItem(QStringLiteral("手动（停止录制）"), int(TriggeredRecorder::End::Manual));
    form->addRow(QStringLiteral("结束："), endChoice);
    stopField = field("txtTriggerStop", QStringLiteral("例如 id == 0x7E8 && data[1] == 0x7F"));
    form->addRow(QStringLiteral("停止条件："), stopField);
    afterSeconds = new TypedSpinBox(this);
    afterSeconds->setObjectName(QStringLiteral("spnAfterSeconds"));
    afterSeconds->setRange(1, 24 * 3600);
    afterSeconds->setValue(10);
    afterSeconds->setSuffix(QStringLiteral(" 秒"));
    form->addRow(QStringLiteral("触发后："), afterSeconds);
    formatChoice = new QComboBox(this);
    formatChoice->setObjectName(QStringLiteral("cbxTriggerFormat"));
    for (const FormatChoice &format : formats)
        formatChoice->addItem(QString::fromUtf8(format.text), int(format.format));
    form->addRow(QStringLiteral("格式："), formatChoice);
    auto fileRow = new QHBoxLayout;
    pathField = field("txtTriggerFile", QStringLiteral("文件按 名称_001、名称_002 … 编号"));
    auto browse = new QPushButton(QStringLiteral("浏览…"), this);
    fileRow->addWidget(pathField);
    fileRow->addWidget(browse);
    form->addRow(QStringLiteral("文件："), fileRow);
    rearm = new QCheckBox(QStringLiteral("重新等待"), this);
    rearm->setObjectName(QStringLiteral("chkRearm"));
    rearm->setToolTip(QStringLiteral("每个文件完成后再次等待触发，文件依次编号"));
    form->addRow(QString(), rearm);
    errorLabel = new QLabel(this);
    errorLabel->setObjectName(QStringLiteral("lblTriggerError"));
    errorLabel->setStyleSheet(QStringLiteral("color: rgb(200,0,0);"));
    errorLabel->hide();
    form->addRow(errorLabel);
    auto buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("开始等待"));
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &TriggeredRecordingDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TriggeredRecordingDialog::reject);
    connect(browse, &QPushButton::clicked, this, &TriggeredRecordingDialog::chooseFile);
    connect(endChoice, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &TriggeredRecordingDialog::showEnd);
    showEnd();
}

void TriggeredRecordingDialog::showEnd()
{
    const auto end = TriggeredRecorder::End(endChoice->currentData().toInt());
    stopField->setEnabled(end == TriggeredRecorder::End::StopExpression);
    afterSeconds->setEnabled(end == TriggeredRecorder::End::Seconds);
}

void TriggeredRecordingDialog::chooseFile()
{
    QStringList filters;
    for (const FormatChoice &format : formats)
        filters << QString::fromUtf8(format.text);
    QString selected = filters.value(formatChoice->currentIndex());
    const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("条件录制"), pathField->text().isEmpty()
                    ? QDir::currentPath() : pathField->text(),
            filters.join(QStringLiteral(";;")), &selected);
    if (path.isEmpty())
        return;
    pathField->setText(path);
    const trace::Format format = trace::formatForPath(QFile::encodeName(path).toStdString());
    const int index = formatChoice->findData(int(format));
    formatChoice->setCurrentIndex(index >= 0 ? index : std::max(0, filters.indexOf(selected)));
}

bool TriggeredRecordingDialog::refuse(QLineEdit *field, const QString &text)
{
    markRefused(field, true);
    errorLabel->setText(text);
    errorLabel->show();
    field->setFocus();
    return false;
}

void TriggeredRecordingDialog::accept()
{
    TriggeredRecorder::Options options;
    QString error;
    int position = 0;
    if (startField->text().trimmed().isEmpty())
        return void(refuse(startField, QStringLiteral("请填写开始条件")));
    options.start = FrameFilter::compile(startField->text(), database, &error, &position);
    if (!options.start.isValid())
        return void(refuse(startField, QStringLiteral("筛选表达式错误：%1（位置 %2）")
                                               .arg(error).arg(position)));
    options.end = TriggeredRecorder::End(endChoice->currentData().toInt());
    if (options.end == TriggeredRecorder::End::StopExpression) {
        if (stopField->text().trimmed().isEmpty())
            return void(refuse(stopField, QStringLiteral("请填写停止条件")));
        options.stop = FrameFilter::compile(stopField->text(), database, &error, &position);
        if (!options.stop.isValid())
            return void(refuse(stopField, QStringLiteral("筛选表达式错误：%1（位置 %2）")
                                                  .arg(error).arg(position)));
    }
    options.beforeSeconds = beforeSeconds->value();
    options.afterSeconds = afterSeconds->value();
    options.format = trace::Format(formatChoice->currentData().toInt());
    options.rearm = rearm->isChecked();
    QString path = pathField->text().trimmed();
    if (path.isEmpty())
        return void(refuse(pathField, QStringLiteral("请选择文件")));
    // The numbered files take the chosen format's extension.
    if (trace::formatForPath(QFile::encodeName(path).toStdString()) != options.format)
        path += QLatin1Char('.') + QLatin1String(trace::extensionOf(options.format));
    if (!QFileInfo(QFileInfo(path).path()).isDir())
        return void(refuse(pathField, QStringLiteral("文件夹不存在：%1")
                                              .arg(QFileInfo(path).path())));
    options.path = path;
    chosen = options;
    QDialog::accept();
}

TriggeredRecordingMenu::TriggeredRecordingMenu(MonitorContext *context, QWidget *window,
                                               QAction *startRecording, QAction *stopRecording)
    : QObject(window)
    , context(context)
    , window(window)
    , startRecording(startRecording)
    , stopRecording(stopRecording)
    , triggered(new TriggeredRecorder(this))
{
    armAction = new QAction(QStringLiteral("条件录制…"), this);
    armAction->setObjectName(QStringLiteral("actionTriggeredRecording"));
    armAction->setToolTip(QStringLiteral("满足开始条件时录制，包括触发前几秒的帧"));
    connect(armAction, &QAction::triggered, this, &TriggeredRecordingMenu::choose);
    connect(stopRecording, &QAction::triggered, this, [this] {
        if (triggered->isArmed())
            disarm();
    });
    stateLabel = new QLabel(window);
    stateLabel->setObjectName(QStringLiteral("lblTriggeredRecording"));
    stateLabel->hide();
    poll = new QTimer(this);
    poll->setInterval(250);
    connect(poll, &QTimer::timeout, this, &TriggeredRecordingMenu::showState);
    connect(triggered, &TriggeredRecorder::fileFinished, this,
            [this](const QString &path, quint64 frames, quint64 lost) {
        QString text = QStringLiteral("条件录制完成：%1 共%2帧").arg(QFileInfo(path).fileName())
                               .arg(frames);
        if (lost > 0)
            text += QStringLiteral("，丢失%1帧").arg(lost);
        this->context->showStatus(text);
    }, Qt::QueuedConnection);
    connect(triggered, &TriggeredRecorder::failed, this, [this] {
        if (triggered->isArmed())
            disarm();
    }, Qt::QueuedConnection);
}

void TriggeredRecordingMenu::choose()
{
    if (!startRecording->isEnabled() && !triggered->isArmed()) {
        context->showStatus(QStringLiteral("正在录制，请先停止录制"));
        return;
    }
    TriggeredRecordingDialog dialog(&context->database(), window);
    if (dialog.exec() == QDialog::Accepted)
        arm(dialog.options());
}

bool TriggeredRecordingMenu::arm(const TriggeredRecorder::Options &options)
{
    QString error;
    if (!triggered->start(options, &error)) {
        context->showStatus(QStringLiteral("无法开始条件录制：%1").arg(error));
        return false;
    }
    armAction->setEnabled(false);
    startRecording->setEnabled(false);
    stopRecording->setEnabled(true);
    poll->start();
    showState();
    context->showStatus(QStringLiteral("条件录制：等待触发"));
    return true;
}

void TriggeredRecordingMenu::disarm()
{
    poll->stop();
    const bool ok = triggered->stop();
    stateLabel->hide();
    armAction->setEnabled(true);
    startRecording->setEnabled(true);
    stopRecording->setEnabled(false);
    if (!ok) {
        const QString text = QStringLiteral("条件录制失败已停止: %1: %2")
                                     .arg(QFileInfo(triggered->currentPath()).fileName(),
                                          triggered->errorString());
        context->showStatus(text);
        auto box = new QMessageBox(QMessageBox::Warning, QStringLiteral("条件录制"), text,
                                   QMessageBox::Ok, window);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    context->showStatus(QStringLiteral("条件录制已停止，共%1个文件")
                               .arg(triggered->filesCompleted()));
}

void TriggeredRecordingMenu::showState()
{
    switch (triggered->state()) {
    case TriggeredRecorder::State::Idle:
        // The last file of a recorder that does not wait again is complete.
        if (triggered->isArmed())
            disarm();
        return;
    case TriggeredRecorder::State::Waiting:
        stateLabel->setText(QStringLiteral("等待触发"));
        break;
    case TriggeredRecorder::State::Recording: {
        QString text = QStringLiteral("录制: %1  %2帧")
                               .arg(QFileInfo(triggered->currentPath()).fileName())
                               .arg(triggered->framesRecorded());
        if (triggered->framesLost() > 0)
            text += QStringLiteral("  丢失%1帧").arg(triggered->framesLost());
        stateLabel->setText(text);
        break;
    }
    }
    stateLabel->show();
}
