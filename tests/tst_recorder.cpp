#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "traceformats/tracefile.h"
#include "tracemenu/recorder.h"

#include <QAbstractButton>
#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>

using trace::Format;

Q_DECLARE_METATYPE(Format)

namespace {

const qint64 startUs = 1796660000123456LL;

// A frame as a device thread hands it to the hub; its sequence number goes in the data.
CanMessage message(int sequence, quint8 direction = 0)
{
    CanMessage msg;
    msg.direction = direction;
    msg.id = quint32(0x100 + sequence % 0x600);
    msg.dlc = 8;
    msg.data = QByteArray(8, '\0');
    qToLittleEndian<qint64>(sequence, msg.data.data());
    msg.timestampUs = startUs + sequence * 47LL;
    return msg;
}

// Every kind the hub passes: both directions, both identifier kinds, a remote frame, a
// refused write (which is no frame), an error event, a frame with little data and FD
// frames of 12 and 64 bytes with and without BRS and ESI.
QList<CanMessage> frameMix(int first, int count)
{
    QList<CanMessage> messages;
    for (int i = first; i < first + count; ++i) {
        CanMessage msg = message(i, i % 3 == 1 ? 1 : 0);
        switch (i % 7) {
        case 1:
            msg.fd = true;
            msg.brs = i % 2 == 0;
            msg.esi = i % 5 == 0;
            msg.dlc = i % 4 == 0 ? 64 : 12;
            msg.data.resize(msg.dlc);
            for (int b = 8; b < msg.dlc; ++b)
                msg.data[b] = char(i + b);
            break;
        case 2:
            msg.extended = true;
            msg.id = 0x18daf100u + quint32(i % 256);
            break;
        case 3:
            msg.remote = true;
            msg.dlc = 4;
            msg.data.clear();
            break;
        case 4:
            msg.direction = 1;
            msg.success = false;
            break;
        case 5:
            msg.error = true;
            msg.direction = 0;
            msg.errorClass = 0x004;
            msg.data = QByteArray::fromHex("0010000000000000");
            break;
        case 6:
            msg.dlc = 2;
            msg.data.truncate(2);
            break;
        }
        messages << msg;
    }
    return messages;
}

void feed(const QList<CanMessage> &messages)
{
    HandleThread *hub = HandleThread::instance();
    for (const CanMessage &msg : messages) {
        if (msg.error)
            hub->errorEventSlot(msg);
        else if (msg.direction == 1)
            hub->sendDataSlot(msg);
        else
            hub->receiveDataSlot(msg);
    }
}

// One line per frame with what the format keeps: ASC error events carry no class bits
// and pcap no direction.
QString describe(Format format, bool error, quint32 id, bool extended, bool remote, int dlc,
                 const QByteArray &data, bool tx, qint64 us, const QString &fd)
{
    if (error && format == Format::Asc)
        return QStringLiteral("error %1").arg(us);
    return QStringLiteral("%1%9 %2 %3 %4 %5 %6 %7 %8")
            .arg(error ? "error" : "frame")
            .arg(id, 0, 16)
            .arg(int(extended))
            .arg(int(remote))
            .arg(dlc)
            .arg(QString::fromLatin1(remote ? QByteArray() : data.left(dlc).toHex()))
            .arg(format == Format::Pcap ? "-" : tx ? "T" : "R")
            .arg(us)
            .arg(fd);
}

QString fdFlags(bool fd, bool brs, bool esi)
{
    return fd ? QStringLiteral(" fd%1%2").arg(brs ? "b" : "-", esi ? "e" : "-") : QString();
}

QStringList expected(Format format, const QList<CanMessage> &messages)
{
    QStringList lines;
    for (const CanMessage &m : messages) {
        if (m.success)
            lines << describe(format, m.error, m.error ? m.errorClass : m.id, m.extended,
                              m.remote, m.error ? 8 : m.dlc, m.data, m.direction == 1,
                              m.timestampUs, fdFlags(m.fd, m.brs, m.esi));
    }
    return lines;
}

// The file as our reader sees it; a line "unreadable: ..." when it cannot be opened,
// "skipped N" when parts of it are no frames.
QStringList readBack(const QString &path, Format format)
{
    std::string error;
    auto reader = trace::Reader::open(QFile::encodeName(path).toStdString(), format, &error);
    if (!reader)
        return { QStringLiteral("unreadable: %1").arg(QString::fromStdString(error)) };
    QStringList lines;
    trace::Frame f;
    while (reader->next(f)) {
        lines << describe(format, f.error, f.id, f.extended, f.remote, f.dlc,
                          QByteArray(reinterpret_cast<const char *>(f.data), 64), f.tx,
                          f.timestampUs, fdFlags(f.fd, f.brs, f.esi));
    }
    if (reader->skipped() > 0 || !reader->error().empty())
        lines << QStringLiteral("skipped %1 %2").arg(reader->skipped())
                 .arg(QString::fromStdString(reader->error()));
    return lines;
}

// A file size limit stands in for a full disk: writes beyond it fail as they would.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit limit = old;
        limit.rlim_cur = rlim_t(bytes);
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }

