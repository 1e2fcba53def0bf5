#include "dbcdatabase.h"

#include <QFileInfo>

QStringList DbcDatabase::add(const DbcFile &file)
{
    QStringList replaced;
    if (!file.error.isEmpty())
        return replaced;
    for (const DbcMessage &message : file.messages) {
        const uint64_t key = dbcMessageKey(message.id, message.extended);
        const auto found = m_index.constFind(key);
        if (found == m_index.constEnd()) {
            m_index.insert(key, m_messages.size());
            m_messages.append(message);
            continue;
        }
        DbcMessage &old = m_messages[found.value()];
        replaced.append(QStringLiteral("报文 0x%1 %2（%3）被 %4 中的 %5 替换")
                            .arg(QString::number(message.id, 16).toUpper(), old.name,
                                 QFileInfo(old.file).fileName(),
                                 QFileInfo(message.file).fileName(), message.name));
        old = message;
    }
    m_files.append(file.path);
    return replaced;
}

void DbcDatabase::clear()
{
    m_messages.clear();
    m_index.clear();
    m_files.clear();
}

const DbcMessage *DbcDatabase::messageByName(const QString &name) const
{
    for (const DbcMessage &message : m_messages) {
        if (message.name == name)
            return &message;
    }
    return nullptr;
}
