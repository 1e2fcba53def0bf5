#include "app/mainwindow.h"
#include "dbc/dbcdatabase.h"
#include "dbcview/databasemenu.h"
#include "dbcview/framelogdecoder.h"
#include "device/handlethread.h"
#include "filter/framefiltermodel.h"
#include "filter/framelogfilter.h"
#include "monitor/csvexport.h"
#include "monitor/framelogmodel.h"
#include "monitor/mytableview.h"
#include "tests/fake/fakecanable.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The frame log's optional "解析" column: what its cells and tooltips say, that it starts
// hidden without disturbing the written columns' widths, and that the CSV file never
// carries it.
class tst_FrameLogDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cells_data();
    void cells();
    void longMessageIsCutShortInTheCell();
    void widths_data();
    void widths();
    void windowColumnAndExport_data();
    void windowColumnAndExport();

private:
    DbcDatabase database;
};

namespace {

CanMessage frame(quint32 id, bool extended, const QByteArray &hex)
{
    CanMessage msg;
    msg.id = id;
    msg.extended = extended;
    msg.data = QByteArray::fromHex(hex);
    msg.dlc = msg.data.size();
    msg.time = QTime(10, 0, 0, 5);
    return msg;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
}

} // namespace

void tst_FrameLogDecoder::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
    qRegisterMetaType<QVector<int>>();
    const DbcDatabase::LoadReport report = database.load(
        {QFINDTESTDATA("../docs/examples/vehicle.dbc"), QFINDTESTDATA("data/dbc/awkward.dbc")});
    QCOMPARE(report.filesLoaded, 2);
}

void tst_FrameLogDecoder::cells_data()
{
    QTest::addColumn<CanMessage>("message");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("tooltip");

    const CanMessage engine = frame(0xC4, false, "b824193741003000");
    QTest::newRow("value description in the cell, number and description in the tip")
        << engine
        << "EngineData: EngineSpeed=2350 rpm, ThrottlePosition=25 %, EngineLoad=55 %, "
           "IntakeAirTemp=25 degC, EngineCounter=0, Gear=Third, EngineChecksum=0"
        << "EngineData (0x0C4)\nEngineSpeed = 2350 rpm\nThrottlePosition = 25 %\n"
           "EngineLoad = 55 %\nIntakeAirTemp = 25 degC\nEngineCounter = 0\n"
           "Gear = 3（Third）\nEngineChecksum = 0";
    QTest::newRow("description and unit")
        << frame(0x500, false, "02051000")
        << "Heartbeat: NodeState=Fault, HeartbeatCounter=5, Uptime=16 s"
        << "Heartbeat (0x500)\nNodeState = 2（Fault）\nHeartbeatCounter = 5\nUptime = 16 s";
    QTest::newRow("out of its minimum and maximum")
        << frame(0xC4, false, "0000000028000000")
        << "EngineData: EngineSpeed=0 rpm, ThrottlePosition=0 %, EngineLoad=0 %, "
           "IntakeAirTemp=0 degC, EngineCounter=0, Gear=0, EngineChecksum=0"
        << "EngineData (0x0C4)\nEngineSpeed = 0 rpm\nThrottlePosition = 0 %\n"
           "EngineLoad = 0 %\nIntakeAirTemp = 0 degC\nEngineCounter = 0\n"
           "Gear = 0  超限 [1, 6]\nEngineChecksum = 0";
    QTest::newRow("frame shorter than its message")
        << frame(0x2F0, false, "505a")
        << "Temperatures: CoolantTemp=40 degC, OilTemp=50 degC"
        << "Temperatures (0x2F0)\n帧只有 2 字节，报文定义为 5 字节\nCoolantTemp = 40 degC\n"
           "OilTemp = 50 degC";
    QTest::newRow("extended identifier, the later file's message")
        << frame(0x18FEF100, true, "0000640000000000")
        << "ExtendedBig: Speed=100 km/h, State=0"
        << "ExtendedBig (0x18FEF100)\nSpeed = 100 km/h\nState = 0";
    QTest::newRow("multiplexed: the signals of the current selector")
        << frame(400, false, "01fe000000260200")
        << "MuxIntel: Selector=One, Always=0, Value1=-2, Other1=0.5"
        << "MuxIntel (0x190)\nSelector = 1（One）\nAlways = 0\nValue1 = -2\nOther1 = 0.5";

    QTest::newRow("unknown identifier") << frame(0x123, false, "0102") << "" << "";
    QTest::newRow("standard frame with an extended message's number")
        << frame(0xC4, true, "b824193741003000") << "" << "";
    CanMessage failed = engine;
    failed.direction = 1;
    failed.success = false;
    QTest::newRow("refused write") << failed << "" << "";
    CanMessage error = frame(0xC4, false, "0000000000000000");
    error.error = true;
    error.errorClass = 0x04;
    QTest::newRow("error event") << error << "" << "";
    CanMessage remote = frame(0xC4, false, "");
    remote.remote = true;
    remote.dlc = 8;
    QTest::newRow("remote frame") << remote << "" << "";
    CanMessage sent = engine;
    sent.direction = 1;
    QTest::newRow("successful write decodes like a received frame")
        << sent
        << "EngineData: EngineSpeed=2350 rpm, ThrottlePosition=25 %, EngineLoad=55 %, "
           "IntakeAirTemp=25 degC, EngineCounter=0, Gear=Third, EngineChecksum=0"
        << "EngineData (0x0C4)\nEngineSpeed = 2350 rpm\nThrottlePosition = 25 %\n"
           "EngineLoad = 55 %\nIntakeAirTemp = 25 degC\nEngineCounter = 0\n"
           "Gear = 3（Third）\nEngineChecksum = 0";
}

