#include "monitor/framelog.h"

#include "input/refusedfield.h"
#include "input/typednumber.h"
#include "traceformats/framelogrow.h"

#include <QLineEdit>

#include <limits>

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

bool readRowLimit(QLineEdit *field, int *limit, QString *refusal)
{
    const QString text = field->text();
    qint64 number = 0;
    // A typo must not delete the kept rows: "1e6", "1,000" or nothing read as 0 once.
    const bool valid = TypedNumber::readWhole(text, &number)
            && number >= std::numeric_limits<int>::min()
            && number <= std::numeric_limits<int>::max();
    markRefused(field, !valid);
    if (!valid) {
        *refusal = QStringLiteral("最大显示行数无效：%1").arg(text.left(40));
        return false;
    }
    *limit = int(number);
    return true;
}
