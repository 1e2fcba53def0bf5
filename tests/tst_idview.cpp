#include "app/mainwindow.h"
#include "device/canmessage.h"
#include "device/handlethread.h"
#include "idview/idstatsexport.h"
#include "idview/idviewmodel.h"

#include <QAction>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(QList<qint64>)
Q_DECLARE_METATYPE(QList<QByteArray>)

class tst_IdView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void cycleStatistics_data();
    void cycleStatistics();
    void changedBytes_data();
    void changedBytes();
    void sorting_data();
    void sorting();
    void silence_data();
    void silence();
    void rowsKeptApart_data();
    void rowsKeptApart();
    void clearStartsAfresh();
    void fullTableRefusesNewIdentifiers();
    void exportFile_data();
    void exportFile();
    void windowShowsViewInPlaceOfFrameLog();

private:
    std::unique_ptr<IdViewModel> makeModel(int maxRows = IdStatistics::defaultMaxRows);
    qint64 now = 0;
};

namespace {
CanMessage frame(quint32 id, qint64 stampUs = 0, const QByteArray &data = QByteArray(),
                 bool extended = false, quint8 direction = 0)
{
    CanMessage m;
    m.id = id;
    m.timestampUs = stampUs;
    m.data = data;
    m.dlc = data.size();
    m.extended = extended;
    m.direction = direction;
    return m;
}

// The order of the table as identifiers, "x" marking extended ones.
QStringList tableOrder(const IdViewModel &model)
{
    QStringList ids;
    for (int row = 0; row < model.rowCount(); ++row) {
        const IdRow &r = model.statistics().row(model.statisticsRow(row));
        ids << QString::number(r.id, 16) + (r.extended ? QStringLiteral("x") : QString());
    }
    return ids;
}

bool changedRow(const QSignalSpy &spy, int row)
{
    for (const QList<QVariant> &args : spy) {
        if (args.at(0).toModelIndex().row() <= row && args.at(1).toModelIndex().row() >= row)
            return true;
    }
    return false;
}
}

void tst_IdView::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

std::unique_ptr<IdViewModel> tst_IdView::makeModel(int maxRows)
{
    now = 1000000;
    return std::make_unique<IdViewModel>(nullptr, maxRows, [this] { return now; });
}

void tst_IdView::cycleStatistics_data()
{
    QTest::addColumn<QList<qint64>>("stamps"); // µs, or ms of the day when timeOfDay
    QTest::addColumn<bool>("timeOfDay");
    QTest::addColumn<int>("cycles");
    QTest::addColumn<double>("last");
    QTest::addColumn<double>("mean");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("stdDev");

    QList<qint64> regular;
    for (int i = 0; i <= 10; ++i)
        regular << 5000000 + i * 10000;
    QTest::newRow("regular 10 ms") << regular << false << 10 << 10.0 << 10.0 << 10.0 << 10.0
                                   << 0.0;
    QTest::newRow("jittered") << QList<qint64>{ 0 + 1, 9001, 20001, 30001, 41001 } << false
                              << 4 << 11.0 << 10.25 << 9.0 << 11.0 << std::sqrt(0.6875);
    QTest::newRow("a gap") << QList<qint64>{ 1, 10001, 20001, 1020001 } << false << 3 << 1000.0
                           << 340.0 << 10.0 << 1000.0 << std::sqrt(217800.0);
    QTest::newRow("single frame") << QList<qint64>{ 7 } << false << 0 << -1.0 << 0.0 << 0.0
                                  << 0.0 << 0.0;
    // 50 cycles of 20 ms, then 100 of 10 ms: the window holds only the latter.
    QList<qint64> window;
    for (int i = 0; i <= 50; ++i)
        window << 1 + i * 20000;
    for (int i = 1; i <= 100; ++i)
        window << 1 + 50 * 20000 + i * 10000;
    QTest::newRow("window of 100") << window << false << 100 << 10.0 << 10.0 << 10.0 << 10.0
                                   << 0.0;
    QTest::newRow("stamp running back") << QList<qint64>{ 1, 10001, 5001, 20001 } << false << 2
                                        << 10.0 << 10.0 << 10.0 << 10.0 << 0.0;
    QTest::newRow("time of day over midnight")
        << QList<qint64>{ 86399990, 0, 10 } << true << 2 << 10.0 << 10.0 << 10.0 << 10.0 << 0.0;
}

