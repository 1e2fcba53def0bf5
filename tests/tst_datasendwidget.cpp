#include "tests/fake/fakecanable.h"
#include "transmit/datasendwidget.h"
#include "transmit/sendlistfile.h"
#include "transmit/sendlistmodel.h"
#include "transmit/sendthread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString sendText = QStringLiteral("立即发送");
const QString listText = QStringLiteral("列表发送");
const QString stopText = QStringLiteral("停止发送");
const int sendTimeout = 30000;

// "id data extended remote framesPerSend repeatCount interval", e.g. "7ff 0102 10 1 1 0".
QString describe(const SendFrame &f)
{
    return QStringLiteral("%1 %2 %3%4 %5 %6 %7").arg(f.id, 0, 16).arg(QString(f.data.toHex()))
        .arg(f.extended).arg(f.remote).arg(f.framesPerSend).arg(f.repeatCount).arg(f.interval);
}

// "id data extended remote" of every accepted write.
QStringList writtenFrames()
{
    QStringList frames;
    for (const CanFrameRecord &r : FakeCanable::writtenFrames()) {
        const QByteArray data(reinterpret_cast<const char *>(r.data), r.dlc);
        frames << QStringLiteral("%1 %2 %3%4").arg(r.id, 0, 16).arg(QString(data.toHex()))
                      .arg(r.extended).arg(r.remote);
    }
    return frames;
}

// Button texts, then enabled flags: the two start buttons, the ten editor widgets with
// btnDelete, and the eight widgets a send never touches.
QString expectedState(const QString &send, bool sendOn, const QString &list, bool listOn,
                      bool editorOn)
{
    return QStringLiteral("%1 %2 %3%4%5%6").arg(send, list).arg(sendOn).arg(listOn)
        .arg(QString(11, editorOn ? '1' : '0'), QString(8, '1'));
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
    void editorRefusal_data();
    void editorRefusal();
    void fdEditor_data();
    void fdEditor();
    void listRowRefusal_data();
    void listRowRefusal();
    void listPassesBounded_data();
    void listPassesBounded();
    void closingWindowStopsSend();
    void largeListLoadsInBackground();
    void fileOperationsOneAtATime_data();
    void fileOperationsOneAtATime();
    void loadSaysWhy_data();
    void loadSaysWhy();

private:
    template<typename T = QWidget> T *child(const char *name) const
    {
        return panel->findChild<T *>(name);
    }
    void click(const char *name) const { child<QPushButton>(name)->click(); }
    SendListModel *model() const;
    void fillEditor(const QStringList &fields, int type = 0, int form = 0);
    void appendRow(const QStringList &cells);
    QStringList cells(int column = -1) const;
    QString state() const;

    DataSendWidget *panel = nullptr;
};

SendListModel *tst_DataSendWidget::model() const
{
    return qobject_cast<SendListModel *>(child<QTableView>("tableView")->model());
}

// Fields in the order txtID, txtData, txtCountOneTime, txtSendCount, txtInvTime, txtName;
// a null entry keeps what the form holds.
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
    model()->appendRow(cells);
}

// One column top to bottom, or with -1 every cell row by row.
QStringList tst_DataSendWidget::cells(int column) const
{
    QStringList texts;
    for (int r = 0; r < model()->rowCount(); ++r) {
        for (int c = 0; c < model()->columnCount(); ++c) {
            if (column < 0 || c == column)
                texts << model()->index(r, c).data().toString();
        }
    }
    return texts;
}

