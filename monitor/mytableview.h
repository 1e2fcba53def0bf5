#pragma once

// The frame log's table view: a context menu on the body and the header hides or shows
// columns, and the column widths follow the view's width in fixed proportions.
// GUI thread only.

#include <QTableView>

class QMenu;

class MyTableView : public QTableView
{
    Q_OBJECT

public:
    explicit MyTableView(QWidget *parent = nullptr);

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void menuSlot(QPoint pos);
    void actionSlot(bool checked);

private:
    QMenu *columnMenu = nullptr;
};
