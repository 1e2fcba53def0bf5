#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "monitor/csvexport.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"
#include "monitor/mytableview.h"
#include "tests/fake/fakecanable.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QProgressDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class tst_FrameLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rowCells_data();
    void rowCells();
    void rowLimitOnTick_data();
    void rowLimitOnTick();
    void rowLimitOnEdit_data();
    void rowLimitOnEdit();
    void tickWithoutFramesOnlyRefreshesCounters();
    void clearKeepsQueuedFrames();
    void hiddenColumnIsFilledAndExported();
    void autoScroll_data();
    void autoScroll();
    void selectionFollowsFrame_data();
    void selectionFollowsFrame();
    void selectFrameByNumber_data();
    void selectFrameByNumber();
    void exportFromWindow_data();
    void exportFromWindow();
    void backlogArrivesWhole();
    void narrowWindowKeepsShare_data();
    void narrowWindowKeepsShare();

private:
    void feed(int count, quint8 direction = 0);
    void waitForTick();
    void setLimit(const QString &text);
    void verifyRows(int count, int firstNumber) const;
    // The one selected row shows frame `number`; -1: no row is selected.
    void verifySelection(int number) const;

    std::unique_ptr<MainWindow> window;
    MyTableView *view = nullptr;
    QAbstractItemModel *model = nullptr;
    QLineEdit *limitEdit = nullptr;
    QList<QLabel *> labels;
    QStringList countersAtStart;
    int fed = 0;
};

// Frame number i carries identifier i, so every row shows which frame it holds.
static CanMessage frame(int number, quint8 direction)
{
    CanMessage msg;
    msg.direction = direction;
    msg.id = quint32(number);
    msg.dlc = 3;
    msg.data = QByteArray::fromHex("01a2ff");
    msg.time = QTime(9, 5, 3, 7);
    return msg;
}

void tst_FrameLog::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

void tst_FrameLog::init()
{
    FakeCanable::reset();
    window = std::make_unique<MainWindow>();
    countersAtStart.clear();
    for (QLabel *label : window->statusBar()->findChildren<QLabel *>().mid(0, 3))
        countersAtStart << label->text();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    view = window->findChild<MyTableView *>(QStringLiteral("tbReceive"));
    QVERIFY(view);
    model = view->model();
    limitEdit = window->findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    // The three traffic counters come first; the bus health fields follow them.
    labels = window->statusBar()->findChildren<QLabel *>();
    QVERIFY(labels.size() >= 3);
    labels = labels.mid(0, 3);
    HandleThread::instance()->takeMessages();
    fed = 0;
}

void tst_FrameLog::cleanup()
{
    window.reset();
    HandleThread::instance()->takeMessages();
}

void tst_FrameLog::feed(int count, quint8 direction)
{
    HandleThread *hub = HandleThread::instance();
    for (int i = 0; i < count; ++i, ++fed) {
        if (direction == 0)
            hub->receiveDataSlot(frame(fed, direction));
        else
            hub->sendDataSlot(frame(fed, direction));
    }
}

// Every tick rewrites the status texts, so blanking them shows when the next one ran.
void tst_FrameLog::waitForTick()
{
    for (QLabel *label : qAsConst(labels))
        label->clear();
    QTRY_VERIFY_WITH_TIMEOUT(!labels.last()->text().isEmpty(), 10000);
}

void tst_FrameLog::setLimit(const QString &text)
{
    // Typed through an input method: key events know no full-width characters.
    limitEdit->selectAll();
    limitEdit->insert(text);
    QTest::keyClick(limitEdit, Qt::Key_Return);
}

void tst_FrameLog::verifyRows(int count, int firstNumber) const
{
    QCOMPARE(model->rowCount(), count);
    for (int row = 0; row < count; ++row) {
        const int number = firstNumber + row;
        QCOMPARE(model->index(row, 0).data().toString(), QString::number(number));
        QCOMPARE(model->index(row, 1).data().toString(), QStringLiteral("0x%1")
                 .arg(number, 2, 16, QLatin1Char('0')));
    }
}

