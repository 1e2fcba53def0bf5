#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"
#include "tests/fake/fakecanable.h"
#include "tests/tracebuilders.h"
#include "traceformats/tracefile.h"
#include "tracemenu/traceopen.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstring>

using trace::Format;

Q_DECLARE_METATYPE(Format)

namespace {

const qint64 t0 = 1796660000123456LL;

CanMessage message(quint32 id, const QByteArray &data, qint64 us, bool tx = false,
                   bool extended = false, bool remote = false, int dlc = -1)
{
    CanMessage msg;
    msg.id = id;
    msg.data = remote ? QByteArray() : data;
    msg.dlc = dlc >= 0 ? dlc : data.size();
    msg.direction = tx ? 1 : 0;
    msg.extended = extended;
    msg.remote = remote;
    msg.timestampUs = us;
    msg.time = QDateTime::fromMSecsSinceEpoch(us / 1000).time();
    return msg;
}

CanMessage errorEvent(quint32 errorClass, const QByteArray &data, qint64 us)
{
    CanMessage msg = message(errorClass, data, us);
    msg.error = true;
    msg.errorClass = errorClass;
    return msg;
}

// A table as a user has it: both directions, a refused write, remote and extended frames
// and an error event.
QList<CanMessage> sampleRows()
{
    CanMessage refused = message(0x222, QByteArray::fromHex("aa"), t0 + 20, true);
    refused.success = false;
    return { message(0x123, QByteArray::fromHex("1122334455667788"), t0),
             message(0x7ff, QByteArray::fromHex("01"), t0 + 1, true),
             refused,
             message(0x1abcdef0, QByteArray::fromHex("deadbeef"), t0 + 999, false, true),
             message(0x321, QByteArray(), t0 + 123457, false, false, true, 3),
             message(0x18fef100, QByteArray(), t0 + 3600000001LL, true, true, true, 8),
             errorEvent(0x004, QByteArray::fromHex("0004000000000000"), t0 + 3600000002LL),
             message(0x555, QByteArray::fromHex("0102030405"), t0 + 3600000003LL, true) };
}

// What a row of the frame log or a frame of a file says, in one comparable line.
QString describe(const CanMessage &m)
{
    return QStringLiteral("%1 %2%3%4 dlc%5 [%6] %7 %8 %9")
        .arg(m.id, 0, 16)
        .arg(m.extended ? "x" : "-", m.remote ? "r" : "-", m.error ? "e" : "-")
        .arg(m.dlc)
        .arg(QString::fromLatin1(m.data.toHex()), m.direction ? "Tx" : "Rx")
        .arg(m.timestampUs)
        .arg(m.time.toString("hh:mm:ss.zzz"));
}

QString describe(const trace::Frame &f)
{
    const int size = f.error ? 8 : f.remote ? 0 : f.dlc;
    return QStringLiteral("%1 %2%3%4 dlc%5 [%6] %7 %8")
        .arg(f.id, 0, 16)
        .arg(f.extended ? "x" : "-", f.remote ? "r" : "-", f.error ? "e" : "-")
        .arg(f.error ? 8 : f.dlc)
        .arg(QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(f.data), size)
                                     .toHex()),
             f.tx ? "Tx" : "Rx")
        .arg(f.timestampUs);
}

// The frames a format keeps of the sample rows, as describe() of trace frames says them.
QStringList expectedInFile(Format format)
{
    QStringList lines;
    for (CanMessage m : sampleRows()) {
        if (!m.success)
            continue;
        // A capture of link type 227 has no direction; an ASC error frame no details.
        if (format == Format::Pcap)
            m.direction = 0;
        if (format == Format::Asc && m.error) {
            m.id = 0;
            m.data = QByteArray(8, '\0');
        }
        m.time = QTime();
        lines << describe(m).chopped(1);
    }
    return lines;
}

} // namespace

class tst_TraceMenu : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void saveWritesTheRows_data();
    void saveWritesTheRows();
    void saveKeepsFdFrames_data();
    void saveKeepsFdFrames();
    void saveCancelledLeavesNoFile();
    void saveFailureSaysSo();
    void openShowsTheFrames_data();
    void openShowsTheFrames();
    void openLongerThanOneDelivery();
    void openHostileFile_data();
    void openHostileFile();
    void openRefusedWhileDeviceOpen();
    void openShowsEveryTime_data();
    void openShowsEveryTime();
    void openEndsInsideStretch_data();
    void openEndsInsideStretch();

private:
    // Triggers the action and answers its file dialog with the filter and the typed name.
    void answerDialog(const char *action, const QString &name, int filter = -1);
    QString statusText() const { return window->findChild<QLabel *>("lblMessage")->text(); }

    QTemporaryDir dir;
    MainWindow *window = nullptr;
};

