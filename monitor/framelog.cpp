#include "monitor/framelog.h"

const QList<QPair<QString, int>> columnHeaders = {
    { QStringLiteral("序号"), 57 },
    { QStringLiteral("帧ID"), 46 },
    { QStringLiteral("数据"), 205 },
    { QStringLiteral("DLC"), 45 },
    { QStringLiteral("传输方向"), 67 },
    { QStringLiteral("状态"), 42 },
    { QStringLiteral("时间标识"), 105 },
    { QStringLiteral("格式"), 56 },
    { QStringLiteral("类型"), 56 },
};

const QList<QPair<QString, int>> optionalColumnHeaders = {
    { QStringLiteral("解析"), 340 },
};

FrameLogModel *receiveModel = nullptr;

int rowLimit(const QString &text)
{
    return text.toInt();
}
