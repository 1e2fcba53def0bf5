#include "idview/idstatsexport.h"

#include "idview/idviewmodel.h"

#include <QSaveFile>
#include <QTextStream>

bool exportIdStatistics(const IdViewModel &model, const QString &path, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        *error = file.errorString();
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    // The signal columns belong to the children, which are not exported; the database's
    // columns only when there is one, so the file stays as it was without.
    const int columns = model.hasDatabase() ? IdViewModel::MessageNameColumn + 1
                                            : IdViewModel::DbcCycleColumn;
    for (int column = 0; column < columns; ++column) {
        out << model.headerData(column, Qt::Horizontal).toString()
            << (column + 1 < columns ? "," : "\n");
    }
    // No cell text holds a comma or a quote, so no field needs quoting.
    for (int row = 0; row < model.rowCount(); ++row) {
        for (int column = 0; column < columns; ++column)
            out << model.text(row, column) << (column + 1 < columns ? "," : "\n");
    }
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
