#include "monitor/csvexport.h"
#include "monitor/framelogmodel.h"
#include "tracemenu/tracesave.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>
#include <sys/resource.h>

// What both kinds of snapshot file share: a write that fails once the file exists.
class tst_SnapshotWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void failedWriteLeavesNoFile_data();
    void failedWriteLeavesNoFile();

private:
    rlimit fileSizeLimit {};
};

void tst_SnapshotWriter::initTestCase()
{
    qRegisterMetaType<SnapshotWriter::Outcome>();
    // Past the limit a write fails with EFBIG instead of the signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &fileSizeLimit), 0);
}

void tst_SnapshotWriter::init()
{
    // A disk that fills up after the first 64 KiB of a file.
    rlimit full = fileSizeLimit;
    full.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &full), 0);
}

void tst_SnapshotWriter::cleanup()
{
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &fileSizeLimit), 0);
}

void tst_SnapshotWriter::failedWriteLeavesNoFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("rows");

    QTest::newRow("csv, written at once") << "t.csv" << FrameLogExport::inlineRows;
    QTest::newRow("csv, on a thread") << "t.csv" << 200000;
    QTest::newRow("candump log") << "t.log" << 200000;
    QTest::newRow("asc") << "t.asc" << 200000;
    QTest::newRow("pcap") << "t.pcap" << 200000;
    QTest::newRow("blf") << "t.blf" << 200000;
}

void tst_SnapshotWriter::failedWriteLeavesNoFile()
{
    QFETCH(QString, name);
    QFETCH(int, rows);

    QVector<CanMessage> messages(rows);
    for (int i = 0; i < rows; ++i) {
        CanMessage &m = messages[i];
        m.id = quint32(i * 7919) & 0x7ff;
        for (int b = 0; b < 8; ++b)
            m.data.append(char(i * 31 + b * 131));
        m.dlc = 8;
        m.time = QTime(0, 0).addMSecs(i);
        m.timestampUs = 1700000000000000 + qint64(i) * 997;
    }
    FrameLogModel model;
    model.appendMessages(messages, 0, -1);

    QTemporaryDir dir;
    QString path = dir.filePath(name);
    const trace::Format format = traceSaveFormat(&path, QString());
    std::unique_ptr<SnapshotWriter> job;
    if (format == trace::Format::Unknown)
        job = std::make_unique<FrameLogExport>(model.snapshot(rows), rows, path);
    else
        job = std::make_unique<TraceSave>(model.snapshot(rows), path, format);
    QSignalSpy finished(job.get(), &SnapshotWriter::finished);
    job->start();
    QVERIFY(finished.count() == 1 || finished.wait(60000));
    QCOMPARE(finished.at(0).at(0).value<SnapshotWriter::Outcome>(), SnapshotWriter::Failed);
    QVERIFY(QDir(dir.path()).isEmpty());
    if (auto save = qobject_cast<TraceSave *>(job.get()))
        QVERIFY(!save->errorText().isEmpty());
}

QTEST_GUILESS_MAIN(tst_SnapshotWriter)
#include "tst_snapshotwriter.moc"
