// Measures opening and saving long traces the way a user does, in the real main window,
// offscreen: N frames (mixed standard and extended identifiers, some remote, received and
// sent, lengths 0 to 8, rising microsecond times) are written per format with the trace
// writers, then each file is opened through "打开记录…" with the row limit raised to hold
// every frame. For each open: the time from the dialog's answer to the window's report,
// the peak and the final resident size, the frames loaded and skipped, and every row
// compared with what was written. Beside each open, the trace library's own read of the
// same file (a plain loop over its frames), and the CPU the open cost the GUI thread and
// the whole process, which tell the program's work apart from a busy machine's waiting.
// Then the table's rows are saved through "保存记录…" in
// every format, all N and then the last R of them, and each file is read back and
// compared. A 5 ms timer on the GUI thread records its longest gap during each.
//
// Usage: bench_traceopen [--frames N] [--formats pcap,blf,log,asc] [--save-rows R,...]
//                        [--save-formats log,asc,pcap,blf] [--dir DIR]
// The exit status is 1 when a frame loaded or saved differs from the one written, is
// missing or out of order, or an open or a save fails.

#include "app/mainwindow.h"
#include "bench/benchutil.h"
#include "device/handlethread.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"
#include "traceformats/tracefile.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include <malloc.h>

namespace {

using namespace BenchUtil;

constexpr qint64 baseUs = 1765000000000000;
// Targets for opening 10,000,000 frames.
constexpr double targetMegabytes = 600;

double targetSeconds(trace::Format format)
{
    switch (format) {
    case trace::Format::Pcap:
        return 1.0;
    case trace::Format::Blf:
        return 1.8;
    case trace::Format::CandumpLog:
        return 2.5;
    default:
        return 4.0;
    }
}

// The library alone: every frame of the file read in a plain loop.
void libraryRead(const QString &path, trace::Format format)
{
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    std::string error;
    auto reader = trace::Reader::open(QFile::encodeName(path).toStdString(), format, &error);
    qint64 frames = 0;
    trace::Frame frame;
    while (reader && reader->next(frame))
        ++frames;
    std::printf("read  %-4s %lld frames by the trace library alone: %.2f s, %.2f s CPU\n",
                trace::extensionOf(format), static_cast<long long>(frames), secondsOf(clock),
                cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore);
}

// Frame i of the generated trace, a function of i alone so that nothing needs keeping.
trace::Frame frameAt(qint64 i)
{
    trace::Frame f;
    const auto n = quint32(i);
    f.extended = i % 3 == 1;
    f.remote = i % 17 == 5;
    f.tx = i % 5 == 2;
    f.dlc = uint8_t(i % 9);
    f.id = f.extended ? (n * 2654435761u) & 0x1fffffffu : (n * 31u) & 0x7ffu;
    if (!f.remote) {
        for (int k = 0; k < f.dlc; ++k)
            f.data[k] = uint8_t((n >> (8 * (k % 4))) + 0x11 * k);
    }
    // Strictly rising: the step outweighs the jitter.
    f.timestampUs = baseUs + i * 37 + qint64((n * 7919u) % 23u);
    return f;
}

// What differs between the frame as written and as found, empty when nothing does.
QString difference(const trace::Frame &want, const trace::Frame &got, bool keepsDirection)
{
    QStringList what;
    if (got.id != want.id)
        what << QStringLiteral("id %1 for %2").arg(got.id, 0, 16).arg(want.id, 0, 16);
    if (got.extended != want.extended)
        what << QStringLiteral("extended");
    if (got.remote != want.remote)
        what << QStringLiteral("remote");
    if (got.error)
        what << QStringLiteral("error");
    if (got.dlc != want.dlc)
        what << QStringLiteral("dlc %1 for %2").arg(got.dlc).arg(want.dlc);
    if (std::memcmp(got.data, want.data, sizeof want.data) != 0)
        what << QStringLiteral("data");
    if (got.timestampUs != want.timestampUs)
        what << QStringLiteral("time %1 for %2").arg(got.timestampUs).arg(want.timestampUs);
    if (got.tx != (keepsDirection && want.tx))
        what << QStringLiteral("direction");
    return what.join(QStringLiteral(", "));
}

trace::Frame frameOf(const CanMessage &m)
{
    trace::Frame f;
    f.id = m.id;
    f.extended = m.extended;
    f.remote = m.remote;
    f.error = m.error;
    f.dlc = uint8_t(m.dlc);
    std::memcpy(f.data, m.data.constData(), size_t(std::min(m.data.size(), 8)));
    f.tx = m.direction == 1;
    f.timestampUs = m.timestampUs;
    return f;
}

trace::Format formatNamed(const QString &name)
{
    return trace::formatForPath(("x." + name).toStdString());
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readAll().split(' ').value(0).toDouble();
}

class Bench
{
public:
    Bench(qint64 frames, const QString &dir) : frames(frames), dir(dir)
    {
        window.resize(1280, 720);
        window.show();
        limitEdit()->setText(QString::number(frames));
        QMetaObject::invokeMethod(&window, "on_txtMaxRowCount_editingFinished");
        status = window.findChild<QLabel *>(QStringLiteral("lblMessage"));
    }