private:
    struct rlimit old = {};
    void (*oldHandler)(int) = nullptr;
};

void addFormats()
{
    QTest::addColumn<Format>("format");
    QTest::newRow("log") << Format::CandumpLog;
    QTest::newRow("asc") << Format::Asc;
    QTest::newRow("pcap") << Format::Pcap;
    QTest::newRow("blf") << Format::Blf;
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void recordsEveryFrameWhileRunning_data();
    void recordsEveryFrameWhileRunning();
    void everyFrameRecordedOrCountedLost();
    void writeFailureKeepsTheFramesBefore_data();
    void writeFailureKeepsTheFramesBefore();
    void refusesAFileItCannotCreate();
    void asksBeforeReplacingTheNamedFile_data();
    void asksBeforeReplacingTheNamedFile();

    void menuStartsAndStops_data();
    void menuStartsAndStops();
    void menuReportsAWriteFailure();
    void closingTheWindowCompletesTheFile();

private:
    QString pathFor(Format format, const QString &name = QStringLiteral("trace")) const;
    void startFromMenu(MainWindow *window, const QString &typed, int filter);

    QTemporaryDir dir;
};

void tst_Recorder::init()
{
    HandleThread::instance()->takeMessages();
}

void tst_Recorder::cleanup()
{
    HandleThread::instance()->takeMessages();
}

QString tst_Recorder::pathFor(Format format, const QString &name) const
{
    return dir.filePath(name + QLatin1Char('.') + QLatin1String(trace::extensionOf(format)));
}

void tst_Recorder::recordsEveryFrameWhileRunning_data()
{
    addFormats();
}

void tst_Recorder::recordsEveryFrameWhileRunning()
{
    QFETCH(Format, format);
    const QString first = pathFor(format, QStringLiteral("first"));
    const QString second = pathFor(format, QStringLiteral("second"));
    Recorder recorder;
    QString error;
    QVERIFY2(recorder.start(first, format, &error), qPrintable(error));
    QVERIFY(recorder.isRecording());
    QVERIFY(!recorder.start(second, format, &error));

    const QList<CanMessage> before = frameMix(0, 700);
    feed(before);
    // The file is flushed while the recording runs, not only when it ends.
    QTRY_COMPARE_WITH_TIMEOUT(readBack(first, format), expected(format, before), 5000);
    QCOMPARE(recorder.framesRecorded(), quint64(600));

    const QList<CanMessage> last = frameMix(700, 70);
    feed(last);
    QVERIFY(recorder.stop());
    QVERIFY(!recorder.isRecording());
    feed(frameMix(770, 70));

    // A second recording starts from nothing and gets only its own frames.
    QVERIFY2(recorder.start(second, format, &error), qPrintable(error));
    const QList<CanMessage> again = frameMix(840, 7);
    feed(again);
    QVERIFY(recorder.stop());

    QCOMPARE(readBack(first, format), expected(format, before + last));
    QCOMPARE(readBack(second, format), expected(format, again));
    QCOMPARE(recorder.framesRecorded(), quint64(6));
    QCOMPARE(recorder.framesLost(), quint64(0));
}

