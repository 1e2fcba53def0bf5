#include "health/errorframe.h"
#include "monitor/csvexport.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <deque>

class tst_FrameLogModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void cells_data();
    void cells();
    void rowLimits_data();
    void rowLimits();
    void chunksAppendAsRecords_data();
    void chunksAppendAsRecords();
    void exportMatchesWrittenRules_data();
    void exportMatchesWrittenRules();
    void cancelledExportLeavesNoFile_data();
    void cancelledExportLeavesNoFile();
    void unwritableExportFails_data();
    void unwritableExportFails();
};

// Frame number n carries identifier n and its number in the data, so a row shows which
// frame it holds; every kind of frame comes round.
static CanMessage frame(qint64 n)
{
    CanMessage msg;
    msg.id = quint32(n);
    msg.direction = quint8(n % 3 == 1);
    msg.success = n % 7 != 3;
    msg.remote = n % 5 == 2;
    msg.extended = n % 4 == 1;
    const int size = int(n % 9);
    for (int i = 0; i < size; ++i)
        msg.data.append(char(n >> (8 * (i % 4))));
    msg.dlc = size;
    msg.time = n % 11 == 6 ? QTime() : QTime(0, 0).addMSecs(int(n * 37 % 86400000));
    msg.timestampUs = 1700000000000000 + n;
    msg.error = n % 13 == 8;
    msg.errorClass = msg.error ? 0x4 : 0;
    // Only a refused write can carry more than eight bytes; an error event never does.
    if (n % 17 == 9 && !msg.error) {
        msg.data = QByteArray(12, char(0xA5));
        msg.dlc = 12;
    }
    // FD frames of every length, their bytes telling the frame apart.
    static const int fdLengths[] = { 0, 1, 8, 12, 16, 20, 24, 32, 48, 64 };
    if (n % 3 == 2 && !msg.error && msg.success && !msg.remote) {
        msg.fd = true;
        msg.brs = n % 2;
        msg.esi = n % 5 == 0;
        msg.dlc = fdLengths[n % 10];
        msg.data.clear();
        for (int i = 0; i < msg.dlc; ++i)
            msg.data.append(char(n * 7 + i));
    }
    return msg;
}

// The texts of one row, by the rules the table is written to.
static QStringList writtenRow(qint64 number, const CanMessage &m)
{
    return {
        QString::number(number),
        m.error ? QStringLiteral("0x%1").arg(m.errorClass, 3, 16, QLatin1Char('0'))
                : QStringLiteral("0x%1").arg(m.id, 2, 16, QLatin1Char('0')),
        m.error ? errorEventText(m.errorClass, m.data) : QString::fromLatin1(m.data.toHex(' ')),
        QStringLiteral("0x%1").arg(m.dlc, 2, 16, QLatin1Char('0')),
        m.direction == 1 ? QStringLiteral("发送") : QStringLiteral("接收"),
        m.error ? QString() : m.success ? QStringLiteral("成功") : QStringLiteral("失败"),
        m.time.toString(QStringLiteral("hh:mm:ss:zzz")),
        m.error      ? QString()
        : m.fd       ? QStringLiteral("FD数据帧") + (m.brs ? QStringLiteral(" BRS") : QString())
                        + (m.esi ? QStringLiteral(" ESI") : QString())
        : m.remote   ? QStringLiteral("远程帧")
                     : QStringLiteral("数据帧"),
        m.error ? QStringLiteral("错误帧")
                : (m.extended ? QStringLiteral("扩展帧") : QStringLiteral("标准帧")),
    };
}

static QVector<CanMessage> frames(qint64 first, int count)
{
    QVector<CanMessage> list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list.append(frame(first + i));
    return list;
}

void tst_FrameLogModel::initTestCase()
{
    qRegisterMetaType<FrameLogExport::Outcome>();
}

