#pragma once

// The per-identifier view ("按ID显示"): its tree in the frame log's place, fed with every
// tick's frames, its entries of the 视图 menu and the export of its statistics. The window
// puts view() into its layout, actions() into its menu, and hides the frame log's table
// while shown() says the tree is up. The tree's right-click menu holds the row actions
// others add and, on a signal's line, "绘制曲线", which asks the context to plot it.
// GUI thread only.

#include "device/canmessage.h"

#include <QList>
#include <QObject>

class IdViewModel;
class MonitorContext;
class QAction;
class QTreeView;
class QPoint;
class QWidget;

class IdViewPanel : public QObject
{
    Q_OBJECT

public:
    // The tree is made a child of `place`, hidden until the user asks for it.
    IdViewPanel(MonitorContext *context, QWidget *place);

    QTreeView *view() const { return tree; }
    // The identifier of the current row (a signal's line counts as its message's); false
    // when there is no current row.
    bool currentIdentifier(quint32 *id, bool *extended) const;
    QList<QAction *> actions() const { return { byId, exportAction }; }
    // Entries of the right-click menu for every row; the clicked row is made current
    // before the menu opens, so they act on the current row.
    void addRowActions(const QList<QAction *> &actions) { rowActions += actions; }

signals:
    void shown(bool shown);

private:
    void show(bool show);
    void addFrames(const QList<CanMessage> &frames);
    void clear();
    void exportStatistics();
    void sizeColumns();
    void showRowMenu(const QPoint &at);

    MonitorContext *context;
    IdViewModel *model = nullptr;
    QTreeView *tree = nullptr;
    QAction *byId = nullptr;
    QAction *exportAction = nullptr;
    QList<QAction *> rowActions;
    qint64 reportedRefusedFrames = 0;
    bool sized = false; // columns fitted to the rows since the view was shown
};
