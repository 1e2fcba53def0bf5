#include "health/healthfields.h"

#include "device/adaptercalls.h"
#include "health/busstatus.h"

#include <QLabel>

HealthFields::HealthFields(QWidget *parent)
    : QObject(parent)
{
    const auto field = [parent](QLabel *&label, const char *name, const QString &tip) {
        label = new QLabel(parent);
        label->setObjectName(QLatin1String(name));
        label->setToolTip(tip);
    };
    field(errorCount, "lblErrorCount", QStringLiteral("控制器报告的错误帧数"));
    field(busState, "lblBusState", QStringLiteral("控制器的错误状态"));
    field(errorCounters, "lblErrorCounters", QStringLiteral("发送错误计数 / 接收错误计数"));
    field(drops, "lblDrops", QStringLiteral("内核与适配器丢弃的帧数"));
    field(busLoad, "lblBusLoad", QStringLiteral("最近一秒收发帧占用的总线时间（含填充位）"));
}

QList<QLabel *> HealthFields::fields() const
{
    return { errorCount, busState, errorCounters, drops, busLoad };
}

void HealthFields::show(const HandleThread::Snapshot &now)
{
    errorCount->setText(adapterCalls().readErrorEvent
                            ? QStringLiteral("错误帧:%1").arg(now.errorCount)
                            : QStringLiteral("错误帧:--"));
    busState->setText(busStateText(now.status));
    const QString colour = busStateColour(now.status);
    busState->setStyleSheet(colour.isEmpty()
                                ? QString()
                                : QStringLiteral("color: %1; font-weight: bold;").arg(colour));
    errorCounters->setText(errorCountersText(now.status));
    drops->setText(droppedFramesText(now.status));
    busLoad->setText(now.busLoadPercent < 0
                         ? QStringLiteral("总线负载:--")
                         : QStringLiteral("总线负载:%1%").arg(now.busLoadPercent, 0, 'f', 1));
}
