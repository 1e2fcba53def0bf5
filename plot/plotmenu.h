#pragma once

// The signal plot as one of the window's components: the action "信号曲线" for the 视图
// menu and the plot window behind it. Through the context the window gets every tick's
// frames, is emptied with the frame log, builds its series again after a trace was
// opened, follows the loaded database and plots what other views ask to plot ("绘制曲线");
// a clicked sample selects its frame in the frame log. GUI thread only.

#include "device/canmessage.h"

#include <QList>
#include <QObject>

class MonitorContext;
class PlotWindow;
class QAction;
class QWidget;

class PlotMenu : public QObject
{
    Q_OBJECT

public:
    // The plot window is a top-level window of its own, owned by `window`.
    PlotMenu(MonitorContext *context, QWidget *window);

    QList<QAction *> actions() const { return { showAction }; }
    PlotWindow *plotWindow() const { return plot; }

private:
    void addFrames(const QList<CanMessage> &frames);
    void selectFrame(qint64 number);
    void bringUp();

    MonitorContext *context;
    PlotWindow *plot = nullptr;
    QAction *showAction = nullptr;
};
