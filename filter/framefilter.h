#pragma once

// The frame filter language, one for the frame log's filter, the search and whatever else
// picks frames: an expression such as `id in {0x100-0x1FF} && data[0] & 0x80 != 0`,
// `fd && data[63] == 0xFF` or
// `Engine.Speed > 100` is compiled once into a small tree of typed terms that tests the
// 32-byte records of the frame log directly, without text or a CanMessage per frame; a
// signal term copies the signal's layout from the database and decodes only its own bits.
// compile() may run on any thread that may read the database (the GUI thread, or any while
// nobody changes it); a compiled filter no longer refers to the database. A FrameFilter is
// immutable: matches() may run on any number of threads at once, and copies share the
// compiled terms, so a worker thread can own one cheaply.

#include "device/framerecord.h"

#include <QString>

#include <memory>

class DbcDatabase;

class FrameFilter
{
public:
    // Matches every frame, as an empty expression does.
    FrameFilter();

    // Keywords are case-insensitive, message and signal names are not. On a refused
    // expression the result is not valid (it matches nothing), *error says why in the
    // program's language and *position is the 0-based character where it went wrong.
    static FrameFilter compile(const QString &text, const DbcDatabase *database,
                               QString *error = nullptr, int *position = nullptr);
    // A frame must match both.
    static FrameFilter both(const FrameFilter &first, const FrameFilter &second);

    bool isValid() const;
    // Valid and without any term: every frame matches.
    bool matchesAll() const;
    // As given to compile(), trimmed.
    QString text() const;

    // `tails` holds the bytes beyond the eighth of an FD record; without it, an FD frame
    // shows its first eight bytes alone.
    bool matches(const FrameRecord &record, const FrameTails *tails = nullptr) const;

    // The term that picks one identifier in its format, as the user would write it.
    static QString identifierTerm(quint32 id, bool extended);
    // `expression` narrowed by `term`: both joined by &&, with parentheses only around a
    // side whose own || would otherwise take the other side in.
    static QString narrowed(const QString &expression, const QString &term);

    struct Program;

private:
    std::shared_ptr<const Program> program;
};
