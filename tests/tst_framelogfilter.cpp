#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "filter/framefiltermodel.h"
#include "filter/framelogfilter.h"
#include "monitor/framelogmodel.h"
#include "tests/fake/fakecanable.h"

#include <QAbstractItemModelTester>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableView>
#include <QTreeView>
#include <QtTest>

#include <memory>

namespace {

// Frame number n carries identifier n % 16 and the time of day n * 10 ms, so every row
// tells which frame it holds.
QVector<FrameRecord> records(qint64 first, int count)
{
    QVector<FrameRecord> batch(count);
    for (int i = 0; i < count; ++i) {
        FrameRecord &record = batch[i];
        record = FrameRecord {};
        const qint64 number = first + i;
        record.id = quint32(number % 16);
        record.size = record.dlc = 1;
        record.data[0] = quint8(number);
        record.timeMs = qint32(number * 10 % 86400000);
        record.flags = FrameRecord::Success;
    }
    return batch;
}

// The numbers a filter should show: those of the frame log's rows that it matches.
QList<qint64> expectedNumbers(const FrameLogModel &log, const FrameFilter &filter)
{
    QList<qint64> numbers;
    for (int row = 0; row < log.rowCount(); ++row) {
        if (filter.matches(log.record(row)))
            numbers << log.number(row);
    }
    return numbers;
}

QList<qint64> shownNumbers(const QAbstractItemModel &model)
{
    QList<qint64> numbers;
    for (int row = 0; row < model.rowCount(); ++row)
        numbers << model.index(row, 0).data().toLongLong();
    return numbers;
}

// A frame log with its filter and search, as the window has them.
struct Bench
{
    // The model tester reads every row at every change: for short tables only.
    explicit Bench(bool tested = false)
        : table(&parent)
        , filter(&log, &log, &table, nullptr, &parent)
    {
        table.setModel(filter.model());
        if (tested) {
            new QAbstractItemModelTester(filter.model(),
                                         QAbstractItemModelTester::FailureReportingMode::QtTest,
                                         filter.model());
        }
    }

    qint64 append(int count, int limit = -1)
    {
        log.appendRecords(records(next, count), next, limit);
        next += count;
        return next;
    }

    QWidget parent;
    FrameLogModel log;
    QTableView table;
    FrameLogFilter filter;
    qint64 next = 0;
};

const int manyRows = 300000; // beyond what is filtered at once

} // namespace

class tst_FrameLogFilter : public QObject
{
    Q_OBJECT

private slots:
    void liveTail_data();
    void liveTail();
    void appliedOnWorker_data();
    void appliedOnWorker();
    void shownSnapshot();
    void search_data();
    void search();
    void goToTime_data();
    void goToTime();
    void windowField_data();
    void windowField();
    void idViewRow_data();
    void idViewRow();
};

void tst_FrameLogFilter::liveTail_data()
{
    QTest::addColumn<QString>("expression");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<int>>("batches");

    QTest::newRow("growing") << "id == 3" << -1 << QList<int> { 10, 30, 5 };
    QTest::newRow("limit drops filtered and unfiltered rows")
        << "id == 3 || id == 4" << 40 << QList<int> { 30, 30, 30, 1 };
    QTest::newRow("full table moves up in place") << "id == 3" << 32
                                                   << QList<int> { 32, 16, 16, 16, 8 };
    QTest::newRow("batch beyond the limit") << "id < 2" << 20 << QList<int> { 10, 50, 3 };
    QTest::newRow("nothing matches") << "id == 0x7FF" << 25 << QList<int> { 30, 30 };
    QTest::newRow("no filter") << "" << 40 << QList<int> { 30, 30, 40, 8 };
}

