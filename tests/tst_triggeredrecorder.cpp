#include "device/handlethread.h"
#include "filter/framefilter.h"
#include "traceformats/tracefile.h"
#include "tracemenu/triggeredrecorder.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using End = TriggeredRecorder::End;
Q_DECLARE_METATYPE(End)
using Span = QPair<int, int>;

namespace {

const qint64 startUs = 1796660000000000LL;
constexpr qint64 stepUs = 100000; // ten frames a second
constexpr int triggerId = 0x7E0;
constexpr int stopId = 0x7E1;

// Frame `sequence` carries its number in the data and comes stepUs after the one before.
CanMessage message(int sequence, quint32 id)
{
    CanMessage msg;
    msg.id = id;
    msg.dlc = 8;
    msg.data = QByteArray(8, '\0');
    qToLittleEndian<qint64>(sequence, msg.data.data());
    msg.timestampUs = startUs + sequence * stepUs;
    return msg;
}

// The sequence numbers a file holds, as first and last, or (-1, -1) when they have a gap
// or are out of order.
Span spanOf(const QString &path)
{
    std::string error;
    auto reader = trace::Reader::open(QFile::encodeName(path).toStdString(),
                                      trace::formatForFile(QFile::encodeName(path)
                                                                   .toStdString()),
                                      &error);
    if (!reader)
        return { -2, -2 };
    trace::Frame frame;
    int first = -1;
    int last = -1;
    while (reader->next(frame)) {
        const int sequence = int(qFromLittleEndian<qint64>(frame.data));
        if (first < 0)
            first = sequence;
        else if (sequence != last + 1)
            return { -1, -1 };
        last = sequence;
    }
    return { first, last };
}

// FD frames of every length beyond 8 in turn, 1 ms apart, their number in their first
// bytes; the trigger frame is the only one with 0x55 in byte 40, the stop frame the only
// one with BRS and 0xAA in byte 63.
constexpr qint64 fdStepUs = 1000;
constexpr int fdTrigger = 5000;
constexpr int fdStopWithoutBrs = 5200;
constexpr int fdStop = 5500;

CanMessage fdMessage(int sequence)
{
    static const int lengths[] = { 12, 16, 20, 24, 32, 48, 64 };
    const bool marked = sequence == fdTrigger || sequence == fdStopWithoutBrs
            || sequence == fdStop;
    const int length = marked ? 64 : lengths[sequence % 7];
    CanMessage msg;
    msg.fd = true;
    msg.id = sequence == fdTrigger ? triggerId : quint32(0x100 + sequence % 0x80);
    msg.extended = sequence % 5 == 0;
    msg.dlc = length;
    msg.data = QByteArray(length, '\0');
    for (int i = 8; i < length; ++i)
        msg.data[i] = char(sequence * 7 + i * 13);
    qToLittleEndian<qint64>(sequence, msg.data.data());
    if (length > 40)
        msg.data[40] = sequence == fdTrigger ? 0x55 : 0x40;
    if (length == 64)
        msg.data[63] = char(sequence == fdStop || sequence == fdStopWithoutBrs ? 0xAA : 0x63);
    msg.brs = sequence == fdStop || (sequence != fdStopWithoutBrs && sequence % 2 == 1);
    msg.esi = sequence % 3 == 0;
    msg.timestampUs = startUs + sequence * fdStepUs;
    return msg;
}

// The sequence numbers of a file of fdMessage() frames, or (-1, -1) when one is not the
// frame sent under its number, bit for bit, or they have a gap.
Span fdSpanOf(const QString &path)
{
    std::string error;
    const std::string name = QFile::encodeName(path).toStdString();
    auto reader = trace::Reader::open(name, trace::formatForFile(name), &error);
    if (!reader)
        return { -2, -2 };
    trace::Frame frame;
    int first = -1;
    int last = -1;
    while (reader->next(frame)) {
        const int sequence = int(qFromLittleEndian<qint64>(frame.data));
        const CanMessage sent = fdMessage(sequence);
        const bool same = frame.id == sent.id && frame.extended == sent.extended
                && frame.fd && frame.brs == sent.brs && frame.esi == sent.esi
                && frame.dlc == sent.dlc && !frame.remote && !frame.error
                && QByteArray(reinterpret_cast<const char *>(frame.data), frame.dlc)
                        == sent.data;
        if (!same || (first >= 0 && sequence != last + 1))
            return { -1, -1 };
        if (first < 0)
            first = sequence;
        last = sequence;
    }
    return { first, last };
}

} // namespace

class tst_TriggeredRecorder : public QObject
{
    Q_OBJECT

private slots:
    void fileHoldsTheTimeBeforeAndAfter_data();
    void fileHoldsTheTimeBeforeAndAfter();
    void fdFramesComeOutWhole_data();
    void fdFramesComeOutWhole();
};