void tst_FrameLogDecoder::cells()
{
    QFETCH(CanMessage, message);
    QFETCH(QString, cell);
    QFETCH(QString, tooltip);

    FrameLogModel log;
    FrameLogDecoder decoder(&log);
    decoder.setDatabase(&database);
    log.appendMessages(QList<CanMessage>{message, frame(0x123, false, "")}, 0, -1);
    const QModelIndex index = decoder.index(0, decoder.decodedColumn());
    QCOMPARE(index.data().toString(), cell);
    QCOMPARE(index.data(Qt::ToolTipRole).toString(), tooltip);
    // The row's colour goes on across the column.
    QCOMPARE(index.data(Qt::BackgroundRole), decoder.index(0, 0).data(Qt::BackgroundRole));
    // The written cells are the frame log's own.
    for (int column = 0; column < log.columnCount(); ++column)
        QCOMPARE(decoder.index(0, column).data(), log.index(0, column).data());

    // Set again after its contents changed, the database has the column redrawn; an empty
    // one takes the column away.
    QSignalSpy changed(&decoder, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(&decoder, &QAbstractItemModel::columnsRemoved);
    decoder.setDatabase(&database);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(1).toModelIndex(), decoder.index(1, decoder.decodedColumn()));
    DbcDatabase none;
    decoder.setDatabase(&none);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(decoder.columnCount(), log.columnCount());
    QVERIFY(!decoder.index(0, decoder.decodedColumn()).isValid());
}

