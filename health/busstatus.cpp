#include "health/busstatus.h"

QString busStateText(const BusStatus &status)
{
    QString state = QStringLiteral("未知");
    if (status.known) {
        switch (status.report.state) {
        case CANABLE_STATE_ERROR_ACTIVE: state = QStringLiteral("主动错误"); break;
        case CANABLE_STATE_ERROR_WARNING: state = QStringLiteral("错误警告"); break;
        case CANABLE_STATE_ERROR_PASSIVE: state = QStringLiteral("错误被动"); break;
        case CANABLE_STATE_BUS_OFF: state = QStringLiteral("总线关闭"); break;
        case CANABLE_STATE_STOPPED: state = QStringLiteral("已停止"); break;
        default: break;
        }
    }
    return QStringLiteral("状态:%1").arg(state);
}

QString busStateColour(const BusStatus &status)
{
    if (!status.known)
        return QString();
    switch (status.report.state) {
    case CANABLE_STATE_ERROR_ACTIVE: return QStringLiteral("#4caf50");
    case CANABLE_STATE_ERROR_WARNING:
    case CANABLE_STATE_ERROR_PASSIVE: return QStringLiteral("#fdd835");
    case CANABLE_STATE_BUS_OFF: return QStringLiteral("#f44336");
    default: return QString();
    }
}

QString errorCountersText(const BusStatus &status)
{
    const auto counter = [&](qint32 value) {
        return status.known && value >= 0 ? QString::number(value) : QStringLiteral("--");
    };
    return QStringLiteral("TEC:%1 REC:%2")
        .arg(counter(status.report.txErrors), counter(status.report.rxErrors));
}

QString droppedFramesText(const BusStatus &status)
{
    if (!status.known)
        return QStringLiteral("丢帧:--");
    return QStringLiteral("丢帧:%1")
        .arg(status.report.kernelDrops + status.report.adapterDrops);
}