void tst_FrameLogModel::cells_data()
{
    QTest::addColumn<CanMessage>("msg");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QColor>("background");

    CanMessage received;
    received.id = 0x1FFFFFFF;
    received.extended = true;
    received.dlc = 2;
    received.data = QByteArray::fromHex("00ff");
    received.time = QTime(12, 34, 56, 78);
    QTest::newRow("received extended")
        << received
        << QStringList{ "42", "0x1fffffff", "00 ff", "0x02", "接收", "成功", "12:34:56:078",
                        "数据帧", "扩展帧" }
        << QColor(80, 80, 100);

    CanMessage error;
    error.id = 0x20000004;
    error.error = true;
    error.errorClass = 0x4;
    error.dlc = 8;
    error.data = QByteArray::fromHex("0004000000000000");
    error.time = QTime(1, 2, 3, 4);
    QTest::newRow("error event")
        << error
        << QStringList{ "42", "0x004", errorEventText(0x4, error.data), "0x08", "接收", "",
                        "01:02:03:004", "", "错误帧" }
        << QColor(180, 90, 0);

    CanMessage tooLong;
    tooLong.direction = 1;
    tooLong.success = false;
    tooLong.data = QByteArray::fromHex("0102030405060708090a");
    tooLong.dlc = tooLong.data.size();
    QTest::newRow("refused write of 10 bytes, no time")
        << tooLong
        << QStringList{ "42", "0x00", "01 02 03 04 05 06 07 08 09 0a", "0x0a", "发送", "失败",
                        "", "数据帧", "标准帧" }
        << QColor(150, 0, 0);

    CanMessage fd64;
    fd64.id = 0x123;
    fd64.fd = true;
    fd64.brs = true;
    for (int i = 0; i < 64; ++i)
        fd64.data.append(char(i));
    fd64.dlc = 64;
    fd64.time = QTime(8, 0, 0, 1);
    QTest::newRow("FD 64 bytes with BRS")
        << fd64
        << QStringList{ "42", "0x123", QString::fromLatin1(fd64.data.toHex(' ')), "0x40", "接收",
                        "成功", "08:00:00:001", "FD数据帧 BRS", "标准帧" }
        << QColor(80, 80, 100);

    CanMessage fd12;
    fd12.id = 0x1ABCDEF0;
    fd12.extended = true;
    fd12.fd = true;
    fd12.esi = true;
    fd12.direction = 1;
    fd12.data = QByteArray::fromHex("0102030405060708090a0b0c");
    fd12.dlc = 12;
    fd12.time = QTime(8, 0, 0, 2);
    QTest::newRow("FD 12 bytes sent, ESI")
        << fd12
        << QStringList{ "42", "0x1abcdef0", "01 02 03 04 05 06 07 08 09 0a 0b 0c", "0x0c",
                        "发送", "成功", "08:00:00:002", "FD数据帧 ESI", "扩展帧" }
        << QColor();

    CanMessage fd8;
    fd8.id = 0x10;
    fd8.fd = true;
    fd8.data = QByteArray::fromHex("aabb");
    fd8.dlc = 2;
    fd8.time = QTime(8, 0, 0, 3);
    QTest::newRow("FD 2 bytes")
        << fd8
        << QStringList{ "42", "0x10", "aa bb", "0x02", "接收", "成功", "08:00:00:003",
                        "FD数据帧", "标准帧" }
        << QColor(80, 80, 100);

    CanMessage sent;
    sent.direction = 1;
    sent.remote = true;
    sent.id = 0x7FF;
    sent.dlc = 0;
    sent.time = QTime(23, 59, 59, 999);
    QTest::newRow("sent remote")
        << sent
        << QStringList{ "42", "0x7ff", "", "0x00", "发送", "成功", "23:59:59:999", "远程帧",
                        "标准帧" }
        << QColor();
}

