#pragma once

// The device bar's CAN FD choice: the checkable "CAN FD" entry of the 设备 menu, and while
// it is on the data bit rate combo box ("数据波特率") that the window places after the
// nominal bit rate. The choice applies at the next open; the data bit rate takes no choice
// while a device is open. GUI thread only.

#include "device/listenthread.h"

#include <QObject>

class MonitorContext;
class QAction;
class QComboBox;
class QLabel;
class QWidget;

class FdMode : public QObject
{
    Q_OBJECT

public:
    // The label and the combo box are made children of `bar`, where the window places
    // them. The entry is disabled, with a tooltip saying why, when the adapter library
    // lacks the FD calls.
    FdMode(MonitorContext *context, QWidget *bar);

    QAction *action() const { return fdAction; }
    QLabel *dataBitrateLabel() const { return dataLabel; }
    QComboBox *dataBitrateBox() const { return dataBox; }

    // Fills in the data bit rate the next open asks for: 0 for a classic open.
    void chooseFor(ListenThread::OpenOptions *options) const;

signals:
    // The editor shows its FD boxes while the choice is on.
    void fdChosen(bool on);

private:
    MonitorContext *context;
    QAction *fdAction = nullptr;
    QLabel *dataLabel = nullptr;
    QComboBox *dataBox = nullptr;
};
