#pragma once

// Reads the texts of the frame editor and of send list cells strictly: an identifier or
// data byte that is not hexadecimal, an identifier beyond its format's range or a count
// beyond its bound is refused with a reason for the user, instead of becoming something
// that was not typed. Empty or non-numeric counts and intervals stay 0.
//
// Pure functions; any thread.

#include <QByteArray>
#include <QString>

namespace FrameCheck {

constexpr int maxFramesPerSend = 1000000;
constexpr int maxRepeatCount = 1000000;
constexpr int maxIntervalMs = 3600000;
constexpr int maxDataBytes = 8;
constexpr int maxFdDataBytes = 64;

// Hexadecimal digits, at most 0x7FF for a standard frame and 0x1FFFFFFF for an extended one.
bool parseId(const QString &text, bool extended, quint32 *id, QString *reason);
// Tokens separated by spaces, each one byte in hexadecimal; at most `maxBytes` of them.
bool parseData(const QString &text, QByteArray *data, QString *reason,
               int maxBytes = maxDataBytes);
// The least CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64) that holds `size` bytes; -1
// above 64.
int fdLength(int size);
// Whether the frame's FD flags go together: BRS only on an FD frame, no remote FD frame,
// and at most 64 bytes on an FD frame and 8 on a classic one. An FD frame's data between
// two valid lengths is padded up with 0x00; `padded` gets the number of bytes added.
bool checkFd(bool fd, bool brs, bool remote, QByteArray *data, int *padded, QString *reason);
// A decimal count: 0 when empty or not a number (as the fields have always read), refused
// above `highest`. A negative number is kept only for signedText and is 0 otherwise.
// `name` is the field's label in the reason.
bool parseCount(const QString &text, int highest, bool signedText, const QString &name,
                int *value, QString *reason);

} // namespace FrameCheck
