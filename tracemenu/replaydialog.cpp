#include "tracemenu/replaydialog.h"

#include "input/typedspinbox.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

ReplayDialog::ReplayDialog(const ReplayOptions &options, QWidget *parent)
    : QDialog(parent)
    , path(options.path)
{
    setWindowTitle(QStringLiteral("回放记录"));
    setObjectName(QStringLiteral("replayDialog"));

    auto *file = new QLabel(QFileInfo(path).fileName(), this);
    file->setToolTip(path);
    chkLoop = new QCheckBox(QStringLiteral("循环"), this);
    chkLoop->setObjectName(QStringLiteral("chkLoop"));
    chkLoop->setToolTip(QStringLiteral("回放到文件末尾后从头再来，直到停止回放"));
    chkLoop->setChecked(options.loop);
    spnSpeed = new TypedDoubleSpinBox(this);
    spnSpeed->setObjectName(QStringLiteral("spnSpeed"));
    spnSpeed->setRange(ReplayOptions::minSpeed, ReplayOptions::maxSpeed);
    spnSpeed->setDecimals(2);
    spnSpeed->setSingleStep(0.5);
    spnSpeed->setSuffix(QStringLiteral(" 倍"));
    spnSpeed->setToolTip(QStringLiteral("帧间隔按记录中的时间除以此倍数：2 倍即快一倍"));
    spnSpeed->setValue(options.speed);
    chkReceivedOnly = new QCheckBox(QStringLiteral("仅回放接收帧"), this);
    chkReceivedOnly->setObjectName(QStringLiteral("chkReceivedOnly"));
    chkReceivedOnly->setToolTip(QStringLiteral("记录中标为发送的帧不回放"));
    chkReceivedOnly->setChecked(options.receivedOnly);

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("文件"), file);
    form->addRow(QStringLiteral("速度倍数"), spnSpeed);
    form->addRow(QString(), chkLoop);
    form->addRow(QString(), chkReceivedOnly);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("回放"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

ReplayOptions ReplayDialog::options() const
{
    ReplayOptions options;
    options.path = path;
    options.loop = chkLoop->isChecked();
    options.speed = spnSpeed->value();
    options.receivedOnly = chkReceivedOnly->isChecked();
    return options;
}

QString ReplayDialog::statusText(const ReplayProgress &progress, bool finished)
{
    QString counts = QStringLiteral("已发送 %1 帧").arg(progress.sent);
    if (progress.failed > 0)
        counts += QStringLiteral("，失败 %1 帧").arg(progress.failed);
    if (progress.skipped > 0)
        counts += QStringLiteral("，跳过 %1 帧").arg(progress.skipped);
    if (progress.pass > 1)
        counts += QStringLiteral("，第 %1 遍").arg(progress.pass);
    if (!finished)
        return QStringLiteral("回放中：%1（%2%）").arg(counts).arg(progress.percent);
    if (!progress.error.isEmpty())
        return QStringLiteral("回放中止（读取失败：%1）：%2").arg(progress.error, counts);
    if (progress.stopped)
        return QStringLiteral("回放已停止：%1").arg(counts);
    if (progress.sent + progress.failed == 0)
        return QStringLiteral("记录中没有可回放的帧（跳过 %1 帧）").arg(progress.skipped);
    return QStringLiteral("回放结束：%1").arg(counts);
}
