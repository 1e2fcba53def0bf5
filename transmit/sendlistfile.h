#pragma once

// Stores the send list in an INI file and reads it back: group INFO with key Count, and
// one group CMDn per row (n from 0) whose keys 0, 1, ... hold the cell texts of the
// columns. The cells are stored and restored as plain texts, nothing is interpreted.
//
// The functions work on a model the caller owns and must run in that model's thread.

#include <QString>

class QStandardItemModel;

namespace SendListFile {

// A load builds at most this many rows that have no CMDn group of their own in the file,
// so that a damaged or hostile Count cannot make it build millions of rows.
constexpr int maxRowsWithoutGroup = 10000;

// Writes Count and every row's cells; groups of a previous file at the path that are not
// written again stay in it. Returns false when the file could not be written.
bool save(const QStandardItemModel &model, const QString &path);

// Replaces all rows of the model by those in the file. A missing or unreadable file, or
// one without a positive Count, leaves the model without rows. Rows beyond the last CMDn
// group of the file are not built.
void load(QStandardItemModel *model, const QString &path);

} // namespace SendListFile