void tst_TraceMenu::init()
{
    FakeCanable::reset();
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void tst_TraceMenu::cleanup()
{
    delete window;
    window = nullptr;
    HandleThread::instance()->takeMessages();
}

void tst_TraceMenu::answerDialog(const char *action, const QString &name, int filter)
{
    bool answered = false;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || answered)
            return;
        answered = true;
        // The filter first: choosing one rewrites the extension of a name typed already.
        if (filter >= 0)
            dialog->selectNameFilter(dialog->nameFilters().at(filter));
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(name);
        static_cast<QDialog *>(dialog)->accept();
    });
    answer.start(10);
    window->findChild<QAction *>(action)->trigger();
    answer.stop();
    QVERIFY(answered);
}

void tst_TraceMenu::saveWritesTheRows_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("written");
    QTest::addColumn<Format>("format");

    QTest::newRow("log by extension") << "a.log" << 3 << "a.log" << Format::CandumpLog;
    QTest::newRow("asc by extension") << "a.ASC" << 0 << "a.ASC" << Format::Asc;
    QTest::newRow("pcap by extension") << "a.pcap" << 1 << "a.pcap" << Format::Pcap;
    QTest::newRow("blf by extension") << "a.blf" << 2 << "a.blf" << Format::Blf;
    QTest::newRow("log by filter") << "b" << 0 << "b.log" << Format::CandumpLog;
    QTest::newRow("asc by filter") << "b" << 1 << "b.asc" << Format::Asc;
    QTest::newRow("pcap by filter") << "b" << 2 << "b.pcap" << Format::Pcap;
    QTest::newRow("blf by filter, other suffix") << "b.run1" << 3 << "b.run1.blf"
                                                 << Format::Blf;
}

void tst_TraceMenu::saveWritesTheRows()
{
    QFETCH(QString, typed);
    QFETCH(int, filter);
    QFETCH(QString, written);
    QFETCH(Format, format);

    receiveModel->appendMessages(sampleRows(), 0, -1);
    answerDialog("actionSaveTrace", dir.filePath(typed), filter);
    const QString path = dir.filePath(written);
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("已保存")), 10000);
    QCOMPARE(statusText(), QStringLiteral("已保存 7 帧到 %1（1 行发送失败，未写入）").arg(path));

    std::string error;
    auto reader = trace::Reader::open(path.toStdString(), format, &error);
    QVERIFY2(reader, error.c_str());
    QStringList back;
    trace::Frame frame;
    while (reader->next(frame))
        back << describe(frame);
    QCOMPARE(reader->skipped(), uint64_t(0));
    QCOMPARE(back, expectedInFile(format));
    QFile::remove(path);
}

void tst_TraceMenu::saveKeepsFdFrames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Format>("format");
    QTest::newRow("log") << "fd.log" << Format::CandumpLog;
    QTest::newRow("asc") << "fd.asc" << Format::Asc;
    QTest::newRow("pcap") << "fd.pcap" << Format::Pcap;
    QTest::newRow("blf") << "fd.blf" << Format::Blf;
}

// Every byte, the length and the FD, BRS and ESI bits of the frame log's FD rows reach
// the saved file, however many rows came between them, and come back when it is opened.
void tst_TraceMenu::saveKeepsFdFrames()
{
    QFETCH(QString, name);
    QFETCH(Format, format);

    QList<CanMessage> rows;
    QStringList expected;
    for (int i = 0; i < 3000; ++i) {
        const int length = QList<int>{ 64, 12, 2, 48 }.at(i % 4);
        QByteArray data;
        for (int b = 0; b < length; ++b)
            data.append(char(i * 3 + b));
        CanMessage m = message(quint32(0x100 + i % 0x600), data, t0 + i * 100, false,
                               i % 3 == 0);
        m.fd = true;
        m.brs = i % 2 == 0;
        m.esi = i % 5 == 0;
        rows << m;
        expected << QStringLiteral("%1 %2 %3%4 %5").arg(m.id, 0, 16).arg(length)
                        .arg(m.brs ? "b" : "-", m.esi ? "e" : "-").arg(QString(data.toHex()));
    }
    receiveModel->appendMessages(rows, 0, -1);
    answerDialog("actionSaveTrace", dir.filePath(name));
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("已保存")), 10000);

    std::string error;
    auto reader = trace::Reader::open(dir.filePath(name).toStdString(), format, &error);
    QVERIFY2(reader, error.c_str());
    QStringList back;
    trace::Frame f;
    while (reader->next(f)) {
        QVERIFY(f.fd);
        back << QStringLiteral("%1 %2 %3%4 %5").arg(f.id, 0, 16).arg(f.dlc)
                        .arg(f.brs ? "b" : "-", f.esi ? "e" : "-")
                        .arg(QString(QByteArray(reinterpret_cast<const char *>(f.data), f.dlc)
                                             .toHex()));
    }
    QCOMPARE(back, expected);

    auto limitEdit = window->findChild<QLineEdit *>("txtMaxRowCount");
    limitEdit->setText(QString::number(100000));
    emit limitEdit->editingFinished();
    answerDialog("actionOpenTrace", dir.filePath(name));
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("已打开")), 10000);
    QStringList shown;
    for (int row = 0; row < receiveModel->rowCount(); ++row) {
        const CanMessage m = receiveModel->message(row);
        QVERIFY(m.fd);
        shown << QStringLiteral("%1 %2 %3%4 %5").arg(m.id, 0, 16).arg(m.dlc)
                         .arg(m.brs ? "b" : "-", m.esi ? "e" : "-").arg(QString(m.data.toHex()));
    }
    QCOMPARE(shown, expected);
}

