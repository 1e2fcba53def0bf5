#include "transmit/sendlistfile.h"

#include <QDir>
#include <QRect>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const int columns = SendListRow::cellCount;

void fill(SendListModel *model, const QList<QStringList> &rows)
{
    SendListRows filled;
    for (const QStringList &row : rows)
        filled.append(SendListRow(row));
    model->setRows(filled);
}

QList<QStringList> cells(const SendListModel &model, int rows)
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

// The send list as the settings class reads it: the reference the reader must match.
struct SettingsReading
{
    bool loaded = false;
    QList<QStringList> rows;
};

SettingsReading readWithSettings(const QString &path)
{
    SettingsReading reading;
    QSettings settings(path, QSettings::IniFormat);
    const QStringList groups = settings.childGroups();
    qint64 highestRow = -1;
    qint64 groupRows = 0;
    for (const QString &group : groups) {
        bool ok = false;
        const int row = group.mid(3).toInt(&ok);
        if (group.startsWith("CMD") && ok && row >= 0 && QString::number(row) == group.mid(3)) {
            highestRow = qMax<qint64>(highestRow, row);
            ++groupRows;
        }
    }
    const int limit = int(qMin(highestRow + 1, groupRows + SendListFile::maxRowsWithoutGroup));
    if (settings.status() == QSettings::AccessError || (limit <= 0 && !groups.contains("INFO")))
        return reading;
    // Count must be there and be a whole number from 0 up; full-width digits read as the
    // digits they show, and a Count above 0 needs at least one row.
    QString countText = settings.value("INFO/Count").toString();
    for (QChar &c : countText) {
        if (c.unicode() >= 0xff10 && c.unicode() <= 0xff19)
            c = QChar(c.unicode() - 0xff10 + '0');
    }
    bool whole = false;
    const qlonglong counted = countText.toLongLong(&whole);
    if (!whole || counted < 0 || (counted > 0 && groupRows == 0))
        return reading;
    reading.loaded = true;
    const int count = int(qMin<qlonglong>(counted, limit));
    for (int r = 0; r < count; ++r) {
        QStringList row;
        for (int c = 0; c < columns; ++c) {
            const QVariant value = settings.value(QStringLiteral("CMD%1/%2").arg(r).arg(c));
            row << (value.userType() == QMetaType::QStringList ? value.toStringList().join(", ")
                                                               : value.toString())
                           .left(SendListFile::maxCellLength);
        }
        reading.rows << row;
    }
    return reading;
}

// Texts that need every kind of escape, quoting or type marker in the file.
const QStringList trickyTexts = {
    "", " lead", "trail ", "a,b", "a;b", "x=y", "\"q\"", "back\\slash", "tab\there",
    "line\nbreak", "\r", QString(QChar(0)) + "0f", "@at", "@@two", "@Invalid()", "数据帧",
    "é1a", QString(QChar(0x7f)), "[CMD1]", "%41", "  both  ", QString(1200, 'z')};

void writeWithSettings(const QList<QStringList> &rows, const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue("INFO/Count", rows.size());
    for (int r = 0; r < rows.size(); ++r) {
        settings.beginGroup(QStringLiteral("CMD%1").arg(r));
        // The FD cells only where a row has them: a classic list keeps its old layout, and
        // a classic row written over an FD one must not stay FD.
        for (int c = 0; c < rows.at(r).size(); ++c) {
            if (c < SendListRow::classicCellCount || !rows.at(r).at(c).isEmpty())
                settings.setValue(QString::number(c), rows.at(r).at(c));
            else
                settings.remove(QString::number(c));
        }
        settings.endGroup();
    }
}

