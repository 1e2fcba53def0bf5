#pragma once

// The bus health fields of the status bar: error frames, the controller's state (coloured
// when it calls for attention), its error counters, dropped frames and the bus load. The
// window puts fields() into its status bar and hands each tick's snapshot to show().
// GUI thread only.

#include "device/handlethread.h"

#include <QList>
#include <QObject>

class QLabel;
class QWidget;

class HealthFields : public QObject
{
    Q_OBJECT

public:
    explicit HealthFields(QWidget *parent);

    QList<QLabel *> fields() const;
    // Says what the library cannot tell as "--".
    void show(const HandleThread::Snapshot &now);

private:
    QLabel *errorCount = nullptr;
    QLabel *busState = nullptr;
    QLabel *errorCounters = nullptr;
    QLabel *drops = nullptr;
    QLabel *busLoad = nullptr;
};