void tst_IdView::cycleStatistics()
{
    QFETCH(QList<qint64>, stamps);
    QFETCH(bool, timeOfDay);
    QFETCH(int, cycles);
    QFETCH(double, last);
    QFETCH(double, mean);
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(double, stdDev);

    auto model = makeModel();
    // One frame per tick and all in one tick must give the same figures: the frames' own
    // stamps count, not the tick's time.
    for (bool oneTick : { false, true }) {
        model->clear();
        QList<CanMessage> batch;
        for (qint64 stamp : stamps) {
            CanMessage m = frame(0x123, timeOfDay ? 0 : stamp);
            if (timeOfDay)
                m.time = QTime::fromMSecsSinceStartOfDay(int(stamp));
            batch << m;
            if (!oneTick) {
                model->update(batch);
                batch.clear();
                now += 200;
            }
        }
        model->update(batch);
        QCOMPARE(model->rowCount(), 1);
        const IdRow &r = model->statistics().row(0);
        QCOMPARE(r.count, qint64(stamps.size()));
        QCOMPARE(r.cycles(), cycles);
        QVERIFY2(qAbs(r.lastCycleMs - last) < 1e-3, qPrintable(QString::number(r.lastCycleMs)));
        QVERIFY2(qAbs(r.meanMs() - mean) < 1e-3, qPrintable(QString::number(r.meanMs())));
        QVERIFY2(qAbs(r.minMs() - min) < 1e-3, qPrintable(QString::number(r.minMs())));
        QVERIFY2(qAbs(r.maxMs() - max) < 1e-3, qPrintable(QString::number(r.maxMs())));
        QVERIFY2(qAbs(r.stdDevMs() - stdDev) < 1e-3, qPrintable(QString::number(r.stdDevMs())));
        const QString meanText = model->data(model->index(0, IdViewModel::MeanColumn)).toString();
        QCOMPARE(meanText, cycles ? QString::number(mean, 'f', 3) : QString());
    }
}

void tst_IdView::changedBytes_data()
{
    QTest::addColumn<QList<QByteArray>>("frames");  // one tick each, 100 ms apart
    QTest::addColumn<qint64>("checkAfter");         // ms after the last frame's tick
    QTest::addColumn<quint32>("mask");

    const QByteArray a = QByteArray::fromHex("010203");
    QTest::newRow("first frame marks nothing") << QList<QByteArray>{ a } << qint64(0) << 0u;
    QTest::newRow("one byte changed")
        << QList<QByteArray>{ a, QByteArray::fromHex("01ff03") } << qint64(0) << 0x2u;
    QTest::newRow("same data marks nothing") << QList<QByteArray>{ a, a } << qint64(0) << 0u;
    QTest::newRow("all bytes changed")
        << QList<QByteArray>{ a, QByteArray::fromHex("102030") } << qint64(0) << 0x7u;
    QTest::newRow("longer frame marks the new bytes")
        << QList<QByteArray>{ a, QByteArray::fromHex("0102030405") } << qint64(0) << 0x18u;
    QTest::newRow("marking holds within a second")
        << QList<QByteArray>{ a, QByteArray::fromHex("01ff03") } << qint64(999) << 0x2u;
    QTest::newRow("marking fades after a second")
        << QList<QByteArray>{ a, QByteArray::fromHex("01ff03") } << qint64(1000) << 0u;
    QTest::newRow("unchanged frame keeps the earlier marking")
        << QList<QByteArray>{ a, QByteArray::fromHex("01ff03"), QByteArray::fromHex("01ff03") }
        << qint64(850) << 0x2u;
    QTest::newRow("earlier marking fades on its own time")
        << QList<QByteArray>{ a, QByteArray::fromHex("01ff03"), QByteArray::fromHex("01ff03") }
        << qint64(900) << 0u;
}

