#include "dbc/dbcdatabase.h"

#include "memory/heaprelease.h"

#include <QFileInfo>

#include <thread>

QStringList DbcDatabase::add(const DbcFile &file)
{
    QStringList replaced;
    if (!file.error.isEmpty())
        return replaced;
    m_messages.reserve(m_messages.size() + file.messages.size());
    m_index.reserve(m_messages.size() + file.messages.size());
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
    m_files.removeAll(file.path);
    m_files.append(file.path);
    return replaced;
}

void DbcDatabase::clear()
{
    // A database of a whole vehicle is a million blocks of the heap, which take the thread
    // that frees them most of a second; the allocator keeps their pages unless asked.
    if (!m_messages.isEmpty()) {
        std::thread([messages = std::move(m_messages), index = std::move(m_index)]() mutable {
            messages = QVector<DbcMessage>();
            index = QHash<uint64_t, int>();
            returnFreedMemory();
        }).detach();
    }
    m_messages = QVector<DbcMessage>();
    m_index = QHash<uint64_t, int>();
    m_files.clear();
}

void DbcDatabase::replace(DbcDatabase &&other)
{
    clear();
    std::swap(m_messages, other.m_messages);
    std::swap(m_index, other.m_index);
    std::swap(m_files, other.m_files);
}

const DbcMessage *DbcDatabase::messageByName(const QString &name) const
{
    for (const DbcMessage &message : m_messages) {
        if (message.name == name)
            return &message;
    }
    return nullptr;
}

DbcDatabase::LoadReport DbcDatabase::load(const QStringList &paths)
{
    QVector<DbcFile> files;
    files.reserve(paths.size());
    for (const QString &path : paths)
        files.append(DbcReader::readFile(path));
    return addFiles(files);
}

DbcDatabase::LoadReport DbcDatabase::addFiles(const QVector<DbcFile> &files)
{
    LoadReport report;
    for (const DbcFile &file : files) {
        if (!file.error.isEmpty()) {
            report.refused.append(file.error);
            continue;
        }
        report.replaced += add(file);
        ++report.filesLoaded;
        report.messagesLoaded += file.messages.size();
        report.warnings += file.warnings;
        report.moreWarnings += file.skippedWarnings;
    }
    // Reading a large file leaves the heap with the room of its text and of everything
    // the reader built on the way.
    if (report.filesLoaded > 0)
        returnFreedMemory();
    return report;
}

QString DbcDatabase::LoadReport::summary() const
{
    if (filesLoaded == 0)
        return refused.isEmpty() ? QString()
                                 : QStringLiteral("加载DBC失败：%1").arg(refused.first());
    QStringList parts;
    parts.append(QStringLiteral("已加载 %1 个DBC文件，%2 个报文")
                     .arg(filesLoaded).arg(messagesLoaded));
    if (!refused.isEmpty())
        parts.append(QStringLiteral("%1 个文件未加载（%2）")
                         .arg(refused.size()).arg(refused.first()));
    if (!warnings.isEmpty())
        parts.append(QStringLiteral("跳过 %1 行（%2）")
                         .arg(warnings.size() + moreWarnings).arg(warnings.first()));
    if (!replaced.isEmpty())
        parts.append(QStringLiteral("%1 个报文被替换（%2）")
                         .arg(replaced.size()).arg(replaced.first()));
    return parts.join(QStringLiteral("；"));
}
