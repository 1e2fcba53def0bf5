#pragma once

// Composes a frame from the physical values of a database message's signals: a message
// choice and a table of its signals whose values the user types. Every change is encoded
// into the payload; what the user does (choosing a message, typing a value) also goes out
// through frameComposed(). Used by the composer window and inside the transmit panel.
// GUI thread only; the database must outlive the widget or be replaced through
// setDatabase().

#include <QWidget>

class DbcDatabase;
class DbcMessageList;
struct DbcMessage;
class QComboBox;
class QTableWidget;
class QTableWidgetItem;

class SignalComposerWidget : public QWidget
{
    Q_OBJECT

public:
    enum Column { NameColumn, ValueColumn, UnitColumn, RangeColumn, RawColumn, ColumnCount };

    explicit SignalComposerWidget(QWidget *parent = nullptr);

    // With a placeholder no message is chosen until the user chooses one; without, the
    // first message of a new database is.
    void setPlaceholderText(const QString &text);
    // Keeps the chosen message and its typed values when the new database still has that
    // message; announces nothing, since the user did nothing.
    void setDatabase(const DbcDatabase *database);
    // Chooses the message by name, as the user would; false when there is none of that name.
    bool selectMessage(const QString &name);
    // Sets a signal's physical value as if typed; false when the message has no such signal.
    bool setValue(const QString &signal, double physical);
    // Takes the bytes of a payload edited elsewhere: the table shows their values, and the
    // bits no signal covers are kept when values are typed later. Announces nothing.
    void setPayload(const QByteArray &payload);
    // Announces the current frame as if the user had just composed it.
    void announce();

    const DbcMessage *currentMessage() const;
    QByteArray payload() const { return m_payload; }

signals:
    // On every change of the payload, whoever caused it.
    void payloadChanged(const QByteArray &payload);
    // `fd`: the message goes as a CAN FD frame (so marked, or longer than 8 bytes).
    void frameComposed(quint32 id, bool extended, const QByteArray &data, const QString &name,
                       bool fd);

private:
    void messageChosen(int index);
    void fillTable(const QHash<QString, double> &kept);
    void valueEdited(QTableWidgetItem *item);
    void compose();
    void showPayload();

    const DbcDatabase *m_database = nullptr;
    QComboBox *m_messages = nullptr;
    DbcMessageList *m_messageList = nullptr;
    QTableWidget *m_table = nullptr;
    QVector<double> m_values;   // per signal of the current message
    QByteArray m_base;          // bits that no signal value decides
    QByteArray m_payload;
    bool m_filling = false;
};
