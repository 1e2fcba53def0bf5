#include "sendlistfile.h"

#include <QDir>
#include <QSettings>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const int columns = 10;

void fill(QStandardItemModel *model, const QList<QStringList> &rows)
{
    model->setRowCount(rows.size());
    for (int r = 0; r < rows.size(); ++r) {
        for (int c = 0; c < rows.at(r).size(); ++c)
            model->setItem(r, c, new QStandardItem(rows.at(r).at(c)));
    }
}

QList<QStringList> cells(const QStandardItemModel &model, int rows)
{
    QList<QStringList> result;
    for (int r = 0; r < qMin(rows, model.rowCount()); ++r) {
        QStringList row;
        for (int c = 0; c < model.columnCount(); ++c)
            row << model.index(r, c).data().toString();
        result << row;
    }
    return result;
}

QStringList row(const QString &first, const QStringList &rest = {})
{
    QStringList cells = QStringList{first} + rest;
    while (cells.size() < columns)
        cells << QString();
    return cells;
}

} // namespace

class tst_SendListFile : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void load_data();
    void load();
    void save_data();
    void save();
};

void tst_SendListFile::roundTrip_data()
{
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<int>("previousRows");

    const QList<QStringList> rows = {
        {"1", "制动", "0x7ff", "11 22 33", "0x03", "1", "2", "远程帧", "扩展帧", "1000"},
        {"3", " lead, trail ", "0x01", "", "0x00", "0", "1", "数据帧", "标准帧", "0"},
        {"序号", "a;b", "=", "\"q\"", "[x]", "\\", "#", "%", "\t", "@Variant(x)"}};
    QTest::newRow("empty list") << QList<QStringList>() << 0;
    QTest::newRow("three rows") << rows << 0;
    QTest::newRow("over a longer list") << rows << 6;
}

void tst_SendListFile::roundTrip()
{
    QFETCH(QList<QStringList>, rows);
    QFETCH(int, previousRows);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("list.ini");
    QStandardItemModel saved(0, columns);
    fill(&saved, QVector<QStringList>(previousRows, row("old")).toList());
    QVERIFY(SendListFile::save(saved, path));
    fill(&saved, rows);
    QVERIFY(SendListFile::save(saved, path));

    QSettings file(path, QSettings::IniFormat);
    QCOMPARE(file.value("INFO/Count").toInt(), rows.size());
    QCOMPARE(file.childGroups().size(), 1 + qMax(rows.size(), previousRows));

    QStandardItemModel loaded(0, columns);
    fill(&loaded, {row("stale")});
    SendListFile::load(&loaded, path);
    QCOMPARE(loaded.rowCount(), rows.size());
    QCOMPARE(cells(loaded, rows.size()), rows);
}

