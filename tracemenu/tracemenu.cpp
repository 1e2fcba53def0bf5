#include "tracemenu/tracemenu.h"

#include "monitor/framelogmodel.h"
#include "monitor/monitorcontext.h"
#include "monitor/workprogress.h"
#include "tracemenu/recorder.h"
#include "tracemenu/replaydialog.h"
#include "tracemenu/traceopen.h"
#include "tracemenu/tracereplay.h"
#include "tracemenu/tracesave.h"
#include "tracemenu/triggeredrecordingmenu.h"
#include "transmit/sendthread.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>

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

using DeviceState = MonitorContext::DeviceState;

} // namespace

TraceMenu::TraceMenu(MonitorContext *context, QWidget *window)
    : QObject(window)
    , context(context)
    , window(window)
{
    saveAction = new QAction(QStringLiteral("保存记录…"), this);
    saveAction->setObjectName(QStringLiteral("actionSaveTrace"));
    connect(saveAction, &QAction::triggered, this, &TraceMenu::save);
    openAction = new QAction(QStringLiteral("打开记录…"), this);
    openAction->setObjectName(QStringLiteral("actionOpenTrace"));
    connect(openAction, &QAction::triggered, this, &TraceMenu::open);

    recorder = new Recorder(this);
    // Queued even though the writer thread emits it: a recording the user stopped and
    // started again in the meantime must not be stopped by the old one's failure.
    connect(recorder, &Recorder::failed, this, [this] {
        if (recorder->isRecording() && !recorder->errorString().isEmpty())
            finishRecording();
    }, Qt::QueuedConnection);
    startRecordingAction = new QAction(QStringLiteral("开始录制…"), this);
    startRecordingAction->setObjectName(QStringLiteral("actionStartRecording"));
    connect(startRecordingAction, &QAction::triggered, this, &TraceMenu::startRecording);
    stopRecordingAction = new QAction(QStringLiteral("停止录制"), this);
    stopRecordingAction->setObjectName(QStringLiteral("actionStopRecording"));
    stopRecordingAction->setEnabled(false);
    connect(stopRecordingAction, &QAction::triggered, this, &TraceMenu::finishRecording);
    recordingLabel = new QLabel(window);
    recordingLabel->setObjectName(QStringLiteral("lblRecording"));
    recordingLabel->hide();
    recordingTimer = new QTimer(this);
    recordingTimer->setInterval(1000);
    connect(recordingTimer, &QTimer::timeout, this, &TraceMenu::updateRecordingField);
    triggeredRecording = new TriggeredRecordingMenu(context, window, startRecordingAction,
                                                    stopRecordingAction);

    replayAction = new QAction(QStringLiteral("回放记录…"), this);
    replayAction->setObjectName(QStringLiteral("actionReplayTrace"));
    replayAction->setToolTip(QStringLiteral("把记录文件中的帧按原来的时间间隔发送到打开的设备"));
    connect(replayAction, &QAction::triggered, this, &TraceMenu::chooseReplay);
    stopReplayAction = new QAction(QStringLiteral("停止回放"), this);
    stopReplayAction->setObjectName(QStringLiteral("actionStopReplay"));
    stopReplayAction->setEnabled(false);
    TraceReplay *replay = TraceReplay::instance();
    connect(stopReplayAction, &QAction::triggered, replay, &TraceReplay::stop);
    connect(replay, &TraceReplay::progress, this, [this](const ReplayProgress &progress) {
        this->context->showStatus(ReplayDialog::statusText(progress, false));
    });
    // A finish may arrive after the next replay has started, which keeps the action.
    connect(replay, &TraceReplay::finished, this, [this](const ReplayProgress &progress) {
        stopReplayAction->setEnabled(TraceReplay::instance()->isRunning());
        this->context->showStatus(ReplayDialog::statusText(progress, true));
    });
    // A replay must not go on writing into a device that is gone or going.
    connect(context, &MonitorContext::deviceClosing, replay, &TraceReplay::stop);
    connect(context, &MonitorContext::deviceStateChanged, this, [](DeviceState state) {
        if (state == DeviceState::Closed)
            TraceReplay::instance()->stop();
    });
}

TraceMenu::~TraceMenu()
{
    TraceReplay::instance()->stop();
    // The file is completed with every frame up to the window's end.
    recorder->stop();
}

QList<QAction *> TraceMenu::actions() const
{
    return { saveAction, openAction, startRecordingAction, stopRecordingAction,
             triggeredRecording->action(), replayAction, stopReplayAction };
}

QList<QLabel *> TraceMenu::recordingFields() const
{
    return { recordingLabel, triggeredRecording->stateField() };
}

