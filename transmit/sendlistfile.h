#pragma once

// Stores the send list in an INI file and reads it back: group INFO with key Count, and
// one group CMDn per row (n from 0) whose keys 0, 1, ... hold the cell texts of the
// columns. The cells are stored and restored as plain texts, nothing is interpreted. Keys
// 0 to 9 are always written; the later ones (the FD flags) only when their cell is not
// empty, so that a classic list is written as it always was and an older file reads with
// those cells empty.
//
// The file is read by a streaming reader of the INI grammar the toolkit's settings class
// writes and reads (comments, quotes, escapes, lists, %-encoded names, the UTF-8 byte order
// mark), which finds every row, count and group exactly as that class does, without
// holding every key of a large list in memory. Only Count is read more strictly than that
// class reads it: a Count it would take as 0 refuses the file instead. A list is written
// by a writer of that same format when the file is new; over an existing file, whose other
// groups must stay as the settings class would keep them, that class writes it.
//
// read() and write() run on any thread and touch only their arguments; the Progress they
// are given may be polled and cancelled from another thread. save() and load() work on a
// model and must run in that model's thread.

#include "transmit/sendlistmodel.h"

#include <QString>

#include <atomic>

namespace SendListFile {

// A load builds at most this many rows that have no CMDn group of their own in the file,
// so that a damaged or hostile Count cannot make it build millions of rows.
constexpr int maxRowsWithoutGroup = 10000;
// A list holds at most this many rows; a load keeps the first of a longer file.
constexpr int maxListRows = 1000000;
// No cell of a sendable row is longer; a longer one is cut to this length on loading, so
// that a hostile file cannot make every repaint of the list lay out megabytes of text.
constexpr int maxCellLength = 1000;

struct Progress
{
    std::atomic<qint64> done{0};
    std::atomic<qint64> total{0};
    std::atomic<bool> cancelled{false};
};

struct ReadResult
{
    bool loaded = false; // false: no send list in the file (or cancelled), list unchanged
    bool cancelled = false;
    QString refusal;     // why a file that was read is no send list, for the user
    int cutCells = 0;
    qint64 fileRows = 0; // the rows the file describes; more than rows.size() when cut
    SendListRows rows;
};

// The rows of the file: as many as Count says, bounded by the CMDn groups present and by
// maxRows. A file is no send list when it cannot be read, holds no group INFO with a Count
// that is a whole number from 0 up (TypedNumber), or has a Count above 0 and no row.
ReadResult read(const QString &path, Progress *progress = nullptr,
                int maxRows = maxListRows);

// Writes Count and every row's cells; groups of a previous file at the path that are not
// written again stay in it. Returns false when the file could not be written. A write is
// not cancelled: the previous file stays whole until the new one replaces it.
bool write(const SendListRows &rows, const QString &path, Progress *progress = nullptr);

struct LoadResult
{
    bool loaded = false;
    int cutCells = 0;
};

bool save(const SendListModel &model, const QString &path);
// Replaces all rows of the model by those in the file, unless it holds no send list.
LoadResult load(SendListModel *model, const QString &path);

} // namespace SendListFile
