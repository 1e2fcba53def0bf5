#pragma once

// Reads the texts of the frame editor and of send list cells strictly: an identifier or
// data byte that is not hexadecimal, an identifier beyond its format's range, a count or
// interval that is not a whole number (TypedNumber) or lies outside its bounds is refused
// with a reason for the user, instead of becoming something that was not typed.
// Full-width digits and letters read as the ones they show.
//
// Pure functions; any thread.

#include "canable/canable.h"

#include <QByteArray>
#include <QString>

namespace FrameCheck {

constexpr int maxFramesPerSend = 1000000;
constexpr int maxRepeatCount = 1000000;
constexpr int maxIntervalMs = 3600000;
constexpr int maxDataBytes = int(CANABLE_MAX_DATA_BYTES);
constexpr int maxFdDataBytes = int(CANABLE_MAX_FD_DATA_BYTES);

// Hexadecimal digits, at most 0x7FF for a standard frame and 0x1FFFFFFF for an extended one.
bool parseId(const QString &text, bool extended, quint32 *id, QString *reason);
// Tokens separated by spaces, each one byte in hexadecimal; at most `maxBytes` of them.
bool parseData(const QString &text, QByteArray *data, QString *reason,
               int maxBytes = maxDataBytes);
// The least CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64) that holds `size` bytes; -1
// above 64.
int fdLength(int size);
// Whether the frame's FD flags go together: BRS only on an FD frame, no remote FD frame.
// `data` is as parseData() read it for the frame's kind; an FD frame's data between two
// valid lengths is padded up with 0x00, and `padded` gets the number of bytes added.
bool checkFd(bool fd, bool brs, bool remote, QByteArray *data, int *padded, QString *reason);
// A count or interval from 0 to `highest`; `name` is the field's label in the reason.
bool parseCount(const QString &text, int highest, const QString &name, int *value,
                QString *reason);

} // namespace FrameCheck
