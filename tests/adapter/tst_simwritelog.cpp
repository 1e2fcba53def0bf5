#include "canable/canable.h"

#include <QtTest>

#include <chrono>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

qint64 nanosecondsOf(Clock::time_point when)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch())
        .count();
}

int writeWithLength(uint8_t dlc)
{
    CanFrameRecord frame = {};
    frame.id = 0x123;
    frame.dlc = dlc;
    return canable_writeMessage(0, &frame);
}

} // namespace

class tst_SimWriteLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void acceptedWritesInOrder_data();
    void acceptedWritesInOrder();
    void savedWhenReopened();
    void nothingWithoutSetting();

private:
    QString logPath() const { return directory.filePath(QStringLiteral("writes.log")); }
    QList<qint64> savedTimes() const;

    QTemporaryDir directory;
};

void tst_SimWriteLog::init()
{
    QVERIFY(directory.isValid());
    QFile::remove(logPath());
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_WRITE_LOG", QFile::encodeName(logPath()));
}

void tst_SimWriteLog::cleanup()
{
    canable_freeDLL(0);
    qunsetenv("CANABLE_SIM_WRITE_LOG");
}

QList<qint64> tst_SimWriteLog::savedTimes() const
{
    QList<qint64> times;
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return times;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        bool ok = false;
        times.append(line.toLongLong(&ok));
        if (!ok)
            return {};
    }
    return times;
}

void tst_SimWriteLog::acceptedWritesInOrder_data()
{
    QTest::addColumn<QByteArray>("traffic");
    QTest::newRow("mix") << QByteArray("mix");
    QTest::newRow("flood") << QByteArray("flood:1000,dlc=2");
    QTest::newRow("unlimited") << QByteArray("flood:unlimited");
}

// Each saved time must lie within its own write call, so that a gap between two saved
// times is the gap between the writes; a refused write takes no line.
void tst_SimWriteLog::acceptedWritesInOrder()
{
    QFETCH(QByteArray, traffic);
    qputenv("CANABLE_SIM_TRAFFIC", traffic);
    QCOMPARE(canable_initDLL(0, 500), 0);

    std::vector<std::pair<qint64, qint64>> calls;
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(writeWithLength(9), 1);
        const Clock::time_point before = Clock::now();
        QCOMPARE(writeWithLength(uint8_t(i % 9)), 0);
        calls.emplace_back(nanosecondsOf(before), nanosecondsOf(Clock::now()));
        QTest::qSleep(2);
    }
    QVERIFY(!QFile::exists(logPath()));
    QCOMPARE(canable_freeDLL(0), 0);

    const QList<qint64> times = savedTimes();
    QCOMPARE(times.size(), int(calls.size()));
    for (int i = 0; i < times.size(); ++i) {
        QVERIFY2(times.at(i) >= calls[size_t(i)].first
                     && times.at(i) <= calls[size_t(i)].second,
                 qPrintable(QStringLiteral("write %1 saved outside its call").arg(i)));
    }
}

void tst_SimWriteLog::savedWhenReopened()
{
    qputenv("CANABLE_SIM_TRAFFIC", "mix");
    QCOMPARE(canable_initDLL(0, 1000), 0);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(writeWithLength(8), 0);
    QCOMPARE(canable_initDLL(0, 1000), 0);
    QCOMPARE(savedTimes().size(), 3);

    QCOMPARE(writeWithLength(8), 0);
    QCOMPARE(canable_freeDLL(0), 0);
    QCOMPARE(savedTimes().size(), 1);
}

void tst_SimWriteLog::nothingWithoutSetting()
{
    qunsetenv("CANABLE_SIM_WRITE_LOG");
    qputenv("CANABLE_SIM_TRAFFIC", "mix");
    QCOMPARE(canable_initDLL(0, 1000), 0);
    QCOMPARE(writeWithLength(8), 0);
    QCOMPARE(canable_freeDLL(0), 0);
    QVERIFY(!QFile::exists(logPath()));
}

QTEST_GUILESS_MAIN(tst_SimWriteLog)

#include "tst_simwritelog.moc"