void tst_Recorder::everyFrameRecordedOrCountedLost()
{
    // The test thread feeds faster than any bus: whatever the queue cannot hold must be
    // counted, and what is in the file must be in order.
    const Format format = Format::CandumpLog;
    const QString path = pathFor(format, QStringLiteral("flood"));
    Recorder recorder;
    QString error;
    QVERIFY2(recorder.start(path, format, &error), qPrintable(error));
    const int total = int(Recorder::queueCapacity) * 3;
    HandleThread *hub = HandleThread::instance();
    for (int i = 0; i < total; ++i) {
        hub->receiveDataSlot(message(i));
        if (i % 4096 == 0)
            hub->takeMessages();
    }
    QVERIFY(recorder.stop());
    QCOMPARE(recorder.framesRecorded() + recorder.framesLost(), quint64(total));

    std::string openError;
    auto reader = trace::Reader::open(path.toStdString(), format, &openError);
    QVERIFY(reader);
    trace::Frame f;
    quint64 frames = 0;
    qint64 previous = -1;
    while (reader->next(f)) {
        const qint64 sequence = qFromLittleEndian<qint64>(f.data);
        QVERIFY2(sequence > previous, qPrintable(QString::number(sequence)));
        previous = sequence;
        ++frames;
    }
    QCOMPARE(frames, recorder.framesRecorded());
}

void tst_Recorder::writeFailureKeepsTheFramesBefore_data()
{
    addFormats();
}

void tst_Recorder::writeFailureKeepsTheFramesBefore()
{
    QFETCH(Format, format);
    const QString path = pathFor(format, QStringLiteral("full"));
    Recorder recorder;
    // Queued: the writer thread emits it.
    int failures = 0;
    connect(&recorder, &Recorder::failed, this, [&failures] { ++failures; },
            Qt::QueuedConnection);
    QString error;
    QVERIFY2(recorder.start(path, format, &error), qPrintable(error));
    const QList<CanMessage> kept = frameMix(0, 50);
    feed(kept);
    QTRY_COMPARE_WITH_TIMEOUT(readBack(path, format), expected(format, kept), 5000);
    {
        FileSizeLimit full(QFileInfo(path).size() + 10);
        feed(frameMix(50, 500));
        QTRY_COMPARE_WITH_TIMEOUT(failures, 1, 5000);
    }
    QVERIFY(recorder.isRecording());
    QVERIFY(!recorder.stop());
    QVERIFY(!recorder.errorString().isEmpty());
    QCOMPARE(failures, 1);
    QCOMPARE(readBack(path, format), expected(format, kept));
}

void tst_Recorder::refusesAFileItCannotCreate()
{
    Recorder recorder;
    QString error;
    QVERIFY(!recorder.start(dir.filePath(QStringLiteral("missing/trace.log")),
                            Format::CandumpLog, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!recorder.isRecording());
    // Full from the first byte: the header cannot be written.
    QVERIFY(!recorder.start(QStringLiteral("/dev/full"), Format::Pcap, &error));
    QVERIFY(!recorder.isRecording());
}

void tst_Recorder::asksBeforeReplacingTheNamedFile_data()
{
    QTest::addColumn<bool>("replace");
    QTest::newRow("kept") << false;
    QTest::newRow("replaced") << true;
}

// The dialog confirms the name typed; the file the added extension names is another one.
void tst_Recorder::asksBeforeReplacingTheNamedFile()
{
    QFETCH(bool, replace);
    const QString existing = dir.filePath(QStringLiteral("yesterday.log"));
    const QByteArray old = "(1.000000) can0 123#11 R\n";
    {
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(old), qint64(old.size()));
    }
    MainWindow window;
    bool asked = false;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto dialog = qobject_cast<QFileDialog *>(modal)) {
            dialog->selectNameFilter(dialog->nameFilters().value(0));
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))
                ->setText(dir.filePath(QStringLiteral("yesterday")));
            static_cast<QDialog *>(dialog)->accept();
        } else if (auto box = qobject_cast<QMessageBox *>(modal)) {
            asked = true;
            answer.stop();
            box->button(replace ? QMessageBox::Yes : QMessageBox::No)->click();
        }
    });
    answer.start(10);
    window.findChild<QAction *>(QStringLiteral("actionStartRecording"))->trigger();
    answer.stop();
    QVERIFY(asked);
    auto stop = window.findChild<QAction *>(QStringLiteral("actionStopRecording"));
    QCOMPARE(stop->isEnabled(), replace);
    stop->trigger();
    QFile file(existing);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll() == old, !replace);
}

void tst_Recorder::startFromMenu(MainWindow *window, const QString &typed, int filter)
{
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answer.stop();
        dialog->selectNameFilter(dialog->nameFilters().value(filter));
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(typed);
        static_cast<QDialog *>(dialog)->accept();
    });
    answer.start(10);
    window->findChild<QAction *>(QStringLiteral("actionStartRecording"))->trigger();
}

