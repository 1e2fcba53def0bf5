#include "mytableview.h"

#include "framelog.h"

#include <QAction>
#include <QCursor>
#include <QHeaderView>
#include <QMenu>
#include <QResizeEvent>

MyTableView::MyTableView(QWidget *parent)
    : QTableView(parent)
    , columnMenu(new QMenu(this))
{
    for (int i = 0; i < columnHeaders.size(); ++i) {
        auto action = new QAction(columnHeaders.at(i).first, this);
        action->setProperty("IDX", i);
        action->setCheckable(true);
        action->setChecked(true);
        connect(action, &QAction::triggered, this, &MyTableView::actionSlot);
        columnMenu->addAction(action);
    }

    // Proportional widths must hold in a narrow window, where the style's minimum would
    // widen the small columns past the view; and rows all of one height keep the vertical
    // header from asking about each of millions of rows.
    horizontalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

    setContextMenuPolicy(Qt::CustomContextMenu);
    horizontalHeader()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(horizontalHeader(), &QHeaderView::customContextMenuRequested,
            this, &MyTableView::menuSlot);
    connect(this, &MyTableView::customContextMenuRequested, this, &MyTableView::menuSlot);
}

void MyTableView::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);

    int sum = 0;
    for (const auto &column : columnHeaders)
        sum += column.second;
    // Hidden columns keep their share, so showing one again restores its proportion.
    const int width = event->size().width();
    for (int i = 0; i < columnHeaders.size(); ++i)
        setColumnWidth(i, columnHeaders.at(i).second * width / sum);
}

void MyTableView::menuSlot(QPoint)
{
    columnMenu->exec(QCursor::pos());
}

void MyTableView::actionSlot(bool checked)
{
    const int column = sender()->property("IDX").toInt();
    if (checked)
        showColumn(column);
    else
        hideColumn(column);
}