void TraceMenu::setBusy(bool busy)
{
    saveAction->setEnabled(!busy);
    openAction->setEnabled(!busy);
}

void TraceMenu::save()
{
    QString filter;
    QString path = QFileDialog::getSaveFileName(window, QStringLiteral("保存记录"),
                                                QDir::currentPath(),
                                                traceSaveFilters().join(QStringLiteral(";;")),
                                                &filter);
    if (path.isEmpty())
        return;
    const QString typed = path;
    const trace::Format format = traceSaveFormat(&path, filter);
    if (format == trace::Format::Unknown) {
        context->showStatus(QStringLiteral("保存记录失败：%1：无法确定文件类型").arg(path));
        return;
    }
    // The dialog asked about the name as typed; the added extension names another file.
    if (path != typed && QFileInfo::exists(path)
        && QMessageBox::question(window, QStringLiteral("保存记录"),
                                 QStringLiteral("%1 已存在，要替换它吗？")
                                     .arg(QFileInfo(path).fileName()))
               != QMessageBox::Yes) {
        return;
    }

    // The rows are taken as they are now; the table goes on filling while they are written.
    int ofRows = -1;
    FrameLogSnapshot shown = context->shownRows(&ofRows);
    const int rows = shown.rowCount();
    auto job = new TraceSave(std::move(shown), path, format, this);
    QProgressDialog *progress = workProgress(window, QStringLiteral("正在保存…"),
                                             QStringLiteral("保存记录"),
                                             QStringLiteral("saveTraceProgress"), rows);
    connect(progress, &QProgressDialog::canceled, job, &TraceSave::cancel);
    connect(job, &TraceSave::progress, progress, &QProgressDialog::setValue);
    connect(job, &TraceSave::finished, this,
            [this, job, progress, ofRows](TraceSave::Outcome outcome) {
        if (outcome == TraceSave::Failed) {
            context->showStatus(QStringLiteral("保存记录失败：%1：%2")
                                    .arg(job->path(), job->errorText()));
        } else if (outcome == TraceSave::Cancelled) {
            context->showStatus(QStringLiteral("保存记录已取消"));
        } else {
            QString text = QStringLiteral("已保存 %1 帧到 %2")
                               .arg(MonitorContext::countText(job->framesWritten(), ofRows),
                                    job->path());
            if (job->refusedRows() > 0)
                text += QStringLiteral("（%1 行发送失败，未写入）").arg(job->refusedRows());
            context->showStatus(text);
        }
        progress->deleteLater();
        job->deleteLater();
        setBusy(false);
    });
    setBusy(true);
    job->start();
}

void TraceMenu::open()
{
    // A trace is viewed offline: live frames would interleave with it under other
    // numbers and another clock, and a later save would hold neither capture.
    if (context->deviceState() != DeviceState::Closed) {
        context->showStatus(QStringLiteral("请先关闭设备再打开记录"));
        return;
    }
    const QString path = QFileDialog::getOpenFileName(
            window, QStringLiteral("打开记录"), QDir::currentPath(),
            traceOpenFilters().join(QStringLiteral(";;")));
    if (path.isEmpty())
        return;
    auto job = new TraceOpen(path, this);
    if (!job->start()) {
        context->showStatus(QStringLiteral("打开记录失败：%1：%2").arg(path, job->errorText()));
        delete job;
        return;
    }
    context->clearFrames();
    traceOpen = job;
    framesLoaded = 0;

    QProgressDialog *progress = workProgress(window, QStringLiteral("正在打开…"),
                                             QStringLiteral("打开记录"),
                                             QStringLiteral("openTraceProgress"), 1000);
    connect(progress, &QProgressDialog::canceled, job, &TraceOpen::cancel);
    connect(job, &TraceOpen::progress, progress, &QProgressDialog::setValue);
    connect(job, &TraceOpen::frames, this, [this](const FrameChunkRun &run) {
        framesLoaded += run.rows();
        context->appendChunks(run);
    });
    connect(job, &TraceOpen::finished, this, [this, job, progress](TraceOpen::Outcome outcome) {
        const qint64 dropped = framesLoaded - context->frameLog()->rowCount();
        QString text;
        if (outcome == TraceOpen::Failed) {
            text = QStringLiteral("打开记录出错：%1：%2，已载入 %3 帧")
                       .arg(job->path(), job->errorText()).arg(framesLoaded);
        } else if (outcome == TraceOpen::Cancelled) {
            text = QStringLiteral("打开记录已取消，已载入 %1 帧").arg(framesLoaded);
        } else {
            text = QStringLiteral("已打开 %1：%2 帧").arg(job->path()).arg(framesLoaded);
        }
        if (dropped > 0)
            text += QStringLiteral("，超出行数上限舍弃最早的 %1 帧").arg(dropped);
        if (job->skipped() > 0)
            text += QStringLiteral("，跳过 %1 条无法解析的记录").arg(job->skipped());
        context->showStatus(text);
        traceOpen = nullptr;
        context->announceFramesReplaced();
        progress->deleteLater();
        job->deleteLater();
        setBusy(false);
    });
    setBusy(true);
}