void tst_FrameLogModel::cells()
{
    QFETCH(CanMessage, msg);
    QFETCH(QStringList, texts);
    QFETCH(QColor, background);
    msg.timestampUs = 1765100000123456;

    FrameLogModel model;
    QCOMPARE(model.appendMessages(QVector<CanMessage>{ frame(1), msg }, 41, -1), 0);
    QCOMPARE(model.rowCount(), 2);
    for (int column = 0; column < texts.size(); ++column) {
        const QModelIndex cell = model.index(1, column);
        QCOMPARE(cell.data(Qt::DisplayRole).toString(), texts.at(column));
        QCOMPARE(cell.data(Qt::EditRole).toString(), texts.at(column));
        const QVariant colour = cell.data(Qt::BackgroundRole);
        QCOMPARE(colour.isValid(), background.isValid());
        if (background.isValid())
            QCOMPARE(colour.value<QColor>(), background);
    }
    QCOMPARE(model.headerData(8, Qt::Horizontal).toString(), QStringLiteral("类型"));

    const CanMessage back = model.message(1);
    QCOMPARE(model.number(1), qint64(42));
    QCOMPARE(back.direction, msg.direction);
    QCOMPARE(back.id, msg.id);
    QCOMPARE(back.time, msg.time);
    QCOMPARE(back.dlc, msg.dlc);
    QCOMPARE(back.data, msg.data);
    QCOMPARE(back.extended, msg.extended);
    QCOMPARE(back.remote, msg.remote);
    QCOMPARE(back.success, msg.success);
    QCOMPARE(back.timestampUs, msg.timestampUs);
    QCOMPARE(back.error, msg.error);
    QCOMPARE(back.errorClass, msg.errorClass);
    QCOMPARE(back.fd, msg.fd);
    QCOMPARE(back.brs, msg.brs);
    QCOMPARE(back.esi, msg.esi);
    // A narrow column cuts the bytes; the tooltip holds all of them, sixteen a line.
    const QString tip = model.index(1, 2).data(Qt::ToolTipRole).toString();
    if (msg.fd && msg.dlc > 8)
        QCOMPARE(tip.split('\n').join(' '), texts.at(2));
    else
        QVERIFY(tip.isEmpty());
}

void tst_FrameLogModel::rowLimits_data()
{
    // Steps: "a<count>:<limit>" appends count frames under limit, "r<count>:<limit>" the
    // same as records made beforehand, "l<limit>" applies a limit as editing the field
    // does, "c" clears.
    QTest::addColumn<QStringList>("steps");

    const int chunk = frameChunkRows;
    const auto a = [](int count, int limit) {
        return QStringLiteral("a%1:%2").arg(count).arg(limit);
    };
    const auto r = [](int count, int limit) {
        return QStringLiteral("r%1:%2").arg(count).arg(limit);
    };
    QTest::newRow("batch larger than a chunk") << QStringList{ a(chunk * 2 + 5, 100000) };
    QTest::newRow("trim across a chunk boundary")
        << QStringList{ a(chunk - 10, chunk), a(30, chunk), a(chunk, chunk) };
    QTest::newRow("trim whole chunks") << QStringList{ a(chunk * 3, -1), a(7, chunk / 2) };
    QTest::newRow("batch beyond the limit") << QStringList{ a(100, 1000), a(5000, 1000) };
    QTest::newRow("limit 0 keeps counting") << QStringList{ a(50, 0), a(chunk + 1, 0),
                                                            a(3, 10) };
    QTest::newRow("negative removes nothing") << QStringList{ a(chunk + 3, -1), "l-5",
                                                              a(10, -1) };
    QTest::newRow("lowered to one below") << QStringList{ a(chunk + 1, -1), "l4096", "l4095",
                                                          "l1" };
    QTest::newRow("lowered to 0, then raised") << QStringList{ a(chunk * 2, -1), "l0",
                                                               "l100000", a(5, 100000) };
    QTest::newRow("raised never restores") << QStringList{ a(500, 100), "l1000",
                                                           a(10, 1000) };
    QTest::newRow("clear restarts numbering") << QStringList{ a(chunk + 9, -1), "c",
                                                              a(20, 100) };
    // A table that is full before and after moves its rows up in place.
    QTest::newRow("full table stays full")
        << QStringList{ a(chunk, chunk), a(10, chunk), a(chunk - 5, chunk), r(3, chunk),
                        a(chunk * 2, chunk), "l100", a(1, 100) };
    QTest::newRow("records beyond the limit") << QStringList{ r(100, 1000), r(5000, 1000) };
    QTest::newRow("records and messages interleave")
        << QStringList{ a(100, -1), r(chunk * 2 + 7, -1), a(5, chunk), r(chunk + 1, chunk * 2),
                        "c", r(3, 10) };
    // Beyond a few chunks the dropped ones are freed on another thread.
    QTest::newRow("many chunks dropped at once")
        << QStringList{ a(chunk * 12 + 3, -1), "l100", a(chunk * 10, -1), "c",
                        a(chunk * 9, chunk * 20), a(chunk * 12, chunk), a(5, 100) };
}