QString tst_DataSendWidget::state() const
{
    QString result = child<QPushButton>("btnSend")->text() + ' '
                     + child<QPushButton>("btnSendList")->text() + ' ';
    for (const char *name : {"btnSend", "btnSendList", "comboBox", "cbxForm", "cbxType", "txtID",
                             "txtDlc", "txtData", "txtCountOneTime", "txtSendCount",
                             "txtInvTime", "btnAddToList", "btnDelete", "txtName",
                             "btnUpdateList", "btnUp", "btnDown", "btnSave", "btnLoad",
                             "tableView", "txtListSendCount"})
        result += child(name)->isEnabled() ? '1' : '0';
    return result;
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
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("dlc");

    const QString k;
    const QString initialData = "1122334455667788";
    QTest::newRow("initial contents") << QStringList() << 0 << 0
                                      << "1 1122334455667788 00 1 1 1000" << "08";
    QTest::newRow("spaces around tokens") << QStringList{k, "  aa   bb "} << 0 << 0
                                          << "1 aabb 00 1 1 1000" << "02";
    QTest::newRow("empty data") << QStringList{k, ""} << 0 << 0 << "1  00 1 1 1000" << "00";
    QTest::newRow("ten tokens") << QStringList{k, "0 1 2 3 4 5 6 7 8 9"} << 0 << 0
                                << "1 00010203040506070809 00 1 1 1000" << "0a";
    QTest::newRow("300 tokens pass unchanged") << QStringList{k, QString("5 ").repeated(300)}
        << 0 << 0 << "1 " + QString("05").repeated(300) + " 00 1 1 1000" << "12c";
    QTest::newRow("tokens 1ff -1 zz") << QStringList{k, "1ff -1 zz"} << 0 << 0
                                      << "1 ffff00 00 1 1 1000" << "03";
    QTest::newRow("id 7ff") << QStringList{"7ff"} << 0 << 0
                            << "7ff " + initialData + " 00 1 1 1000" << "08";
    QTest::newRow("id zz") << QStringList{"zz"} << 0 << 0
                           << "0 " + initialData + " 00 1 1 1000" << "08";
    QTest::newRow("id empty") << QStringList{""} << 0 << 0
                              << "0 " + initialData + " 00 1 1 1000" << "08";
    QTest::newRow("id 800 standard") << QStringList{"800"} << 0 << 0
                                     << "800 " + initialData + " 00 1 1 1000" << "08";
    QTest::newRow("id above 32 bits") << QStringList{"100000000"} << 0 << 0
                                      << "0 " + initialData + " 00 1 1 1000" << "08";
    QTest::newRow("extended remote keeps data") << QStringList{"1abcdef0", "01"} << 1 << 1
                                                << "1abcdef0 01 11 1 1 1000" << "01";
    QTest::newRow("frames per send -3") << QStringList{k, k, "-3"} << 0 << 0
                                        << "1 " + initialData + " 00 -3 1 1000" << "08";
    QTest::newRow("count not a number") << QStringList{k, k, k, "x"} << 0 << 0
                                        << "1 " + initialData + " 00 1 0 1000" << "08";
    QTest::newRow("empty interval") << QStringList{k, k, k, k, ""} << 0 << 0
                                    << "1 " + initialData + " 00 1 1 0" << "08";
}

void tst_DataSendWidget::editor()
{
    QFETCH(QStringList, fields);
    QFETCH(int, type);
    QFETCH(int, form);

    fillEditor(fields, type, form);
    QTEST(describe(panel->frameFromEditor()), "frame");
    QTEST(child<QLineEdit>("txtDlc")->text(), "dlc");
}

void tst_DataSendWidget::addRow_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("form");
    QTest::addColumn<QStringList>("row");

    QTest::newRow("initial editor") << QStringList() << 0 << 0
        << QStringList{"1", "", "0x01", "11 22 33 44 55 66 77 88", "0x08", "1", "1", "数据帧",
                       "标准帧", "1000", "", ""};
    QTest::newRow("extended remote abc without data")
        << QStringList{"ABC", "", "2", "3", "40", "制动"} << 1 << 1
        << QStringList{"1", "制动", "0xabc", "", "0x00", "2", "3", "远程帧", "扩展帧", "40", "",
                       ""};
    QTest::newRow("ten bytes are refused")
        << QStringList{QString(), "1 2 3 4 5 6 7 8 9 a"} << 0 << 0 << QStringList();
}

void tst_DataSendWidget::addRow()
{
    QFETCH(QStringList, fields);
    QFETCH(int, type);
    QFETCH(int, form);

    fillEditor(fields, type, form);
    click("btnAddToList");
    QTEST(cells(), "row");
    if (model()->rowCount() > 0)
        QCOMPARE(describe(panel->frameFromRow(0)), describe(panel->frameFromEditor()));
}

void tst_DataSendWidget::frameFromCells_data()
{
    QTest::addColumn<QStringList>("row");
    QTest::addColumn<QString>("frame");

    QTest::newRow("id without prefix")
        << QStringList{"1", "", "123", "", "", "1", "1", "数据帧", "标准帧", "0"} << "3  00 1 1 0";
    QTest::newRow("empty type cell")
        << QStringList{"1", "", "0x10", "01", "", "1", "1", "数据帧", "", "0"} << "10 01 10 1 1 0";
    QTest::newRow("all empty") << QStringList{"", "", "", "", "", "", "", "", "", ""}
                               << "0  11 0 0 0";
    QTest::newRow("bad tokens and numbers")
        << QStringList{"", "", "0xzz", "1ff -1 zz", "", "-5", "abc", "其他", "标准帧", "1e3"}
        << "0 ffff00 01 -5 0 0";
    QTest::newRow("full-width digits and letters")
        << QStringList{"", "", "0x７ＦＦ", "１１　２２", "", "１２", "３", "数据帧", "标准帧",
                       "１０００"}
        << "7ff 1122 00 12 3 1000";
}