void tst_FrameLogDecoder::longMessageIsCutShortInTheCell()
{
    QByteArray text = "VERSION \"\"\n\nBU_: A\n\nBO_ 7 Wide: 8 A\n";
    for (int bit = 0; bit < 64; ++bit)
        text += " SG_ QuiteLongSignalName" + QByteArray::number(bit) + " : "
            + QByteArray::number(bit) + "|1@1+ (1,0) [0|1] \"\" A\n";
    const DbcFile file = DbcReader::parse(text, QStringLiteral("wide.dbc"));
    QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
    DbcDatabase wide;
    wide.add(file);

    FrameLogModel log;
    FrameLogDecoder decoder(&log);
    decoder.setDatabase(&wide);
    log.appendMessages(QList<CanMessage>{frame(7, false, "ffffffffffffffff")}, 0, -1);
    const QModelIndex index = decoder.index(0, decoder.decodedColumn());
    const QString cell = index.data().toString();
    QVERIFY2(cell.startsWith("Wide: QuiteLongSignalName0=1, QuiteLongSignalName1=1"),
             qPrintable(cell));
    QVERIFY2(cell.endsWith(" …") && cell.size() < 300, qPrintable(cell));
    const QStringList lines = index.data(Qt::ToolTipRole).toString().split('\n');
    QCOMPARE(lines.size(), 65);
    QCOMPARE(lines.last(), QStringLiteral("QuiteLongSignalName63 = 1"));
}

void tst_FrameLogDecoder::widths_data()
{
    QTest::addColumn<int>("viewport");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QList<int>>("widths");

    // Hidden, the column leaves the written widths as they are, its own share kept aside.
    QTest::newRow("1358, hidden")
        << 1358 << false << QList<int>{114, 92, 410, 90, 134, 84, 210, 112, 112, 453};
    QTest::newRow("1000, hidden")
        << 1000 << false << QList<int>{83, 67, 301, 66, 98, 61, 154, 82, 82, 333};
    QTest::newRow("1358, shown")
        << 1358 << true << QList<int>{75, 61, 273, 59, 89, 55, 139, 74, 74, 453};
    QTest::newRow("1000, shown")
        << 1000 << true << QList<int>{55, 45, 201, 44, 65, 41, 103, 54, 54, 333};
}

void tst_FrameLogDecoder::widths()
{
    QFETCH(int, viewport);
    QFETCH(bool, shown);
    QFETCH(QList<int>, widths);

    FrameLogModel log;
    FrameLogDecoder decoder(&log);
    MyTableView view;
    view.setModel(&decoder);
    // Without a database the table and its menu are the frame log's nine columns alone.
    QCOMPARE(decoder.columnCount(), log.columnCount());
    QCOMPARE(view.findChild<QMenu *>()->actions().size(), log.columnCount());
    QVERIFY(!view.columnAction(decoder.decodedColumn()));
    decoder.setDatabase(&database);
    view.verticalHeader()->hide();
    view.setFrameShape(QFrame::NoFrame);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    const QList<QAction *> entries = view.findChild<QMenu *>()->actions();
    QCOMPARE(entries.size(), 10);
    QAction *decoded = view.columnAction(decoder.decodedColumn());
    QCOMPARE(decoded, entries.last());
    QCOMPARE(decoded->text(), QStringLiteral("解析"));
    QVERIFY(decoded->isCheckable());
    QVERIFY(!decoded->isChecked());
    QVERIFY(view.isColumnHidden(decoder.decodedColumn()));

    view.resize(viewport, 300);
    QTRY_COMPARE(view.viewport()->width(), viewport);
    if (shown)
        decoded->trigger();
    QCOMPARE(view.isColumnHidden(decoder.decodedColumn()), !shown);
    QList<int> actual;
    for (int column = 0; column < decoder.columnCount(); ++column) {
        view.showColumn(column);
        actual << view.columnWidth(column);
    }
    QCOMPARE(actual, widths);
}

void tst_FrameLogDecoder::windowColumnAndExport_data()
{
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("exported");
    QTest::newRow("column hidden") << false << "" << "3";
    QTest::newRow("column shown") << true << "" << "3";
    // The filtering model between the decoder and the table passes the column's coming
    // and going on, or the table would never learn of it.
    QTest::newRow("column shown, filter in force") << true << "id != 0x123" << "2 / 3";
}