void tst_IdView::changedBytes()
{
    QFETCH(QList<QByteArray>, frames);
    QFETCH(qint64, checkAfter);
    QFETCH(quint32, mask);

    auto model = makeModel();
    qint64 stamp = 1;
    for (const QByteArray &data : frames) {
        model->update({ frame(0x10, stamp, data) });
        stamp += 100000;
        now += 100;
    }
    now -= 100;
    const QModelIndex cell = model->index(0, IdViewModel::DataColumn);
    const quint32 before = model->data(cell, IdViewModel::ChangedBytesRole).toUInt();
    QSignalSpy spy(model.get(), &QAbstractItemModel::dataChanged);
    now += checkAfter;
    model->update({});
    QCOMPARE(model->data(cell, IdViewModel::ChangedBytesRole).toUInt(), mask);
    QCOMPARE(model->data(cell).toString(), QString::fromLatin1(frames.last().toHex(' ')));
    // A marking that faded must be repainted without a frame to bring it.
    if (before != mask)
        QVERIFY(changedRow(spy, 0));
}

void tst_IdView::sorting_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("order");
    QTest::addColumn<QList<quint32>>("later"); // frames after sorting, 1.5 s later
    QTest::addColumn<QStringList>("expected");

    const int asc = Qt::AscendingOrder;
    const int desc = Qt::DescendingOrder;
    QTest::newRow("identifier") << int(IdViewModel::IdColumn) << asc << QList<quint32>{}
                                << QStringList{ "100", "100x", "200", "300" };
    QTest::newRow("identifier descending") << int(IdViewModel::IdColumn) << desc
                                           << QList<quint32>{}
                                           << QStringList{ "300", "200", "100x", "100" };
    QTest::newRow("new identifier takes its place")
        << int(IdViewModel::IdColumn) << asc << QList<quint32>{ 0x150, 0x50 }
        << QStringList{ "50", "100", "100x", "150", "200", "300" };
    QTest::newRow("count, ties by identifier") << int(IdViewModel::CountColumn) << asc
                                               << QList<quint32>{}
                                               << QStringList{ "100x", "300", "200", "100" };
    QTest::newRow("count follows later frames")
        << int(IdViewModel::CountColumn) << asc << QList<quint32>{ 0x300, 0x300, 0x300, 0x300 }
        << QStringList{ "100x", "200", "100", "300" };
    QTest::newRow("type") << int(IdViewModel::TypeColumn) << asc << QList<quint32>{}
                          << QStringList{ "100", "200", "300", "100x" };
    QTest::newRow("mean cycle descending") << int(IdViewModel::MeanColumn) << desc
                                           << QList<quint32>{}
                                           << QStringList{ "200", "100", "300", "100x" };
}

void tst_IdView::sorting()
{
    QFETCH(int, column);
    QFETCH(int, order);
    QFETCH(QList<quint32>, later);
    QFETCH(QStringList, expected);

    auto model = makeModel();
    // 0x100 three times 10 ms apart, 0x200 twice 50 ms apart, 0x300 and extended 0x100 once.
    model->update({ frame(0x300, 1000), frame(0x100, 1000), frame(0x200, 1000),
                    frame(0x100, 11000), frame(0x100, 1000, {}, true), frame(0x100, 21000),
                    frame(0x200, 51000) });
    model->sort(column, Qt::SortOrder(order));
    if (!later.isEmpty()) {
        now += 1500;
        QList<CanMessage> batch;
        for (quint32 id : later)
            batch << frame(id, 100000 + batch.size() * 1000);
        model->update(batch);
    }
    QCOMPARE(tableOrder(*model), expected);
    for (int row = 0; row < model->rowCount(); ++row) {
        const IdRow &r = model->statistics().row(model->statisticsRow(row));
        QCOMPARE(model->rowOfKey(idKey(r.id, r.extended, r.direction)), row);
    }
}

void tst_IdView::silence_data()
{
    QTest::addColumn<qint64>("cycleUs"); // 0: a single frame
    QTest::addColumn<qint64>("checkAfter");
    QTest::addColumn<bool>("silent");

    QTest::newRow("single frame within 2 s") << qint64(0) << qint64(2000) << false;
    QTest::newRow("single frame after 2 s") << qint64(0) << qint64(2001) << true;
    QTest::newRow("10 ms cycle within 3 cycles") << qint64(10000) << qint64(30) << false;
    QTest::newRow("10 ms cycle after 3 cycles") << qint64(10000) << qint64(31) << true;
    QTest::newRow("1 s cycle after 2.5 s") << qint64(1000000) << qint64(2500) << false;
    QTest::newRow("1 s cycle after 3.5 s") << qint64(1000000) << qint64(3500) << true;
}

