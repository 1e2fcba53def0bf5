#include "devicebar/fdmode.h"

#include "device/adaptercalls.h"

#include <QAction>
#include <QBoxLayout>
#include <QComboBox>
#include <QLabel>
#include <QMenu>

FdMode::FdMode(QMenu *menu, QBoxLayout *bar, QWidget *bitrateBox, QObject *parent)
    : QObject(parent)
{
    fdAction = menu->addAction(QStringLiteral("CAN FD"));
    fdAction->setObjectName(QStringLiteral("actCanFd"));
    fdAction->setCheckable(true);
    fdAction->setToolTip(QStringLiteral("下次打开设备时生效：以 CAN FD 模式打开，收发最长 64 "
                                        "字节的帧"));
    if (!adapterCalls().hasFd()) {
        fdAction->setEnabled(false);
        fdAction->setToolTip(QStringLiteral("适配器库不支持 CAN FD"));
    }

    dataLabel = new QLabel(QStringLiteral("数据波特率:"), bitrateBox->parentWidget());
    dataLabel->setFont(bitrateBox->font());
    dataLabel->setVisible(false);
    dataBox = new QComboBox(bitrateBox->parentWidget());
    dataBox->setObjectName(QStringLiteral("cbxDataBaudrate"));
    dataBox->setFont(bitrateBox->font());
    dataBox->setToolTip(QStringLiteral("数据波特率：FD 帧数据段的位速率"));
    const int rates[] = { 1000, 2000, 4000, 5000, 8000 };
    for (int kbps : rates)
        dataBox->addItem(QStringLiteral("%1M").arg(kbps / 1000), kbps);
    dataBox->setCurrentIndex(1);
    dataBox->setVisible(false);
    bar->insertWidget(bar->indexOf(bitrateBox) + 1, dataLabel);
    bar->insertWidget(bar->indexOf(dataLabel) + 1, dataBox);

    connect(fdAction, &QAction::toggled, this, [this](bool on) {
        on = on && fdAction->isEnabled();
        dataLabel->setVisible(on);
        dataBox->setVisible(on);
        if (!editable)
            emit changedWhileOpen();
    });
}

quint32 FdMode::dataBitrate() const
{
    return fdAction->isEnabled() && fdAction->isChecked() ? dataBox->currentData().toUInt()
                                                          : 0;
}

void FdMode::setEditable(bool on)
{
    editable = on;
    dataBox->setEnabled(on);
}
