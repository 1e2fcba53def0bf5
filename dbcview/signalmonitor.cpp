#include "dbcview/signalmonitor.h"

#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"

#include <QHeaderView>

namespace {

// Later intervals weigh a tenth, so a changed rate shows within a second or two while
// one late frame hardly moves the figure.
constexpr double cycleSmoothing = 0.1;

qint64 frameMicroseconds(const CanMessage &frame)
{
    if (frame.timestampUs)
        return frame.timestampUs;
    return frame.time.isValid() ? qint64(frame.time.msecsSinceStartOfDay()) * 1000 : 0;
}

QString messageTitle(const DbcMessage &message)
{
    return QStringLiteral("0x%1 %2")
        .arg(QString::number(message.id, 16).toUpper().rightJustified(
                 message.extended ? 8 : 3, QLatin1Char('0')),
             message.name);
}

} // namespace

SignalMonitor::SignalMonitor(QWidget *parent) : QTreeWidget(parent)
{
    setColumnCount(ColumnCount);
    setHeaderLabels({QStringLiteral("报文/信号"), QStringLiteral("值"), QStringLiteral("描述"),
                     QStringLiteral("原始值"), QStringLiteral("范围"),
                     QStringLiteral("周期(实测/DBC) ms"), QStringLiteral("次数")});
    setUniformRowHeights(true);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
}

void SignalMonitor::setDatabase(const DbcDatabase *database)
{
    m_database = database;
    clearFrames();
}

void SignalMonitor::clearFrames()
{
    m_entries.clear();
    clear();
}

QString SignalMonitor::signalPath(const QModelIndex &index) const
{
    const QTreeWidgetItem *item = itemFromIndex(index.sibling(index.row(), NameColumn));
    if (!item || !item->parent())
        return QString();
    for (const Entry &entry : m_entries) {
        if (entry.item == item->parent())
            return entry.message->name + QLatin1Char('.') + item->text(NameColumn);
    }
    return QString();
}

void SignalMonitor::addFrames(const QList<CanMessage> &frames)
{
    if (!m_database || m_database->isEmpty())
        return;
    for (const CanMessage &frame : frames) {
        if (frame.error || frame.remote)
            continue;
        const uint64_t key = dbcMessageKey(frame.id, frame.extended);
        auto found = m_entries.find(key);
        if (found == m_entries.end()) {
            const DbcMessage *message = m_database->message(frame.id, frame.extended);
            if (!message)
                continue;
            found = m_entries.insert(key, Entry());
            found->message = message;
        }
        Entry &entry = found.value();
        const qint64 at = frameMicroseconds(frame);
        if (entry.count > 0 && at > entry.lastUs && entry.lastUs > 0) {
            const double interval = (at - entry.lastUs) / 1000.0;
            entry.cycleMs = entry.cycleMs == 0
                ? interval
                : entry.cycleMs + cycleSmoothing * (interval - entry.cycleMs);
        }
        entry.lastUs = at;
        entry.data = frame.data;
        ++entry.count;
        entry.changed = true;
    }
}

void SignalMonitor::refresh()
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (!it->changed)
            continue;
        it->changed = false;
        if (!it->item) {
            it->item = new QTreeWidgetItem;
            it->item->setText(NameColumn, messageTitle(*it->message));
            it->item->setData(NameColumn, Qt::UserRole, qulonglong(it.key()));
            int position = 0;
            while (position < topLevelItemCount()
                   && topLevelItem(position)->data(NameColumn, Qt::UserRole).toULongLong()
                       < it.key())
                ++position;
            insertTopLevelItem(position, it->item);
        }
        update(it.value());
    }
}

void SignalMonitor::update(Entry &entry)
{
    const DbcMessage &message = *entry.message;
    QVector<DbcDecodedSignal> values;
    const int count = DbcCodec::decode(message, reinterpret_cast<const uint8_t *>(
                                                    entry.data.constData()),
                                       entry.data.size(), &values);
    QVector<int> shown(count);
    for (int i = 0; i < count; ++i)
        shown[i] = values.at(i).index;
    // A multiplexed message changes its signals with the multiplexer value.
    if (shown != entry.shown) {
        qDeleteAll(entry.item->takeChildren());
        for (int index : shown) {
            auto *child = new QTreeWidgetItem(entry.item);
            child->setText(NameColumn, message.signalList.at(index).name);
            child->setToolTip(NameColumn, message.signalList.at(index).comment);
        }
        entry.shown = shown;
    }
    for (int i = 0; i < count; ++i) {
        const DbcDecodedSignal &value = values.at(i);
        const DbcSignal &signal = message.signalList.at(value.index);
        QTreeWidgetItem *child = entry.item->child(i);
        child->setText(ValueColumn, DbcCodec::physicalText(signal, value));
        child->setText(DescriptionColumn, DbcCodec::valueDescription(signal, value.rawInteger));
        child->setText(RawColumn, DbcCodec::rawText(signal, value));
        child->setText(RangeColumn, DbcCodec::rangeMark(signal, value));
    }
    const QString measured = entry.cycleMs > 0 ? QString::number(entry.cycleMs, 'f', 1)
                                               : QStringLiteral("-");
    const QString declared = message.cycleTimeMs > 0 ? QString::number(message.cycleTimeMs)
                                                     : QStringLiteral("-");
    entry.item->setText(CycleColumn, measured + QStringLiteral(" / ") + declared);
    entry.item->setText(CountColumn, QString::number(entry.count));
    if (entry.data.size() < message.length)
        entry.item->setToolTip(NameColumn, QStringLiteral("帧只有 %1 字节，报文定义为 %2 字节")
                                               .arg(entry.data.size()).arg(message.length));
    else
        entry.item->setToolTip(NameColumn, message.comment);
}
