#include "csvexport.h"

#include <QAbstractItemModel>
#include <QFile>
#include <QTextStream>

bool exportFrameLog(const QAbstractItemModel *model, int rows, int columns,
                    const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;

    // The stream keeps the locale's encoding; Qt 5 takes a C or POSIX locale for UTF-8,
    // so the Chinese texts survive an unset LANG.
    QTextStream out(&file);
    for (int column = 0; column < columns; ++column)
        out << model->headerData(column, Qt::Horizontal).toString() << ',';
    out << '\n';
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column)
            out << model->index(row, column).data().toString() << ',';
        out << '\n';
    }
    out.flush();
    file.close();
    return out.status() == QTextStream::Ok && file.error() == QFile::NoError;
}