void tst_FrameLogFilter::liveTail()
{
    QFETCH(QString, expression);
    QFETCH(int, limit);
    QFETCH(QList<int>, batches);

    Bench bench(true);
    bench.append(batches.takeFirst(), limit);
    QVERIFY(bench.filter.applyText(expression));
    const FrameFilter filter = FrameFilter::compile(expression, nullptr);
    QCOMPARE(shownNumbers(*bench.filter.model()), expectedNumbers(bench.log, filter));
    for (int batch : batches) {
        bench.append(batch, limit);
        QCOMPARE(shownNumbers(*bench.filter.model()), expectedNumbers(bench.log, filter));
    }
    bench.log.clear();
    QCOMPARE(bench.filter.model()->rowCount(), 0);
    bench.next = 0;
    bench.append(20, limit);
    QCOMPARE(shownNumbers(*bench.filter.model()), expectedNumbers(bench.log, filter));
}

void tst_FrameLogFilter::appliedOnWorker_data()
{
    QTest::addColumn<bool>("clearMeanwhile");
    QTest::addColumn<int>("arriving");

    QTest::newRow("rows arrive meanwhile") << false << 1000;
    QTest::newRow("more rows arrive than are filtered at once") << false << manyRows;
    QTest::newRow("cleared meanwhile") << true << 100;
}

void tst_FrameLogFilter::appliedOnWorker()
{
    QFETCH(bool, clearMeanwhile);
    QFETCH(int, arriving);

    Bench bench;
    bench.append(manyRows);
    QVERIFY(bench.filter.applyText("id == 5"));
    QSignalSpy applied(bench.filter.model(), &FrameFilterModel::applyFinished);
    QVERIFY(bench.filter.model()->isApplying());
    // The filter in force, none, stays until the new one is complete.
    QCOMPARE(bench.filter.model()->rowCount(), manyRows);
    if (clearMeanwhile) {
        bench.log.clear();
        bench.next = 0;
    }
    bench.append(arriving);
    QVERIFY(applied.wait(20000));
    QCOMPARE(applied.first().first().toBool(), true);
    const FrameFilter filter = FrameFilter::compile("id == 5", nullptr);
    QCOMPARE(shownNumbers(*bench.filter.model()), expectedNumbers(bench.log, filter));

    // Cancelled, the filter in force stays.
    QVERIFY(bench.filter.applyText("id == 6"));
    if (bench.filter.model()->isApplying()) {
        bench.filter.model()->cancelApply();
        QCOMPARE(bench.filter.model()->filter().text(), QStringLiteral("id == 5"));
        QCOMPARE(shownNumbers(*bench.filter.model()), expectedNumbers(bench.log, filter));
    }
}

void tst_FrameLogFilter::shownSnapshot()
{
    Bench bench;
    bench.append(100, 60);
    QVERIFY(bench.filter.applyText("id in {1, 7-8}"));
    int ofRows = 0;
    const FrameLogSnapshot shown = bench.filter.shownRows(&ofRows);
    QCOMPARE(ofRows, 60);
    const QList<qint64> expected = shownNumbers(*bench.filter.model());
    QCOMPARE(shown.rowCount(), expected.size());
    // The frame log goes on changing; the snapshot keeps the rows as they were.
    bench.append(100, 60);
    for (int row = 0; row < shown.rowCount(); ++row) {
        QCOMPARE(shown.number(row), expected.at(row));
        QCOMPARE(qint64(shown.record(row).id), expected.at(row) % 16);
    }
    QCOMPARE(MonitorContext::countText(12, ofRows), QStringLiteral("12 / 60"));
    QVERIFY(bench.filter.applyText(""));
    QCOMPARE(bench.filter.shownRows(&ofRows).rowCount(), 60);
    QCOMPARE(ofRows, -1);
}

void tst_FrameLogFilter::search_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<QList<qint64>>("numbers");
    QTest::addColumn<QStringList>("labels");

    const QList<int> around { 1, 1, 1, 1, -1, -1 };
    QTest::newRow("whole table wraps")
        << 50 << "" << around << QList<qint64> { 3, 19, 35, 3, 35, 19 }
        << QStringList { "第 1 个，共 3 个", "第 2 个，共 3 个", "第 3 个，共 3 个",
                         "第 1 个，共 3 个", "第 3 个，共 3 个", "第 2 个，共 3 个" };
    QTest::newRow("filtered table")
        << 50 << "id < 8" << around << QList<qint64> { 3, 19, 35, 3, 35, 19 }
        << QStringList { "第 1 个，共 3 个", "第 2 个，共 3 个", "第 3 个，共 3 个",
                         "第 1 个，共 3 个", "第 3 个，共 3 个", "第 2 个，共 3 个" };
    QTest::newRow("hidden by the filter")
        << 50 << "id > 8" << QList<int> { 1 } << QList<qint64> { -1 }
        << QStringList { "没有匹配的帧" };
    QTest::newRow("backwards first, on a worker")
        << manyRows << "" << QList<int> { -1, 1 } << QList<qint64> { 299987, 3 }
        << QStringList { "第 18750 个，共 18750 个", "第 1 个，共 18750 个" };
}

