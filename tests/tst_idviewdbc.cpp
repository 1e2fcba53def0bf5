#include "dbc/dbcdatabase.h"
#include "dbc/dbcreader.h"
#include "device/canmessage.h"
#include "idview/idstatsexport.h"
#include "idview/idviewmodel.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

// The per-identifier view with a database: names, cycle times and the decoded children.
class tst_IdViewDbc : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void topLevelCells_data();
    void topLevelCells();
    void signalChildren_data();
    void signalChildren();
    void multiplexerChangesChildren();
    void unloadRemovesNamesAndChildren();
    void exportAddsDatabaseColumns();

private:
    std::unique_ptr<IdViewModel> model;
    DbcDatabase database;
    qint64 now = 0;
};

namespace {
const char dbcText[] =
    "VERSION \"\"\n\nBU_: A\n\n"
    "BO_ 256 Engine: 8 A\n"
    " SG_ Speed : 0|16@1+ (0.25,0) [0|5000] \"rpm\" A\n"
    " SG_ Gear : 16|4@1+ (1,0) [1|6] \"\" A\n"
    " SG_ Temp : 24|8@1- (1,0) [-40|100] \"degC\" A\n\n"
    "BO_ 512 Mux: 8 A\n"
    " SG_ Page M : 0|8@1+ (1,0) [0|255] \"\" A\n"
    " SG_ Common : 8|8@1+ (1,0) [0|255] \"\" A\n"
    " SG_ PageA m1 : 16|8@1+ (1,0) [0|255] \"V\" A\n"
    " SG_ PageB1 m2 : 16|8@1+ (1,0) [0|255] \"A\" A\n"
    " SG_ PageB2 m2 : 24|8@1+ (1,0) [0|255] \"A\" A\n\n"
    "BO_ 2147484416 Ext: 8 A\n"
    " SG_ X : 0|8@1+ (1,0) [0|0] \"\" A\n\n"
    "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\n"
    "BA_ \"GenMsgCycleTime\" BO_ 256 10;\n"
    "BA_ \"GenMsgCycleTime\" BO_ 512 100;\n"
    "VAL_ 256 Gear 1 \"First\" 4 \"Drive\" ;\n";

CanMessage frame(quint32 id, qint64 stampUs, const QByteArray &data, bool extended = false)
{
    CanMessage m;
    m.id = id;
    m.extended = extended;
    m.timestampUs = stampUs;
    m.data = data;
    m.dlc = data.size();
    return m;
}

// The children of a row as "name|value|description|raw|range" lines.
QStringList childLines(const IdViewModel &model, int row)
{
    const QModelIndex parent = model.index(row, 0);
    QStringList lines;
    for (int child = 0; child < model.rowCount(parent); ++child) {
        QStringList cells;
        for (int column : { IdViewModel::IdColumn, IdViewModel::ValueColumn,
                            IdViewModel::DescriptionColumn, IdViewModel::RawColumn,
                            IdViewModel::RangeColumn })
            cells << model.index(child, column, parent).data().toString();
        lines << cells.join(QLatin1Char('|'));
    }
    return lines;
}
}

void tst_IdViewDbc::init()
{
    database.clear();
    const DbcFile file = DbcReader::parse(QByteArray(dbcText), QStringLiteral("t.dbc"));
    QVERIFY2(file.error.isEmpty() && file.warnings.isEmpty(),
             qPrintable(file.error + file.warnings.join(' ')));
    database.add(file);
    now = 1000000;
    model = std::make_unique<IdViewModel>(nullptr, IdStatistics::defaultMaxRows,
                                          [this] { return now; });
    model->setDatabase(&database);
}

void tst_IdViewDbc::topLevelCells_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<int>("intervalUs");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("dbcCycle");
    QTest::addColumn<bool>("deviates");
    QTest::addColumn<bool>("children");

    QTest::newRow("on time") << 0x100u << false << 10000 << "Engine" << "10" << false << true;
    QTest::newRow("19% late") << 0x100u << false << 11900 << "Engine" << "10" << false << true;
    QTest::newRow("21% late") << 0x100u << false << 12100 << "Engine" << "10" << true << true;
    QTest::newRow("half the cycle") << 0x200u << false << 50000 << "Mux" << "100" << true << true;
    QTest::newRow("extended, no cycle") << 0x300u << true << 5000 << "Ext" << "" << false << true;
    QTest::newRow("unknown identifier") << 0x101u << false << 10000 << "" << "" << false << false;
    QTest::newRow("known number, other type") << 0x100u << true << 10000 << "" << "" << false
                                              << false;
}

void tst_IdViewDbc::topLevelCells()
{
    QFETCH(quint32, id);
    QFETCH(bool, extended);
    QFETCH(int, intervalUs);
    QFETCH(QString, name);
    QFETCH(QString, dbcCycle);
    QFETCH(bool, deviates);
    QFETCH(bool, children);

    QList<CanMessage> frames;
    for (int i = 0; i < 5; ++i)
        frames << frame(id, 1000 + qint64(i) * intervalUs, QByteArray(8, '\x01'), extended);
    model->update(frames);
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(model->text(0, IdViewModel::MessageNameColumn), name);
    QCOMPARE(model->text(0, IdViewModel::DbcCycleColumn), dbcCycle);
    const QModelIndex cycle = model->index(0, IdViewModel::DbcCycleColumn);
    QCOMPARE(cycle.data(IdViewModel::CycleDeviatesRole).toBool(), deviates);
    QCOMPARE(cycle.data(Qt::BackgroundRole).isValid(), deviates);
    QCOMPARE(model->hasChildren(model->index(0, 0)), children);
    QCOMPARE(model->rowCount(model->index(0, 0)) > 0, children);
}