void tst_FrameLog::verifySelection(int number) const
{
    const QModelIndexList selected = view->selectionModel()->selectedRows();
    if (number < 0) {
        QVERIFY(selected.isEmpty());
        return;
    }
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().data().toString(), QString::number(number));
    QCOMPARE(view->selectionModel()->currentIndex().row(), selected.first().row());
}

void tst_FrameLog::rowCells_data()
{
    QTest::addColumn<CanMessage>("msg");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QColor>("background");

    CanMessage received = frame(5, 0);
    QTest::newRow("received, short id")
        << received
        << QStringList{ "7", "0x05", "01 a2 ff", "0x03", "接收", "成功", "09:05:03:007",
                        "数据帧", "标准帧" }
        << QColor(80, 80, 100);

    CanMessage sent = frame(0x7DF, 1);
    sent.dlc = 8;
    sent.data = QByteArray::fromHex("0102030405060708");
    sent.time = QTime(23, 59, 59, 999);
    QTest::newRow("sent, 11-bit id, 8 bytes")
        << sent
        << QStringList{ "7", "0x7df", "01 02 03 04 05 06 07 08", "0x08", "发送", "成功",
                        "23:59:59:999", "数据帧", "标准帧" }
        << QColor();

    CanMessage refused = frame(0x18FEF100, 1);
    refused.dlc = 0;
    refused.data.clear();
    refused.success = false;
    refused.remote = true;
    refused.extended = true;
    refused.time = QTime(0, 0);
    QTest::newRow("refused, extended remote")
        << refused
        << QStringList{ "7", "0x18fef100", "", "0x00", "发送", "失败", "00:00:00:000",
                        "远程帧", "扩展帧" }
        << QColor(150, 0, 0);
}

void tst_FrameLog::rowCells()
{
    QFETCH(CanMessage, msg);
    QFETCH(QStringList, texts);
    QFETCH(QColor, background);

    FrameLogModel log;
    log.appendMessages(QList<CanMessage>{ msg }, 7, -1);
    QStringList actual;
    QVariantList colours;
    for (int column = 0; column < log.columnCount(); ++column) {
        actual << log.index(0, column).data(Qt::EditRole).toString();
        colours << log.index(0, column).data(Qt::BackgroundRole);
    }

    QCOMPARE(actual, texts);
    for (const QVariant &colour : qAsConst(colours)) {
        QCOMPARE(colour.isValid(), background.isValid());
        if (colour.isValid()) {
            QCOMPARE(colour.userType(), int(QMetaType::QColor));
            QCOMPARE(colour.value<QColor>(), background);
        }
    }
}

void tst_FrameLog::rowLimitOnTick_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QList<int>>("batches");
    QTest::addColumn<int>("rows");

    QTest::newRow("default, one big batch") << "100" << QList<int>{ 150 } << 100;
    QTest::newRow("batches smaller than limit") << "100" << QList<int>{ 60, 60 } << 100;
    QTest::newRow("batch equal to limit") << "150" << QList<int>{ 150 } << 150;
    QTest::newRow("limit above total") << "200" << QList<int>{ 150 } << 150;
    QTest::newRow("zero") << "0" << QList<int>{ 20, 5 } << 0;
    QTest::newRow("negative") << "-1" << QList<int>{ 150, 50 } << 200;
    QTest::newRow("full-width digits") << "１２０" << QList<int>{ 150 } << 120;
    QTest::newRow("full-width minus") << "－１" << QList<int>{ 150 } << 150;
    // A text that is no row limit leaves the default of 100 in force.
    for (const char *text : { "abc", "99999999999", "1e6", "1,000", "1000.0", "1 000", "0x100",
                              "" }) {
        QTest::addRow("refused \"%s\"", text) << text << QList<int>{ 150, 5 } << 100;
    }
}

