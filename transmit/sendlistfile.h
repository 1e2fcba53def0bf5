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
// No cell of a sendable row is longer; a longer one is cut to this length on loading, so
// that a hostile file cannot make every repaint of the list lay out megabytes of text.
constexpr int maxCellLength = 1000;

struct LoadResult
{
    bool loaded = false; // false: the file held no send list and the model is unchanged
    int cutCells = 0;
};

// Writes Count and every row's cells; groups of a previous file at the path that are not
// written again stay in it. Returns false when the file could not be written.
bool save(const QStandardItemModel &model, const QString &path);

// Replaces all rows of the model by those in the file. A file that holds neither an INFO
// nor a CMDn group (missing, unreadable, empty, not INI) leaves the model as it was; one
// without a positive Count leaves it without rows. Rows beyond the last CMDn group of the
// file are not built.
LoadResult load(QStandardItemModel *model, const QString &path);

} // namespace SendListFile