void tst_DataSendWidget::frameFromCells()
{
    QFETCH(QStringList, row);

    appendRow(row);
    QTEST(describe(panel->frameFromRow(0)), "frame");
}

void tst_DataSendWidget::deleteAndAddNumbering()
{
    for (int i = 0; i < 3; ++i)
        click("btnAddToList");
    child<QTableView>("tableView")->setCurrentIndex(model()->index(1, 0));
    click("btnDelete");
    QCOMPARE(cells(0), QStringList({"1", "3"}));
    click("btnAddToList");
    QCOMPARE(cells(0), QStringList({"1", "3", "3"}));
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
        fillEditor({QString(), QString(), QString(), QString(), QString(), name});
        click("btnAddToList");
    }
    child<QTableView>("tableView")->setCurrentIndex(model()->index(currentRow, 0));
    fillEditor({"55", "01", "2", "2", "2", "changed"});
    const QStringList before = cells();
    click(qPrintable(button));
    QCOMPARE(cells(), before);
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
    QTest::newRow("row 3 up, down") << 3 << "ud" << QStringList{"A", "B", "C", "D"}
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
        click(press == 'u' ? "btnUp" : "btnDown");
    QTEST(cells(1), "names");
    QTEST(cells(0), "numbers");
    QCOMPARE(view->currentIndex().row(), finalRow);
    QVERIFY(view->selectionModel()->isRowSelected(finalRow, QModelIndex()));
}

void tst_DataSendWidget::clickFillsEditor()
{
    fillEditor({"abc", "", "2", "3", "40", "制动"}, 1, 1);
    click("btnAddToList");
    fillEditor({"1", "11 22", "1", "1", "1000", ""});
    panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(panel));

    auto view = child<QTableView>("tableView");
    const QRect cell = view->visualRect(model()->index(0, 3));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    QStringList editor{child<QComboBox>("cbxType")->currentText(),
                       child<QComboBox>("cbxForm")->currentText()};
    for (const char *name : {"txtID", "txtData", "txtDlc", "txtCountOneTime", "txtSendCount",
                             "txtInvTime", "txtName"})
        editor << child<QLineEdit>(name)->text();
    QCOMPARE(editor, QStringList({"扩展帧", "远程帧", "abc", "", "00", "2", "3", "40", "制动"}));
    QCOMPARE(view->currentIndex().row(), 0);
}

void tst_DataSendWidget::sendStates_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("running");

    QTest::newRow("immediate send") << "btnSend" << 0
                                    << expectedState(stopText, true, listText, false, false);
    QTest::newRow("list send") << "btnSendList" << 2
                               << expectedState(sendText, false, stopText, true, false);
    QTest::newRow("empty list") << "btnSendList" << 0
                                << expectedState(sendText, true, listText, true, true);
}

void tst_DataSendWidget::sendStates()
{
    QFETCH(QString, button);
    QFETCH(int, rows);
    QFETCH(QString, running);

    fillEditor({QString(), QString(), QString(), "1000", "1000"});
    for (int i = 0; i < rows; ++i)
        click("btnAddToList");
    const QString idle = expectedState(sendText, true, listText, true, true);
    QCOMPARE(state(), idle);

    click(qPrintable(button));
    QCOMPARE(state(), running);
    if (running != idle) {
        QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::callCount("write") > 0, sendTimeout);
        click(qPrintable(button));
    }
    QCOMPARE(state(), idle);
    QVERIFY(!SendThread::instance()->isRunning());
    const int writes = FakeCanable::callCount("write");
    QCOMPARE(writes == 0, running == idle);
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
                                             << QStringList{"1 1122334455667788 00"};
    const QList<QStringList> rows = {
        {"1", "", "0x100", "01", "0x01", "1", "2", "数据帧", "标准帧", "0"},
        {"2", "", "0x1abcdef", "", "0x00", "2", "1", "远程帧", "扩展帧", "0"}};
    const QStringList pass = {"100 01 00", "100 01 00", "1abcdef  11", "1abcdef  11"};
    QTest::newRow("list, two passes") << "btnSendList" << rows << "2" << pass + pass;
    QTest::newRow("list, pass count in full-width digits") << "btnSendList" << rows << "２"
                                                           << pass + pass;
    const QList<QStringList> fullWidthRows = {
        {"1", "", "0x100", "01", "0x01", "１", "２", "数据帧", "标准帧", "０"}};
    QTest::newRow("list row in full-width digits") << "btnSendList" << fullWidthRows << "1"
                                                   << QStringList{"100 01 00", "100 01 00"};
}