void tst_FrameLogDecoder::windowColumnAndExport()
{
    QFETCH(bool, shown);
    QFETCH(QString, filter);
    QFETCH(QString, exported);

    FakeCanable::reset();
    HandleThread::instance()->takeMessages();
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto view = window.findChild<MyTableView *>(QStringLiteral("tbReceive"));
    auto menuAction = window.findChild<QAction *>(QStringLiteral("actionShowDecodedColumn"));
    QVERIFY(view && menuAction);
    QAbstractItemModel *model = view->model();
    const int column = model->columnCount();
    QCOMPARE(view->findChild<QMenu *>()->actions().size(), column);
    QVERIFY(!menuAction->isEnabled());
    if (!filter.isEmpty()) {
        QVERIFY(window.findChild<FrameLogFilter *>()->applyText(filter));
        QTRY_VERIFY(qobject_cast<FrameFilterModel *>(model)->isFiltered());
    }

    auto databaseMenu = window.findChild<DatabaseMenu *>();
    databaseMenu->loadFiles({QFINDTESTDATA("../docs/examples/vehicle.dbc")});
    QTRY_VERIFY_WITH_TIMEOUT(!databaseMenu->isLoading(), 10000);
    QCOMPARE(model->columnCount(), column + 1);
    QCOMPARE(model->headerData(column, Qt::Horizontal).toString(), QStringLiteral("解析"));
    QVERIFY(view->isColumnHidden(column));
    QVERIFY(menuAction->isEnabled());
    QVERIFY(!menuAction->isChecked());
    QVERIFY(!view->columnAction(column)->isChecked());
    if (shown) {
        menuAction->trigger();
        QVERIFY(!view->isColumnHidden(column));
        QVERIFY(view->columnAction(column)->isChecked());
    }
    HandleThread *hub = HandleThread::instance();
    hub->receiveDataSlot(frame(0xC4, false, "b824193741003000"));
    hub->receiveDataSlot(frame(0x123, false, "01"));
    hub->receiveDataSlot(frame(0x500, false, "02051000"));
    const int rows = filter.isEmpty() ? 3 : 2;
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), rows, 10000);
    QVERIFY(model->index(0, column).data().toString().startsWith("EngineData: EngineSpeed="));
    QCOMPARE(model->index(1, column).data().toString().isEmpty(), filter.isEmpty());

    // The file written from the window holds the frame log's own columns and nothing else.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
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
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("btnExport")),
                      Qt::LeftButton);
    auto line = window.findChild<QLabel *>(QStringLiteral("lblMessage"));
    QTRY_COMPARE_WITH_TIMEOUT(line->text(),
                              QStringLiteral("已导出 %1 行到 %2").arg(exported, path), 30000);
    const QByteArray written = readAll(path);
    const QList<QByteArray> lines = written.split('\n');
    QCOMPARE(lines.size(), rows + 2);
    QCOMPARE(QString::fromLocal8Bit(lines.at(0)),
             QStringLiteral("序号,帧ID,数据,DLC,传输方向,状态,时间标识,格式,类型,"));
    QCOMPARE(QString::fromLocal8Bit(lines.at(1)),
             QStringLiteral("0,0xc4,b8 24 19 37 41 00 30 00,0x08,接收,成功,10:00:00:005,"
                            "数据帧,标准帧,"));
    QVERIFY(!written.contains("EngineData"));

    // The same file from the model the table shows, through the generic writer.
    const QString viaView = dir.filePath(QStringLiteral("view.csv"));
    QVERIFY(exportFrameLog(model, model->rowCount(), model->columnCount(), viaView));
    QCOMPARE(readAll(viaView), written);

    databaseMenu->unload();
    QCOMPARE(model->columnCount(), column);
    QVERIFY(!view->columnAction(column));
    QCOMPARE(view->findChild<QMenu *>()->actions().size(), column);
    QVERIFY(!menuAction->isEnabled());
}

QTEST_MAIN(tst_FrameLogDecoder)
#include "tst_framelogdecoder.moc"
