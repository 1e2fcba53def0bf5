#pragma once

// The composer window: a SignalComposerWidget and a line showing the composed frame,
// whose every change frameComposed() hands to the transmit panel. GUI thread only; the
// database must outlive the composer or be replaced through setDatabase().

#include <QDialog>

class DbcDatabase;
class QLabel;
class SignalComposerWidget;

class SignalComposer : public QDialog
{
    Q_OBJECT

public:
    explicit SignalComposer(QWidget *parent = nullptr);

    // Also hands the chosen message's frame on, so that the editor holds what the window
    // shows.
    void setDatabase(const DbcDatabase *database);
    // Chooses the message by name; false when the database has none of that name.
    bool selectMessage(const QString &name);
    // Sets a signal's physical value as if typed; false when the message has no such signal.
    bool setValue(const QString &signal, double physical);
    QByteArray payload() const;

signals:
    // `fd`: the message goes as a CAN FD frame (so marked, or longer than 8 bytes).
    void frameComposed(quint32 id, bool extended, const QByteArray &data, const QString &name,
                       bool fd);

private:
    void showPayload();

    SignalComposerWidget *m_composer = nullptr;
    QLabel *m_result = nullptr;
};
