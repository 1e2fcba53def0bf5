#include "framelog.h"

#include "canmessage.h"

#include <QStandardItemModel>

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

QStandardItemModel *receiveModel = nullptr;

void writeFrameLogRow(QStandardItemModel *model, int row, int index, const CanMessage &msg)
{
    const QString texts[] = {
        QString::number(index),
        QStringLiteral("0x%1").arg(msg.id, 2, 16, QLatin1Char('0')),
        QString::fromLatin1(msg.data.toHex(' ')),
        QStringLiteral("0x%1").arg(msg.dlc, 2, 16, QLatin1Char('0')),
        msg.direction == 1 ? QStringLiteral("发送") : QStringLiteral("接收"),
        msg.success ? QStringLiteral("成功") : QStringLiteral("失败"),
        msg.time.toString(QStringLiteral("hh:mm:ss:zzz")),
        msg.remote ? QStringLiteral("远程帧") : QStringLiteral("数据帧"),
        msg.extended ? QStringLiteral("扩展帧") : QStringLiteral("标准帧"),
    };

    // A failed transmission is marked red whatever its direction.
    QColor background;
    if (msg.direction == 0)
        background = QColor(80, 80, 100);
    if (!msg.success)
        background = QColor(150, 0, 0);

    for (int column = 0; column < int(sizeof texts / sizeof texts[0]); ++column) {
        auto item = new QStandardItem(texts[column]);
        if (background.isValid())
            item->setBackground(background);
        model->setItem(row, column, item);
    }
}

void applyRowLimit(QStandardItemModel *model, const QString &limitText)
{
    const int limit = limitText.toInt();
    const int rows = model->rowCount();
    if (limit >= 0 && rows > limit)
        model->removeRows(0, rows - limit);
}
