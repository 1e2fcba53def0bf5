#include "datasendwidget.h"
#include "fakecanable.h"
#include "sendlistfile.h"
#include "sendthread.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(SendFrame)

namespace {

const QString sendText = QStringLiteral("立即发送");
const QString listText = QStringLiteral("列表发送");
const QString stopText = QStringLiteral("停止发送");
const int sendTimeout = 30000;

SendFrame makeFrame(quint32 id, const char *hex, bool extended, bool remote, int framesPerSend,
                    int repeatCount, int interval)
{
    return {id, QByteArray::fromHex(hex), extended, remote, framesPerSend, repeatCount,
            interval};
}

QString describe(const SendFrame &f)
{
    return QStringLiteral("id %1 data %2 ext %3 rtr %4 frames %5 repeat %6 interval %7")
        .arg(f.id, 0, 16).arg(QString::fromLatin1(f.data.toHex(' '))).arg(f.extended)
        .arg(f.remote).arg(f.framesPerSend).arg(f.repeatCount).arg(f.interval);
}

QStringList writtenFrames()
{
    QStringList frames;
    for (const CanFrameRecord &r : FakeCanable::writtenFrames()) {
        const QByteArray data(reinterpret_cast<const char *>(r.data), r.dlc);
        frames << QStringLiteral("%1 %2%3%4").arg(r.id, 0, 16).arg(QString(data.toHex()))
                      .arg(r.extended ? " ext" : "").arg(r.remote ? " rtr" : "");
    }
    return frames;
}

} // namespace

class tst_DataSendWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void editor_data();
    void editor();
    void addRow_data();
    void addRow();
    void frameFromCells_data();
    void frameFromCells();
    void deleteAndAddNumbering();
    void editWithoutTarget_data();
    void editWithoutTarget();
    void moveRow_data();
    void moveRow();
    void clickFillsEditor();
    void sendStates_data();
    void sendStates();
    void sendWrites_data();
    void sendWrites();
    void listChangesDuringSend();
    void refusedWrites();

private:
    template<typename T> T *child(const char *name) const { return panel->findChild<T *>(name); }
    QStandardItemModel *model() const;
    void fillEditor(const QStringList &fields, int type = 0, int form = 0);
    void appendRow(const QStringList &cells);
    QStringList column(int column) const;
    QStringList allCells() const;
    QStringList controlState() const;
    QStringList expectedState(const QString &send, bool sendEnabled, const QString &list,
                              bool listEnabled, bool editorEnabled) const;

    DataSendWidget *panel = nullptr;
};

QStandardItemModel *tst_DataSendWidget::model() const
{
    return qobject_cast<QStandardItemModel *>(child<QTableView>("tableView")->model());
}

// Null entries keep what the form holds.
void tst_DataSendWidget::fillEditor(const QStringList &fields, int type, int form)
{
    const char *names[] = {"txtID", "txtData", "txtCountOneTime", "txtSendCount",
                           "txtInvTime", "txtName"};
    for (int i = 0; i < fields.size(); ++i) {
        if (!fields.at(i).isNull())
            child<QLineEdit>(names[i])->setText(fields.at(i));
    }
    child<QComboBox>("cbxType")->setCurrentIndex(type);
    child<QComboBox>("cbxForm")->setCurrentIndex(form);
}

void tst_DataSendWidget::appendRow(const QStringList &cells)
{
    QList<QStandardItem *> items;
    for (const QString &text : cells)
        items << new QStandardItem(text);
    model()->appendRow(items);
}

QStringList tst_DataSendWidget::column(int column) const
{
    QStringList texts;
    for (int row = 0; row < model()->rowCount(); ++row)
        texts << model()->index(row, column).data().toString();
    return texts;
}

QStringList tst_DataSendWidget::allCells() const
{
    QStringList texts;
    for (int c = 0; c < model()->columnCount(); ++c)
        texts << column(c);
    for (QLineEdit *edit : panel->findChildren<QLineEdit *>())
        texts << edit->text();
    return texts;
}