void TraceMenu::startRecording()
{
    QStringList filters;
    for (const RecordingType &type : recordingTypes)
        filters << QString::fromUtf8(type.filter);
    QString selected = filters.first();
    QString path = QFileDialog::getSaveFileName(window, QStringLiteral("开始录制"),
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
            && QMessageBox::question(window, QStringLiteral("开始录制"),
                                     QStringLiteral("%1 已存在，要替换它吗？")
                                         .arg(QFileInfo(path).fileName()))
                   != QMessageBox::Yes) {
            return;
        }
    }
    QString error;
    if (!recorder->start(path, format, &error)) {
        context->showStatus(QStringLiteral("无法录制到 %1: %2").arg(path, error));
        return;
    }
    startRecordingAction->setEnabled(false);
    stopRecordingAction->setEnabled(true);
    updateRecordingField();
    recordingLabel->show();
    recordingTimer->start();
    context->showStatus(QStringLiteral("开始录制到 %1").arg(path));
}

void TraceMenu::finishRecording()
{
    if (!recorder->isRecording())
        return;
    recordingTimer->stop();
    const bool ok = recorder->stop();
    recordingLabel->hide();
    startRecordingAction->setEnabled(true);
    stopRecordingAction->setEnabled(false);
    const QString name = QFileInfo(recorder->path()).fileName();
    if (!ok) {
        const QString text = QStringLiteral("录制失败已停止: %1: %2，文件保留到最后一个完整帧")
                                     .arg(name, recorder->errorString());
        context->showStatus(text);
        auto box = new QMessageBox(QMessageBox::Warning, QStringLiteral("录制"), text,
                                   QMessageBox::Ok, window);
        box->setObjectName(QStringLiteral("recordingFailed"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    QString text = QStringLiteral("录制已停止: %1 共%2帧").arg(name)
                           .arg(recorder->framesRecorded());
    if (recorder->framesLost() > 0)
        text += QStringLiteral("，丢失%1帧").arg(recorder->framesLost());
    context->showStatus(text);
}

void TraceMenu::updateRecordingField()
{
    QString text = QStringLiteral("录制: %1  %2帧").arg(QFileInfo(recorder->path()).fileName())
                           .arg(recorder->framesRecorded());
    if (recorder->framesLost() > 0)
        text += QStringLiteral("  丢失%1帧").arg(recorder->framesLost());
    recordingLabel->setText(text);
    recordingLabel->setToolTip(QDir::toNativeSeparators(recorder->path()));
}

void TraceMenu::chooseReplay()
{
    // Refused before the dialogs, so that nobody picks a file for nothing.
    if (context->deviceState() != DeviceState::Open) {
        context->showStatus(QStringLiteral("设备未打开，不能回放记录"));
        return;
    }
    if (TraceReplay::instance()->isRunning()) {
        context->showStatus(QStringLiteral("正在回放记录，请先停止回放"));
        return;
    }
    if (SendThread::instance()->isRunning()) {
        context->showStatus(QStringLiteral("正在发送，请先停止发送再回放记录"));
        return;
    }
    const QString path = QFileDialog::getOpenFileName(
            window, QStringLiteral("回放记录"), QFileInfo(lastReplayOptions.path).path(),
            QStringLiteral("记录文件 (*.log *.asc *.pcap *.pcapng *.blf *.csv);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    ReplayOptions options = lastReplayOptions;
    options.path = path;
    ReplayDialog dialog(options, window);
    if (dialog.exec() != QDialog::Accepted)
        return;
    lastReplayOptions = dialog.options();
    replayTrace(lastReplayOptions);
}

bool TraceMenu::replayTrace(const ReplayOptions &options)
{
    // The device may have closed while the dialogs were open.
    if (context->deviceState() != DeviceState::Open) {
        context->showStatus(QStringLiteral("设备未打开，不能回放记录"));
        return false;
    }
    QString error;
    if (!TraceReplay::instance()->start(options, &error)) {
        context->showStatus(QStringLiteral("不能回放记录：%1").arg(error));
        return false;
    }
    stopReplayAction->setEnabled(true);
    context->showStatus(QStringLiteral("回放中：%1").arg(QFileInfo(options.path).fileName()));
    return true;
}