void tst_FrameLog::rowLimitOnTick()
{
    QFETCH(QString, limit);
    QFETCH(QList<int>, batches);
    QFETCH(int, rows);

    setLimit(limit);
    for (int batch : batches) {
        feed(batch);
        waitForTick();
    }
    verifyRows(rows, fed - rows);
    if (rows > 0)
        QCOMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());

    // Rows removed or never shown still count: numbering goes on.
    setLimit(QStringLiteral("1"));
    feed(1);
    waitForTick();
    verifyRows(1, fed - 1);
}

void tst_FrameLog::rowLimitOnEdit_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("rowsLater"); // after 150 frames more

    QTest::newRow("lower") << "10" << 10 << false << 10;
    QTest::newRow("one below") << "99" << 99 << false << 99;
    QTest::newRow("unchanged") << "100" << 100 << false << 100;
    QTest::newRow("higher") << "150" << 100 << false << 150;
    QTest::newRow("negative") << "-5" << 100 << false << 250;
    QTest::newRow("zero") << "0" << 0 << false << 0;
    QTest::newRow("full-width digits, blanks around") << "　５０ " << 50 << false << 50;
    for (const char *text : { "ten", "99999999999", "-99999999999", "1e6", "1,000", "1000.0",
                              "1 000", "0x100", "", "５e1" }) {
        QTest::addRow("refused \"%s\"", text) << text << 100 << true << 100;
    }
}

void tst_FrameLog::rowLimitOnEdit()
{
    QFETCH(QString, limit);
    QFETCH(int, rows);
    QFETCH(bool, refused);
    QFETCH(int, rowsLater);

    feed(100);
    waitForTick();
    verifyRows(100, 0);

    auto message = window->findChild<QLabel *>(QStringLiteral("lblMessage"));
    message->clear();
    setLimit(limit);
    verifyRows(rows, 100 - rows);
    // A refused text is marked and named in the status bar, and the limit in force stays
    // for the frames that follow.
    QCOMPARE(limitEdit->property("inputRefused").toBool(), refused);
    QCOMPARE(message->text(), refused ? QStringLiteral("最大显示行数无效：") + limit : QString());
    feed(150);
    waitForTick();
    verifyRows(rowsLater, 250 - rowsLater);
    setLimit(QStringLiteral("1000"));
    QVERIFY(!limitEdit->property("inputRefused").toBool());
    verifyRows(rowsLater, 250 - rowsLater);
}

void tst_FrameLog::tickWithoutFramesOnlyRefreshesCounters()
{
    // Empty until the first tick.
    QCOMPARE(countersAtStart, QStringList({ QString(), QString(), QString() }));
    feed(20, 0);
    feed(10, 1);
    waitForTick();
    QCOMPARE(labels.at(0)->text(), QStringLiteral("发送次数:10次"));
    QCOMPARE(labels.at(1)->text(), QStringLiteral("接收次数:20次"));
    QCOMPARE(labels.at(2)->text(), QStringLiteral("接收速度:%1次/s")
             .arg(HandleThread::instance()->getReceiveRate()));

    view->scrollToTop();
    QVERIFY(view->verticalScrollBar()->maximum() > 0);
    HandleThread::instance()->clearCount();
    waitForTick();
    QCOMPARE(labels.at(0)->text(), QStringLiteral("发送次数:0次"));
    QCOMPARE(labels.at(1)->text(), QStringLiteral("接收次数:0次"));
    QCOMPARE(labels.at(2)->text(), QStringLiteral("接收速度:0次/s"));
    verifyRows(30, 0);
    QCOMPARE(view->verticalScrollBar()->value(), 0);
}

void tst_FrameLog::clearKeepsQueuedFrames()
{
    feed(5);
    waitForTick();
    feed(3);
    window->findChild<QPushButton *>(QStringLiteral("btnClear"))->click();
    QCOMPARE(model->rowCount(), 0);
    waitForTick();
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("0"));
    QCOMPARE(model->index(2, 1).data().toString(), QStringLiteral("0x07"));
    QCOMPARE(labels.at(1)->text(), QStringLiteral("接收次数:0次"));
}