QList<QStringList> trickyRows()
{
    QList<QStringList> rows;
    for (int start = 0; start < trickyTexts.size(); start += columns) {
        QStringList row;
        for (int c = 0; c < columns; ++c)
            row << trickyTexts.value(start + c, QString::number(c));
        rows << row;
    }
    return rows;
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QByteArray settingsBytes(const QList<QStringList> &rows)
{
    QTemporaryDir dir;
    writeWithSettings(rows, dir.filePath("list.ini"));
    return fileContent(dir.filePath("list.ini"));
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
    void readerMatchesSettings_data();
    void readerMatchesSettings();
    void writerMatchesSettings_data();
    void writerMatchesSettings();
    void cancelledRead();
    void rowsBeyondTheMaximum_data();
    void rowsBeyondTheMaximum();
};

void tst_SendListFile::roundTrip_data()
{
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<int>("previousRows");

    const QList<QStringList> rows = {
        {"1", "制动", "0x7ff", "11 22 33", "0x03", "1", "2", "远程帧", "扩展帧", "1000", "", ""},
        {"3", " lead, trail ", "0x01", "", "0x00", "0", "1", "数据帧", "标准帧", "0", "", ""},
        {"序号", "a;b", "=", "\"q\"", "[x]", "\\", "#", "%", "\t", "@Variant(x)", "", ""},
        {"4", "", "0x123", "00 01 02 03 04 05 06 07 08 09 0a 0b", "0x0c", "1", "1", "数据帧",
         "标准帧", "10", "FD", "BRS"},
        {"5", "", "0x124", "", "0x00", "1", "1", "数据帧", "扩展帧", "10", "FD", ""}};
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
    SendListModel saved;
    fill(&saved, QVector<QStringList>(previousRows, row("old")).toList());
    QVERIFY(SendListFile::save(saved, path));
    fill(&saved, rows);
    QVERIFY(SendListFile::save(saved, path));

    QSettings file(path, QSettings::IniFormat);
    QCOMPARE(file.value("INFO/Count").toInt(), rows.size());
    QCOMPARE(file.childGroups().size(), 1 + qMax(rows.size(), previousRows));

    SendListModel loaded;
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
    QTest::addColumn<QString>("refusal"); // a part of the reason given; empty when loaded

    QTest::newRow("Count 3 with CMD0 and CMD2")
        << QByteArray("[INFO]\nCount=3\n[CMD0]\n0=1\n[CMD2]\n0=3\n9=5\n") << 3
        << QList<QStringList>{row("1"), row(QString()), row("3", {"", "", "", "", "", "", "",
                                                                   "", "5"})} << "";
    QTest::newRow("more columns than the table")
        << QByteArray("[INFO]\nCount=1\n[CMD0]\n0=a\n9=j\n12=k\n13=l\n") << 1
        << QList<QStringList>{row("a", {"", "", "", "", "", "", "", "", "j"})} << "";
    QTest::newRow("FD cells after the ten")
        << QByteArray("[INFO]\nCount=2\n[CMD0]\n0=a\n10=FD\n11=BRS\n[CMD1]\n11=BRS\n0=b\n"
                      "1=\n2=\n3=\n4=\n5=\n6=\n7=\n8=\n9=\n10=FD\n") << 2
        << QList<QStringList>{row("a", {"", "", "", "", "", "", "", "", "", "FD", "BRS"}),
                              row("b", {"", "", "", "", "", "", "", "", "", "FD", "BRS"})} << "";
    QTest::newRow("FD cells from the general part, ten from the group")
        << QByteArray("[General]\nCMD0\\10=FD\n[INFO]\nCount=1\n[CMD0]\n0=a\n1=\n2=\n3=\n"
                      "4=\n5=\n6=\n7=\n8=\n9=j\n") << 1
        << QList<QStringList>{row("a", {"", "", "", "", "", "", "", "", "j", "FD"})} << "";
    QTest::newRow("unquoted comma") << QByteArray("[INFO]\nCount=1\n[CMD0]\n1=foo, bar\n") << 1
                                    << QList<QStringList>{row("", {"foo, bar"})} << "";
    QTest::newRow("Count in full-width digits")
        << QByteArray("[INFO]\nCount=\xef\xbc\x92\n[CMD0]\n0=a\n[CMD1]\n0=b\n[CMD2]\n0=c\n")
        << 2 << QList<QStringList>{row("a"), row("b")} << "";
    QTest::newRow("Count with blanks and a plus sign")
        << QByteArray("[INFO]\nCount= +1 \n[CMD0]\n0=a\n[CMD1]\n0=b\n") << 1
        << QList<QStringList>{row("a")} << "";
    // Files that hold no send list leave the list as it was.
    const QList<QStringList> stale = {row("stale")};
    QTest::newRow("no INFO") << QByteArray("[CMD0]\n0=1\n") << 1 << stale << "Count";
    QTest::newRow("INFO without Count") << QByteArray("[INFO]\nx=1\n[CMD0]\n0=1\n") << 1
                                        << stale << "Count";
    QTest::newRow("negative Count") << QByteArray("[INFO]\nCount=-2\n[CMD0]\n0=1\n") << 1
                                    << stale << "负数";
    QTest::newRow("Count -5") << QByteArray("[INFO]\nCount=-5\n[CMD0]\n0=1\n") << 1
                              << stale << "负数";
    for (const char *count : {"x", "1e6", "1,000", "1000.0", "0x10", "1 0", ""}) {
        QTest::addRow("Count \"%s\"", count)
            << "[INFO]\nCount=" + QByteArray(count) + "\n[CMD0]\n0=1\n" << 1 << stale
            << "不是整数";
    }
    QTest::newRow("Count above 0 without rows") << QByteArray("[INFO]\nCount=3\n") << 1
                                                << stale << "CMD";
    QTest::newRow("missing file") << QByteArray() << 1 << stale << "不存在";
    QTest::newRow("unreadable file") << QByteArray("<directory>") << 1 << stale << "无法打开";
    QTest::newRow("empty file") << QByteArray("") << 1 << stale << "INFO";
    QTest::newRow("random bytes") << QByteArray::fromHex("8f00d3a1ff7e0c5b0a9912fe") << 1
                                  << stale << "INFO";
    const QString utf16 = QStringLiteral("[INFO]\nCount=1\n[CMD0]\n0=1\n");
    QTest::newRow("UTF-16 send list")
        << QByteArray("\xff\xfe") + QByteArray(reinterpret_cast<const char *>(utf16.utf16()),
                                              utf16.size() * 2)
        << 1 << stale << "INFO";
    QTest::newRow("other groups only") << QByteArray("[General]\nCount=2\n[CMDx]\n0=1\n") << 1
                                       << stale << "INFO";
    QTest::newRow("INFO alone is an empty list") << QByteArray("[INFO]\nCount=0\n") << 0
                                                 << QList<QStringList>() << "";
    QTest::newRow("cell over 1000 characters is cut")
        << "[INFO]\nCount=1\n[CMD0]\n3=" + QByteArray(5000, 'a') + "\n4=" + QByteArray(1000, 'b')
               + "\n"
        << 1 << QList<QStringList>{row("", {"", "", QString(1000, 'a'), QString(1000, 'b')})}
        << "";
    QTest::newRow("Count beyond the last group")
        << QByteArray("[INFO]\nCount=5\n[CMD0]\n0=1\n[CMD1]\n0=2\n") << 2
        << QList<QStringList>{row("1"), row("2")} << "";
    QTest::newRow("huge Count")
        << QByteArray("[INFO]\nCount=2147483647\n[CMD0]\n0=1\n[CMD1]\n0=2\n") << 2
        << QList<QStringList>{row("1"), row("2")} << "";
    QTest::newRow("Count beyond 64 bits")
        << QByteArray("[INFO]\nCount=99999999999999999999999\n[CMD0]\n0=1\n") << 1
        << QList<QStringList>{row("1")} << "";
    QTest::newRow("huge Count, sparse groups")
        << QByteArray("[INFO]\nCount=2147483647\n[CMD0]\n0=1\n[CMD2147483646]\n0=2\n"
                      "[CMD007]\n0=3\n")
        << 2 + SendListFile::maxRowsWithoutGroup << QList<QStringList>{row("1"), row("")} << "";
}

void tst_SendListFile::load()
{
    QFETCH(QByteArray, content);
    QFETCH(int, rowCount);
    QFETCH(QList<QStringList>, leadingRows);
    QFETCH(QString, refusal);

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
    SendListModel model;
    fill(&model, {row("stale")});
    SendListFile::load(&model, path);
    QCOMPARE(model.rowCount(), rowCount);
    QCOMPARE(cells(model, leadingRows.size()), leadingRows);
    const SendListFile::ReadResult read = SendListFile::read(path);
    QCOMPARE(read.loaded, refusal.isEmpty());
    QVERIFY2(read.refusal.contains(refusal), qPrintable(read.refusal));
    QCOMPARE(read.refusal.isEmpty(), refusal.isEmpty());
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
    SendListModel model;
    fill(&model, {row("1")});
    QCOMPARE(SendListFile::save(model, dir.filePath(name)), saved);
    fill(&model, {});
    SendListFile::load(&model, dir.filePath(name));
    QCOMPARE(model.rowCount(), saved ? 1 : 0);
}

void tst_SendListFile::readerMatchesSettings_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("written by the settings class") << QByteArray();
    QTest::newRow("comments and blanks")
        << QByteArray("; list\n\n  [INFO]  \r\nCount = 2 ; two\n[CMD0]\n 0 = a b  \n"
                      "1=\"x;y\" ; c\n;2=no\n[CMD1]\n\t3=\t\"  q  \"\t\n");
    QTest::newRow("escapes") << QByteArray("[INFO]\nCount=1\n[CMD0]\n0=\\x6570\\x636e\n"
                                           "1=a\\tb\\n\\101\\x41g\\q\\\n2=\\x\n3=a\\\n"
                                           "  b\n4=\\\"x\\\" \n5=\"a\\\\\" b \n");
    QTest::newRow("lists") << QByteArray("[INFO]\nCount=1\n[CMD0]\n0=a, b ,c\n1=\"a, b\", c\n"
                                         "2=,\n3=@@a, b\n4=@Invalid(), x\n5=a, \"\"\n");
    QTest::newRow("typed values")
        << QByteArray("[INFO]\nCount=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n[CMD0]\n"
                      "0=@ByteArray(ab)\n1=@String(s)\n2=@Rect(1 2 3 4)\n3=@Size(1)\n"
                      "4=@Invalid()\n5=@@x\n6=@x\n7=@Point(1 2)\n8=@Variant(bad)\n");
    QTest::newRow("names escaped and cased")
        << QByteArray("[INFO]\nCount=5\n[CMD%30]\n%30=a\n%U0031=b\n[cmd1]\n0=c\n[CMD2]\n"
                      "00=d\n+1=e\nX=f\n[CMD3\\x]\n0=g\n[General]\nCMD4\\2=h\nCMD0\\0=i\n"
                      "[CMD4]\n3=j\n");
    QTest::newRow("general part and duplicates")
        << QByteArray("CMD0\\1=early\nINFO\\Count=9\n[CMD0]\n1=own\n2=x\n[INFO]\n"
                      "Count=2\n[CMD1]\n0=a\n[CMD0]\n2=y\n[general]\nCMD1\\0=late\n"
                      "CMD1\\4=only\n");
    QTest::newRow("broken headers and quotes")
        << QByteArray("[INFO\nCount=1\n[INFO]\nCount=1\n[CMD0] x\n0=\"open\n1=v\n[CMD1]\n"
                      "0=w\n");
    QTest::newRow("UTF-8 with byte order mark")
        << QByteArray("\xef\xbb\xbf[INFO]\nCount=1\n[CMD0]\n0=数据帧\n1=\\x5e27\n2=\xff\n");
    QTest::newRow("UTF-8 without byte order mark")
        << QByteArray("[INFO]\nCount=1\n[CMD0]\n0=数据帧\n");
    QTest::newRow("%General and empty groups")
        << QByteArray("[%General]\nx=1\n[CMD0]\n[CMD3]\n;c\n[INFO]\n[CMD2]\n=v\n");
    QTest::newRow("carriage returns only")
        << QByteArray("[INFO]\rCount=1\r[CMD0]\r0=a\r\n\r1=b\n\r");
}

