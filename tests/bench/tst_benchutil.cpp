#include "bench/benchutil.h"

#include <QTimer>
#include <QtTest>

#include <cstring>
#include <vector>

#include <sys/mman.h>

using namespace BenchUtil;

Q_DECLARE_METATYPE(std::vector<double>)

class tst_BenchUtil : public QObject
{
    Q_OBJECT

private slots:
    void percentilesOfSample_data();
    void percentilesOfSample();
    void rankOfSortedSample_data();
    void rankOfSortedSample();
    void waitUntilReportsCondition_data();
    void waitUntilReportsCondition();
    void threadClocks();
    void residentMemoryFollowsTouchedPages();
};

void tst_BenchUtil::percentilesOfSample_data()
{
    QTest::addColumn<std::vector<double>>("values");
    QTest::addColumn<double>("p50");
    QTest::addColumn<double>("p99");
    QTest::addColumn<double>("max");

    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    std::vector<double> thousand;
    for (int i = 1; i <= 1000; ++i)
        thousand.push_back(i);

    QTest::newRow("empty") << std::vector<double>{} << 0.0 << 0.0 << 0.0;
    QTest::newRow("one value") << std::vector<double>{ 7.5 } << 7.5 << 7.5 << 7.5;
    QTest::newRow("two values, unsorted") << std::vector<double>{ 9, 1 } << 1.0 << 9.0 << 9.0;
    QTest::newRow("1..100 descending") << hundred << 50.0 << 99.0 << 100.0;
    QTest::newRow("1..1000") << thousand << 500.0 << 990.0 << 1000.0;
    QTest::newRow("all equal") << std::vector<double>(5, 3.0) << 3.0 << 3.0 << 3.0;
}

void tst_BenchUtil::percentilesOfSample()
{
    QFETCH(std::vector<double>, values);
    QFETCH(double, p50);
    QFETCH(double, p99);
    QFETCH(double, max);

    const Percentiles result = percentiles(values);
    QCOMPARE(result.p50, p50);
    QCOMPARE(result.p99, p99);
    QCOMPARE(result.max, max);
}

void tst_BenchUtil::rankOfSortedSample_data()
{
    QTest::addColumn<std::vector<double>>("sorted");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<double>("expected");

    const std::vector<double> four{ 1, 2, 3, 4 };
    QTest::newRow("empty") << std::vector<double>{} << 0.99 << 0.0;
    QTest::newRow("fraction 0 is the smallest") << four << 0.0 << 1.0;
    QTest::newRow("a quarter") << four << 0.25 << 1.0;
    QTest::newRow("just above a quarter") << four << 0.26 << 2.0;
    QTest::newRow("fraction 1 is the largest") << four << 1.0 << 4.0;
    QTest::newRow("beyond 1 stays the largest") << four << 1.5 << 4.0;
}

void tst_BenchUtil::rankOfSortedSample()
{
    QFETCH(std::vector<double>, sorted);
    QFETCH(double, fraction);
    QFETCH(double, expected);

    QCOMPARE(rankOf(sorted, fraction), expected);
}

void tst_BenchUtil::waitUntilReportsCondition_data()
{
    QTest::addColumn<int>("becomesTrueAfterMs");
    QTest::addColumn<bool>("expected");

    QTest::newRow("already true") << 0 << true;
    QTest::newRow("true later, within the timeout") << 20 << true;
    QTest::newRow("never true") << -1 << false;
}

void tst_BenchUtil::waitUntilReportsCondition()
{
    QFETCH(int, becomesTrueAfterMs);
    QFETCH(bool, expected);

    bool flag = becomesTrueAfterMs == 0;
    if (becomesTrueAfterMs > 0)
        QTimer::singleShot(becomesTrueAfterMs, this, [&flag] { flag = true; });
    const double timeoutSeconds = expected ? 60 : 0.05;
    QCOMPARE(waitUntil([&flag] { return flag; }, timeoutSeconds), expected);
}

void tst_BenchUtil::threadClocks()
{
    QCOMPARE(threadCpuSeconds(pthread_t()), 0.0);

    const double before = threadCpuSeconds(pthread_self());
    const double processBefore = processCpuSeconds();
    QVERIFY(before > 0);
    volatile double sink = 0;
    while (threadCpuSeconds(pthread_self()) <= before) {
        for (int i = 0; i < 100000; ++i)
            sink = sink + i;
    }
    QVERIFY(processCpuSeconds() > processBefore);
    QVERIFY(processCpuSeconds() >= threadCpuSeconds(pthread_self()));
}

void tst_BenchUtil::residentMemoryFollowsTouchedPages()
{
    QCOMPARE(statusMegabytes("NoSuchField"), 0.0);
    const double before = residentMegabytes();
    QVERIFY(before > 0);
    QVERIFY(peakResidentMegabytes() >= before);
    const bool reset = resetPeakResident();

    // Mapped directly: an allocator (or a sanitizer's quarantine) may keep freed memory.
    constexpr size_t megabytes = 64;
    constexpr size_t bytes = megabytes << 20;
    void *touched = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    QVERIFY(touched != MAP_FAILED);
    memset(touched, 1, bytes);
    const double grown = residentMegabytes();
    QVERIFY2(grown >= before + megabytes * 0.9, qPrintable(QString::number(grown)));
    QVERIFY(peakResidentMegabytes() >= grown);
    munmap(touched, bytes);
    QVERIFY(residentMegabytes() < grown - megabytes * 0.9);
    if (!reset)
        QSKIP("the kernel keeps the peak from the start");
    // A reset takes the peak back to the size of the moment, which no longer holds them.
    QVERIFY(resetPeakResident());
    QVERIFY(peakResidentMegabytes() < grown - megabytes * 0.9);
}

QTEST_GUILESS_MAIN(tst_BenchUtil)
#include "tst_benchutil.moc"