void tst_DataSendWidget::sendWrites()
{
    QFETCH(QString, button);
    QFETCH(QList<QStringList>, rows);
    QFETCH(QString, passes);

    for (const QStringList &row : rows)
        appendRow(row);
    child<QLineEdit>("txtListSendCount")->setText(passes);
    const QString idle = state();
    click(qPrintable(button));
    QVERIFY(state() != idle);
    QTRY_COMPARE_WITH_TIMEOUT(state(), idle, sendTimeout);
    QTEST(writtenFrames(), "written");

    // A stop click that crosses the send's own queued finish runs the slot a second time.
    SendThread::instance()->stopSend();
    QCOMPARE(state(), idle);
}

void tst_DataSendWidget::listChangesDuringSend()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString otherList = dir.filePath("other.ini");
    SendListModel other;
    QStringList otherRow;
    for (int c = 0; c < 10; ++c)
        otherRow << (c == 2 ? "0x7" : "9");
    other.appendRow(otherRow);
    QVERIFY(SendListFile::save(other, otherList));

    QStringList pass;
    for (const char *id : {"1", "2", "3"}) {
        fillEditor({id, id, "1", "2", "200"});
        click("btnAddToList");
        pass << QStringLiteral("%1 0%1 00").arg(id) << QStringLiteral("%1 0%1 00").arg(id);
    }
    child<QLineEdit>("txtListSendCount")->setText("2");
    click("btnSendList");

    child<QTableView>("tableView")->selectRow(2);
    click("btnUp");
    fillEditor({"55", "55", "3", "3", "0"});
    click("btnUpdateList");
    SendListFile::load(model(), otherList);
    QVERIFY2(FakeCanable::callCount("write") < 2 * pass.size(), "the send ended before the edits");

    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("btnSendList")->text(), listText, sendTimeout);
    QCOMPARE(writtenFrames(), pass + pass);
}

// The send thread's announcements, recorded on the test thread (queued to `context`, whose
// end disconnects), so that the checks never read what that thread is still writing.
static const QList<CanMessage> &recordAnnouncements(QObject *context)
{
    auto list = new QList<CanMessage>;
    QObject::connect(context, &QObject::destroyed, [list] { delete list; });
    QObject::connect(SendThread::instance(), &SendThread::sendMsgSignal, context,
                     [list](const CanMessage &message) { list->append(message); });
    return *list;
}

void tst_DataSendWidget::refusedWrites()
{
    FakeCanable::setWriteResult(1);
    QObject recorder;
    const QList<CanMessage> &announced = recordAnnouncements(&recorder);
    fillEditor({"123", QString(), "3", "2", "0"});
    click("btnSend");
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("btnSend")->text(), sendText, sendTimeout);

    QCOMPARE(FakeCanable::callCount("write"), 6);
    QTRY_COMPARE_WITH_TIMEOUT(announced.count(), 6, sendTimeout);
    for (const CanMessage &message : announced) {
        QCOMPARE(message.id, 0x123u);
        QCOMPARE(message.direction, quint8(1));
        QVERIFY(!message.success);
    }
    QVERIFY(FakeCanable::writtenFrames().isEmpty());
}