void tst_SendListFile::readerMatchesSettings()
{
    QFETCH(QByteArray, content);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("list.ini");
    if (content.isNull()) {
        writeWithSettings(trickyRows(), path);
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const SettingsReading expected = readWithSettings(path);
    const SendListFile::ReadResult read = SendListFile::read(path);
    QCOMPARE(read.loaded, expected.loaded);
    QList<QStringList> rows;
    for (const SendListRow &row : read.rows) {
        QStringList texts;
        for (int c = 0; c < columns; ++c)
            texts << row.cell(c);
        rows << texts;
    }
    QCOMPARE(rows, expected.rows);
}

void tst_SendListFile::writerMatchesSettings_data()
{
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<QByteArray>("previousContent");

    QTest::newRow("empty list") << QList<QStringList>() << QByteArray();
    QTest::newRow("tricky texts") << trickyRows() << QByteArray();
    QList<QStringList> numbered;
    for (int r = 0; r < 112; ++r)
        numbered << row(QString::number(r + 1));
    QTest::newRow("groups in the order of their names") << numbered << QByteArray();
    QTest::newRow("one row") << numbered.mid(0, 1) << QByteArray();
    QTest::newRow("ten rows") << numbered.mid(0, 10) << QByteArray();
    QTest::newRow("101 rows") << numbered.mid(0, 101) << QByteArray();
    QTest::newRow("over a longer list with other groups")
        << trickyRows()
        << QByteArray("[Other]\nk=1\n[INFO]\nCount=4\n[CMD3]\n0=old\n[CMD0]\n9=x\n11=y\n");
    QTest::newRow("over an empty file") << trickyRows() << QByteArray("");
    QTest::newRow("over a longer own list") << trickyRows() << settingsBytes(numbered);
    QTest::newRow("over a shorter own list") << numbered << settingsBytes(numbered.mid(0, 10));
    QTest::newRow("over an own list with a cut cell")
        << numbered << settingsBytes({row(QString(1001, 'x'))});
    QTest::newRow("over an own empty list") << numbered << settingsBytes({});
    QList<QStringList> mixed = numbered.mid(0, 12);
    mixed[3] = row("4", {"", "0x123", "01", "0x01", "1", "1", "数据帧", "标准帧", "0", "FD"});
    mixed[11] = row("12", {"", "", "", "", "", "", "", "", "", "FD", "BRS"});
    QTest::newRow("FD rows among classic ones") << mixed << QByteArray();
    QTest::newRow("classic rows over FD rows") << numbered.mid(0, 12) << settingsBytes(mixed);
}

void tst_SendListFile::writerMatchesSettings()
{
    QFETCH(QList<QStringList>, rows);
    QFETCH(QByteArray, previousContent);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString ours = dir.filePath("ours.ini");
    const QString reference = dir.filePath("reference.ini");
    if (!previousContent.isNull()) {
        for (const QString &path : {ours, reference}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(previousContent);
        }
    }
    SendListRows list;
    for (const QStringList &row : rows)
        list.append(SendListRow(row));
    QVERIFY(SendListFile::write(list, ours));
    writeWithSettings(rows, reference);
    QCOMPARE(fileContent(ours), fileContent(reference));
}

void tst_SendListFile::cancelledRead()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("list.ini");
    writeWithSettings(trickyRows(), path);
    SendListFile::Progress progress;
    progress.cancelled.store(true);
    const SendListFile::ReadResult read = SendListFile::read(path, &progress);
    QVERIFY(read.cancelled);
    QVERIFY(!read.loaded);
    QVERIFY(read.rows.isEmpty());
}

