#pragma once

#include "dbc/dbcmessage.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Reads DBC database files: messages, signals, multiplexing, value descriptions, float
// signal types, comments and the cycle-time attribute. Constructs it does not use are
// skipped; a line it cannot use is skipped with a warning naming the file and the line; a
// file that is not a DBC database at all is refused. Reentrant: any thread, one reader per
// call.

struct DbcFile
{
    QString path;
    QVector<DbcMessage> messages;
    QStringList warnings;      // "file:line: what", at most maxWarnings of them
    int skippedWarnings = 0;   // warnings beyond those kept
    QString error;             // non-empty: the file was refused and messages is empty
};

namespace DbcReader {

// Larger files are refused before being read: a real database is a few megabytes.
constexpr qint64 maxFileBytes = 64 * 1024 * 1024;
constexpr int maxWarnings = 200;
// Far more than a real message has, even with many multiplexer values; the name look-ups
// and every decoding of the message grow with the count.
constexpr int maxSignalsPerMessage = 10000;
// A statement that runs over several lines (a comment) is given up beyond this.
constexpr int maxStatementBytes = 1024 * 1024;

DbcFile readFile(const QString &path);
DbcFile parse(const QByteArray &text, const QString &fileName);

} // namespace DbcReader