void tst_FrameLogFilter::search()
{
    QFETCH(int, rows);
    QFETCH(QString, filter);
    QFETCH(QList<int>, steps);
    QFETCH(QList<qint64>, numbers);
    QFETCH(QStringList, labels);

    Bench bench;
    bench.append(rows);
    QVERIFY(bench.filter.applyText(filter));
    QTRY_VERIFY_WITH_TIMEOUT(!bench.filter.model()->isApplying(), 20000);
    auto search = bench.parent.findChild<QLineEdit *>("txtSearch");
    auto result = bench.parent.findChild<QLabel *>("lblSearchResult");
    bench.filter.findNext(1); // opens the bar
    search->setText("id == 3");
    for (int i = 0; i < steps.size(); ++i) {
        result->clear();
        bench.filter.findNext(steps.at(i));
        QTRY_COMPARE_WITH_TIMEOUT(result->text(), labels.at(i), 20000);
        const QModelIndex current = bench.table.currentIndex();
        QCOMPARE(current.isValid() ? current.sibling(current.row(), 0).data().toLongLong() : -1,
                 numbers.at(i));
    }
}

void tst_FrameLogFilter::goToTime_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("time");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<qint64>("number");

    QTest::newRow("whole table") << 500 << "" << "00:00:01.005" << true << qint64(101);
    QTest::newRow("exact time") << 500 << "" << "0:0:2" << true << qint64(200);
    QTest::newRow("filtered table") << 500 << "id == 3" << "00:00:01.005" << true
                                    << qint64(115);
    QTest::newRow("after the last frame") << 500 << "" << "00:01:00" << true << qint64(-1);
    QTest::newRow("no time") << 500 << "" << "1.005" << false << qint64(-1);
    QTest::newRow("full-width digits") << 500 << "" << "００：００：０１．００５" << true
                                       << qint64(101);
    QTest::newRow("on a worker") << manyRows << "" << "00:49:59.990" << true
                                 << qint64(300000 - 1);
}

void tst_FrameLogFilter::goToTime()
{
    QFETCH(int, rows);
    QFETCH(QString, filter);
    QFETCH(QString, time);
    QFETCH(bool, accepted);
    QFETCH(qint64, number);

    Bench bench;
    bench.append(rows);
    QVERIFY(bench.filter.applyText(filter));
    QTRY_VERIFY_WITH_TIMEOUT(!bench.filter.model()->isApplying(), 20000);
    QSignalSpy messages(&bench.filter, &FrameLogFilter::statusMessage);
    QCOMPARE(bench.filter.goToTime(time), accepted);
    if (number < 0) {
        QTRY_VERIFY(!messages.isEmpty());
        QVERIFY(!bench.table.currentIndex().isValid());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(bench.table.currentIndex().isValid(), 20000);
    QCOMPARE(bench.table.currentIndex().sibling(bench.table.currentIndex().row(), 0).data()
                 .toLongLong(), number);
}

// The window's field: a refused expression is marked and said, and the filter in force
// stays; the identifier actions write their expression into the field.
void tst_FrameLogFilter::windowField_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("status");

    QTest::newRow("applied") << "id == 3" << "" << "id == 3" << 3 << "筛选：显示 3 / 40 帧";
    QTest::newRow("refused") << "id == 3 &&" << "" << "id == 3 &&" << 40
                             << "筛选表达式错误：表达式不完整（位置 10）";
    QTest::newRow("only this id") << "" << "actionShowOnlyId" << "id == 0x005 && !ext" << 3
                                  << "筛选：显示 3 / 40 帧";
    QTest::newRow("hide this id") << "id < 8" << "actionHideId"
                                  << "id < 8 && !(id == 0x005 && !ext)" << 21
                                  << "筛选：显示 21 / 40 帧";
}