void tst_FrameLog::hiddenColumnIsFilledAndExported()
{
    QAction *dataColumn = view->findChild<QMenu *>()->actions().at(2);
    dataColumn->trigger();
    QVERIFY(view->isColumnHidden(2));

    feed(2);
    waitForTick();
    QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("01 a2 ff"));
    QCOMPARE(model->index(1, 2).data(Qt::BackgroundRole).value<QColor>(), QColor(80, 80, 100));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    QVERIFY(exportFrameLog(model, model->rowCount(), model->columnCount(), path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    QCOMPARE(lines.at(2),
             QStringLiteral("1,0x01,01 a2 ff,0x03,接收,成功,09:05:03:007,数据帧,标准帧,"));
}

void tst_FrameLog::autoScroll_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("filter");
    QTest::newRow("on") << true << "250" << "";
    QTest::newRow("off, rows arrive") << false << "1000" << "";
    QTest::newRow("off, limit drops rows above") << false << "250" << "";
    // Every other frame shown: the limit drops shown and hidden rows above the view.
    QTest::newRow("on, filtered") << true << "250" << "id & 1 == 0";
    QTest::newRow("off, filtered, limit drops rows above") << false << "250" << "id & 1 == 0";
}

void tst_FrameLog::autoScroll()
{
    QFETCH(bool, checked);
    QFETCH(QString, limit);
    QFETCH(QString, filter);

    auto box = window->findChild<QCheckBox *>(QStringLiteral("chkAutoScroll"));
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("自动滚动"));
    QVERIFY(box->isChecked());
    QCOMPARE(box->parent()->objectName(), QStringLiteral("layoutWidget1"));
    setLimit(QStringLiteral("1000"));
    if (!filter.isEmpty()) {
        auto field = window->findChild<QLineEdit *>(QStringLiteral("txtFilter"));
        QTest::keyClicks(field, filter);
        QTest::keyClick(field, Qt::Key_Return);
    }
    feed(300);
    waitForTick();
    QScrollBar *bar = view->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());

    box->setChecked(checked);
    // Frame 100 on top: row 100, or row 50 of the even frames.
    bar->setValue(filter.isEmpty() ? 100 : 50);
    const auto topNumber = [this] {
        return model->index(view->rowAt(0), 0).data().toString();
    };
    QCOMPARE(topNumber(), QStringLiteral("100"));
    setLimit(limit);
    feed(20);
    waitForTick();
    if (checked) {
        QCOMPARE(bar->value(), bar->maximum());
    } else {
        QVERIFY(bar->value() < bar->maximum());
        QCOMPARE(topNumber(), QStringLiteral("100"));
    }
}

void tst_FrameLog::selectionFollowsFrame_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("selectedRow");
    QTest::addColumn<int>("selectedNumber"); // -1: no row selected after the tick

    QTest::newRow("table grows") << "1000" << 50 << 50;
    QTest::newRow("full table") << "100" << 50 << 50;
    QTest::newRow("full table, frame dropped") << "100" << 5 << -1;
}

// Frames arriving never move the selection to another frame.
void tst_FrameLog::selectionFollowsFrame()
{
    QFETCH(QString, limit);
    QFETCH(int, selectedRow);
    QFETCH(int, selectedNumber);

    setLimit(limit);
    feed(100);
    waitForTick();
    view->selectRow(selectedRow);
    feed(20);
    waitForTick();
    verifySelection(selectedNumber);
}

