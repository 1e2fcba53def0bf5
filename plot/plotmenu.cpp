#include "plot/plotmenu.h"

#include "plot/plotwindow.h"

#include <QAbstractItemView>
#include <QMenu>

void addPlotMenu(QAbstractItemView *view, PlotWindow *window,
                 const std::function<QString(const QModelIndex &)> &signalPath)
{
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(view, &QWidget::customContextMenuRequested, window,
                     [view, window, signalPath](const QPoint &position) {
        const QString path = signalPath(view->indexAt(position));
        if (path.isEmpty())
            return;
        QMenu menu(view);
        QAction *plot = menu.addAction(QStringLiteral("绘制曲线"));
        plot->setObjectName(QStringLiteral("actionPlotSignal"));
        QObject::connect(plot, &QAction::triggered, window, [window, path] {
            window->show();
            window->raise();
            window->activateWindow();
            window->addSignal(path);
        });
        menu.exec(view->viewport()->mapToGlobal(position));
    });
}