QStringList tst_DataSendWidget::controlState() const
{
    QStringList state;
    for (const char *name : {"btnSend", "btnSendList"})
        state << child<QPushButton>(name)->text();
    for (const char *name : {"btnSend", "btnSendList", "comboBox", "cbxForm", "cbxType",
                             "txtID", "txtDlc", "txtData", "txtCountOneTime", "txtSendCount",
                             "txtInvTime", "btnAddToList", "btnDelete", "txtName",
                             "btnUpdateList", "btnUp", "btnDown", "btnSave", "btnLoad",
                             "tableView", "txtListSendCount"}) {
        state << QStringLiteral("%1 %2").arg(name).arg(child<QWidget>(name)->isEnabled());
    }
    return state;
}

QStringList tst_DataSendWidget::expectedState(const QString &send, bool sendEnabled,
                                              const QString &list, bool listEnabled,
                                              bool editorEnabled) const
{
    QStringList state = controlState();
    state[0] = send;
    state[1] = list;
    state[2] = QStringLiteral("btnSend %1").arg(sendEnabled);
    state[3] = QStringLiteral("btnSendList %1").arg(listEnabled);
    for (int i = 4; i < state.size(); ++i) {
        const QString name = state.at(i).section(' ', 0, 0);
        state[i] = QStringLiteral("%1 %2").arg(name).arg(editorEnabled || i >= 15);
    }
    return state;
}

void tst_DataSendWidget::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

void tst_DataSendWidget::init()
{
    FakeCanable::reset();
    panel = new DataSendWidget;
    panel->resize(918, 700);
}

void tst_DataSendWidget::cleanup()
{
    SendThread::instance()->stopSend();
    delete panel;
    panel = nullptr;
}

void tst_DataSendWidget::editor_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("form");
    QTest::addColumn<SendFrame>("expected");
    QTest::addColumn<QString>("dlc");

    const QString keep;
    QTest::newRow("initial contents") << QStringList() << 0 << 0
        << makeFrame(0x01, "1122334455667788", false, false, 1, 1, 1000) << "08";
    QTest::newRow("spaces around tokens") << QStringList{keep, "  aa   bb "} << 0 << 0
        << makeFrame(0x01, "aabb", false, false, 1, 1, 1000) << "02";
    QTest::newRow("empty data") << QStringList{keep, ""} << 0 << 0
        << makeFrame(0x01, "", false, false, 1, 1, 1000) << "00";
    QTest::newRow("ten tokens") << QStringList{keep, "0 1 2 3 4 5 6 7 8 9"} << 0 << 0
        << makeFrame(0x01, "00010203040506070809", false, false, 1, 1, 1000) << "0a";
    QTest::newRow("300 tokens pass unchanged") << QStringList{keep, QString("5 ").repeated(300)}
        << 0 << 0 << SendFrame{0x01, QByteArray(300, 5), false, false, 1, 1, 1000} << "12c";
    QTest::newRow("odd tokens") << QStringList{keep, "1ff -1 zz"} << 0 << 0
        << makeFrame(0x01, "ffff00", false, false, 1, 1, 1000) << "03";
    QTest::newRow("id 7ff") << QStringList{"7ff"} << 0 << 0
        << makeFrame(0x7ff, "1122334455667788", false, false, 1, 1, 1000) << "08";
    QTest::newRow("id not hex") << QStringList{"zz"} << 0 << 0
        << makeFrame(0, "1122334455667788", false, false, 1, 1, 1000) << "08";
    QTest::newRow("id empty") << QStringList{""} << 0 << 0
        << makeFrame(0, "1122334455667788", false, false, 1, 1, 1000) << "08";
    QTest::newRow("id 800 standard") << QStringList{"800"} << 0 << 0
        << makeFrame(0x800, "1122334455667788", false, false, 1, 1, 1000) << "08";
    QTest::newRow("id above 32 bits") << QStringList{"100000000"} << 0 << 0
        << makeFrame(0, "1122334455667788", false, false, 1, 1, 1000) << "08";
    QTest::newRow("extended remote") << QStringList{"1abcdef0", "01"} << 1 << 1
        << makeFrame(0x1abcdef0, "01", true, true, 1, 1, 1000) << "01";
    QTest::newRow("negative frames per send") << QStringList{keep, keep, "-3"} << 0 << 0
        << makeFrame(0x01, "1122334455667788", false, false, -3, 1, 1000) << "08";
    QTest::newRow("count not a number") << QStringList{keep, keep, keep, "x"} << 0 << 0
        << makeFrame(0x01, "1122334455667788", false, false, 1, 0, 1000) << "08";
    QTest::newRow("empty interval") << QStringList{keep, keep, keep, keep, ""} << 0 << 0
        << makeFrame(0x01, "1122334455667788", false, false, 1, 1, 0) << "08";
}

