#include "monitor/mytableview.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QStandardItemModel>
#include <QTimer>
#include <QtTest>

#include <memory>

// A model of the view's own columns whose row count is set at will.
class CountedRows : public QAbstractTableModel
{
public:
    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : rows;
    }
    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : 9;
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        return role == Qt::DisplayRole ? QVariant(index.row()) : QVariant();
    }
    void setRows(int count)
    {
        if (count > rows) {
            beginInsertRows(QModelIndex(), rows, count - 1);
            rows = count;
            endInsertRows();
        } else if (count < rows) {
            beginRemoveRows(QModelIndex(), 0, rows - count - 1);
            rows = count;
            endRemoveRows();
        }
    }

private:
    int rows = 0;
};

class tst_MyTableView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void menuListsColumns();
    void menuOpensAtCursor_data();
    void menuOpensAtCursor();
    void actionsHideAndShow();
    void proportionalWidths_data();
    void proportionalWidths();
    void rowsKeepTheirPlaceAfterManyAreRemoved_data();
    void rowsKeepTheirPlaceAfterManyAreRemoved();

private:
    void resizeViewport(int width);
    QList<QAction *> actions() const { return view->findChild<QMenu *>()->actions(); }

    QStandardItemModel model { 3, 9 };
    std::unique_ptr<MyTableView> view;
};

void tst_MyTableView::rowsKeepTheirPlaceAfterManyAreRemoved_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("left");
    QTest::addColumn<bool>("headerShown");

    QTest::newRow("200,000 cleared") << 200000 << 0 << false;
    QTest::newRow("200,000 down to 100") << 200000 << 100 << false;
    QTest::newRow("200,000 down to half") << 200000 << 100000 << false;
    QTest::newRow("200,000 cleared, header shown") << 200000 << 0 << true;
    QTest::newRow("1,000 cleared") << 1000 << 0 << false;
}

// However many rows go at once, the rows that stay and those that come after have the
// height, the place and the header the window gave the view.
void tst_MyTableView::rowsKeepTheirPlaceAfterManyAreRemoved()
{
    QFETCH(int, rows);
    QFETCH(int, left);
    QFETCH(bool, headerShown);

    CountedRows counted;
    view->setModel(&counted);
    view->verticalHeader()->setMinimumSectionSize(23);
    view->verticalHeader()->setDefaultSectionSize(23);
    view->verticalHeader()->setVisible(headerShown);
    counted.setRows(rows);
    counted.setRows(left);
    QCoreApplication::processEvents();
    counted.setRows(left + 50);
    QCoreApplication::processEvents();

    QHeaderView *header = view->verticalHeader();
    QCOMPARE(header->count(), left + 50);
    QCOMPARE(header->isHidden(), !headerShown);
    QCOMPARE(header->defaultSectionSize(), 23);
    QCOMPARE(header->minimumSectionSize(), 23);
    QCOMPARE(header->sectionResizeMode(0), QHeaderView::Fixed);
    for (int row : { 0, left, left + 49 }) {
        QCOMPARE(view->rowHeight(row), 23);
        QCOMPARE(header->sectionPosition(row), 23 * row);
    }
    view->scrollToBottom();
    QTRY_VERIFY(view->indexAt(QPoint(1, view->viewport()->height() - 2)).isValid());
    view->setModel(&model);
}

void tst_MyTableView::init()
{
    view = std::make_unique<MyTableView>();
    view->setModel(&model);
    view->verticalHeader()->hide();
    view->setFrameShape(QFrame::NoFrame);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view.get()));
}

void tst_MyTableView::cleanup()
{
    view.reset();
}

void tst_MyTableView::resizeViewport(int width)
{
    view->resize(width, 300);
    QTRY_COMPARE(view->viewport()->width(), width);
}

void tst_MyTableView::menuListsColumns()
{
    const QStringList headers = { "序号", "帧ID", "数据", "DLC", "传输方向",
                                  "状态", "时间标识", "格式", "类型" };
    const QList<QAction *> entries = actions();
    QCOMPARE(entries.size(), headers.size());
    for (int i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries.at(i)->text(), headers.at(i));
        QVERIFY(entries.at(i)->isCheckable());
        QVERIFY(entries.at(i)->isChecked());
        QCOMPARE(entries.at(i)->property("IDX"), QVariant(i));
    }
}

void tst_MyTableView::menuOpensAtCursor_data()
{
    QTest::addColumn<bool>("onHeader");
    QTest::newRow("body") << false;
    QTest::newRow("header") << true;
}

void tst_MyTableView::menuOpensAtCursor()
{
    QFETCH(bool, onHeader);
    const QPoint cursor(120, 90);
    QCursor::setPos(cursor);
    QTRY_COMPARE(QCursor::pos(), cursor);

    // The menu runs its own event loop; a timer inside it notes where it opened and closes it.
    QPointer<QWidget> shown;
    QPoint shownAt;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
        if (QWidget *popup = QApplication::activePopupWidget()) {
            shown = popup;
            shownAt = popup->pos();
            popup->close();
        }
    });
    closer.start(10);

    QWidget *target = onHeader ? view->horizontalHeader()->viewport() : view->viewport();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(400, 250));
    QApplication::sendEvent(target, &event);

    QCOMPARE(shown.data(), view->findChild<QMenu *>());
    QCOMPARE(shownAt, cursor);
}

void tst_MyTableView::actionsHideAndShow()
{
    resizeViewport(1000);
    QAction *data = actions().at(2);

    data->trigger();
    QVERIFY(!data->isChecked());
    QVERIFY(view->isColumnHidden(2));
    QVERIFY(!view->isColumnHidden(1));
    resizeViewport(1358);
    QCOMPARE(view->columnWidth(1), 92);

    data->trigger();
    QVERIFY(!view->isColumnHidden(2));
    QCOMPARE(view->columnWidth(2), 410);
}

void tst_MyTableView::proportionalWidths_data()
{
    QTest::addColumn<int>("viewport");
    QTest::addColumn<QList<int>>("widths");

    QTest::newRow("1358") << 1358 << QList<int>{ 114, 92, 410, 90, 134, 84, 210, 112, 112 };
    QTest::newRow("1000") << 1000 << QList<int>{ 83, 67, 301, 66, 98, 61, 154, 82, 82 };
}

void tst_MyTableView::proportionalWidths()
{
    QFETCH(int, viewport);
    QFETCH(QList<int>, widths);

    resizeViewport(viewport == 1000 ? 1358 : 1000);
    resizeViewport(viewport);
    QList<int> actual;
    for (int column = 0; column < model.columnCount(); ++column)
        actual << view->columnWidth(column);
    QCOMPARE(actual, widths);
}

QTEST_MAIN(tst_MyTableView)
#include "tst_mytableview.moc"