    bool write(const QString &path, trace::Format format)
    {
        QElapsedTimer clock;
        clock.start();
        std::string error;
        auto writer = trace::Writer::create(QFile::encodeName(path).toStdString(), format,
                                            &error);
        bool ok = writer != nullptr;
        for (qint64 i = 0; ok && i < frames; ++i)
            ok = writer->write(frameAt(i));
        ok = ok && writer->close();
        if (!ok)
            std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path),
                         writer ? writer->error().c_str() : error.c_str());
        std::printf("write %-4s %lld frames: %.1f s, %.1f MB\n", trace::extensionOf(format),
                    static_cast<long long>(frames), secondsOf(clock),
                    double(QFileInfo(path).size()) / 1e6);
        return ok;
    }

    bool open(const QString &path, trace::Format format)
    {
        // Rows of an earlier open are given back first, as they would be on a long-running
        // desktop; the peak then belongs to this open alone.
        window.findChild<QPushButton *>(QStringLiteral("btnClear"))->click();
        waitUntil([] { return false; }, 0.3);
        malloc_trim(0);
        const double before = residentMegabytes();
        const bool peakReset = resetPeakResident();
        QElapsedTimer clock;
        const double guiCpuBefore = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const double cpuBefore = processCpuSeconds();
        if (!answer("actionOpenTrace", path, &clock))
            return false;
        const bool ended = waitUntil([this] { return reported(QStringLiteral("已打开"))
                                                     || reported(QStringLiteral("打开记录")); },
                                     3600);
        const double seconds = secondsOf(clock);
        const double guiCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - guiCpuBefore;
        const double cpu = processCpuSeconds() - cpuBefore;
        const double gapMs = heartbeat.stop();
        const double peak = peakResidentMegabytes();
        const double after = residentMegabytes();
        const QString text = status->text();
        const qint64 skipped = QRegularExpression(QStringLiteral("跳过 (\\d+) 条"))
                                       .match(text).captured(1).toLongLong();
        const int rows = receiveModel->rowCount();
        const bool keepsDirection = format != trace::Format::Pcap;
        tableKeepsDirection = keepsDirection;
        QString wrong;
        if (!ended || !text.startsWith(QStringLiteral("已打开")))
            wrong = QStringLiteral("the window said: ") + text;
        else if (rows != frames)
            wrong = QStringLiteral("%1 rows for %2 frames").arg(rows).arg(frames);
        // Every row, in order: frame i of the file is row i of the table.
        for (int row = 0; wrong.isEmpty() && row < rows; ++row) {
            const QString diff = difference(frameAt(row), frameOf(receiveModel->message(row)),
                                            keepsDirection);
            if (!diff.isEmpty())
                wrong = QStringLiteral("row %1: %2").arg(row).arg(diff);
        }
        std::printf("open  %-4s %lld frames: %.2f s (CPU: %.2f s GUI thread, %.2f s process), "
                    "longest GUI gap %.0f ms, peak resident "
                    "%.0f MB%s (%.0f MB before, %.0f MB after), %d rows loaded, %lld skipped, "
                    "%s%s\n",
                    trace::extensionOf(format), static_cast<long long>(frames), seconds, guiCpu,
                    cpu, gapMs,
                    peak, peakReset ? "" : " since the start", before, after, rows,
                    static_cast<long long>(skipped),
                    wrong.isEmpty() ? "every row equal" : "MISMATCH: ",
                    qPrintable(wrong));
        if (frames >= 10000000
            && (seconds > targetSeconds(format) || peak >= targetMegabytes || gapMs > 100))
            std::printf("      target of %.1f s, %.0f MB and 100 ms missed\n",
                        targetSeconds(format), targetMegabytes);
        std::fflush(stdout);
        return wrong.isEmpty();
    }

    // Saves the last `rows` rows of the table (the row limit trims the rest) and reads the
    // file back.
    bool save(int rows, trace::Format format)
    {
        if (receiveModel->rowCount() > rows) {
            limitEdit()->setText(QString::number(rows));
            QMetaObject::invokeMethod(&window, "on_txtMaxRowCount_editingFinished");
        }
        const int held = receiveModel->rowCount();
        const qint64 first = frames - held;
        const QString path = QDir(dir).filePath(QStringLiteral("saved.%1")
                                                        .arg(trace::extensionOf(format)));
        QElapsedTimer clock;
        if (!answer("actionSaveTrace", path, &clock))
            return false;
        const bool ended = waitUntil([this] { return reported(QStringLiteral("已保存"))
                                                     || reported(QStringLiteral("保存记录")); },
                                     3600);
        const double seconds = secondsOf(clock);
        const double gapMs = heartbeat.stop();
        QString wrong;
        if (!ended || !status->text().startsWith(QStringLiteral("已保存")))
            wrong = QStringLiteral("the window said: ") + status->text();
        QElapsedTimer readClock;
        readClock.start();
        qint64 found = 0;
        if (wrong.isEmpty()) {
            std::string error;
            auto reader = trace::Reader::open(QFile::encodeName(path).toStdString(), format,
                                              &error);
            trace::Frame frame;
            const bool keepsDirection = tableKeepsDirection && format != trace::Format::Pcap;
            while (reader && wrong.isEmpty() && reader->next(frame)) {
                const QString diff = difference(frameAt(first + found), frame, keepsDirection);
                if (!diff.isEmpty())
                    wrong = QStringLiteral("frame %1: %2").arg(found).arg(diff);
                ++found;
            }
            if (!reader)
                wrong = QString::fromStdString(error);
            else if (wrong.isEmpty() && (found != held || reader->skipped() != 0))
                wrong = QStringLiteral("%1 frames read back, %2 skipped, for %3 rows")
                                .arg(found).arg(reader->skipped()).arg(held);
        }
        std::printf("save  %-4s %d rows: %.2f s, longest GUI gap %.0f ms, %.1f MB (%.0f "
                    "frames/s); read back in %.1f s, %s%s\n",
                    trace::extensionOf(format), held, seconds, gapMs,
                    double(QFileInfo(path).size()) / 1e6, held / std::max(seconds, 1e-9),
                    secondsOf(readClock), wrong.isEmpty() ? "every frame equal" : "MISMATCH: ",
                    qPrintable(wrong));
        std::fflush(stdout);
        QFile::remove(path);
        return wrong.isEmpty();
    }

