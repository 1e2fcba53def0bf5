#include "monitor/workprogress.h"

#include <QProgressDialog>

#include <algorithm>

QProgressDialog *workProgress(QWidget *parent, const QString &label, const QString &title,
                              const QString &objectName, int maximum)
{
    auto progress = new QProgressDialog(label, QStringLiteral("取消"), 0, std::max(maximum, 1),
                                        parent);
    progress->setObjectName(objectName);
    progress->setWindowTitle(title);
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(300);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setValue(0);
    return progress;
}
