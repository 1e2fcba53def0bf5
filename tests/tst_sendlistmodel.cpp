#include "transmit/sendlistmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

namespace {

QStringList firstCells(const SendListModel &model)
{
    QStringList texts;
    for (int r = 0; r < model.rowCount(); ++r)
        texts << model.index(r, 0).data().toString();
    return texts;
}

QStringList rowCells(const SendListModel &model, int row)
{
    QStringList texts;
    for (int c = 0; c < model.columnCount(); ++c)
        texts << model.index(row, c).data(Qt::EditRole).toString();
    return texts;
}

} // namespace

class tst_SendListModel : public QObject
{
    Q_OBJECT

private slots:
    void cellEdits_data();
    void cellEdits();
    void rowEdits_data();
    void rowEdits();
    void headers();
};

// Each edit "column=text" is applied through setData; every cell must keep its own text
// while its neighbours grow and shrink.
void tst_SendListModel::cellEdits_data()
{
    QTest::addColumn<QStringList>("edits");

    QTest::newRow("fill in order") << QStringList{"0=1", "1=名称", "2=0x7ff", "9=1000"};
    QTest::newRow("fill backwards") << QStringList{"9=z", "5=five", "0=a", "3=11 22 33"};
    QTest::newRow("grow then shrink")
        << QStringList{"4=" + QString(3000, 'x'), "5=y", "4=", "3=q", "4=w"};
    QTest::newRow("empty between filled") << QStringList{"0=a", "2=c", "1=", "1=b", "2="};
    QTest::newRow("FD cells after the ten") << QStringList{"11=BRS", "10=FD", "9=9", "10="};
    QTest::newRow("out of range column is ignored") << QStringList{"12=x", "0=a"};
}

void tst_SendListModel::cellEdits()
{
    QFETCH(QStringList, edits);

    SendListModel model;
    QAbstractItemModelTester tester(&model,
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.appendRow({"r0"});
    model.appendRow({});
    model.appendRow({"r2", "n"});
    QStringList expected = QVector<QString>(SendListRow::cellCount).toList();
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    for (const QString &edit : edits) {
        const int column = edit.section('=', 0, 0).toInt();
        const QString text = edit.section('=', 1);
        const bool inRange = column < SendListRow::cellCount;
        QCOMPARE(model.setData(model.index(1, column), text), inRange);
        if (inRange)
            expected[column] = text;
        QCOMPARE(rowCells(model, 1), expected);
    }
    QCOMPARE(rowCells(model, 0),
             QStringList({"r0", "", "", "", "", "", "", "", "", "", "", ""}));
    QCOMPARE(rowCells(model, 2),
             QStringList({"r2", "n", "", "", "", "", "", "", "", "", "", ""}));
    QVERIFY(changed.size() >= 1);
}

// Operations on rows named by their first cell: "insert R N", "remove R N", "move F T",
// "append X", "reset A B ...".
void tst_SendListModel::rowEdits_data()
{
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QStringList>("first");

    QTest::newRow("move down") << QStringList{"move 0 2"} << QStringList{"b", "c", "a", "d"};
    QTest::newRow("move up") << QStringList{"move 3 1"} << QStringList{"a", "d", "b", "c"};
    QTest::newRow("move to itself or outside") << QStringList{"move 1 1", "move 0 4", "move -1 0"}
                                               << QStringList{"a", "b", "c", "d"};
    QTest::newRow("insert and remove")
        << QStringList{"insert 1 2", "remove 0 1", "append e", "remove 3 5"}
        << QStringList{"", "", "b", "c", "d", "e"};
    QTest::newRow("reset") << QStringList{"reset x y", "append z", "move 2 0"}
                           << QStringList{"z", "x", "y"};
}

void tst_SendListModel::rowEdits()
{
    QFETCH(QStringList, operations);

    SendListModel model;
    QAbstractItemModelTester tester(&model,
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    for (const char *name : {"a", "b", "c", "d"})
        model.appendRow({name, QStringLiteral("name of %1").arg(name)});
    for (const QString &operation : operations) {
        const QStringList words = operation.split(' ');
        const int a = words.value(1).toInt();
        const int b = words.value(2).toInt();
        if (words[0] == "move") {
            model.moveRow(a, b);
        } else if (words[0] == "insert") {
            model.insertRows(a, b);
        } else if (words[0] == "remove") {
            model.removeRows(a, b);
        } else if (words[0] == "append") {
            model.appendRow({words[1], "name of " + words[1]});
        } else {
            SendListRows rows;
            for (const QString &name : words.mid(1))
                rows.append(SendListRow({name, "name of " + name}));
            model.setRows(rows);
        }
    }
    QTEST(firstCells(model), "first");
    for (int r = 0; r < model.rowCount(); ++r) {
        const QString first = model.cell(r, 0);
        QCOMPARE(model.cell(r, 1), first.isEmpty() ? QString() : "name of " + first);
    }
}

void tst_SendListModel::headers()
{
    SendListModel model;
    model.setHeaders({"序号", "名称"});
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QString("名称"));
    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QString("3"));
    QCOMPARE(model.columnCount(), SendListRow::cellCount);
    QCOMPARE(model.rowCount(model.index(0, 0)), 0);
}

QTEST_MAIN(tst_SendListModel)
#include "tst_sendlistmodel.moc"
