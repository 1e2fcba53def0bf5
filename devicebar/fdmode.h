#pragma once

// The device bar's CAN FD choice: the checkable "CAN FD" entry of the device menu, and while
// it is on the data bit rate combo after the nominal bit rate. The choice takes effect at
// the next open. GUI thread only.

#include <QObject>

class QAction;
class QBoxLayout;
class QComboBox;
class QLabel;
class QMenu;
class QWidget;

class FdMode : public QObject
{
    Q_OBJECT

public:
    // Adds the entry to `menu` and the combo to `bar` after `bitrateBox`, which lends it
    // its font. The entry is disabled when the adapter library lacks the FD calls.
    FdMode(QMenu *menu, QBoxLayout *bar, QWidget *bitrateBox, QObject *parent = nullptr);

    // The data bit rate in kbit/s the next open asks for; 0 for a classic open.
    quint32 dataBitrate() const;
    // Whether the choice may change: not while a device is open or opening.
    void setEditable(bool editable);

    QAction *action() const { return fdAction; }
    QComboBox *dataBitrateBox() const { return dataBox; }

signals:
    // The user changed the choice while a device was open: it applies to the next open.
    void changedWhileOpen();

private:
    QAction *fdAction = nullptr;
    QLabel *dataLabel = nullptr;
    QComboBox *dataBox = nullptr;
    bool editable = true;
};
