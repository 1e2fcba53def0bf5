#include "monitor/mytableview.h"

#include "monitor/framelog.h"

#include <QAction>
#include <QCursor>
#include <QHeaderView>
#include <QMenu>
#include <QResizeEvent>

#include <algorithm>

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

void MyTableView::setModel(QAbstractItemModel *model)
{
    if (this->model()) {
        disconnect(this->model(), &QAbstractItemModel::columnsInserted, this,
                   &MyTableView::updateOptionalColumns);
        disconnect(this->model(), &QAbstractItemModel::columnsRemoved, this,
                   &MyTableView::updateOptionalColumns);
    }
    QTableView::setModel(model);
    if (model) {
        connect(model, &QAbstractItemModel::columnsInserted, this,
                &MyTableView::updateOptionalColumns);
        connect(model, &QAbstractItemModel::columnsRemoved, this,
                &MyTableView::updateOptionalColumns);
        connect(model, &QAbstractItemModel::rowsInserted, this, &MyTableView::countRows);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &MyTableView::countRows);
        connect(model, &QAbstractItemModel::modelReset, this, &MyTableView::countRows);
    }
    updateOptionalColumns();
    countRows();
}

void MyTableView::countRows()
{
    // The vertical header keeps an entry of 8 bytes for every row and, once the rows are
    // gone, the room they took: 80 MB after ten million rows cleared. A fresh header
    // starts small; it is made after the change is through.
    constexpr int renewedRows = 64 * 1024;
    const int rows = model() ? model()->rowCount() : 0;
    if (headerRows >= renewedRows && rows < headerRows / 4) {
        headerRows = rows;
        QMetaObject::invokeMethod(this, &MyTableView::renewVerticalHeader,
                                  Qt::QueuedConnection);
        return;
    }
    headerRows = std::max(headerRows, rows);
}

void MyTableView::renewVerticalHeader()
{
    QHeaderView *old = verticalHeader();
    auto fresh = new QHeaderView(Qt::Vertical, this);
    fresh->setSectionsClickable(old->sectionsClickable());
    fresh->setHighlightSections(old->highlightSections());
    fresh->setMinimumSectionSize(old->minimumSectionSize());
    fresh->setDefaultSectionSize(old->defaultSectionSize());
    fresh->setSectionResizeMode(QHeaderView::Fixed);
    const bool hidden = old->isHidden();
    setVerticalHeader(fresh);
    fresh->setHidden(hidden);
}

void MyTableView::updateOptionalColumns()
{
    const int optional = model() ? qBound(0, model()->columnCount() - columnHeaders.size(),
                                          optionalColumnHeaders.size())
                                 : 0;
    if (optional == optionalActions.size())
        return;
    while (optionalActions.size() > optional)
        delete optionalActions.takeLast();
    for (int i = optionalActions.size(); i < optional; ++i) {
        const int column = columnHeaders.size() + i;
        auto action = new QAction(optionalColumnHeaders.at(i).first, this);
        action->setProperty("IDX", column);
        action->setCheckable(true);
        // Toggled rather than triggered, so that another menu's action may drive it.
        connect(action, &QAction::toggled, this, &MyTableView::actionSlot);
        columnMenu->addAction(action);
        optionalActions.append(action);
        hideColumn(column);
    }
    applyWidths(viewport()->width());
    emit optionalColumnsChanged();
}

QAction *MyTableView::columnAction(int column) const
{
    const QList<QAction *> actions = columnMenu->actions();
    for (QAction *action : actions) {
        if (action->property("IDX").toInt() == column)
            return action;
    }
    return nullptr;
}

void MyTableView::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    applyWidths(event->size().width());
}

void MyTableView::applyWidths(int width)
{
    // Hidden columns keep their share, so showing one again restores its proportion; an
    // optional column takes a share only while it is shown, so the others keep their
    // widths while it is not.
    int sum = 0;
    for (const auto &column : columnHeaders)
        sum += column.second;
    for (int i = 0; i < optionalActions.size(); ++i) {
        if (optionalActions.at(i)->isChecked())
            sum += optionalColumnHeaders.at(i).second;
    }
    for (int i = 0; i < columnHeaders.size(); ++i)
        setColumnWidth(i, columnHeaders.at(i).second * width / sum);
    // A hidden optional column keeps the width it would have if shown now.
    for (int i = 0; i < optionalActions.size(); ++i) {
        const int share = optionalColumnHeaders.at(i).second;
        const int total = optionalActions.at(i)->isChecked() ? sum : sum + share;
        setColumnWidth(columnHeaders.size() + i, share * width / total);
    }
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
    if (column >= columnHeaders.size())
        applyWidths(viewport()->width());
}
