#pragma once

// The transmit panel's group "由信号组帧" below the editor's fields: ticked, it composes the
// editor's frame from signal values of a message of the database, and shows what bytes
// typed by hand into the editor carry while the editor holds that message's identifier.
// It is there only while the database has messages. GUI thread only.

#include <QGroupBox>

class DataSendWidget;
class DbcDatabase;
class SignalComposerWidget;

class ComposeGroup : public QGroupBox
{
    Q_OBJECT

public:
    // Adds itself to the panel's editor, hidden until setDatabase() gives it messages.
    explicit ComposeGroup(DataSendWidget *panel);

    void setDatabase(const DbcDatabase *database);

private:
    SignalComposerWidget *composer;
};