void tst_IdViewDbc::signalChildren_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<bool>>("outOfRange");

    // Speed = raw * 0.25; Gear has descriptions; Temp is signed.
    QTest::newRow("in range, described")
        << QByteArray::fromHex("b024040a00000000")
        << QStringList{ "Speed|2348 rpm||9392|", "Gear|4|Drive|4|", "Temp|10 degC||10|" }
        << QList<bool>{ false, false, false };
    QTest::newRow("out of range, signed, no description")
        << QByteArray::fromHex("ffff09b000000000")
        << QStringList{ "Speed|16383.75 rpm||65535|超限 [0, 5000]", "Gear|9||9|超限 [1, 6]",
                        "Temp|-80 degC||-80|超限 [-40, 100]" }
        << QList<bool>{ true, true, true };
    QTest::newRow("short frame carries only the first signals")
        << QByteArray::fromHex("640002")
        << QStringList{ "Speed|25 rpm||100|", "Gear|2||2|" } << QList<bool>{ false, false };
}

void tst_IdViewDbc::signalChildren()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, lines);
    QFETCH(QList<bool>, outOfRange);

    model->update({ frame(0x100, 1000, data) });
    QCOMPARE(childLines(*model, 0), lines);
    const QModelIndex parent = model->index(0, 0);
    for (int i = 0; i < outOfRange.size(); ++i) {
        const QModelIndex value = model->index(i, IdViewModel::ValueColumn, parent);
        QCOMPARE(value.data(IdViewModel::OutOfRangeRole).toBool(), outOfRange.at(i));
        QCOMPARE(value.data(Qt::ForegroundRole) == model->index(i, 0, parent)
                     .data(Qt::ForegroundRole), !outOfRange.at(i));
        QCOMPARE(value.parent(), parent);
    }
}

void tst_IdViewDbc::multiplexerChangesChildren()
{
    model->update({ frame(0x200, 1000, QByteArray::fromHex("0105070000000000")) });
    QCOMPARE(childLines(*model, 0),
             (QStringList{ "Page|1||1|", "Common|5||5|", "PageA|7 V||7|" }));

    // The view is told of every change of count, so a tree over the model stays right.
    QSignalSpy inserted(model.get(), &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(model.get(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(model.get(), &QAbstractItemModel::dataChanged);
    model->update({ frame(0x200, 2000, QByteArray::fromHex("0205080900000000")) });
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(0).toModelIndex(), model->index(0, 0));
    QCOMPARE(childLines(*model, 0),
             (QStringList{ "Page|2||2|", "Common|5||5|", "PageB1|8 A||8|", "PageB2|9 A||9|" }));
    QVERIFY(std::any_of(changed.begin(), changed.end(), [this](const QList<QVariant> &args) {
        return args.at(0).toModelIndex().parent() == model->index(0, 0);
    }));

    model->update({ frame(0x200, 3000, QByteArray::fromHex("0305000000000000")) });
    QCOMPARE(removed.count(), 1);
    QCOMPARE(childLines(*model, 0), (QStringList{ "Page|3||3|", "Common|5||5|" }));
}

void tst_IdViewDbc::unloadRemovesNamesAndChildren()
{
    model->update({ frame(0x100, 1000, QByteArray(8, '\0')), frame(0x200, 1000,
                                                                   QByteArray(8, '\0')) });
    QVERIFY(model->rowCount(model->index(0, 0)) > 0);
    QSignalSpy reset(model.get(), &QAbstractItemModel::modelReset);
    database.clear();
    model->setDatabase(&database);
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model->rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(model->text(row, IdViewModel::MessageNameColumn), QString());
        QCOMPARE(model->text(row, IdViewModel::DbcCycleColumn), QString());
        QVERIFY(!model->hasChildren(model->index(row, 0)));
        QCOMPARE(model->rowCount(model->index(row, 0)), 0);
    }
}

void tst_IdViewDbc::exportAddsDatabaseColumns()
{
    model->update({ frame(0x100, 1000, QByteArray(1, '\x10')), frame(0x101, 1000, QByteArray()) });
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY(exportIdStatistics(*model, dir.filePath("s.csv"), &error));
    QFile file(dir.filePath("s.csv"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith(QStringLiteral(",标准差(ms),DBC周期(ms),报文名")));
    QVERIFY(lines.at(1).startsWith(QStringLiteral("0x100,")));
    QVERIFY(lines.at(1).endsWith(QStringLiteral(",10,Engine")));
    QVERIFY(lines.at(2).endsWith(QStringLiteral(",,")));
}

QTEST_MAIN(tst_IdViewDbc)
#include "tst_idviewdbc.moc"