private:
    QLineEdit *limitEdit()
    {
        return window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    }

    bool reported(const QString &start) const { return status->text().startsWith(start); }

    // Triggers a menu action and answers its file dialog with `path`; the clock and the
    // heartbeat start at the answer.
    bool answer(const char *action, const QString &path, QElapsedTimer *clock)
    {
        status->clear();
        bool answered = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog || answered)
                return;
            answered = true;
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
            clock->start();
            heartbeat.start();
            static_cast<QDialog *>(dialog)->accept();
        });
        poll.start(10);
        window.findChild<QAction *>(QLatin1String(action))->trigger();
        if (!answered)
            std::fprintf(stderr, "no file dialog for %s\n", action);
        return answered;
    }

    const qint64 frames;
    const QString dir;
    MainWindow window;
    Heartbeat heartbeat;
    QLabel *status = nullptr;
    bool tableKeepsDirection = true;
};

// The offscreen platform's word on each dialog is no news.
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.contains(QLatin1String("propagateSizeHints")))
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietHandler);
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption framesOption(QStringLiteral("frames"),
                                          QStringLiteral("Frames per file (10000000)."),
                                          QStringLiteral("N"), QStringLiteral("10000000"));
    const QCommandLineOption formatsOption(
            QStringLiteral("formats"), QStringLiteral("Formats to open (pcap,blf,log,asc)."),
            QStringLiteral("LIST"), QStringLiteral("pcap,blf,log,asc"));
    const QCommandLineOption saveRowsOption(
            QStringLiteral("save-rows"),
            QStringLiteral("Rows to save, largest first (N,400000); 0 saves nothing."),
            QStringLiteral("LIST"));
    const QCommandLineOption saveFormatsOption(
            QStringLiteral("save-formats"), QStringLiteral("Formats to save (log,asc,pcap,blf)."),
            QStringLiteral("LIST"), QStringLiteral("log,asc,pcap,blf"));
    const QCommandLineOption dirOption(QStringLiteral("dir"),
                                       QStringLiteral("Folder for the files (a temporary one)."),
                                       QStringLiteral("DIR"));
    parser.addOptions({ framesOption, formatsOption, saveRowsOption, saveFormatsOption,
                        dirOption });
    parser.process(app);
    const qint64 frames = std::max<qint64>(1, parser.value(framesOption).toLongLong());

    QList<int> saveRows;
    const QString rowsText = parser.isSet(saveRowsOption)
            ? parser.value(saveRowsOption)
            : QStringLiteral("%1,400000").arg(frames);
    for (const QString &part : rowsText.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int rows = int(std::min<qint64>(part.toLongLong(), frames));
        if (rows > 0 && (saveRows.isEmpty() || rows < saveRows.last()))
            saveRows << rows;
    }
    QList<trace::Format> openFormats;
    QList<trace::Format> saveFormats;
    for (const QString &name : parser.value(formatsOption).split(QLatin1Char(',')))
        openFormats << formatNamed(name);
    for (const QString &name : parser.value(saveFormatsOption).split(QLatin1Char(',')))
        saveFormats << formatNamed(name);
    if (openFormats.contains(trace::Format::Unknown)
        || openFormats.contains(trace::Format::Csv)
        || saveFormats.contains(trace::Format::Unknown)
        || saveFormats.contains(trace::Format::Csv)) {
        std::fprintf(stderr, "formats are log, asc, pcap and blf\n");
        return 2;
    }
    if (openFormats.isEmpty() && !saveRows.isEmpty())
        openFormats << trace::Format::Blf;

    QTemporaryDir temporary(parser.isSet(dirOption)
                                    ? QDir(parser.value(dirOption)).filePath("traceopen-XXXXXX")
                                    : QDir::tempPath() + QStringLiteral("/traceopen-XXXXXX"));
    if (!temporary.isValid()) {
        std::fprintf(stderr, "no temporary folder: %s\n", qPrintable(temporary.errorString()));
        return 2;
    }
    std::printf("load average before: %.2f\n", loadAverage());
    bool ok = true;
    {
        Bench bench(frames, temporary.path());
        for (trace::Format format : openFormats) {
            const QString path = temporary.filePath(
                    QStringLiteral("trace.%1").arg(trace::extensionOf(format)));
            if (!bench.write(path, format)) {
                ok = false;
                continue;
            }
            libraryRead(path, format);
            ok = bench.open(path, format) && ok;
            QFile::remove(path);
        }
        // The table now holds the last file's frames, which the saves write out again.
        for (int rows : saveRows) {
            for (trace::Format format : saveFormats)
                ok = bench.save(rows, format) && ok;
        }
    }
    HandleThread::instance()->takeMessages();
    std::printf("load average after: %.2f\n%s\n", loadAverage(), ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
