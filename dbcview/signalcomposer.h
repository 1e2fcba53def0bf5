#pragma once

// Composes a frame from the physical values of a database message's signals: the user
// picks a message and types values, and every change is encoded into the payload that
// frameComposed() hands to the transmit panel. GUI thread only; the database must outlive
// the composer or be replaced through setDatabase().

#include <QDialog>

class DbcDatabase;
struct DbcMessage;
class QComboBox;
class QLabel;
class QTableWidget;
class QTableWidgetItem;

class SignalComposer : public QDialog
{
    Q_OBJECT

public:
    enum Column { NameColumn, ValueColumn, UnitColumn, RangeColumn, RawColumn, ColumnCount };

    explicit SignalComposer(QWidget *parent = nullptr);

    void setDatabase(const DbcDatabase *database);
    // Chooses the message by name; false when the database has none of that name.
    bool selectMessage(const QString &name);
    // Sets a signal's physical value as if typed; false when the message has no such signal.
    bool setValue(const QString &signal, double physical);
    QByteArray payload() const { return m_payload; }

signals:
    void frameComposed(quint32 id, bool extended, const QByteArray &data, const QString &name);

private:
    void messageChosen(int index);
    void valueEdited(QTableWidgetItem *item);
    void compose();
    const DbcMessage *currentMessage() const;

    const DbcDatabase *m_database = nullptr;
    QComboBox *m_messages = nullptr;
    QTableWidget *m_table = nullptr;
    QLabel *m_result = nullptr;
    QVector<double> m_values;   // per signal of the current message
    QByteArray m_payload;
    bool m_filling = false;
};