void tst_TraceMenu::saveCancelledLeavesNoFile()
{
    QList<CanMessage> rows;
    for (int i = 0; i < 400000; ++i)
        rows << message(quint32(i & 0x7ff), QByteArray::fromHex("0102030405060708"), t0 + i);
    receiveModel->appendMessages(rows, 0, -1);
    const QString path = dir.filePath("cancelled.blf");
    answerDialog("actionSaveTrace", path);
    // The save's own thread has at most begun; the cancel is seen within a few rows.
    auto progress = window->findChild<QProgressDialog *>("saveTraceProgress");
    QVERIFY(progress);
    progress->findChild<QPushButton *>()->click();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QStringLiteral("保存记录已取消"), 10000);
    QVERIFY(!QFile::exists(path));
    QVERIFY(window->findChild<QAction *>("actionSaveTrace")->isEnabled());
}

void tst_TraceMenu::saveFailureSaysSo()
{
    receiveModel->appendMessages(sampleRows(), 0, -1);
    const QString path = dir.filePath("missing/x.log");
    answerDialog("actionSaveTrace", path);
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("保存记录失败：%1：")
                                                          .arg(path)),
                             10000);
    QVERIFY(!QFile::exists(path));
}

void tst_TraceMenu::openShowsTheFrames_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("limit");

    QTest::newRow("log") << Format::CandumpLog << "o.log" << 100;
    QTest::newRow("asc") << Format::Asc << "o.asc" << 100;
    QTest::newRow("pcap") << Format::Pcap << "o.pcap" << 100;
    QTest::newRow("blf") << Format::Blf << "o.blf" << 100;
    QTest::newRow("csv") << Format::Csv << "o.csv" << 100;
    QTest::newRow("blf sniffed, no extension") << Format::Blf << "blf-capture" << 100;
    QTest::newRow("log sniffed, odd extension") << Format::CandumpLog << "o.txt" << 100;
    QTest::newRow("log beyond the row limit") << Format::CandumpLog << "l.log" << 3;
}

void tst_TraceMenu::openShowsTheFrames()
{
    QFETCH(Format, format);
    QFETCH(QString, name);
    QFETCH(int, limit);

    const QString path = dir.filePath(name);
    std::string error;
    {
        auto writer = trace::Writer::create(path.toStdString(), format, &error);
        QVERIFY(writer);
        for (const CanMessage &m : sampleRows()) {
            // The table's export writes its error rows in a form of its own.
            if (format == Format::Csv && m.error)
                continue;
            trace::Frame f;
            f.id = m.id;
            f.extended = m.extended;
            f.remote = m.remote;
            f.error = m.error;
            f.dlc = uint8_t(m.dlc);
            std::memcpy(f.data, m.data.constData(), size_t(m.data.size()));
            f.tx = m.direction == 1;
            f.success = m.success;
            f.timestampUs = m.timestampUs;
            QVERIFY(writer->write(f));
        }
        QVERIFY(writer->close());
    }
    // Rows from an earlier capture give way to the file.
    receiveModel->appendMessages(sampleRows(), 0, -1);
    auto limitEdit = window->findChild<QLineEdit *>("txtMaxRowCount");
    limitEdit->setText(QString::number(limit));
    emit limitEdit->editingFinished();

    QStringList expected;
    for (CanMessage m : sampleRows()) {
        if (format == Format::Pcap)
            m.direction = 0;
        if (format == Format::Asc && m.error) {
            m.id = m.errorClass = 0;
            m.data = QByteArray(8, '\0');
        }
        if (format == Format::Csv) {
            // The table's own file keeps refused writes, and the time of day to the
            // millisecond, which is put on the day the file was written.
            if (m.error)
                continue;
            const QDateTime local = QDateTime::fromMSecsSinceEpoch(m.timestampUs / 1000);
            m.timestampUs = QDateTime(QFileInfo(path).lastModified().date(), local.time())
                                .toMSecsSinceEpoch() * 1000;
        } else if (!m.success) {
            continue;
        }
        expected << describe(m);
    }
    const int total = expected.size();
    expected = expected.mid(std::max(0, total - limit));

    answerDialog("actionOpenTrace", path);
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("已打开")), 10000);
    QString status = QStringLiteral("已打开 %1：%2 帧").arg(path).arg(total);
    if (total > limit)
        status += QStringLiteral("，超出行数上限舍弃最早的 %1 帧").arg(total - limit);
    QCOMPARE(statusText(), status);
    QStringList shown;
    for (int row = 0; row < receiveModel->rowCount(); ++row)
        shown << describe(receiveModel->message(row));
    QCOMPARE(shown, expected);
    QCOMPARE(receiveModel->number(0), qint64(std::max(0, total - limit)));
}