void tst_IdView::silence()
{
    QFETCH(qint64, cycleUs);
    QFETCH(qint64, checkAfter);
    QFETCH(bool, silent);

    auto model = makeModel();
    QList<CanMessage> batch;
    for (int i = 0; i < (cycleUs ? 5 : 1); ++i)
        batch << frame(0x7df, 1 + i * cycleUs);
    model->update(batch);
    const QModelIndex cell = model->index(0, IdViewModel::CountColumn);
    QVERIFY(!model->data(cell, IdViewModel::SilentRole).toBool());

    QSignalSpy spy(model.get(), &QAbstractItemModel::dataChanged);
    // Ticks without frames up to the check, as the window's timer gives them.
    for (qint64 t = 200; t < checkAfter; t += 200) {
        now += 200;
        model->update({});
    }
    now = 1000000 + checkAfter;
    model->update({});
    QCOMPARE(model->data(cell, IdViewModel::SilentRole).toBool(), silent);
    const QColor grey(120, 120, 120);
    QCOMPARE(model->data(cell, Qt::ForegroundRole).value<QColor>() == grey, silent);
    if (silent)
        QVERIFY(changedRow(spy, 0)); // greyed without a frame to bring it

    model->update({ frame(0x7df, 10000000) });
    QVERIFY(!model->data(cell, IdViewModel::SilentRole).toBool());
}

void tst_IdView::rowsKeptApart_data()
{
    QTest::addColumn<QList<CanMessage>>("frames");
    // "id type direction count format dlc" per row, table order
    QTest::addColumn<QStringList>("rows");

    const QByteArray d = QByteArray::fromHex("00");
    QTest::newRow("standard and extended")
        << QList<CanMessage>{ frame(0x100, 1, d), frame(0x100, 2, d, true), frame(0x100, 3, d) }
        << QStringList{ "0x100 标准帧 接收 2 数据帧 0x01", "0x100 扩展帧 接收 1 数据帧 0x01" };
    QTest::newRow("received and transmitted")
        << QList<CanMessage>{ frame(0x100, 1, d, false, 1), frame(0x100, 2, d) }
        << QStringList{ "0x100 标准帧 接收 1 数据帧 0x01", "0x100 标准帧 发送 1 数据帧 0x01" };
    QTest::newRow("full 29-bit identifier")
        << QList<CanMessage>{ frame(0x1fffffff, 1, d, true), frame(0x7ff, 2, d) }
        << QStringList{ "0x7ff 标准帧 接收 1 数据帧 0x01", "0x1fffffff 扩展帧 接收 1 数据帧 0x01" };
    // The same identifier classic and FD is two messages; BRS may change from frame to frame.
    const auto fd = [](quint32 id, int ms, int length, bool brs, bool extended = false) {
        CanMessage msg = frame(id, ms, QByteArray(length, '\x5a'), extended);
        msg.fd = true;
        msg.brs = brs;
        return msg;
    };
    QTest::newRow("classic and FD apart")
        << QList<CanMessage>{ frame(0x100, 1, d), fd(0x100, 2, 64, true), fd(0x100, 3, 64, false),
                              fd(0x100, 4, 12, true, true), frame(0x100, 5, d) }
        << QStringList{ "0x100 标准帧 接收 2 数据帧 0x01", "0x100 标准帧 接收 2 FD数据帧 0x40",
                        "0x100 扩展帧 接收 1 FD数据帧 BRS 0x0c" };
    CanMessage error = frame(0x20000004, 5, QByteArray(8, '\0'), true);
    error.error = true;
    QTest::newRow("error events have no row")
        << QList<CanMessage>{ error, frame(0x5, 6, d), error }
        << QStringList{ "0x05 标准帧 接收 1 数据帧 0x01" };
}

void tst_IdView::rowsKeptApart()
{
    QFETCH(QList<CanMessage>, frames);
    QFETCH(QStringList, rows);

    auto model = makeModel();
    model->update(frames);
    QStringList shown;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList cells;
        for (int column : { IdViewModel::IdColumn, IdViewModel::TypeColumn,
                            IdViewModel::DirectionColumn, IdViewModel::CountColumn,
                            IdViewModel::FormatColumn, IdViewModel::DlcColumn })
            cells << model->text(row, column);
        shown << cells.join(QLatin1Char(' '));
    }
    QCOMPARE(shown, rows);
}