void tst_FrameLogModel::rowLimits()
{
    QFETCH(QStringList, steps);

    FrameLogModel model;
    std::deque<qint64> expected;
    // Frames added as records, which keep no data beyond eight bytes.
    QSet<qint64> asRecords;
    qint64 next = 0;
    for (const QString &step : steps) {
        int removed = 0;
        int expectedRemoved = 0;
        if (step.startsWith('a') || step.startsWith('r')) {
            const QStringList parts = step.mid(1).split(':');
            const int count = parts.at(0).toInt();
            const int limit = parts.at(1).toInt();
            const qint64 before = qint64(expected.size());
            for (int i = 0; i < count; ++i)
                expected.push_back(next + i);
            if (step.startsWith('a')) {
                removed = model.appendMessages(frames(next, count), next, limit);
            } else {
                QVector<FrameRecord> records;
                for (const CanMessage &msg : frames(next, count))
                    records.append(frameRecord(msg));
                for (int i = 0; i < count; ++i)
                    asRecords.insert(next + i);
                removed = model.appendRecords(records, next, limit);
            }
            next += count;
            while (limit >= 0 && qint64(expected.size()) > limit)
                expected.pop_front();
            const qint64 kept = qint64(expected.size());
            expectedRemoved = int(std::max<qint64>(0, before - (kept - std::min<qint64>(
                    count, kept))));
        } else if (step.startsWith('l')) {
            const int limit = step.mid(1).toInt();
            const int before = int(expected.size());
            while (limit >= 0 && int(expected.size()) > limit)
                expected.pop_front();
            removed = model.applyRowLimit(limit);
            expectedRemoved = before - int(expected.size());
        } else {
            model.clear();
            expected.clear();
            asRecords.clear();
            next = 0;
        }
        QCOMPARE(removed, expectedRemoved);
        QCOMPARE(model.rowCount(), int(expected.size()));
        for (int row = 0; row < model.rowCount(); ++row) {
            const qint64 n = expected.at(size_t(row));
            // Every byte of an FD frame stays while its row does, however many rows went.
            const CanMessage held = frame(n);
            if (held.fd && !asRecords.contains(n) && model.message(row).data != held.data)
                QFAIL(qPrintable(QStringLiteral("%1: row %2 lost bytes of FD frame %3")
                                 .arg(step).arg(row).arg(n)));
            if (model.number(row) != expected.at(size_t(row)))
                QFAIL(qPrintable(QStringLiteral("%1: row %2 holds frame %3, not %4")
                                 .arg(step).arg(row).arg(model.number(row))
                                 .arg(expected.at(size_t(row)))));
            if (model.message(row).id != quint32(expected.at(size_t(row))))
                QFAIL(qPrintable(QStringLiteral("%1: row %2 holds the wrong frame")
                                 .arg(step).arg(row)));
        }
        if (!expected.empty()) {
            const int last = model.rowCount() - 1;
            QCOMPARE(model.index(last, 0).data().toString(),
                     QString::number(expected.back()));
            const qint64 n = expected.back();
            const CanMessage written = asRecords.contains(n) ? frameMessage(frameRecord(frame(n)))
                                                             : frame(n);
            QCOMPARE(model.index(last, 2).data().toString(), writtenRow(n, written).at(2));
        }
    }
}

