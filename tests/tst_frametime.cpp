#include "device/frametime.h"

#include <QtTest>

#include <thread>

class tst_FrameTime : public QObject
{
    Q_OBJECT

private slots:
    void matchesTimeOfDay_data();
    void matchesTimeOfDay();
};

void tst_FrameTime::matchesTimeOfDay_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::newRow("UTC") << QByteArray("UTC0");
    QTest::newRow("east of UTC") << QByteArray("CST-8");
    QTest::newRow("west of UTC, half hour") << QByteArray("NST3:30");
}

// Every stamp lies between two readings of the toolkit's own time of day taken around it,
// in this thread and in a new one, once a second has passed since the zone changed (the
// offset is taken afresh once a second).
void tst_FrameTime::matchesTimeOfDay()
{
    QFETCH(QByteArray, zone);
    qputenv("TZ", zone);
    tzset();

    const auto check = [](int *failures) {
        QElapsedTimer elapsed;
        elapsed.start();
        while (elapsed.elapsed() < 2300) {
            const QTime before = QTime::currentTime();
            const QTime stamp = currentFrameTime();
            const QTime after = QTime::currentTime();
            if (after < before || elapsed.elapsed() < 1050)
                continue; // midnight passed between the readings, or the zone is too new
            if (stamp < before || stamp > after)
                ++*failures;
        }
    };
    int failures = 0;
    int threadFailures = 0;
    std::thread other(check, &threadFailures);
    check(&failures);
    other.join();
    QCOMPARE(failures, 0);
    QCOMPARE(threadFailures, 0);
}

QTEST_GUILESS_MAIN(tst_FrameTime)
#include "tst_frametime.moc"