void tst_DataSendWidget::editor()
{
    QFETCH(QStringList, fields);
    QFETCH(int, type);
    QFETCH(int, form);
    QFETCH(SendFrame, expected);

    fillEditor(fields, type, form);
    QCOMPARE(describe(panel->frameFromEditor()), describe(expected));
    QTEST(child<QLineEdit>("txtDlc")->text(), "dlc");
}

void tst_DataSendWidget::addRow_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("form");
    QTest::addColumn<QStringList>("cells");

    const QString keep;
    QTest::newRow("initial editor") << QStringList() << 0 << 0
        << QStringList{"1", "", "0x01", "11 22 33 44 55 66 77 88", "0x08", "1", "1", "数据帧",
                       "标准帧", "1000"};
    QTest::newRow("extended remote without data")
        << QStringList{"ABC", "", "2", "3", "40", "制动"} << 1 << 1
        << QStringList{"1", "制动", "0xabc", "", "0x00", "2", "3", "远程帧", "扩展帧", "40"};
    QTest::newRow("ten bytes") << QStringList{keep, "1 2 3 4 5 6 7 8 9 a"} << 0 << 0
        << QStringList{"1", "", "0x01", "01 02 03 04 05 06 07 08 09 0a", "0x0a", "1", "1",
                       "数据帧", "标准帧", "1000"};
}

void tst_DataSendWidget::addRow()
{
    QFETCH(QStringList, fields);
    QFETCH(int, type);
    QFETCH(int, form);

    fillEditor(fields, type, form);
    child<QPushButton>("btnAddToList")->click();
    QCOMPARE(model()->rowCount(), 1);
    QStringList cells;
    for (int c = 0; c < model()->columnCount(); ++c)
        cells << model()->index(0, c).data().toString();
    QTEST(cells, "cells");
    QCOMPARE(describe(panel->frameFromRow(0)), describe(panel->frameFromEditor()));
}

void tst_DataSendWidget::frameFromCells_data()
{
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<SendFrame>("expected");

    QTest::newRow("as the panel writes it")
        << QStringList{"1", "", "0x7ff", "11 22", "0x02", "2", "3", "数据帧", "标准帧", "50"}
        << makeFrame(0x7ff, "1122", false, false, 2, 3, 50);
    QTest::newRow("id without prefix")
        << QStringList{"1", "", "123", "", "", "1", "1", "数据帧", "标准帧", "0"}
        << makeFrame(0x3, "", false, false, 1, 1, 0);
    QTest::newRow("empty type cell")
        << QStringList{"1", "", "0x10", "01", "", "1", "1", "数据帧", "", "0"}
        << makeFrame(0x10, "01", true, false, 1, 1, 0);
    QTest::newRow("all empty") << QStringList(QVector<QString>(10).toList())
                               << makeFrame(0, "", true, true, 0, 0, 0);
    QTest::newRow("bad tokens and numbers")
        << QStringList{"", "", "0xzz", "1ff -1 zz", "", "-5", "abc", "其他", "标准帧", "1e3"}
        << makeFrame(0, "ffff00", false, true, 0, 0, 0);
}

void tst_DataSendWidget::frameFromCells()
{
    QFETCH(QStringList, cells);
    QFETCH(SendFrame, expected);

    appendRow(cells);
    QCOMPARE(describe(panel->frameFromRow(0)), describe(expected));
}

void tst_DataSendWidget::deleteAndAddNumbering()
{
    for (int i = 0; i < 3; ++i)
        child<QPushButton>("btnAddToList")->click();
    auto view = child<QTableView>("tableView");
    view->setCurrentIndex(model()->index(1, 0));
    child<QPushButton>("btnDelete")->click();
    QCOMPARE(column(0), QStringList({"1", "3"}));
    child<QPushButton>("btnAddToList")->click();
    QCOMPARE(column(0), QStringList({"1", "3", "3"}));
}