void tst_DataSendWidget::editorRefusal_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("refusedField");
    QTest::addColumn<QStringList>("written");

    const QString k; // keeps the initial text
    const QString d = QStringLiteral(" 1122334455667788 ");
    QTest::newRow("id 7ff standard") << QStringList{"7ff"} << 0 << ""
                                     << QStringList{"7ff" + d + "00"};
    QTest::newRow("id 800 standard") << QStringList{"800"} << 0 << "txtID" << QStringList();
    QTest::newRow("id 1fffffff extended") << QStringList{"1fffffff"} << 1 << ""
                                          << QStringList{"1fffffff" + d + "10"};
    QTest::newRow("id 20000000 extended") << QStringList{"20000000"} << 1 << "txtID"
                                          << QStringList();
    QTest::newRow("id zz") << QStringList{"zz"} << 0 << "txtID" << QStringList();
    QTest::newRow("id empty") << QStringList{""} << 0 << "txtID" << QStringList();
    QTest::newRow("id of nine digits") << QStringList{"100000000"} << 1 << "txtID"
                                       << QStringList();
    QTest::newRow("id with spaces around") << QStringList{" 12 "} << 0 << ""
                                           << QStringList{"12" + d + "00"};
    QTest::newRow("byte 1ff") << QStringList{k, "01 1ff"} << 0 << "txtData" << QStringList();
    QTest::newRow("byte -1") << QStringList{k, "-1"} << 0 << "txtData" << QStringList();
    QTest::newRow("byte zz") << QStringList{k, "01 zz 02"} << 0 << "txtData" << QStringList();
    QTest::newRow("nine bytes") << QStringList{k, "1 2 3 4 5 6 7 8 9"} << 0 << "txtData"
                                << QStringList();
    QTest::newRow("eight bytes ff") << QStringList{k, QString("ff ").repeated(8)} << 0 << ""
                                    << QStringList{"1 ffffffffffffffff 00"};
    QTest::newRow("no bytes") << QStringList{k, " "} << 0 << "" << QStringList{"1  00"};
    QTest::newRow("copies above a million") << QStringList{k, k, "1000001"} << 0
                                            << "txtCountOneTime" << QStringList();
    QTest::newRow("copies overflowing") << QStringList{k, k, "99999999999999999999"} << 0
                                        << "txtCountOneTime" << QStringList();
    QTest::newRow("copies zero") << QStringList{k, k, "0"} << 0 << "" << QStringList();
    const QStringList twelveCopies = QVector<QString>(12, "1" + d + "00").toList();
    QTest::newRow("copies in full-width digits") << QStringList{k, k, "１２"} << 0 << ""
                                                << twelveCopies;
    QTest::newRow("id and data in full-width forms") << QStringList{"７ＦＦ", "０１　ａ２"} << 0
                                                    << "" << QStringList{"7ff 01a2 00"};
    for (const char *text : {"x", "1e3", "0x10", "1,000", "1 000", "1000.0", "", "-1", "１e3"}) {
        QTest::addRow("copies \"%s\"", text) << QStringList{k, k, text} << 0
                                              << "txtCountOneTime" << QStringList();
        QTest::addRow("ticks \"%s\"", text) << QStringList{k, k, k, text} << 0
                                             << "txtSendCount" << QStringList();
        QTest::addRow("interval \"%s\"", text) << QStringList{k, k, k, "2", text} << 0
                                                << "txtInvTime" << QStringList();
    }
    QTest::newRow("interval in full-width digits, blanks around")
        << QStringList{k, k, k, "2", "　１０　"} << 0 << ""
        << QStringList{"1" + d + "00", "1" + d + "00"};
    QTest::newRow("ticks above a million") << QStringList{k, k, k, "1000001"} << 0
                                           << "txtSendCount" << QStringList();
    QTest::newRow("interval above an hour") << QStringList{k, k, k, k, "3600001"} << 0
                                            << "txtInvTime" << QStringList();
    QTest::newRow("interval of an hour, one tick") << QStringList{k, k, k, "1", "3600000"}
                                                   << 0 << "" << QStringList{"1" + d + "00"};
    QTest::newRow("interval explicitly 0") << QStringList{k, k, k, "2", "0"} << 0 << ""
                                           << QStringList{"1" + d + "00", "1" + d + "00"};
}

// A refused editor neither sends nor adds a row; it marks the field and says why, and
// the mark goes once the field is edited.
void tst_DataSendWidget::editorRefusal()
{
    QFETCH(QStringList, fields);
    QFETCH(int, type);
    QFETCH(QString, refusedField);

    QSignalSpy messages(panel, &DataSendWidget::statusMessage);
    fillEditor(fields, type);
    click("btnSend");
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("btnSend")->text(), sendText, sendTimeout);
    QTEST(writtenFrames(), "written");
    click("btnAddToList");
    QCOMPARE(model()->rowCount(), refusedField.isEmpty() ? 1 : 0);
    QCOMPARE(messages.count(), refusedField.isEmpty() ? 0 : 2);

    for (const char *name : {"txtID", "txtData", "txtCountOneTime", "txtSendCount",
                             "txtInvTime"}) {
        QCOMPARE(child(name)->property("inputRefused").toBool(),
                 refusedField == QLatin1String(name));
    }
    if (!refusedField.isEmpty()) {
        QVERIFY(!messages.first().at(0).toString().isEmpty());
        child<QLineEdit>(qPrintable(refusedField))->setText("1");
        QVERIFY(!child(qPrintable(refusedField))->property("inputRefused").toBool());
    }
}

