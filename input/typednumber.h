#pragma once

// Reads numbers as the user typed them, in any field of the program. A Chinese input
// method in full-width mode types "１０００" for 1000 and "－" for the minus sign; such a
// text reads as the number it shows. Anything else that is not a whole number ("1e3",
// "0x10", "1,000", "1 000", "10.0", nothing at all) is no whole number, rather than 0.
//
// Pure functions; any thread.

#include <QString>

namespace TypedNumber {

// The text with full-width forms (U+FF01 to U+FF5E) and the ideographic space as the
// ASCII characters they show.
QString asciiForms(const QString &text);

// Blanks around, an optional sign and decimal digits. A number beyond the 64-bit range
// saturates, so that every bound a caller checks refuses it.
bool readWhole(const QString &text, qint64 *value);

} // namespace TypedNumber