void tst_DataSendWidget::editWithoutTarget_data()
{
    QTest::addColumn<int>("currentRow");
    QTest::addColumn<QString>("button");

    QTest::newRow("up on first row") << 0 << "btnUp";
    QTest::newRow("down on last row") << 2 << "btnDown";
    for (const char *button : {"btnUp", "btnDown", "btnUpdateList", "btnDelete"})
        QTest::addRow("%s without current row", button) << -1 << button;
}

void tst_DataSendWidget::editWithoutTarget()
{
    QFETCH(int, currentRow);
    QFETCH(QString, button);

    for (const char *name : {"a", "b", "c"}) {
        child<QLineEdit>("txtName")->setText(name);
        child<QPushButton>("btnAddToList")->click();
    }
    child<QTableView>("tableView")->setCurrentIndex(model()->index(currentRow, 0));
    fillEditor({"55", "01", "2", "2", "2", "changed"});
    const QStringList before = allCells();
    child<QPushButton>(qPrintable(button))->click();
    QCOMPARE(allCells(), before);
}

void tst_DataSendWidget::moveRow_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("presses");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<int>("finalRow");

    QTest::newRow("row 2 up twice") << 2 << "uu" << QStringList{"C", "A", "B", "D"}
                                    << QStringList{"1", "2", "3", "40"} << 0;
    QTest::newRow("row 1 down") << 1 << "d" << QStringList{"A", "C", "B", "D"}
                                << QStringList{"10", "2", "3", "40"} << 2;
    QTest::newRow("row 3 up then down") << 3 << "ud" << QStringList{"A", "B", "C", "D"}
                                        << QStringList{"10", "20", "3", "4"} << 3;
}

void tst_DataSendWidget::moveRow()
{
    QFETCH(int, row);
    QFETCH(QString, presses);
    QFETCH(int, finalRow);

    for (const char *name : {"A", "B", "C", "D"})
        appendRow({QString::number((model()->rowCount() + 1) * 10), name});
    auto view = child<QTableView>("tableView");
    view->selectRow(row);
    for (const QChar press : presses)
        child<QPushButton>(press == 'u' ? "btnUp" : "btnDown")->click();
    QTEST(column(1), "names");
    QTEST(column(0), "numbers");
    QCOMPARE(view->currentIndex().row(), finalRow);
    QVERIFY(view->selectionModel()->isRowSelected(finalRow, QModelIndex()));
}

void tst_DataSendWidget::clickFillsEditor()
{
    fillEditor({"abc", "", "2", "3", "40", "制动"}, 1, 1);
    child<QPushButton>("btnAddToList")->click();
    fillEditor({"1", "11 22", "1", "1", "1000", ""});
    panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(panel));

    auto view = child<QTableView>("tableView");
    const QRect cell = view->visualRect(model()->index(0, 3));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(child<QComboBox>("cbxType")->currentIndex(), 1);
    QCOMPARE(child<QComboBox>("cbxForm")->currentIndex(), 1);
    QStringList fields;
    for (const char *name : {"txtID", "txtData", "txtDlc", "txtCountOneTime", "txtSendCount",
                             "txtInvTime", "txtName"})
        fields << child<QLineEdit>(name)->text();
    QCOMPARE(fields, QStringList({"abc", "", "00", "2", "3", "40", "制动"}));
    QCOMPARE(view->currentIndex().row(), 0);
}

void tst_DataSendWidget::sendStates_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("starts");

    QTest::newRow("immediate send") << "btnSend" << 0 << true;
    QTest::newRow("list send") << "btnSendList" << 2 << true;
    QTest::newRow("empty list") << "btnSendList" << 0 << false;
}

void tst_DataSendWidget::sendStates()
{
    QFETCH(QString, button);
    QFETCH(int, rows);
    QFETCH(bool, starts);

    fillEditor({QString(), QString(), QString(), "1000", "1000"});
    for (int i = 0; i < rows; ++i)
        child<QPushButton>("btnAddToList")->click();
    const QStringList idle = expectedState(sendText, true, listText, true, true);
    QCOMPARE(controlState(), idle);

    auto start = child<QPushButton>(qPrintable(button));
    start->click();
    if (!starts) {
        QCOMPARE(controlState(), idle);
        QVERIFY(!SendThread::instance()->isRunning());
        QCOMPARE(FakeCanable::callCount("write"), 0);
        return;
    }
    const bool immediate = button == "btnSend";
    QCOMPARE(controlState(), expectedState(immediate ? stopText : sendText, immediate,
                                           immediate ? listText : stopText, !immediate,
                                           false));

    QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::callCount("write") > 0, sendTimeout);
    start->click();
    QCOMPARE(controlState(), idle);
    QVERIFY(!SendThread::instance()->isRunning());
    const int writes = FakeCanable::callCount("write");
    QCoreApplication::processEvents();
    QCOMPARE(FakeCanable::callCount("write"), writes);
}

