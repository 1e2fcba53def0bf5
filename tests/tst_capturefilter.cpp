#include "device/capturefilter.h"
#include "device/listenthread.h"
#include "tests/fake/fakecanable.h"

#include <QtTest>

namespace {

// "123" a standard data frame, "123x" a 29-bit identifier, "123r" a remote frame.
CanFrameRecord frameNamed(const QString &name)
{
    QString digits = name;
    const bool remote = digits.endsWith(QLatin1Char('r'));
    if (remote)
        digits.chop(1);
    const bool extended = digits.endsWith(QLatin1Char('x'));
    if (extended)
        digits.chop(1);
    return FakeCanable::record(digits.toUInt(nullptr, 16), remote ? QByteArray() : "\x01",
                               extended, remote);
}

QString passedOf(const CaptureFilter &filter, const QStringList &frames)
{
    QString passed;
    for (const QString &name : frames)
        passed += filter.passes(frameNamed(name)) ? QLatin1Char('1') : QLatin1Char('0');
    return passed;
}

} // namespace

class tst_CaptureFilter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void passes_data();
    void passes();
    void refused_data();
    void refused();
    void listenThreadDropsBeforeTheHub_data();
    void listenThreadDropsBeforeTheHub();
};

void tst_CaptureFilter::initTestCase()
{
    qRegisterMetaType<CanMessage>("CanMessage");
}

void tst_CaptureFilter::init()
{
    FakeCanable::reset();
    ListenThread::instance()->setCaptureFilter(CaptureFilter());
}

void tst_CaptureFilter::cleanup()
{
    ListenThread::instance()->closeDevice();
    ListenThread::instance()->setCaptureFilter(CaptureFilter());
}

void tst_CaptureFilter::passes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QString>("passed");

    const QStringList mixed = { "123", "124", "123x", "123r", "12345678x", "678" };
    QTest::newRow("none") << "" << mixed << "111111";
    QTest::newRow("0:0 takes all") << "0:0" << mixed << "111111";
    QTest::newRow("0~0 takes none") << "0~0" << mixed << "000000";
    // Without the format bit in the mask both formats pass alike, remote frames too.
    QTest::newRow("one id, any format") << "123:7FF" << mixed << "101100";
    QTest::newRow("full-width forms") << "１２３：７ＦＦ" << mixed << "101100";
    QTest::newRow("format and remote bits in the mask")
            << "123:C00007FF" << mixed << "100000";
    QTest::newRow("eight digits: extended")
            << "12345678:1FFFFFFF" << mixed << "000010";
    QTest::newRow("extended with the format bit")
            << "00000123:9FFFFFFF" << mixed << "001000";
    QTest::newRow("format bit alone: standard frames only")
            << "0:80000000" << mixed << "110101";
    QTest::newRow("inverted range") << "400~700" << QStringList{ "400", "4FF", "500", "123" }
                                    << "0011";
    QTest::newRow("any of several")
            << "100:7F0, 200:7FF" << QStringList{ "105", "10F", "110", "200", "201" }
            << "11010";
    QTest::newRow("spaces and lower case") << "  7ff:7ff ,\t0c4:7ff  "
                                           << QStringList{ "7FF", "0C4", "0C5" } << "110";
}

void tst_CaptureFilter::passes()
{
    QFETCH(QString, text);
    QFETCH(QStringList, frames);
    QFETCH(QString, passed);
    CaptureFilter filter;
    QString error;
    QVERIFY2(CaptureFilter::parse(text, &filter, &error, nullptr), qPrintable(error));
    QCOMPARE(filter.isSet(), !text.trimmed().isEmpty());
    QCOMPARE(passedOf(filter, frames), passed);
}

void tst_CaptureFilter::refused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("position");

    QTest::newRow("no mask") << "123" << 3;
    QTest::newRow("empty mask") << "123:" << 4;
    QTest::newRow("standard id too large") << "800:7FF" << 0;
    QTest::newRow("extended id too large") << "20000000:1FFFFFFF" << 0;
    QTest::newRow("nine digits") << "123:123456789" << 4;
    QTest::newRow("not hexadecimal") << "100:7FF, g:7FF" << 9;
    QTest::newRow("wrong separator") << "123:7FF;124:7FF" << 7;
    QTest::newRow("trailing comma") << "123:7FF," << 8;
    QTest::newRow("error frame mask") << "123:7FF,#FF" << 8;
}