// More frames than one delivery hands over, the last chunk short: the file's tail reaches
// the table in later deliveries, every frame once and in order.
void tst_TraceMenu::openLongerThanOneDelivery()
{
    const int frames = TraceOpen::deliveryChunks * frameChunkRows + 1000;
    const QString path = dir.filePath(QStringLiteral("long.pcap"));
    std::string error;
    {
        auto writer = trace::Writer::create(path.toStdString(), Format::Pcap, &error);
        QVERIFY(writer);
        trace::Frame f;
        f.dlc = 4;
        f.success = true;
        for (int i = 0; i < frames; ++i) {
            f.id = quint32(i) & 0x7FF;
            std::memcpy(f.data, &i, sizeof i);
            f.timestampUs = 1765000000000000LL + i;
            QVERIFY(writer->write(f));
        }
        QVERIFY(writer->close());
    }
    auto limitEdit = window->findChild<QLineEdit *>("txtMaxRowCount");
    limitEdit->setText(QString::number(2 * frames));
    emit limitEdit->editingFinished();

    answerDialog("actionOpenTrace", path);
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("已打开")), 30000);
    QCOMPARE(statusText(), QStringLiteral("已打开 %1：%2 帧").arg(path).arg(frames));
    QCOMPARE(receiveModel->rowCount(), frames);
    for (int row = 0; row < frames; ++row) {
        const FrameRecord &record = receiveModel->record(row);
        int i = -1;
        std::memcpy(&i, record.data, sizeof i);
        if (i != row || record.id != (quint32(row) & 0x7FF) || receiveModel->number(row) != row)
            QFAIL(qPrintable(QStringLiteral("row %1 holds frame %2").arg(row).arg(i)));
    }
}

void tst_TraceMenu::openHostileFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("skips");

    QByteArray noise(1 << 20, '\0');
    QRandomGenerator random(11);
    random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    const QString validPath = dir.filePath("valid.blf");
    {
        std::string error;
        auto writer = trace::Writer::create(validPath.toStdString(), Format::Blf, &error);
        trace::Frame f;
        f.dlc = 1;
        for (int i = 0; i < 5; ++i) {
            f.timestampUs = t0 + i;
            writer->write(f);
        }
        writer->close();
    }
    QFile validFile(validPath);
    validFile.open(QIODevice::ReadOnly);
    const QByteArray blf = validFile.readAll();
    const QByteArray zeroObject = blf.left(144)
            + QByteArray("LOBJ\x10\0\x01\0\0\0\0\0\x0a\0\0\0", 16) + blf.mid(144);

    QTest::newRow("random bytes as log") << "r.log" << noise << "已打开" << true;
    QTest::newRow("random bytes as asc") << "r.asc" << noise << "已打开" << true;
    QTest::newRow("random bytes as csv") << "r.csv" << noise << "已打开" << true;
    QTest::newRow("random bytes as pcap") << "r.pcap" << noise << "打开记录失败" << false;
    QTest::newRow("random bytes, no extension") << "r" << noise << "打开记录失败" << false;
    QTest::newRow("blf zero-length object") << "z.blf" << zeroObject
                                            << "已打开 %1：5 帧" << true;
    QTest::newRow("blf truncated") << "t.blf" << blf.left(blf.size() - 5) << "已打开" << true;
    QTest::newRow("empty blf") << "e.blf" << QByteArray() << "打开记录失败" << false;
}

