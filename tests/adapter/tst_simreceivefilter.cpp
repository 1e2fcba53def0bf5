#include "canable/canable.h"

#include <QtTest>

#include <chrono>
#include <cstring>
#include <set>

namespace {

using Clock = std::chrono::steady_clock;

CanReceiveFilter term(uint32_t id, uint32_t mask, bool inverted = false)
{
    CanReceiveFilter filter = {};
    filter.id = id;
    filter.mask = mask;
    filter.inverted = inverted ? 1 : 0;
    return filter;
}

uint64_t sequenceOf(const CanFdFrameRecord &frame)
{
    uint64_t sequence = 0;
    for (int i = 7; i >= 0; --i)
        sequence = sequence << 8 | frame.data[i];
    return sequence;
}

// A device opened in FD mode is read through the FD call, as the listen thread does.
int readFrame(bool fd, CanFdFrameRecord *frame)
{
    if (fd)
        return canable_readMessageFD(0, frame);
    CanFrameRecord classic = {};
    const int result = canable_readMessage(0, &classic, 1);
    frame->id = classic.id;
    frame->len = classic.dlc;
    frame->flags = classic.extended ? CANABLE_FD_EXT : 0;
    std::memcpy(frame->data, classic.data, sizeof classic.data);
    return result;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<CanReceiveFilter>)

// The simulated bus's flood with sixteen identifiers, 0x100 to 0x10F in turn, read
// through the library's receive filter; an FD flood from a device opened in FD mode.
class tst_SimReceiveFilter : public QObject
{
    Q_OBJECT

private slots:
    void init() { canable_setReceiveFilter(0, nullptr, 0); }
    void cleanup()
    {
        canable_freeDLL(0);
        canable_setReceiveFilter(0, nullptr, 0);
    }
    void passingFramesOnly_data();
    void passingFramesOnly();
    void refusedTermsKeepTheFilter_data();
    void refusedTermsKeepTheFilter();
};

void tst_SimReceiveFilter::passingFramesOnly_data()
{
    QTest::addColumn<QByteArray>("traffic");
    QTest::addColumn<bool>("setBeforeOpen");
    QTest::addColumn<std::vector<CanReceiveFilter>>("filters");
    QTest::addColumn<QList<uint>>("ids");

    const QList<uint> all = { 0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107,
                              0x108, 0x109, 0x10A, 0x10B, 0x10C, 0x10D, 0x10E, 0x10F };
    for (const char *traffic : { "flood,ids=16", "flood:unlimited,ids=16",
                                 "flood,ids=16,fd,brs,dlc=64",
                                 "flood:unlimited,ids=16,fd,dlc=12" }) {
        const QByteArray name(traffic);
        QTest::newRow(name + ": none") << name << false << std::vector<CanReceiveFilter>()
                                       << all;
        QTest::newRow(name + ": one id") << name << false
                                         << std::vector<CanReceiveFilter>{ term(0x105, 0x7FF) }
                                         << QList<uint>{ 0x105 };
        QTest::newRow(name + ": set before the open")
                << name << true << std::vector<CanReceiveFilter>{ term(0x105, 0x7FF) }
                << QList<uint>{ 0x105 };
        QTest::newRow(name + ": a mask and an id")
                << name << false
                << std::vector<CanReceiveFilter>{ term(0x108, 0x7FC), term(0x101, 0x7FF) }
                << QList<uint>{ 0x101, 0x108, 0x109, 0x10A, 0x10B };
        QTest::newRow(name + ": inverted") << name << false
                                           << std::vector<CanReceiveFilter>{
                                                      term(0x100, 0x7F1, true) }
                                           << QList<uint>{ 0x101, 0x103, 0x105, 0x107, 0x109,
                                                           0x10B, 0x10D, 0x10F };
        QTest::newRow(name + ": extended only")
                << name << false
                << std::vector<CanReceiveFilter>{ term(CANABLE_FILTER_EXTENDED,
                                                       CANABLE_FILTER_EXTENDED) }
                << QList<uint>();
    }
}

void tst_SimReceiveFilter::passingFramesOnly()
{
    QFETCH(QByteArray, traffic);
    QFETCH(bool, setBeforeOpen);
    QFETCH(std::vector<CanReceiveFilter>, filters);
    QFETCH(QList<uint>, ids);

    const bool fd = traffic.contains(",fd");
    const int fdFlags = CANABLE_FD_FDF | CANABLE_FD_BRS;
    const int flags = !fd ? 0 : traffic.contains(",brs") ? fdFlags : int(CANABLE_FD_FDF);
    const int length = !fd ? 8 : traffic.contains("dlc=64") ? 64 : 12;
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", traffic);
    if (setBeforeOpen)
        QCOMPARE(canable_setReceiveFilter(0, filters.data(), int(filters.size())), 0);
    QCOMPARE(fd ? canable_initFD(0, 1000, 5000) : canable_initDLL(0, 1000), 0);
    if (!setBeforeOpen)
        QCOMPARE(canable_setReceiveFilter(0, filters.data(), int(filters.size())), 0);

    // Reads stay bounded even when nothing passes.
    const int wanted = ids.isEmpty() ? 0 : 20 * ids.size();
    std::set<uint> seen;
    int read = 0;
    uint64_t previous = 0;
    const Clock::time_point begin = Clock::now();
    const auto limit = ids.isEmpty() ? std::chrono::milliseconds(300)
                                     : std::chrono::milliseconds(20000);
    while (Clock::now() - begin < limit && (ids.isEmpty() || read < wanted)) {
        CanFdFrameRecord frame = {};
        const Clock::time_point before = Clock::now();
        const int result = readFrame(fd, &frame);
        QVERIFY(Clock::now() - before < std::chrono::milliseconds(500));
        if (result != 0)
            continue;
        QVERIFY2(ids.contains(frame.id), qPrintable(QString::number(frame.id, 16)));
        // A passing FD frame comes whole.
        QCOMPARE(frame.flags & fdFlags, flags);
        QCOMPARE(int(frame.len), length);
        // The flood's frame n has identifier 0x100 + n % 16, so nothing went missing
        // between two passing frames when their numbers step by the identifiers between.
        const uint64_t sequence = sequenceOf(frame);
        QCOMPARE(0x100 + sequence % 16, uint64_t(frame.id));
        if (read > 0 && ids.size() == 1)
            QCOMPARE(sequence - previous, uint64_t(16));
        previous = sequence;
        seen.insert(frame.id);
        ++read;
    }
    QCOMPARE(read, wanted);
    QCOMPARE(QList<uint>(seen.begin(), seen.end()), ids);
}

void tst_SimReceiveFilter::refusedTermsKeepTheFilter_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("nullList");

    QTest::newRow("negative count") << -1 << false;
    QTest::newRow("more than the maximum") << CANABLE_FILTER_MAX + 1 << false;
    QTest::newRow("no list") << 1 << true;
}

void tst_SimReceiveFilter::refusedTermsKeepTheFilter()
{
    QFETCH(int, count);
    QFETCH(bool, nullList);
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", "flood:unlimited,ids=16");
    QCOMPARE(canable_initDLL(0, 1000), 0);
    const CanReceiveFilter kept = term(0x10F, 0x7FF);
    QCOMPARE(canable_setReceiveFilter(0, &kept, 1), 0);
    std::vector<CanReceiveFilter> many(size_t(std::max(count, 1)), term(0x100, 0x7FF));
    QVERIFY(canable_setReceiveFilter(0, nullList ? nullptr : many.data(), count) != 0);
    QVERIFY(*canable_lastError() != '\0');
    for (int i = 0; i < 32; ++i) {
        CanFrameRecord frame = {};
        QCOMPARE(canable_readMessage(0, &frame, 1), 0);
        QCOMPARE(frame.id, 0x10Fu);
    }
}

QTEST_APPLESS_MAIN(tst_SimReceiveFilter)
#include "tst_simreceivefilter.moc"
