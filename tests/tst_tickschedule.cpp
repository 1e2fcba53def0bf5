#include "transmit/tickschedule.h"

#include <QtTest>

#include <limits>

class tst_TickSchedule : public QObject
{
    Q_OBJECT

private slots:
    void dueTimes_data();
    void dueTimes();
    void coarseWake_data();
    void coarseWake();
    void saturatesInsteadOfWrapping();
};

void tst_TickSchedule::dueTimes_data()
{
    QTest::addColumn<qint64>("startNs");
    QTest::addColumn<QList<int>>("intervalsMs");
    // The clock reading at which each tick is sent: late, early or on time.
    QTest::addColumn<QList<qint64>>("sentAtNs");
    QTest::addColumn<QList<qint64>>("dueNs");

    QTest::newRow("on time")
            << qint64(5000) << QList<int>{ 10, 10, 10 }
            << QList<qint64>{ 5000, 10005000, 20005000 }
            << QList<qint64>{ 10005000, 20005000, 30005000 };
    QTest::newRow("every tick 0.3 ms late does not drift")
            << qint64(0) << QList<int>{ 1, 1, 1, 1 }
            << QList<qint64>{ 300000, 1300000, 2300000, 3300000 }
            << QList<qint64>{ 1000000, 2000000, 3000000, 4000000 };
    QTest::newRow("one tick 25 ms late shifts none after it")
            << qint64(0) << QList<int>{ 10, 10, 10, 10 }
            << QList<qint64>{ 0, 35000000, 35100000, 30000000 }
            << QList<qint64>{ 10000000, 20000000, 30000000, 40000000 };
    QTest::newRow("intervals of their own entries add up")
            << qint64(7) << QList<int>{ 20, 30, 0, 5 }
            << QList<qint64>{ 7, 20000007, 50000007, 50000007 }
            << QList<qint64>{ 20000007, 50000007, 50000007, 55000007 };
    QTest::newRow("negative interval is back to back")
            << qint64(100) << QList<int>{ -5, 2 }
            << QList<qint64>{ 100, 100 }
            << QList<qint64>{ 100, 2000100 };
    QTest::newRow("longest interval")
            << qint64(0) << QList<int>{ 3600000, 3600000 }
            << QList<qint64>{ 0, 3600000000000 }
            << QList<qint64>{ 3600000000000, 7200000000000 };
}

void tst_TickSchedule::dueTimes()
{
    QFETCH(qint64, startNs);
    QFETCH(QList<int>, intervalsMs);
    QFETCH(QList<qint64>, sentAtNs);
    QFETCH(QList<qint64>, dueNs);

    qint64 now = startNs;
    TickSchedule schedule([&now] { return now; });
    schedule.start();
    QCOMPARE(schedule.startNs(), startNs);
    QCOMPARE(schedule.dueNs(), startNs);
    for (int tick = 0; tick < intervalsMs.size(); ++tick) {
        now = sentAtNs.at(tick);
        schedule.advance(intervalsMs.at(tick));
        QCOMPARE(schedule.dueNs(), dueNs.at(tick));
        QCOMPARE(schedule.remainingNs(), dueNs.at(tick) - now);
    }
}

void tst_TickSchedule::coarseWake_data()
{
    QTest::addColumn<qint64>("nowNs");
    QTest::addColumn<qint64>("wakeNs");

    QTest::newRow("far ahead: precision before the due time") << qint64(0) << qint64(9000000);
    QTest::newRow("just inside the precision: now") << qint64(9500000) << qint64(9500000);
    QTest::newRow("overdue: now") << qint64(12000000) << qint64(12000000);
}

void tst_TickSchedule::coarseWake()
{
    QFETCH(qint64, nowNs);
    QFETCH(qint64, wakeNs);

    qint64 now = 0;
    TickSchedule schedule([&now] { return now; });
    schedule.start();
    schedule.advance(10);
    now = nowNs;
    QCOMPARE(schedule.coarseWakeNs(1000000), wakeNs);
}

void tst_TickSchedule::saturatesInsteadOfWrapping()
{
    const qint64 latest = std::numeric_limits<qint64>::max();
    qint64 now = latest - 1000;
    TickSchedule schedule([&now] { return now; });
    schedule.start();
    schedule.advance(std::numeric_limits<int>::max());
    QCOMPARE(schedule.dueNs(), latest);
    schedule.advance(1);
    QCOMPARE(schedule.dueNs(), latest);
    QVERIFY(schedule.remainingNs() > 0);
}

QTEST_APPLESS_MAIN(tst_TickSchedule)

#include "tst_tickschedule.moc"