void tst_TraceMenu::openHostileFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, status);
    QFETCH(bool, skips);

    const QString path = dir.filePath(name);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    receiveModel->appendMessages(sampleRows(), 0, -1);
    if (status.contains("%1"))
        status = status.arg(path);

    answerDialog("actionOpenTrace", path);
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(status), 20000);
    QCOMPARE(statusText().contains(QStringLiteral("跳过")), skips);
    // A file that is no trace leaves the table as it was.
    if (status.startsWith(QStringLiteral("打开记录失败")))
        QCOMPARE(receiveModel->rowCount(), sampleRows().size());
    QVERIFY(window->findChild<QAction *>("actionOpenTrace")->isEnabled());
}

void tst_TraceMenu::openRefusedWhileDeviceOpen()
{
    QTest::mouseClick(window->findChild<QPushButton *>("btnOpen"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QPushButton *>("btnClose")->isEnabled(), 10000);
    bool asked = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (auto dialog = QApplication::activeModalWidget()) {
            asked = true;
            dialog->close();
        }
    });
    watch.start(10);
    window->findChild<QAction *>("actionOpenTrace")->trigger();
    watch.stop();
    QVERIFY(!asked);
    QCOMPARE(statusText(), QStringLiteral("请先关闭设备再打开记录"));
}

void tst_TraceMenu::openShowsEveryTime_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("us");

    QTest::newRow("log at the epoch") << "e.log" << QByteArray("(0.000000) can0 123#11\n")
                                      << 0LL;
    QTest::newRow("log just after") << "a.log" << QByteArray("(0.001000) can0 123#11\n")
                                    << 1000LL;
    QTest::newRow("asc without date, first frame")
            << "e.asc" << QByteArray("   0.000000 1  123 Rx d 1 11\n") << 0LL;
}

void tst_TraceMenu::openShowsEveryTime()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(qint64, us);
    const QString path = dir.filePath(name);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    answerDialog("actionOpenTrace", path);
    QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("已打开")), 10000);
    QCOMPARE(receiveModel->rowCount(), 1);
    const CanMessage shown = receiveModel->message(0);
    QCOMPARE(shown.timestampUs, us);
    QCOMPARE(shown.time, QDateTime::fromMSecsSinceEpoch(us / 1000).time());
}

void tst_TraceMenu::openEndsInsideStretch_data()
{
    using tracebuilders::Stretch;
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("stretch");
    QTest::addColumn<int>("gib");
    QTest::addColumn<bool>("closeWindow");

    for (bool close : { false, true }) {
        const QString how = close ? QStringLiteral("，关闭窗口") : QStringLiteral("，取消");
        QTest::newRow(qPrintable("log, 64 GiB of zeros" + how))
                << "z.log" << int(Stretch::Zeros) << 64 << close;
        QTest::newRow(qPrintable("pcapng, 64 GiB of blocks" + how))
                << "b.pcapng" << int(Stretch::PcapngBlocks) << 64 << close;
        QTest::newRow(qPrintable("blf, containers of 20 GiB of zeros" + how))
                << "b.blf" << int(Stretch::BlfBomb) << 20 << close;
    }
}

// "取消" and closing the window end the open within a bound far below the time the file
// takes to read, also where the reader is inside gigabytes without a frame.
void tst_TraceMenu::openEndsInsideStretch()
{
    QFETCH(QString, name);
    QFETCH(int, stretch);
    QFETCH(int, gib);
    QFETCH(bool, closeWindow);
    const QString path = dir.filePath(name);
    QVERIFY(tracebuilders::writeStretchedTrace(path, tracebuilders::Stretch(stretch), gib));

    answerDialog("actionOpenTrace", path);
    QTRY_VERIFY(window->findChild<QProgressDialog *>("openTraceProgress"));
    // Well into the stretch: the first frame is read in microseconds.
    QTest::qWait(300);
    QVERIFY(!statusText().startsWith(QStringLiteral("已打开")));
    QElapsedTimer timer;
    timer.start();
    if (closeWindow) {
        window->close();
        delete window;
        window = nullptr;
    } else {
        window->findChild<QProgressDialog *>("openTraceProgress")
                ->findChild<QPushButton *>()->click();
        QTRY_VERIFY_WITH_TIMEOUT(statusText().startsWith(QStringLiteral("打开记录已取消"))
                                         || timer.elapsed() > 3000, 5000);
        QVERIFY(window->findChild<QAction *>("actionOpenTrace")->isEnabled());
    }
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
    QFile::remove(path);
}

QTEST_MAIN(tst_TraceMenu)
#include "tst_tracemenu.moc"