void tst_DataSendWidget::sendWrites_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<QString>("passes");
    QTest::addColumn<QStringList>("written");

    QTest::newRow("immediate with defaults") << "btnSend" << QList<QStringList>() << "1"
                                             << QStringList{"1 1122334455667788"};
    const QList<QStringList> rows = {
        {"1", "", "0x100", "01", "0x01", "1", "2", "数据帧", "标准帧", "0"},
        {"2", "", "0x1abcdef", "", "0x00", "2", "1", "远程帧", "扩展帧", "0"}};
    QTest::newRow("list, two passes") << "btnSendList" << rows << "2"
        << QStringList{"100 01", "100 01", "1abcdef  ext rtr", "1abcdef  ext rtr",
                       "100 01", "100 01", "1abcdef  ext rtr", "1abcdef  ext rtr"};
    QTest::newRow("list, pass count not a number") << "btnSendList" << rows << "x"
                                                   << QStringList();
}

void tst_DataSendWidget::sendWrites()
{
    QFETCH(QString, button);
    QFETCH(QList<QStringList>, rows);
    QFETCH(QString, passes);

    for (const QStringList &cells : rows)
        appendRow(cells);
    child<QLineEdit>("txtListSendCount")->setText(passes);
    const QStringList idle = controlState();
    child<QPushButton>(qPrintable(button))->click();
    QVERIFY(controlState() != idle);
    QTRY_COMPARE_WITH_TIMEOUT(controlState(), idle, sendTimeout);
    QTEST(writtenFrames(), "written");

    // A stop click whose finish crosses the send's own queued finish runs the slot twice.
    SendThread::instance()->stopSend();
    QCOMPARE(controlState(), idle);
}

void tst_DataSendWidget::listChangesDuringSend()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString otherList = dir.filePath("other.ini");
    QStandardItemModel other(1, 10);
    for (int c = 0; c < 10; ++c)
        other.setItem(0, c, new QStandardItem(c == 2 ? "0x7" : "9"));
    QVERIFY(SendListFile::save(other, otherList));

    QStringList expected;
    for (const char *id : {"1", "2", "3"}) {
        fillEditor({id, id, "1", "2", "200"});
        child<QPushButton>("btnAddToList")->click();
        expected << QStringLiteral("%1 0%1").arg(id) << QStringLiteral("%1 0%1").arg(id);
    }
    child<QLineEdit>("txtListSendCount")->setText("2");
    child<QPushButton>("btnSendList")->click();

    auto view = child<QTableView>("tableView");
    view->selectRow(2);
    child<QPushButton>("btnUp")->click();
    fillEditor({"55", "55", "3", "3", "0"});
    child<QPushButton>("btnUpdateList")->click();
    SendListFile::load(model(), otherList);
    QVERIFY2(FakeCanable::callCount("write") < 2 * expected.size(), "send ended before edits");

    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("btnSendList")->text(), listText, sendTimeout);
    QCOMPARE(writtenFrames(), expected + expected);
}

void tst_DataSendWidget::refusedWrites()
{
    FakeCanable::setWriteResult(1);
    QSignalSpy announced(SendThread::instance(), &SendThread::sendMsgSignal);
    fillEditor({"123", QString(), "3", "2", "0"});
    child<QPushButton>("btnSend")->click();
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("btnSend")->text(), sendText, sendTimeout);

    QCOMPARE(FakeCanable::callCount("write"), 6);
    QCOMPARE(announced.count(), 6);
    for (const QList<QVariant> &arguments : announced) {
        const CanMessage message = arguments.at(0).value<CanMessage>();
        QCOMPARE(message.id, 0x123u);
        QCOMPARE(message.direction, quint8(1));
        QVERIFY(!message.success);
    }
    QVERIFY(FakeCanable::writtenFrames().isEmpty());
}

QTEST_MAIN(tst_DataSendWidget)
#include "tst_datasendwidget.moc"