void tst_Recorder::menuStartsAndStops_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("file");
    QTest::addColumn<Format>("format");
    QTest::newRow("extension chooses") << "a.asc" << 3 << "a.asc" << Format::Asc;
    QTest::newRow("upper-case extension") << "b.BLF" << 0 << "b.BLF" << Format::Blf;
    QTest::newRow("filter without extension") << "c" << 2 << "c.pcap" << Format::Pcap;
    QTest::newRow("filter after another extension") << "d.txt" << 3 << "d.txt.blf"
                                                    << Format::Blf;
    QTest::newRow("csv is no recording type") << "e.csv" << 0 << "e.csv.log"
                                              << Format::CandumpLog;
}

void tst_Recorder::menuStartsAndStops()
{
    QFETCH(QString, typed);
    QFETCH(int, filter);
    QFETCH(QString, file);
    QFETCH(Format, format);

    MainWindow window;
    auto start = window.findChild<QAction *>(QStringLiteral("actionStartRecording"));
    auto stop = window.findChild<QAction *>(QStringLiteral("actionStopRecording"));
    auto field = window.findChild<QLabel *>(QStringLiteral("lblRecording"));
    auto menu = window.findChild<QMenu *>(QStringLiteral("menuFile"));
    QVERIFY(start && stop && field && menu);
    QVERIFY(menu->actions().contains(start) && menu->actions().contains(stop));
    QCOMPARE(start->text(), QStringLiteral("开始录制…"));
    QCOMPARE(stop->text(), QStringLiteral("停止录制"));
    QVERIFY(start->isEnabled());
    QVERIFY(!stop->isEnabled());

    startFromMenu(&window, dir.filePath(typed), filter);
    QVERIFY(!start->isEnabled());
    QVERIFY(stop->isEnabled());
    QVERIFY(!field->isHidden());
    const QList<CanMessage> messages = frameMix(0, 70);
    feed(messages);
    QTRY_COMPARE_WITH_TIMEOUT(field->text(), QStringLiteral("录制: %1  60帧").arg(file), 5000);

    stop->trigger();
    QVERIFY(start->isEnabled());
    QVERIFY(!stop->isEnabled());
    QVERIFY(field->isHidden());
    auto line = window.findChild<QLabel *>(QStringLiteral("lblMessage"));
    QCOMPARE(line->text(), QStringLiteral("录制已停止: %1 共60帧").arg(file));
    feed(frameMix(70, 7));
    QCOMPARE(readBack(dir.filePath(file), format), expected(format, messages));
}

void tst_Recorder::menuReportsAWriteFailure()
{
    MainWindow window;
    startFromMenu(&window, dir.filePath(QStringLiteral("failing.log")), 0);
    auto stop = window.findChild<QAction *>(QStringLiteral("actionStopRecording"));
    QVERIFY(stop->isEnabled());
    const QString path = dir.filePath(QStringLiteral("failing.log"));
    const QList<CanMessage> kept = frameMix(0, 20);
    feed(kept);
    QTRY_COMPARE_WITH_TIMEOUT(readBack(path, Format::CandumpLog),
                              expected(Format::CandumpLog, kept), 5000);
    {
        FileSizeLimit full(QFileInfo(path).size() + 10);
        feed(frameMix(20, 200));
        QTRY_VERIFY_WITH_TIMEOUT(!stop->isEnabled(), 5000);
    }
    auto line = window.findChild<QLabel *>(QStringLiteral("lblMessage"));
    QVERIFY2(line->text().startsWith(QStringLiteral("录制失败已停止: failing.log: ")),
             qPrintable(line->text()));
    auto box = window.findChild<QMessageBox *>(QStringLiteral("recordingFailed"));
    QVERIFY(box);
    QCOMPARE(box->text(), line->text());
    box->close();
    QVERIFY(window.findChild<QAction *>(QStringLiteral("actionStartRecording"))->isEnabled());
    QCOMPARE(readBack(path, Format::CandumpLog), expected(Format::CandumpLog, kept));
}

void tst_Recorder::closingTheWindowCompletesTheFile()
{
    const QString path = pathFor(Format::Asc, QStringLiteral("closed"));
    const QList<CanMessage> messages = frameMix(0, 14);
    {
        MainWindow window;
        startFromMenu(&window, path, 1);
        feed(messages);
    }
    QCOMPARE(readBack(path, Format::Asc), expected(Format::Asc, messages));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().trimmed().endsWith("End TriggerBlock"));
}

QTEST_MAIN(tst_Recorder)
#include "tst_recorder.moc"