void tst_DataSendWidget::fdEditor_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<bool>("fd");
    QTest::addColumn<bool>("brs");
    QTest::addColumn<int>("form");
    // The added row's data, DLC, FD and BRS cells; empty when refused.
    QTest::addColumn<QString>("row");
    // The status line, empty for none.
    QTest::addColumn<QString>("status");

    const QString bytes9 = "1 2 3 4 5 6 7 8 9";
    QTest::newRow("nine bytes padded to twelve")
        << bytes9 << true << true << 0
        << "01 02 03 04 05 06 07 08 09 00 00 00|0x0c|FD|BRS" << "数据补了 3 个 00，成为 FD 长度 12 字节";
    QTest::newRow("valid length kept")
        << QString("ab ").repeated(16) << true << false << 0
        << QString("ab ").repeated(16).trimmed() + "|0x10|FD|" << "";
    QTest::newRow("49 bytes padded to 64")
        << QString("1 ").repeated(49) << true << false << 0
        << (QString("01 ").repeated(49) + QString("00 ").repeated(15)).trimmed() + "|0x40|FD|"
        << "数据补了 15 个 00，成为 FD 长度 64 字节";
    QTest::newRow("eight bytes FD") << "1 2 3 4 5 6 7 8" << true << false << 0
                                    << "01 02 03 04 05 06 07 08|0x08|FD|" << "";
    QTest::newRow("classic row") << "1 2" << false << false << 0 << "01 02|0x02||" << "";
    QTest::newRow("65 bytes") << QString("1 ").repeated(65) << true << false << 0 << ""
                              << "数据有 65 个字节，一帧最多 64 个，未发送";
    QTest::newRow("nine bytes classic") << bytes9 << false << false << 0 << ""
                                        << "数据有 9 个字节，一帧最多 8 个，未发送";
}

// The editor's FD box takes up to 64 bytes and pads a length between FD lengths with 0x00,
// saying so; the row keeps both flags and gives them back to the editor.
void tst_DataSendWidget::fdEditor()
{
    QFETCH(QString, data);
    QFETCH(bool, fd);
    QFETCH(bool, brs);
    QFETCH(int, form);
    QFETCH(QString, row);
    QFETCH(QString, status);

    QSignalSpy messages(panel, &DataSendWidget::statusMessage);
    fillEditor({"123", data}, 0, form);
    child<QCheckBox>("chkFd")->setChecked(fd);
    child<QCheckBox>("chkBrs")->setChecked(brs);
    click("btnAddToList");
    QCOMPARE(messages.isEmpty() ? QString() : messages.last().at(0).toString(), status);
    if (row.isEmpty()) {
        QCOMPARE(model()->rowCount(), 0);
        QVERIFY(child("txtData")->property("inputRefused").toBool());
        return;
    }
    QCOMPARE(model()->rowCount(), 1);
    const QStringList shown = cells();
    QCOMPARE(QStringList({shown.at(3), shown.at(4), shown.at(10), shown.at(11)}).join('|'),
             row);
    // A classic list shows the columns it always had; an FD row shows its flags.
    QCOMPARE(child<QTableView>("tableView")->isColumnHidden(10), !fd);
    QCOMPARE(child<QTableView>("tableView")->isColumnHidden(11), !fd);

    // Another frame in the editor, then the row clicked: its flags come back.
    child<QCheckBox>("chkFd")->setChecked(false);
    panel->setEditorFrame(0x7, false, QByteArray(1, '\1'), "x", false);
    QVERIFY(!child<QCheckBox>("chkFd")->isChecked());
    const QModelIndex first = model()->index(0, 0);
    QMetaObject::invokeMethod(panel, "on_tableView_clicked", Q_ARG(QModelIndex, first));
    QCOMPARE(child<QCheckBox>("chkFd")->isChecked(), fd);
    QCOMPARE(child<QCheckBox>("chkBrs")->isChecked(), fd && brs);
    SendFrame back;
    QVERIFY(panel->readEditor(&back));
    QCOMPARE(back.fd, fd);
    QCOMPARE(back.brs, fd && brs);
    QCOMPARE(QString::fromLatin1(back.data.toHex(' ')), row.section('|', 0, 0));
}

void tst_DataSendWidget::listRowRefusal_data()
{
    QTest::addColumn<QStringList>("badRow");
    QTest::addColumn<uint>("loggedId");
    QTest::addColumn<int>("refusedColumn");

    const QStringList good = {"1", "", "0x7ff", "01", "0x01", "1", "1", "数据帧", "标准帧", "0"};
    const auto with = [&good](int column, const QString &text) {
        QStringList row = good;
        row[column] = text;
        return row;
    };
    QTest::newRow("id not hex") << with(2, "0xzz") << 0u << 2;
    QTest::newRow("id empty after the prefix") << with(2, "0x") << 0u << 2;
    QTest::newRow("standard id 0x800") << with(2, "0x800") << 0x800u << 2;
    QStringList extendedTooHigh = with(8, "扩展帧");
    extendedTooHigh[2] = QStringLiteral("0x20000000");
    QTest::newRow("extended id above 29 bits") << extendedTooHigh << 0x20000000u << 2;
    QTest::newRow("byte 1ff") << with(3, "01 1ff") << 0x7ffu << 3;
    QTest::newRow("nine bytes") << with(3, "1 2 3 4 5 6 7 8 9") << 0x7ffu << 3;
    QTest::newRow("copies above a million") << with(5, "1000001") << 0x7ffu << 5;
    QTest::newRow("ticks above a million") << with(6, "1000001") << 0x7ffu << 6;
    QTest::newRow("interval above an hour") << with(9, "3600001") << 0x7ffu << 9;
    for (const char *text : {"1e3", "-1", "", "0x10", "1,000", "1.5"}) {
        QTest::addRow("copies \"%s\"", text) << with(5, text) << 0x7ffu << 5;
        QTest::addRow("ticks \"%s\"", text) << with(6, text) << 0x7ffu << 6;
        QTest::addRow("interval \"%s\"", text) << with(9, text) << 0x7ffu << 9;
    }
}

