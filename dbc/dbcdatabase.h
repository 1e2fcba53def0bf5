#pragma once

#include "dbc/dbcreader.h"

#include <QHash>
#include <QStringList>
#include <QVector>

// The messages of all loaded DBC files, found by identifier. A later file's message for an
// identifier replaces the earlier one. Built and changed in one thread (the GUI thread);
// lookups are const and may be shared with other threads only while nobody changes it.
// clear() returns at once and frees the messages on a thread of its own.
class DbcDatabase
{
public:
    struct LoadReport
    {
        int filesLoaded = 0;
        int messagesLoaded = 0;
        QStringList refused;    // one line per file that could not be used
        QStringList warnings;   // lines skipped, over all files
        int moreWarnings = 0;   // beyond those listed
        QStringList replaced;
        // The one line the user is told, in the program's language.
        QString summary() const;
    };

    // Reads the files in order and adds those that read without error.
    LoadReport load(const QStringList &paths);
    // Adds files read elsewhere (DbcReader::readFile on another thread), in order, and
    // tells what happened as load() does.
    LoadReport addFiles(const QVector<DbcFile> &files);
    // Adds a file that was read without error. Returns one line per identifier whose
    // message the file replaced.
    QStringList add(const DbcFile &file);
    void clear();
    // Takes the other's messages and files in place of its own, at once whatever their size.
    void replace(DbcDatabase &&other);

    const DbcMessage *message(uint32_t id, bool extended) const
    {
        const auto found = m_index.constFind(dbcMessageKey(id, extended));
        return found == m_index.constEnd() ? nullptr : &m_messages.at(found.value());
    }
    const DbcMessage *messageByName(const QString &name) const;

    const QVector<DbcMessage> &messages() const { return m_messages; }
    const QStringList &files() const { return m_files; }
    bool isEmpty() const { return m_messages.isEmpty(); }

private:
    QVector<DbcMessage> m_messages;
    QHash<uint64_t, int> m_index;
    QStringList m_files;
};
