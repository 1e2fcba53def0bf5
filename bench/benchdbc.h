#pragma once

// A DBC database for the benchmarks that decode: messages of 8 bytes at consecutive
// standard identifiers, each with eight signals (Intel and Motorola, signed and unsigned,
// factors and offsets, ranges that random payloads leave now and then), value tables on
// some, every fourth message multiplexed, cycle times and comments. Plain text work: any
// thread may call it.

#include <QByteArray>
#include <QString>

class DbcDatabase;
struct DbcFile;

namespace BenchUtil {

// `messages` messages at identifiers firstId, firstId + 1, …, all below 0x800. Their
// declared cycle is 100 ms, but 20 ms for every tenth message, so that some rows show a
// measured cycle far from the database's.
QByteArray generatedDbc(int messages, int firstId = 0);

// Adds a file read from generatedDbc() to `database` and returns its number of signals,
// or -1, with the reason on stderr, when the reader did not take the text cleanly (the
// figures would then be those of a smaller database).
int addGenerated(const DbcFile &file, DbcDatabase &database);

// Writes a database of about `bytes` to `path` as a whole vehicle's export looks: extended
// identifiers, 16 signals a message (every fifth message multiplexed), value tables,
// message and signal comments and cycle times. False when the file cannot be written.
bool writeLargeDbc(const QString &path, qint64 bytes, int *messages, int *signalCount);

// Eight payload bytes that differ from one frame of a row to the next in every signal.
quint64 benchPayload(quint64 frame);

} // namespace BenchUtil