void tst_FrameLog::selectFrameByNumber_data()
{
    QTest::addColumn<qint64>("number");
    QTest::addColumn<int>("selectedNumber"); // -1: no row selected
    QTest::addColumn<bool>("idView");        // the per-identifier view shown before

    QTest::newRow("first row kept") << qint64(50) << 50 << false;
    QTest::newRow("in the middle") << qint64(120) << 120 << false;
    QTest::newRow("last row") << qint64(149) << 149 << false;
    QTest::newRow("dropped by the row limit") << qint64(49) << -1 << false;
    QTest::newRow("not yet received") << qint64(150) << -1 << false;
    QTest::newRow("from the per-identifier view") << qint64(120) << 120 << true;
    QTest::newRow("gone, per-identifier view stays") << qint64(49) << -1 << true;
}

// Another view asks for a frame by its number; the table selects that frame's row even
// after the row limit moved the numbers away from the row positions, and shows it: in
// place of the per-identifier view, and with auto-scroll off, which would carry it away.
void tst_FrameLog::selectFrameByNumber()
{
    QFETCH(qint64, number);
    QFETCH(int, selectedNumber);
    QFETCH(bool, idView);

    setLimit(QStringLiteral("100"));
    feed(150);
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 100, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(model->index(99, 0).data().toString(), QStringLiteral("149"),
                              10000);
    if (idView)
        window->findChild<QAction *>(QStringLiteral("actionIdView"))->trigger();
    QCOMPARE(view->isVisible(), !idView);
    window->findChild<MonitorContext *>()->selectFrame(number);
    verifySelection(selectedNumber);
    const bool found = selectedNumber >= 0;
    QCOMPARE(view->isVisible(), found || !idView);
    QCOMPARE(window->findChild<QCheckBox *>(QStringLiteral("chkAutoScroll"))->isChecked(),
             !found);
}

void tst_FrameLog::exportFromWindow_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("message");

    QTest::newRow("cancelled") << "log.csv" << 60000 << true << "导出已取消";
    QTest::newRow("unwritable") << "missing/log.csv" << 10 << false << "导出失败: 无法写入 %1";
    QTest::newRow("written") << "log.csv" << 10 << false << "已导出 10 行到 %1";
}

void tst_FrameLog::exportFromWindow()
{
    QFETCH(QString, fileName);
    QFETCH(int, rows);
    QFETCH(bool, cancel);
    QFETCH(QString, message);

    setLimit(QString::number(rows));
    feed(rows);
    // A backlog this long may take the tick and a few slices after it.
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), rows, 10000);

    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answer.stop();
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    answer.start(10);
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("btnExport")),
                      Qt::LeftButton);

    auto progress = window->findChild<QProgressDialog *>();
    if (cancel) {
        // The result is reported from the event loop, so the export is still running.
        QVERIFY(progress);
        QCOMPARE(progress->labelText(), QStringLiteral("正在导出…"));
        feed(5);
        QPushButton *cancelButton = progress->findChild<QPushButton *>();
        QVERIFY(cancelButton);
        QCOMPARE(cancelButton->text(), QStringLiteral("取消"));
        cancelButton->click();
        waitForTick();
        QCOMPARE(model->index(model->rowCount() - 1, 0).data().toString(),
                 QString::number(rows + 4));
    }
    auto line = window->findChild<QLabel *>(QStringLiteral("lblMessage"));
    if (message.contains(QLatin1String("%1")))
        message = message.arg(path);
    QTRY_COMPARE_WITH_TIMEOUT(line->text(), message, 30000);
    QCOMPARE(QFile::exists(path), !cancel && message.startsWith(QStringLiteral("已导出")));
    QTRY_VERIFY(!window->findChild<QProgressDialog *>());
    QVERIFY(window->findChild<QPushButton *>(QStringLiteral("btnExport"))->isEnabled());
}