void tst_FrameLogModel::chunksAppendAsRecords_data()
{
    QTest::addColumn<int>("held");
    QTest::addColumn<QList<int>>("runs");
    QTest::addColumn<int>("limit");

    const int chunk = frameChunkRows;
    QTest::newRow("whole chunks into an empty log") << 0 << QList<int>{ 3 * chunk } << -1;
    QTest::newRow("runs ending mid-chunk") << 0 << QList<int>{ chunk + 5, 2 * chunk, 7 } << -1;
    QTest::newRow("after rows of a capture") << 100 << QList<int>{ 2 * chunk + 1 } << -1;
    QTest::newRow("limit drops old rows") << 0 << QList<int>{ 2 * chunk, 2 * chunk, chunk }
                                          << 3 * chunk + 10;
    QTest::newRow("limit drops new rows") << 10 << QList<int>{ 3 * chunk + 3 } << chunk + 1;
    QTest::newRow("full log stays full") << 0 << QList<int>{ 2 * chunk, 2 * chunk } << 2 * chunk;
    QTest::newRow("limit 0") << 5 << QList<int>{ chunk } << 0;
}

// Taking over chunks must leave the log exactly as copying the same records would.
void tst_FrameLogModel::chunksAppendAsRecords()
{
    QFETCH(int, held);
    QFETCH(QList<int>, runs);
    QFETCH(int, limit);

    FrameLogModel taken;
    FrameLogModel copied;
    QVector<CanMessage> first;
    for (int i = 0; i < held; ++i)
        first << frame(i);
    taken.appendMessages(first, 40, limit);
    copied.appendMessages(first, 40, limit);
    qint64 next = held;
    for (int rows : runs) {
        FrameChunkRun run;
        QVector<FrameRecord> records;
        for (int i = 0; i < rows; ++i, ++next) {
            if (i % frameChunkRows == 0)
                run.chunks.push_back(std::make_shared<FrameChunk>());
            records << frameRecord(frame(next));
            run.chunks.back()->records[i % frameChunkRows] = records.last();
        }
        run.lastRows = (rows - 1) % frameChunkRows + 1;
        QCOMPARE(run.rows(), rows);
        QSignalSpy inserted(&taken, &QAbstractItemModel::rowsInserted);
        QSignalSpy shifted(&taken, &FrameLogModel::rowsShifted);
        QCOMPARE(taken.appendChunks(run, 40, limit), copied.appendRecords(records, 40, limit));
        // A view learns of every row that came, in one insertion or one shift.
        QCOMPARE(inserted.count() + shifted.count(), taken.rowCount() > 0 ? 1 : 0);
        if (inserted.count() == 1)
            QCOMPARE(inserted.at(0).at(2).toInt(), taken.rowCount() - 1);
    }
    QCOMPARE(taken.rowCount(), copied.rowCount());
    for (int row = 0; row < taken.rowCount(); ++row) {
        QCOMPARE(taken.number(row), copied.number(row));
        const CanMessage a = taken.message(row);
        const CanMessage b = copied.message(row);
        QCOMPARE(a.id, b.id);
        QCOMPARE(a.data, b.data);
        QCOMPARE(a.timestampUs, b.timestampUs);
    }
    // Rows appended afterwards go on from the taken-over chunks.
    taken.appendMessages(QVector<CanMessage>{ frame(next) }, 0, limit);
    copied.appendMessages(QVector<CanMessage>{ frame(next) }, 0, limit);
    QCOMPARE(taken.rowCount(), copied.rowCount());
    if (taken.rowCount() > 0) {
        const int last = taken.rowCount() - 1;
        QCOMPARE(taken.message(last).id, copied.message(last).id);
        QCOMPARE(taken.number(last), copied.number(last));
    }
}

void tst_FrameLogModel::exportMatchesWrittenRules_data()
{
    QTest::addColumn<int>("held");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<int>("rows");

    QTest::newRow("empty") << 0 << 0 << 0;
    QTest::newRow("small, written at once") << 300 << 0 << 300;
    QTest::newRow("rows gone since the click") << 20 << 0 << 25;
    QTest::newRow("large, trimmed, on a thread")
        << FrameLogExport::inlineRows + frameChunkRows * 3 << 1000
        << FrameLogExport::inlineRows + frameChunkRows * 3 - 1000;
}

