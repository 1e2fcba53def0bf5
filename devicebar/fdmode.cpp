#include "devicebar/fdmode.h"

#include "device/adaptercalls.h"
#include "monitor/monitorcontext.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>

FdMode::FdMode(MonitorContext *context, QWidget *bar)
    : QObject(bar)
    , context(context)
{
    fdAction = new QAction(QStringLiteral("CAN FD"), this);
    fdAction->setObjectName(QStringLiteral("actCanFd"));
    fdAction->setCheckable(true);
    fdAction->setToolTip(QStringLiteral("下次打开设备时生效：以 CAN FD 模式打开，收发最长 64 "
                                        "字节的帧"));
    if (!adapterCalls().hasFd()) {
        fdAction->setEnabled(false);
        fdAction->setToolTip(QStringLiteral("适配器库不支持 CAN FD"));
    }

    dataLabel = new QLabel(QStringLiteral("数据波特率:"), bar);
    dataLabel->setVisible(false);
    dataBox = new QComboBox(bar);
    dataBox->setObjectName(QStringLiteral("cbxDataBaudrate"));
    dataBox->setToolTip(QStringLiteral("数据波特率：FD 帧数据段的位速率"));
    for (int kbps : { 1000, 2000, 4000, 5000, 8000 })
        dataBox->addItem(QStringLiteral("%1M").arg(kbps / 1000), kbps);
    dataBox->setCurrentIndex(1);
    dataBox->setVisible(false);

    connect(fdAction, &QAction::toggled, this, [this](bool on) {
        on = on && fdAction->isEnabled();
        dataLabel->setVisible(on);
        dataBox->setVisible(on);
        if (this->context->deviceState() != MonitorContext::DeviceState::Closed) {
            this->context->showStatus(on ? QStringLiteral("CAN FD 模式将在下次打开设备时生效")
                                         : QStringLiteral("经典 CAN 模式将在下次打开设备时生效"));
        }
        emit fdChosen(on);
    });
    connect(context, &MonitorContext::deviceStateChanged, this,
            [this](MonitorContext::DeviceState state) {
        dataBox->setEnabled(state == MonitorContext::DeviceState::Closed);
    });
}

void FdMode::chooseFor(ListenThread::OpenOptions *options) const
{
    options->dataBitrate = fdAction->isEnabled() && fdAction->isChecked()
            ? dataBox->currentData().toUInt() : 0;
}