void tst_TriggeredRecorder::fileHoldsTheTimeBeforeAndAfter_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("beforeSeconds");
    QTest::addColumn<End>("end");
    QTest::addColumn<int>("afterSeconds");
    QTest::addColumn<bool>("rearm");
    QTest::addColumn<QList<int>>("triggers");
    QTest::addColumn<QList<int>>("stops");
    QTest::addColumn<QList<Span>>("files");

    // Frames 0 to 199, ten a second; 5 s before frame 100 is frame 50.
    QTest::newRow("5 s before, until stopped")
            << "t.log" << 5 << End::Manual << 0 << false << QList<int>{ 100 } << QList<int>{}
            << QList<Span>{ { 50, 199 } };
    QTest::newRow("stop expression, written too")
            << "t.blf" << 5 << End::StopExpression << 0 << false << QList<int>{ 100 }
            << QList<int>{ 130 } << QList<Span>{ { 50, 130 } };
    QTest::newRow("2 s after the trigger")
            << "t.asc" << 5 << End::Seconds << 2 << false << QList<int>{ 100 } << QList<int>{}
            << QList<Span>{ { 50, 119 } };
    QTest::newRow("nothing before") << "t.log" << 0 << End::StopExpression << 0 << false
                                    << QList<int>{ 100 } << QList<int>{ 105 }
                                    << QList<Span>{ { 100, 105 } };
    QTest::newRow("trigger before the ring fills")
            << "t.pcap" << 60 << End::StopExpression << 0 << false << QList<int>{ 20 }
            << QList<int>{ 30 } << QList<Span>{ { 0, 30 } };
    // Between two files the frames wait in the ring: the second file's second before its
    // trigger is whole although the first file was still being closed.
    QTest::newRow("armed again after each file")
            << "t.log" << 1 << End::StopExpression << 0 << true << QList<int>{ 100, 160 }
            << QList<int>{ 130, 190 } << QList<Span>{ { 90, 130 }, { 150, 190 } };
    QTest::newRow("a second trigger within a file is a frame")
            << "t.log" << 1 << End::StopExpression << 0 << false << QList<int>{ 100, 120 }
            << QList<int>{ 130, 190 } << QList<Span>{ { 90, 130 } };
}

void tst_TriggeredRecorder::fileHoldsTheTimeBeforeAndAfter()
{
    QFETCH(QString, name);
    QFETCH(int, beforeSeconds);
    QFETCH(End, end);
    QFETCH(int, afterSeconds);
    QFETCH(bool, rearm);
    QFETCH(QList<int>, triggers);
    QFETCH(QList<int>, stops);
    QFETCH(QList<Span>, files);

    QTemporaryDir dir;
    TriggeredRecorder recorder;
    TriggeredRecorder::Options options;
    options.start = FrameFilter::compile(QStringLiteral("id == 0x7E0"), nullptr);
    options.stop = FrameFilter::compile(QStringLiteral("id == 0x7e1"), nullptr);
    options.beforeSeconds = beforeSeconds;
    options.end = end;
    options.afterSeconds = afterSeconds;
    options.rearm = rearm;
    options.path = dir.filePath(name);
    options.format = trace::formatForPath(name.toStdString());
    QString error;
    QVERIFY2(recorder.start(options, &error), qPrintable(error));
    QCOMPARE(recorder.state(), TriggeredRecorder::State::Waiting);

    HandleThread *hub = HandleThread::instance();
    for (int i = 0; i < 200; ++i) {
        const bool stop = stops.contains(i);
        hub->receiveDataSlot(message(i, triggers.contains(i) ? triggerId
                                                             : stop ? stopId : 0x100));
        // A refused write is no frame of the bus.
        CanMessage refused = message(i, 0x100);
        refused.direction = 1;
        refused.success = false;
        hub->sendDataSlot(refused);
        if (stop && rearm)
            QTRY_COMPARE(recorder.state(), TriggeredRecorder::State::Waiting);
    }
    QVERIFY(recorder.stop());
    QCOMPARE(recorder.state(), TriggeredRecorder::State::Idle);
    QCOMPARE(recorder.filesCompleted(), files.size());
    QCOMPARE(recorder.framesLost(), quint64(0));
    for (int i = 0; i < files.size(); ++i)
        QCOMPARE(spanOf(TriggeredRecorder::numberedPath(options.path, i + 1)), files.at(i));
    QVERIFY(!QFile::exists(TriggeredRecorder::numberedPath(options.path, files.size() + 1)));
    hub->takeMessages();
}

void tst_TriggeredRecorder::fdFramesComeOutWhole_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("start");

    // 2 s before the trigger are 2,000 frames, whose bytes beyond the eighth span more
    // than a block of the ring's store, so the ring lets go of blocks before the trigger.
    QTest::newRow("candump log, trigger by identifier") << "t.log" << "id == 0x7E0";
    QTest::newRow("BLF, trigger on byte 40") << "t.blf" << "fd && data[40] == 0x55";
    QTest::newRow("ASC, trigger on byte 40") << "t.asc" << "data[40] == 0x55";
    QTest::newRow("pcap, trigger by identifier") << "t.pcap" << "id == 0x7E0 && fd";
}

void tst_TriggeredRecorder::fdFramesComeOutWhole()
{
    QFETCH(QString, name);
    QFETCH(QString, start);

    QTemporaryDir dir;
    TriggeredRecorder recorder;
    TriggeredRecorder::Options options;
    QString error;
    options.start = FrameFilter::compile(start, nullptr, &error);
    QVERIFY2(options.start.isValid(), qPrintable(error));
    options.stop = FrameFilter::compile(QStringLiteral("brs && data[63] == 0xAA"), nullptr);
    options.beforeSeconds = 2;
    options.end = End::StopExpression;
    options.path = dir.filePath(name);
    options.format = trace::formatForPath(name.toStdString());
    QVERIFY2(recorder.start(options, &error), qPrintable(error));

    HandleThread *hub = HandleThread::instance();
    for (int i = 0; i < 6000; ++i)
        hub->receiveDataSlot(fdMessage(i));
    QVERIFY(recorder.stop());
    QCOMPARE(recorder.filesCompleted(), 1);
    QCOMPARE(recorder.framesLost(), quint64(0));
    const int firstBefore = fdTrigger - int(2000000 / fdStepUs);
    QCOMPARE(fdSpanOf(TriggeredRecorder::numberedPath(options.path, 1)),
             Span(firstBefore, fdStop));
    hub->takeMessages();
}

QTEST_GUILESS_MAIN(tst_TriggeredRecorder)
#include "tst_triggeredrecorder.moc"
