#include "monitor/framelog.h"

#include "traceformats/framelogrow.h"

namespace {

QList<QPair<QString, int>> namedColumns()
{
    const int widths[trace::LogColumnCount] = { 57, 46, 205, 45, 67, 42, 105, 56, 56 };
    QList<QPair<QString, int>> columns;
    for (int column = 0; column < trace::LogColumnCount; ++column)
        columns.append({ QString::fromUtf8(trace::logColumnNames[column]), widths[column] });
    return columns;
}

} // namespace

const QList<QPair<QString, int>> columnHeaders = namedColumns();

const QList<QPair<QString, int>> optionalColumnHeaders = {
    { QStringLiteral("解析"), 340 },
};

FrameLogModel *receiveModel = nullptr;

int rowLimit(const QString &text)
{
    return text.toInt();
}
