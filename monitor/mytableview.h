#pragma once

// The frame log's table view: a context menu on the body and the header hides or shows
// columns, and the column widths follow the view's width in fixed proportions. While the
// model has more columns than the frame log's own, the optional ones have menu entries
// and start hidden; the entries come and go with the columns.
// GUI thread only.

#include <QTableView>

class QMenu;

class MyTableView : public QTableView
{
    Q_OBJECT

public:
    explicit MyTableView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    // The menu entry that hides or shows `column`, null for a column without one.
    QAction *columnAction(int column) const;

signals:
    // Entries of optional columns were added or removed with their columns.
    void optionalColumnsChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void menuSlot(QPoint pos);
    void actionSlot(bool checked);
    void updateOptionalColumns();
    void countRows();

private:
    void applyWidths(int width);
    void renewVerticalHeader();

    int headerRows = 0; // the most rows the vertical header has held

    QMenu *columnMenu = nullptr;
    QList<QAction *> optionalActions;
};