void tst_DataSendWidget::listPassesBounded_data()
{
    QTest::addColumn<QString>("passes");
    QTest::newRow("a million and one") << "1000001";
    QTest::newRow("beyond the integers") << "3000000000";
    for (const char *text : {"x", "1e3", "0x10", "", "-1", "2.0", "1 0"})
        QTest::addRow("\"%s\"", text) << text;
}

void tst_DataSendWidget::listPassesBounded()
{
    QFETCH(QString, passes);

    appendRow({"1", "", "0x12", "02", "0x01", "1", "1", "数据帧", "标准帧", "0"});
    child<QLineEdit>("txtListSendCount")->setText(passes);
    QSignalSpy messages(panel, &DataSendWidget::statusMessage);
    const QString idle = state();
    click("btnSendList");
    QCOMPARE(state(), idle);
    QCOMPARE(messages.count(), 1);
    QVERIFY(child("txtListSendCount")->property("inputRefused").toBool());
    QCoreApplication::processEvents();
    QCOMPARE(FakeCanable::callCount("write"), 0);
}

// A row that cannot be sent is one failed row in the log where it would have gone out,
// nothing of it is written, and the rows after it are still sent.
void tst_DataSendWidget::listRowRefusal()
{
    QFETCH(QStringList, badRow);

    appendRow(badRow);
    appendRow({"2", "", "0x12", "02", "0x01", "1", "1", "数据帧", "标准帧", "0"});
    QSignalSpy messages(panel, &DataSendWidget::statusMessage);
    QObject recorder;
    const QList<CanMessage> &announced = recordAnnouncements(&recorder);
    click("btnSendList");
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("btnSendList")->text(), listText, sendTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(announced.count() >= 2, sendTimeout);
    QCOMPARE(announced.count(), 2);

    QCOMPARE(writtenFrames(), QStringList{"12 02 00"});
    QVERIFY(!announced.at(0).success);
    QTEST(announced.at(0).id, "loggedId");
    QVERIFY(announced.at(1).success);
    QCOMPARE(messages.count(), 1);
    QVERIFY(messages.first().at(0).toString().contains(QStringLiteral("第 1 行")));
    QTEST(child<QTableView>("tableView")->currentIndex().column(), "refusedColumn");
    QCOMPARE(child<QTableView>("tableView")->currentIndex().row(), 0);

    // Clicked, the row brings what it holds into the editor, which refuses it in turn.
    panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(panel));
    auto view = child<QTableView>("tableView");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualRect(model()->index(0, 3)).center());
    click("btnSend");
    QCOMPARE(messages.count(), 2);
    QCOMPARE(writtenFrames(), QStringList{"12 02 00"});
}

void tst_DataSendWidget::closingWindowStopsSend()
{
    QWidget window;
    auto inWindow = new DataSendWidget(&window);
    window.show();
    inWindow->findChild<QLineEdit *>("txtCountOneTime")->setText("1000000");
    inWindow->findChild<QLineEdit *>("txtSendCount")->setText("1000000");
    inWindow->findChild<QLineEdit *>("txtInvTime")->setText("0");
    inWindow->findChild<QPushButton *>("btnSend")->click();
    QTRY_VERIFY_WITH_TIMEOUT(FakeCanable::callCount("write") > 0, sendTimeout);

    QVERIFY(window.close());
    QVERIFY(!SendThread::instance()->isRunning());
    const int writes = FakeCanable::callCount("write");
    QCoreApplication::processEvents();
    QCOMPARE(FakeCanable::callCount("write"), writes);
    QCOMPARE(inWindow->findChild<QPushButton *>("btnSend")->text(), sendText);
}