void tst_FrameLogModel::exportMatchesWrittenRules()
{
    QFETCH(int, held);
    QFETCH(int, dropped);
    QFETCH(int, rows);

    FrameLogModel model;
    model.appendMessages(frames(0, held), 0, -1);
    model.applyRowLimit(held - dropped);

    QByteArray expected;
    for (const auto &column : columnHeaders)
        expected += column.first.toUtf8() + ',';
    expected += '\n';
    for (int row = 0; row < rows; ++row) {
        if (row < held - dropped) {
            const qint64 number = dropped + row;
            for (const QString &text : writtenRow(number, frame(number)))
                expected += text.toUtf8() + ',';
        } else {
            expected += QByteArray(columnHeaders.size(), ',');
        }
        expected += '\n';
    }

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    FrameLogExport job(model.snapshot(rows), rows, path);
    QSignalSpy finished(&job, &FrameLogExport::finished);
    job.start();
    // Frames go on arriving and being trimmed while the file is written.
    model.appendMessages(frames(held, 5000), held, 100);
    model.clear();
    QVERIFY(finished.count() == 1 || finished.wait(60000));
    QCOMPARE(finished.at(0).at(0).value<FrameLogExport::Outcome>(), FrameLogExport::Written);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    if (written != expected) {
        const QList<QByteArray> a = written.split('\n');
        const QList<QByteArray> b = expected.split('\n');
        for (int i = 0; i < std::min(a.size(), b.size()); ++i)
            QCOMPARE(QString::fromUtf8(a.at(i)), QString::fromUtf8(b.at(i)));
        QCOMPARE(a.size(), b.size());
    }
}

void tst_FrameLogModel::cancelledExportLeavesNoFile_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("cancelled") << false;
    QTest::newRow("destroyed while writing, as when the window closes") << true;
}

void tst_FrameLogModel::cancelledExportLeavesNoFile()
{
    QFETCH(bool, destroy);

    FrameLogModel model;
    const int rows = 300000;
    model.appendMessages(frames(0, rows), 0, -1);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    auto job = std::make_unique<FrameLogExport>(model.snapshot(rows), rows, path);
    QSignalSpy finished(job.get(), &FrameLogExport::finished);
    job->start();
    // Without the event loop, so that the result cannot be reported while waiting.
    QDeadlineTimer deadline(60000);
    while (!QFile::exists(path) && !deadline.hasExpired())
        QThread::yieldCurrentThread();
    QVERIFY(QFile::exists(path));
    if (destroy) {
        job.reset();
        QVERIFY(!QFile::exists(path));
        return;
    }
    // Whether or not the thread has written the last row by now, a cancel before the
    // result is reported wins.
    job->cancel();
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).value<FrameLogExport::Outcome>(), FrameLogExport::Cancelled);
    QVERIFY(!QFile::exists(path));
}

void tst_FrameLogModel::unwritableExportFails_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<int>("rows");
    QTest::newRow("missing directory, small") << "missing/log.csv" << 10;
    QTest::newRow("directory, large") << "." << FrameLogExport::inlineRows + 1;
}

void tst_FrameLogModel::unwritableExportFails()
{
    QFETCH(QString, relativePath);
    QFETCH(int, rows);

    FrameLogModel model;
    model.appendMessages(frames(0, rows), 0, -1);
    QTemporaryDir dir;
    FrameLogExport job(model.snapshot(rows), rows, dir.filePath(relativePath));
    QSignalSpy finished(&job, &FrameLogExport::finished);
    job.start();
    QVERIFY(finished.count() == 1 || finished.wait(60000));
    QCOMPARE(finished.at(0).at(0).value<FrameLogExport::Outcome>(), FrameLogExport::Failed);
    QVERIFY(QDir(dir.path()).isEmpty());
}

QTEST_GUILESS_MAIN(tst_FrameLogModel)
#include "tst_framelogmodel.moc"
