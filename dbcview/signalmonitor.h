#pragma once

// The latest decoded signals of every database message seen on the bus, one expandable
// row per message (name, measured and database cycle time, count) with one child per
// signal the last frame carried (value with unit, description, raw value, range mark).
// Frames are only remembered as they come; decoding happens in refresh(), for messages
// that changed, so a hidden view costs a hash look-up per frame. GUI thread only.

#include "device/canmessage.h"

#include <QHash>
#include <QTreeWidget>

class DbcDatabase;
struct DbcMessage;

class SignalMonitor : public QTreeWidget
{
    Q_OBJECT

public:
    enum Column {
        NameColumn, ValueColumn, DescriptionColumn, RawColumn, RangeColumn, CycleColumn,
        CountColumn, ColumnCount
    };

    explicit SignalMonitor(QWidget *parent = nullptr);

    // Forgets everything seen: the messages it pointed into may be gone.
    void setDatabase(const DbcDatabase *database);
    void addFrames(const QList<CanMessage> &frames);
    void refresh();
    void clearFrames();
    // "Message.Signal" of a signal's row, empty for any other index.
    QString signalPath(const QModelIndex &index) const;

private:
    struct Entry
    {
        const DbcMessage *message = nullptr;
        QByteArray data;
        qint64 lastUs = 0;
        double cycleMs = 0;   // smoothed; 0 until two frames came
        quint64 count = 0;
        bool changed = false;
        QTreeWidgetItem *item = nullptr;
        QVector<int> shown;   // signal indices of the children, in order
    };

    void update(Entry &entry);

    const DbcDatabase *m_database = nullptr;
    QHash<uint64_t, Entry> m_entries;
};