void tst_SendListFile::load_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("rowCount");
    QTest::addColumn<QList<QStringList>>("leadingRows");

    QTest::newRow("Count 3 with CMD0 and CMD2")
        << QByteArray("[INFO]\nCount=3\n[CMD0]\n0=1\n[CMD2]\n0=3\n9=5\n") << 3
        << QList<QStringList>{row("1"), row(QString()), row("3", {"", "", "", "", "", "", "",
                                                                   "", "5"})};
    QTest::newRow("more columns than the table")
        << QByteArray("[INFO]\nCount=1\n[CMD0]\n0=a\n9=j\n10=k\n11=l\n") << 1
        << QList<QStringList>{row("a", {"", "", "", "", "", "", "", "", "j"})};
    QTest::newRow("unquoted comma") << QByteArray("[INFO]\nCount=1\n[CMD0]\n1=foo, bar\n") << 1
                                    << QList<QStringList>{row("", {"foo, bar"})};
    QTest::newRow("no Count") << QByteArray("[CMD0]\n0=1\n") << 0 << QList<QStringList>();
    QTest::newRow("negative Count") << QByteArray("[INFO]\nCount=-2\n[CMD0]\n0=1\n") << 0
                                    << QList<QStringList>();
    QTest::newRow("Count not a number") << QByteArray("[INFO]\nCount=x\n[CMD0]\n0=1\n") << 0
                                        << QList<QStringList>();
    // Files that hold no send list leave the list as it was.
    const QList<QStringList> stale = {row("stale")};
    QTest::newRow("missing file") << QByteArray() << 1 << stale;
    QTest::newRow("unreadable file") << QByteArray("<directory>") << 1 << stale;
    QTest::newRow("empty file") << QByteArray("") << 1 << stale;
    QTest::newRow("random bytes") << QByteArray::fromHex("8f00d3a1ff7e0c5b0a9912fe") << 1
                                  << stale;
    const QString utf16 = QStringLiteral("[INFO]\nCount=1\n[CMD0]\n0=1\n");
    QTest::newRow("UTF-16 send list")
        << QByteArray("\xff\xfe") + QByteArray(reinterpret_cast<const char *>(utf16.utf16()),
                                              utf16.size() * 2)
        << 1 << stale;
    QTest::newRow("other groups only") << QByteArray("[General]\nCount=2\n[CMDx]\n0=1\n") << 1
                                       << stale;
    QTest::newRow("INFO alone is an empty list") << QByteArray("[INFO]\nCount=0\n") << 0
                                                 << QList<QStringList>();
    QTest::newRow("cell over 1000 characters is cut")
        << "[INFO]\nCount=1\n[CMD0]\n3=" + QByteArray(5000, 'a') + "\n4=" + QByteArray(1000, 'b')
               + "\n"
        << 1 << QList<QStringList>{row("", {"", "", QString(1000, 'a'), QString(1000, 'b')})};
    QTest::newRow("Count beyond the last group")
        << QByteArray("[INFO]\nCount=5\n[CMD0]\n0=1\n[CMD1]\n0=2\n") << 2
        << QList<QStringList>{row("1"), row("2")};
    QTest::newRow("huge Count")
        << QByteArray("[INFO]\nCount=2147483647\n[CMD0]\n0=1\n[CMD1]\n0=2\n") << 2
        << QList<QStringList>{row("1"), row("2")};
    QTest::newRow("huge Count, sparse groups")
        << QByteArray("[INFO]\nCount=2147483647\n[CMD0]\n0=1\n[CMD2147483646]\n0=2\n"
                      "[CMD007]\n0=3\n")
        << 2 + SendListFile::maxRowsWithoutGroup << QList<QStringList>{row("1"), row("")};
}

void tst_SendListFile::load()
{
    QFETCH(QByteArray, content);
    QFETCH(int, rowCount);
    QFETCH(QList<QStringList>, leadingRows);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("list.ini");
    if (content == "<directory>") {
        QVERIFY(QDir(dir.path()).mkdir("list.ini"));
    } else if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QStandardItemModel model(0, columns);
    fill(&model, {row("stale")});
    SendListFile::load(&model, path);
    QCOMPARE(model.rowCount(), rowCount);
    QCOMPARE(cells(model, leadingRows.size()), leadingRows);
}

void tst_SendListFile::save_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("previousContent");
    QTest::addColumn<bool>("saved");

    QTest::newRow("over a file that is no INI") << "list.ini"
        << QByteArray("\xff\xfe\x00 no settings\n[broken\n", 24) << true;
    QTest::newRow("below a regular file") << "list.ini/sub.ini" << QByteArray("x") << false;
}

void tst_SendListFile::save()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, previousContent);
    QFETCH(bool, saved);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile previous(dir.filePath("list.ini"));
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write(previousContent);
    previous.close();
    QStandardItemModel model(0, columns);
    fill(&model, {row("1")});
    QCOMPARE(SendListFile::save(model, dir.filePath(name)), saved);
    model.setRowCount(0);
    SendListFile::load(&model, dir.filePath(name));
    QCOMPARE(model.rowCount(), saved ? 1 : 0);
}

QTEST_MAIN(tst_SendListFile)
#include "tst_sendlistfile.moc"
