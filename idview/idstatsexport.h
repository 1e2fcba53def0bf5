#pragma once

// Writes the "按ID显示" table to a comma-separated file. GUI thread only.

#include <QString>

class IdViewModel;

// A header line, then one line per row in the table's order with the texts the table
// shows: the statistics, and the message name and database cycle while a database is
// loaded (signals are not written). The file is replaced only when everything was written.
// Returns false with the reason in `error` otherwise.
bool exportIdStatistics(const IdViewModel &model, const QString &path, QString *error);