// A list of 200,000 rows is read on a worker thread: the call returns at once, the event
// loop goes on (a queued call runs while the old list is still shown), a progress dialog
// stands over the window, and the list changes only when the whole file has been read.
void tst_DataSendWidget::largeListLoadsInBackground()
{
    const int rows = 200000;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("large.ini");
    SendListRows list;
    for (int r = 0; r < rows; ++r)
        list.append(SendListRow({QString::number(r + 1), "", QStringLiteral("0x%1").arg(r % 0x7ff),
                                 "11 22", "0x02", "1", "1", "数据帧", "标准帧", "10"}));
    QVERIFY(SendListFile::write(list, path));
    panel->show();
    appendRow({"old"});

    QSignalSpy finished(panel, &DataSendWidget::fileOperationFinished);
    bool loopRanDuringLoad = false;
    QMetaObject::invokeMethod(this, [&] {
        loopRanDuringLoad = panel->isFileOperationRunning() && model()->rowCount() == 1;
    }, Qt::QueuedConnection);
    panel->loadList(path);
    auto progress = panel->findChild<QProgressDialog *>("sendListProgress");
    QVERIFY(progress);
    QCOMPARE(progress->windowModality(), Qt::WindowModal);
    QCOMPARE(cells(0), QStringList{"old"});
    QVERIFY(finished.wait(sendTimeout));
    QVERIFY(loopRanDuringLoad);
    QCOMPARE(model()->rowCount(), rows);
    QCOMPARE(model()->cell(rows - 1, 0), QString::number(rows));
    QCOMPARE(model()->cell(12345, 2), QStringLiteral("0x%1").arg(12345 % 0x7ff));
    QTRY_VERIFY(!panel->findChild<QProgressDialog *>("sendListProgress"));
}

void tst_DataSendWidget::fileOperationsOneAtATime_data()
{
    QTest::addColumn<bool>("saveFirst");

    QTest::newRow("load during a save") << true;
    QTest::newRow("save during a load") << false;
}

// A second file operation while one runs is refused with a message, not queued or mixed
// into the first; the first completes as if alone.
void tst_DataSendWidget::fileOperationsOneAtATime()
{
    QFETCH(bool, saveFirst);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString first = dir.filePath("first.ini");
    const QString second = dir.filePath("second.ini");
    SendListModel other;
    other.appendRow({"9", "other"});
    QVERIFY(SendListFile::save(other, first));
    QVERIFY(SendListFile::save(other, second));
    appendRow({"1", "mine"});

    QSignalSpy messages(panel, &DataSendWidget::statusMessage);
    QSignalSpy finished(panel, &DataSendWidget::fileOperationFinished);
    if (saveFirst) {
        panel->saveList(first);
        panel->loadList(second);
    } else {
        panel->loadList(first);
        panel->saveList(second);
    }
    QCOMPARE(messages.size(), 1);
    QVERIFY(finished.wait(sendTimeout));
    QCOMPARE(finished.size(), 1);
    SendListModel reread;
    SendListFile::load(&reread, saveFirst ? first : second);
    QCOMPARE(reread.cell(0, 1), saveFirst ? QString("mine") : QString("other"));
    QCOMPARE(cells(1), QStringList{saveFirst ? "mine" : "other"});
}

void tst_DataSendWidget::loadSaysWhy_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("firstCells"); // the list after the load
    QTest::addColumn<QString>("message");        // a part of the status message

    const QStringList kept = {"mine"};
    QTest::newRow("rows without INFO") << QByteArray("[CMD0]\n0=1\n") << kept
                                       << "列表未改变";
    QTest::newRow("Count -5") << QByteArray("[INFO]\nCount=-5\n[CMD0]\n0=1\n") << kept
                              << "Count 为负数";
    QTest::newRow("Count 1e6") << QByteArray("[INFO]\nCount=1e6\n[CMD0]\n0=1\n") << kept
                               << "Count“1e6”不是整数";
    QTest::newRow("Count in full-width digits")
        << QByteArray("[INFO]\nCount=\xef\xbc\x92\n[CMD0]\n0=a\n[CMD1]\n0=b\n")
        << QStringList{"a", "b"} << "";
}

// A refused file leaves the list as it was and the status bar says why.
void tst_DataSendWidget::loadSaysWhy()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("list.ini");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    appendRow({"mine"});
    QSignalSpy messages(panel, &DataSendWidget::statusMessage);
    QSignalSpy finished(panel, &DataSendWidget::fileOperationFinished);
    panel->loadList(path);
    QVERIFY(finished.wait(sendTimeout));
    QTEST(cells(0), "firstCells");
    QCOMPARE(messages.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty())
        QVERIFY2(messages.first().at(0).toString().contains(message),
                 qPrintable(messages.first().at(0).toString()));
}

QTEST_MAIN(tst_DataSendWidget)
#include "tst_datasendwidget.moc"