void tst_IdView::clearStartsAfresh()
{
    auto model = makeModel();
    model->update({ frame(0x1, 1000, "a"), frame(0x1, 11000, "b"), frame(0x2, 1000) });
    QSignalSpy reset(model.get(), &QAbstractItemModel::modelReset);
    model->clear();
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(model->rowOfKey(idKey(0x1, false, 0)), -1);

    // No cycle may reach back over the clear, and no byte counts as changed.
    model->update({ frame(0x1, 500000, "c") });
    QCOMPARE(model->rowCount(), 1);
    const IdRow &r = model->statistics().row(0);
    QCOMPARE(r.count, qint64(1));
    QCOMPARE(r.cycles(), 0);
    QCOMPARE(r.changedMask(now), 0u);
}

void tst_IdView::fullTableRefusesNewIdentifiers()
{
    auto model = makeModel(3);
    model->update({ frame(0x1, 1), frame(0x2, 1), frame(0x3, 1), frame(0x4, 1), frame(0x5, 1),
                    frame(0x1, 10001), frame(0x4, 10001) });
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(model->statistics().refusedFrames(), qint64(3));
    QCOMPARE(model->statistics().row(model->statistics().indexOf(idKey(0x1, false, 0))).count,
             qint64(2));
    model->clear();
    QCOMPARE(model->statistics().refusedFrames(), qint64(0));
    model->update({ frame(0x4, 1) });
    QCOMPARE(model->rowCount(), 1);
}

void tst_IdView::exportFile_data()
{
    QTest::addColumn<bool>("writable");
    QTest::newRow("written") << true;
    QTest::newRow("folder missing") << false;
}

void tst_IdView::exportFile()
{
    QFETCH(bool, writable);

    auto model = makeModel();
    model->update({ frame(0x200, 1, QByteArray::fromHex("0102")), frame(0x100, 1),
                    frame(0x100, 20001) });
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(writable ? "stats.csv" : "missing/stats.csv");
    QString error;
    QCOMPARE(exportIdStatistics(*model, path, &error), writable);
    QCOMPARE(error.isEmpty(), writable);
    if (!writable) {
        QVERIFY(!QFile::exists(path));
        return;
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), QStringLiteral("帧ID,传输方向,格式,类型,DLC,数据,次数,周期(ms),"
                                         "平均(ms),最小(ms),最大(ms),标准差(ms)"));
    QCOMPARE(lines.at(1), QStringLiteral("0x100,接收,数据帧,标准帧,0x00,,2,20.000,20.000,"
                                         "20.000,20.000,0.000"));
    QCOMPARE(lines.at(2), QStringLiteral("0x200,接收,数据帧,标准帧,0x02,01 02,1,,,,,"));
}

void tst_IdView::windowShowsViewInPlaceOfFrameLog()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto frameLog = window.findChild<QTableView *>("tbReceive");
    auto idView = window.findChild<QTreeView *>("tbIdView");
    auto byId = window.findChild<QAction *>("actionIdView");
    QVERIFY(frameLog && idView && byId);
    QWidget *frameLogParent = frameLog->parentWidget();
    QVERIFY(frameLog->isVisible());
    QVERIFY(!idView->isVisible());

    CanMessage m = frame(0x321, 0, QByteArray::fromHex("aa"));
    m.time = QTime::currentTime();
    QMetaObject::invokeMethod(HandleThread::instance(), "receiveDataSlot", Qt::QueuedConnection,
                              Q_ARG(CanMessage, m));
    QTRY_COMPARE_WITH_TIMEOUT(idView->model()->rowCount(), 1, 10000);
    QCOMPARE(idView->model()->index(0, IdViewModel::IdColumn).data().toString(),
             QStringLiteral("0x321"));

    byId->trigger();
    QVERIFY(idView->isVisible());
    QVERIFY(!frameLog->isVisible());
    QCOMPARE(frameLog->parentWidget(), frameLogParent);

    window.findChild<QPushButton *>("btnClear")->click();
    QCOMPARE(idView->model()->rowCount(), 0);
    byId->trigger();
    QVERIFY(frameLog->isVisible());
}

QTEST_MAIN(tst_IdView)
#include "tst_idview.moc"