void tst_SendListFile::rowsBeyondTheMaximum_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("maxRows");
    QTest::addColumn<QStringList>("firstCells");
    QTest::addColumn<qint64>("fileRows");

    const QByteArray five = "[CMD0]\n0=a\n[CMD1]\n0=b\n[CMD2]\n0=c\n[CMD3]\n0=d\n[CMD4]\n0=e\n";
    QTest::newRow("five rows, three kept") << "[INFO]\nCount=5\n" + five << 3
                                           << QStringList{"a", "b", "c"} << qint64(5);
    QTest::newRow("five rows, all kept") << "[INFO]\nCount=5\n" + five << 5
                                         << QStringList{"a", "b", "c", "d", "e"} << qint64(5);
    QTest::newRow("Count below the maximum") << "[INFO]\nCount=2\n" + five << 3
                                             << QStringList{"a", "b"} << qint64(2);
    QTest::newRow("general part beyond the maximum")
        << QByteArray("CMD3\\0=x\nCMD0\\0=y\n[INFO]\nCount=4\n") << 1
        << QStringList{"y"} << qint64(4);
    QTest::newRow("rows in reverse order")
        << QByteArray("[CMD2]\n0=c\n[CMD1]\n0=b\n[CMD0]\n0=a\n[INFO]\nCount=3\n") << 2
        << QStringList{"a", "b"} << qint64(3);
}

// A file of more rows than a list may hold loads its first rows and says how many it has.
void tst_SendListFile::rowsBeyondTheMaximum()
{
    QFETCH(QByteArray, content);
    QFETCH(int, maxRows);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("list.ini");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const SendListFile::ReadResult read = SendListFile::read(path, nullptr, maxRows);
    QVERIFY(read.loaded);
    QStringList firstCells;
    for (const SendListRow &row : read.rows)
        firstCells << row.cell(0);
    QTEST(firstCells, "firstCells");
    QTEST(read.fileRows, "fileRows");
}

QTEST_MAIN(tst_SendListFile)
#include "tst_sendlistfile.moc"