void tst_CaptureFilter::refused()
{
    QFETCH(QString, text);
    QFETCH(int, position);
    CaptureFilter filter;
    QVERIFY(CaptureFilter::parse(QStringLiteral("7FF:7FF"), &filter, nullptr, nullptr));
    QString error;
    int at = -1;
    QVERIFY(!CaptureFilter::parse(text, &filter, &error, &at));
    QVERIFY(!error.isEmpty());
    QCOMPARE(at, position);
    // A refused text leaves the filter as it was.
    QCOMPARE(filter.text, QStringLiteral("7FF:7FF"));
    QCOMPARE(filter.terms.size(), 1);
}

void tst_CaptureFilter::listenThreadDropsBeforeTheHub_data()
{
    QTest::addColumn<bool>("libraryFilters");
    QTest::addColumn<bool>("setWhileOpen");

    QTest::newRow("library filters, set before the open") << true << false;
    QTest::newRow("library filters, set while open") << true << true;
    QTest::newRow("four calls, set before the open") << false << false;
    QTest::newRow("four calls, set while open") << false << true;
}

void tst_CaptureFilter::listenThreadDropsBeforeTheHub()
{
    QFETCH(bool, libraryFilters);
    QFETCH(bool, setWhileOpen);
    FakeCanable::installAdditionalCalls();
    if (!libraryFilters)
        adapterCalls().setReceiveFilter = nullptr;
    ListenThread *thread = ListenThread::instance();
    QList<CanMessage> received;
    QList<CanMessage> errors;
    connect(thread, &ListenThread::receiveMsgSignal, this,
            [&](const CanMessage &msg) { received.append(msg); });
    connect(thread, &ListenThread::errorEventSignal, this,
            [&](const CanMessage &msg) { errors.append(msg); });

    CaptureFilter filter;
    QVERIFY(CaptureFilter::parse(QStringLiteral("123:7FF, 00000200:1FFFFFFF"), &filter,
                                 nullptr, nullptr));
    if (setWhileOpen) {
        // The frame before the filter passes; the filter then holds from the next read.
        FakeCanable::queueFrame(frameNamed("7FF"));
        thread->openDevice(500);
        QTRY_COMPARE(received.size(), 1);
        thread->setCaptureFilter(filter);
        QTRY_COMPARE(FakeCanable::callCount("receiveFilter"), libraryFilters ? 2 : 0);
        received.clear();
    } else {
        thread->setCaptureFilter(filter);
    }
    FakeCanable::queueFrames({ frameNamed("100"), frameNamed("123"), frameNamed("200"),
                               frameNamed("200x"), frameNamed("123r"), frameNamed("124") });
    FakeCanable::queueErrorEvent(0x4, QByteArray(8, '\0'));
    FakeCanable::queueFrame(frameNamed("123x"));
    if (!setWhileOpen)
        thread->openDevice(500);
    QTRY_COMPARE(FakeCanable::pendingFrames(), 0);
    QTRY_COMPARE(received.size(), 5);
    QTRY_COMPARE(errors.size(), 1);
    QStringList ids;
    for (const CanMessage &msg : qAsConst(received))
        ids << QStringLiteral("%1%2%3").arg(msg.id, 0, 16).arg(msg.extended ? "x" : "")
                       .arg(msg.remote ? "r" : "");
    // The mask without the format bit lets the standard 200 through as well.
    QCOMPARE(ids, QStringList({ "123", "200", "200x", "123r", "123x" }));
    QCOMPARE(FakeCanable::callCount("receiveFilter") > 0, libraryFilters);
    thread->disconnect(this);
}

QTEST_GUILESS_MAIN(tst_CaptureFilter)
#include "tst_capturefilter.moc"