void tst_FrameLogFilter::windowField()
{
    QFETCH(QString, typed);
    QFETCH(QString, action);
    QFETCH(QString, field);
    QFETCH(int, rows);
    QFETCH(QString, status);

    FakeCanable::reset();
    MainWindow window;
    window.show();
    auto table = window.findChild<QTableView *>("tbReceive");
    auto filterField = window.findChild<QLineEdit *>("txtFilter");
    auto message = window.findChild<QLabel *>("lblMessage");
    QVERIFY(table && filterField && message);
    QVERIFY(filterField->placeholderText().contains("id =="));
    auto model = qobject_cast<FrameFilterModel *>(table->model());
    QVERIFY(model);
    // Stand-in for a tick: the model is the window's frame log.
    auto log = qobject_cast<FrameLogModel *>(
        qobject_cast<QAbstractProxyModel *>(model->sourceModel())->sourceModel());
    log->appendRecords(records(0, 40), 0, 100);

    filterField->setFocus();
    QTest::keyClicks(filterField, typed);
    QTest::keyClick(filterField, Qt::Key_Return);
    if (!action.isEmpty()) {
        table->selectRow(5);
        QAction *trigger = window.findChild<QAction *>(action);
        QVERIFY(trigger);
        trigger->trigger();
    }
    QCOMPARE(filterField->text(), field);
    QCOMPARE(model->rowCount(), rows);
    QCOMPARE(message->text(), status);
    QCOMPARE(filterField->property("inputRefused").toBool(), status.contains("错误"));
}

// While the per-identifier view is shown, its selected row is the one acted on, and the
// frame log behind it is filtered.
void tst_FrameLogFilter::idViewRow_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<QString>("expression");

    QTest::newRow("standard") << quint32(0x123) << false << "id == 0x123 && !ext";
    QTest::newRow("extended") << quint32(0x18FF0001) << true << "id == 0x18FF0001 && ext";
}

void tst_FrameLogFilter::idViewRow()
{
    QFETCH(quint32, id);
    QFETCH(bool, extended);
    QFETCH(QString, expression);

    FakeCanable::reset();
    HandleThread *hub = HandleThread::instance();
    hub->takeMessages();
    MainWindow window;
    window.show();
    CanMessage other;
    other.id = 0x7FF;
    other.time = QTime::currentTime();
    CanMessage wanted = other;
    wanted.id = id;
    wanted.extended = extended;
    // The other identifier in the same number, standard, never matches.
    other.id = id & 0x7FF;
    other.extended = !extended;
    hub->receiveDataSlot(other);
    hub->receiveDataSlot(wanted);
    hub->receiveDataSlot(other);
    window.findChild<QAction *>("actionIdView")->trigger();
    auto tree = window.findChild<QTreeView *>("tbIdView");
    QTRY_COMPARE(tree->model()->rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
        // The type column (3) tells the two rows of one number apart.
        if (tree->model()->index(row, 3).data().toString()
            == (extended ? QStringLiteral("扩展帧") : QStringLiteral("标准帧"))) {
            tree->setCurrentIndex(tree->model()->index(row, 0));
        }
    }
    QVERIFY(tree->currentIndex().isValid());
    window.findChild<QAction *>("actionShowOnlyId")->trigger();
    QCOMPARE(window.findChild<QLineEdit *>("txtFilter")->text(), expression);
    QAbstractItemModel *shown = window.findChild<QTableView *>("tbReceive")->model();
    QCOMPARE(shown->rowCount(), 1);
    QCOMPARE(shown->index(0, 0).data().toString(), QStringLiteral("1"));
    hub->takeMessages();
}

QTEST_MAIN(tst_FrameLogFilter)
#include "tst_framelogfilter.moc"
