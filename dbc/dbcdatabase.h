#pragma once

#include "dbcreader.h"

#include <QHash>
#include <QStringList>
#include <QVector>

// The messages of all loaded DBC files, found by identifier. A later file's message for an
// identifier replaces the earlier one. Built and changed in one thread (the GUI thread);
// lookups are const and may be shared with other threads only while nobody changes it.
class DbcDatabase
{
public:
    // Adds a file that was read without error. Returns one line per identifier whose
    // message the file replaced.
    QStringList add(const DbcFile &file);
    void clear();

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
