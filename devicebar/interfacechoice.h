#pragma once

// The device bar's choice of what to open: the interface combo box (the CAN interfaces
// present, the library's default, the simulated bus, or what CANABLE_INTERFACE names) and
// the listen-only switch of the 设备 menu. Both apply at the next open; the combo box
// takes no choice while a device is open. GUI thread only.

#include "device/listenthread.h"

#include <QObject>

class MonitorContext;
class QAction;
class QComboBox;
class QWidget;

class InterfaceChoice : public QObject
{
    Q_OBJECT

public:
    // The combo box is made a child of `bar`, where the window places it.
    InterfaceChoice(MonitorContext *context, QWidget *bar);

    QComboBox *comboBox() const { return combo; }
    QAction *listenOnlyAction() const { return listenOnly; }

    // Fills in the interface and the mode the user chose.
    void chooseFor(ListenThread::OpenOptions *options) const;
    // Lists the interfaces present, keeping the current choice when it is still there.
    void refresh();

private:
    void updateEnabled();

    MonitorContext *context;
    QComboBox *combo = nullptr;
    QAction *listenOnly = nullptr;
    bool fromEnvironment = false;
};
