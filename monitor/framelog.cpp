#include "framelog.h"

#include "canmessage.h"
#include "errorframe.h"

#include <QColor>
#include <QStandardItemModel>

#include <iterator>

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

namespace {

// An error event is no frame: its row names the event in the data column and leaves the
// columns that describe a frame's outcome and format empty.
QList<QStandardItem *> errorEventRow(qint64 index, const CanMessage &msg)
{
    const QString texts[] = {
        QString::number(index),
        QStringLiteral("0x%1").arg(msg.errorClass, 3, 16, QLatin1Char('0')),
        errorEventText(msg.errorClass, msg.data),
        QStringLiteral("0x%1").arg(msg.dlc, 2, 16, QLatin1Char('0')),
        QStringLiteral("接收"),
        QString(),
        msg.time.toString(QStringLiteral("hh:mm:ss:zzz")),
        QString(),
        QStringLiteral("错误帧"),
    };
    QList<QStandardItem *> row;
    row.reserve(int(std::size(texts)));
    for (const QString &text : texts) {
        auto item = new QStandardItem(text);
        item->setData(QColor(150, 100, 0), Qt::BackgroundRole);
        row.append(item);
    }
    return row;
}

} // namespace

QList<QStandardItem *> frameLogRow(qint64 index, const CanMessage &msg)
{
    if (msg.error)
        return errorEventRow(index, msg);

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

    // A refused write is red even though its direction would leave it uncoloured.
    QColor background;
    if (msg.direction == 0)
        background = QColor(80, 80, 100);
    if (!msg.success)
        background = QColor(150, 0, 0);

    QList<QStandardItem *> row;
    row.reserve(int(std::size(texts)));
    for (const QString &text : texts) {
        auto item = new QStandardItem(text);
        if (background.isValid())
            item->setData(background, Qt::BackgroundRole);
        row.append(item);
    }
    return row;
}

int rowLimit(const QString &text)
{
    return text.toInt();
}

void appendFrameLogRows(QStandardItemModel *model, const QList<CanMessage> &messages,
                        qint64 firstIndex, int limit)
{
    const int added = messages.size();
    const int oldRows = model->rowCount();
    const qint64 allRows = qint64(oldRows) + added;
    const int keptRows = limit >= 0 && allRows > limit ? limit : int(allRows);
    const int keptNew = qMin(added, keptRows);
    const int removedOld = oldRows - (keptRows - keptNew);

    // Trimming before appending keeps the model small and skips rows that would
    // only be built to be thrown away.
    if (removedOld > 0)
        model->removeRows(0, removedOld);
    for (int i = added - keptNew; i < added; ++i)
        model->appendRow(frameLogRow(firstIndex + i, messages.at(i)));
}

void applyRowLimit(QStandardItemModel *model, int limit)
{
    const int rows = model->rowCount();
    if (limit >= 0 && rows > limit)
        model->removeRows(0, rows - limit);
}
