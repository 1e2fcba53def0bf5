#include "plot/plotmenu.h"

#include "monitor/monitorcontext.h"
#include "plot/plotwindow.h"

#include <QAction>

PlotMenu::PlotMenu(MonitorContext *context, QWidget *window)
    : QObject(window), context(context)
{
    plot = new PlotWindow(context->frameLog(), window);
    plot->setDatabase(&context->database());
    connect(context, &MonitorContext::databaseChanged, plot,
            [this] { plot->setDatabase(&this->context->database()); });
    connect(context, &MonitorContext::framesArrived, this, &PlotMenu::addFrames);
    connect(context, &MonitorContext::framesCleared, plot, &PlotWindow::clear);
    connect(context, &MonitorContext::framesReplaced, plot, &PlotWindow::reload);
    connect(context, &MonitorContext::signalPlotRequested, plot, [this](const QString &path) {
        bringUp();
        plot->addSignal(path);
    });
    connect(plot, &PlotWindow::frameSelected, this, &PlotMenu::selectFrame);

    showAction = new QAction(QStringLiteral("信号曲线"), this);
    showAction->setObjectName(QStringLiteral("actionPlotWindow"));
    connect(showAction, &QAction::triggered, this, &PlotMenu::bringUp);
}

void PlotMenu::addFrames(const QList<CanMessage> &frames)
{
    // The frames are already the frame log's newest rows, so its last number gives theirs;
    // with a row limit below the slice the first of them are gone and the plot skips them
    // as it would trim them.
    const FrameLogModel *log = context->frameLog();
    const int rows = log->rowCount();
    if (frames.isEmpty() || rows == 0)
        return;
    plot->addFrames(frames, log->number(rows - 1) - frames.size() + 1);
}

void PlotMenu::selectFrame(qint64 number)
{
    const FrameLogModel *log = context->frameLog();
    const int rows = log->rowCount();
    if (rows == 0 || number < log->number(0) || number > log->number(rows - 1)) {
        context->showStatus(QStringLiteral("帧 %1 已不在列表中").arg(number));
        return;
    }
    context->selectFrame(number);
}

void PlotMenu::bringUp()
{
    plot->show();
    plot->raise();
    plot->activateWindow();
}
