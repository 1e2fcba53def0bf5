#include "monitor/framelog.h"

#include "input/refusedfield.h"
#include "input/typednumber.h"

#include <QLineEdit>

#include <limits>

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