// A backlog of several slices arrives whole and in order, and the numbers go on from it.
void tst_FrameLog::backlogArrivesWhole()
{
    const int frames = 5 * 16384 + 123;
    setLimit(QString::number(frames + 10));
    feed(frames);
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), frames, 20000);
    for (int row : { 0, 1, 16383, 16384, 40000, frames - 1 }) {
        QCOMPARE(model->index(row, 0).data().toString(), QString::number(row));
        QCOMPARE(model->index(row, 1).data().toString(),
                 QStringLiteral("0x%1").arg(row, 2, 16, QLatin1Char('0')));
    }
    feed(20);
    QTRY_COMPARE(model->rowCount(), frames + 10);
    QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("10"));
    QCOMPARE(model->index(frames + 9, 0).data().toString(), QString::number(frames + 19));
    waitForTick();
    QCOMPARE(labels.at(1)->text(), QStringLiteral("接收次数:%1次").arg(frames + 20));
}

void tst_FrameLog::narrowWindowKeepsShare_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("styled");

    for (const QSize &size : { QSize(1680, 622), QSize(1366, 768), QSize(1200, 700) }) {
        const QByteArray name = QByteArray::number(size.width()) + 'x'
                + QByteArray::number(size.height());
        QTest::newRow(name + " styled") << size << true;
        QTest::newRow(name + " plain") << size << false;
    }
}

// The frame log keeps its 18 : 13 share of the splitter with proportional columns that fit
// its width, and the transmit panel's editor still shows every one of its widgets whole.
void tst_FrameLog::narrowWindowKeepsShare()
{
    QFETCH(QSize, size);
    QFETCH(bool, styled);

    if (styled) {
        QFile style(QStringLiteral(":/style.qss"));
        QVERIFY(style.open(QIODevice::ReadOnly));
        qApp->setStyleSheet(QString::fromUtf8(style.readAll()));
        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        view = window->findChild<MyTableView *>(QStringLiteral("tbReceive"));
    }
    const auto unstyle = qScopeGuard([styled] {
        if (styled)
            qApp->setStyleSheet(QString());
    });
    window->resize(size);
    QTRY_COMPARE(window->size(), size);
    auto splitter = window->findChild<QSplitter *>(QStringLiteral("splitter"));
    QVERIFY(splitter);
    const auto shareKept = [splitter] {
        const QList<int> sizes = splitter->sizes();
        return sizes.size() == 2 && qAbs(sizes.at(0) * 13 - sizes.at(1) * 18) <= 31 * 2;
    };
    QTRY_VERIFY2(shareKept(), qPrintable(QStringLiteral("splitter sizes %1, %2")
                                             .arg(splitter->sizes().value(0))
                                             .arg(splitter->sizes().value(1))));

    const int viewport = view->viewport()->width();
    int sum = 0;
    for (const auto &column : columnHeaders)
        sum += column.second;
    int used = 0;
    for (int column = 0; column < columnHeaders.size(); ++column) {
        QCOMPARE(view->columnWidth(column), columnHeaders.at(column).second * viewport / sum);
        used += view->columnWidth(column);
    }
    QVERIFY(used <= viewport);
    QCOMPARE(view->horizontalScrollBar()->maximum(), 0);

    auto editor = window->findChild<QWidget *>(QStringLiteral("groupBox_13"));
    QVERIFY(editor);
    const QRect inside = editor->rect();
    const QList<QWidget *> fields = editor->findChildren<QWidget *>(QString(),
                                                                    Qt::FindDirectChildrenOnly);
    QVERIFY(!fields.isEmpty());
    for (QWidget *holder : fields) {
        for (QWidget *field : holder->findChildren<QWidget *>(QString(),
                                                             Qt::FindDirectChildrenOnly)) {
            if (field->isHidden())
                continue;
            const QRect at(field->mapTo(editor, QPoint()), field->size());
            QVERIFY2(inside.contains(at), qPrintable(field->objectName()));
            QVERIFY2(field->width() >= field->minimumSizeHint().width(),
                     qPrintable(field->objectName()));
            QVERIFY2(field->height() >= field->minimumSizeHint().height(),
                     qPrintable(field->objectName()));
        }
    }
}

QTEST_MAIN(tst_FrameLog)
#include "tst_framelog.moc"
