#pragma once

// "绘制曲线" in the right-click menu of a view whose rows name signals: it plots the
// signal of the row clicked in the plot window and brings the window up. GUI thread only.

#include <QModelIndex>
#include <QString>

#include <functional>

class PlotWindow;
class QAbstractItemView;

// `signalPath` gives "Message.Signal" for a row, or an empty string where the row is no
// signal (the menu then does not open).
void addPlotMenu(QAbstractItemView *view, PlotWindow *window,
                 const std::function<QString(const QModelIndex &)> &signalPath);
