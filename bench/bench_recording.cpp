// Measures a recording at full bus load: the simulated bus of the adapter library sends
// 0-byte standard frames filling 1 Mbit/s (21,277 frames/s) through the listen thread and
// the hub for S seconds, first without a recording (the baseline), then once per trace
// format with the hub's frames recorded. A timer takes the hub's queue five times a
// second as the window's tick would. For each run: the frames that reached the hub, the
// frames recorded, lost and read back from the file (in time order), the process CPU from
// the open to the file's close and the writer thread's share of it, and the resident memory
// early, midway and at the end. The baseline runs first and last; the CPU a recording adds
// is counted against the mean of the two.
//
// Usage: bench_recording [--seconds S] [--formats log,asc,pcap,blf] [--csv FILE]
// The exit status is 1 when a frame was lost, a frame the hub passed is missing from the
// file, or the file is out of order.

#include "bench/benchutil.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "traceformats/tracefile.h"
#include "tracemenu/recorder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

#include <unistd.h>

namespace {

using namespace BenchUtil;

constexpr unsigned int busKbps = 1000;
const char traffic[] = "flood,dlc=0";

const char csvHeader[] =
    "format,seconds,frames_hub,frames_per_s,frames_recorded,frames_lost,frames_in_file,"
    "in_order,cpu_s,cpu_core_pct,added_core_pct,writer_core_pct,rss_early_mb,rss_mid_mb,"
    "rss_end_mb,file_mb,note";

struct Run
{
    QString format;
    double seconds = 0;
    qint64 hub = 0;
    quint64 recorded = 0;
    quint64 lost = 0;
    quint64 inFile = 0;
    bool inOrder = true;
    double cpu = 0;
    double writerCpu = 0;
    double rssEarly = 0;
    double rssMid = 0;
    double rssEnd = 0;
    double fileMb = 0;
    QStringList notes;

    double corePct() const { return seconds > 0 ? 100 * cpu / seconds : 0; }
    bool failed(bool recording) const
    {
        return recording && (lost > 0 || recorded != quint64(hub) || inFile != recorded
                             || !inOrder || !notes.isEmpty());
    }
};

// The CPU seconds of this process's thread of that name, 0 when there is none.
double namedThreadCpuSeconds(const QByteArray &name)
{
    const QString tasks = QStringLiteral("/proc/self/task");
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks + QLatin1Char('/') + task + QStringLiteral("/comm"));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name)
            continue;
        QFile stat(tasks + QLatin1Char('/') + task + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        // The fields after the command's closing parenthesis; utime and stime are the
        // 12th and 13th of them.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        return (fields.value(11).toDouble() + fields.value(12).toDouble())
                / double(sysconf(_SC_CLK_TCK));
    }
    return 0;
}


void readBack(const QString &path, trace::Format format, Run *run)
{
    std::string error;
    auto reader = trace::Reader::open(QFile::encodeName(path).toStdString(), format, &error);
    if (!reader) {
        run->notes << QStringLiteral("cannot read the file: %1")
                          .arg(QString::fromStdString(error));
        return;
    }
    trace::Frame frame;
    int64_t previous = 0;
    while (reader->next(frame)) {
        if (frame.timestampUs < previous)
            run->inOrder = false;
        previous = frame.timestampUs;
        ++run->inFile;
    }
    if (reader->skipped() > 0)
        run->notes << QStringLiteral("%1 unreadable records").arg(reader->skipped());
}

Run runOnce(trace::Format format, double seconds, const QString &dir)
{
    Run run;
    run.format = format == trace::Format::Unknown ? QStringLiteral("none")
                                                  : QLatin1String(trace::extensionOf(format));
    HandleThread *hub = HandleThread::instance();
    ListenThread *device = ListenThread::instance();
    hub->takeMessages();
    hub->clearCount();

    const QString path = dir + QStringLiteral("/recording.") + run.format;
    const double cpuStart = processCpuSeconds();
    Recorder recorder;
    if (format != trace::Format::Unknown) {
        QString error;
        if (!recorder.start(path, format, &error)) {
            run.notes << QStringLiteral("cannot record: %1").arg(error);
            return run;
        }
    }

    QEventLoop loop;
    QElapsedTimer wall;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [hub] { hub->takeMessages(); });
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &loop, [&] {
        const double at = secondsOf(wall);
        const double rss = residentMegabytes();
        if (run.rssEarly == 0 && at >= std::min(2.0, seconds / 2))
            run.rssEarly = rss;
        if (run.rssMid == 0 && at >= seconds / 2)
            run.rssMid = rss;
        run.rssEnd = rss;
    });
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    wall.start();
    tick.start(200);
    sampler.start(std::max(100, int(std::min(1.0, seconds / 4) * 1000)));
    device->openDevice(busKbps);
    loop.exec();
    run.seconds = secondsOf(wall);
    device->closeDevice();
    // The listen thread hands every frame to the hub before it reads the next, so the hub
    // has passed all of them once the device is closed.
    run.hub = hub->getReceiveCount();
    if (format != trace::Format::Unknown) {
        run.writerCpu = namedThreadCpuSeconds("recorder");
        if (!recorder.stop())
            run.notes << QStringLiteral("recording failed: %1").arg(recorder.errorString());
    }
    run.cpu = processCpuSeconds() - cpuStart;
    hub->takeMessages();
    run.rssEnd = residentMegabytes();
    if (format == trace::Format::Unknown)
        return run;
    run.recorded = recorder.framesRecorded();
    run.lost = recorder.framesLost();
    run.fileMb = double(QFileInfo(path).size()) / (1024 * 1024);
    readBack(path, format, &run);
    QFile::remove(path);
    return run;
}

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

} // namespace

int main(int argc, char *argv[])
{
    // The same event dispatcher as the program (app/main.cpp).
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", traffic);
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                     QStringLiteral("Length of each run."),
                                     QStringLiteral("S"), QStringLiteral("60"));
    QCommandLineOption formatsOption(QStringLiteral("formats"),
                                     QStringLiteral("Trace formats to record."),
                                     QStringLiteral("LIST"), QStringLiteral("log,asc,pcap,blf"));
    QCommandLineOption csvOption(QStringLiteral("csv"), QStringLiteral("Append rows here."),
                                 QStringLiteral("FILE"));
    parser.addOptions({ secondsOption, formatsOption, csvOption });
    parser.process(app);
    const double seconds = std::max(0.5, parser.value(secondsOption).toDouble());

    QList<trace::Format> formats { trace::Format::Unknown };
    for (const QString &name : parser.value(formatsOption).split(QLatin1Char(','))) {
        const trace::Format format = trace::formatForPath("x." + name.toStdString());
        if (format == trace::Format::Unknown || format == trace::Format::Csv) {
            qCritical("unknown trace format %s", qPrintable(name));
            return 2;
        }
        formats << format;
    }

    QTemporaryDir dir;
    QTextStream out(stdout);
    out << "traffic " << traffic << " at " << busKbps << " kbit/s, " << seconds
        << " s per run, the baseline without recording first and last" << Qt::endl;
    QList<Run> runs;
    for (trace::Format format : formats)
        runs << runOnce(format, seconds, dir.path());
    runs << runOnce(trace::Format::Unknown, seconds, dir.path());
    const double baseline = (runs.first().corePct() + runs.last().corePct()) / 2;
    const auto added = [baseline](const Run &r) {
        return r.format == QLatin1String("none") ? 0.0 : r.corePct() - baseline;
    };
    const auto writerPct = [](const Run &r) {
        return r.seconds > 0 ? 100 * r.writerCpu / r.seconds : 0;
    };

    for (const Run &r : runs) {
        out << qSetFieldWidth(5) << r.format << qSetFieldWidth(0)
            << "  hub " << r.hub << " (" << fixed(double(r.hub) / r.seconds, 0) << "/s)"
            << "  recorded " << r.recorded << "  lost " << r.lost << "  in file "
            << r.inFile << (r.inOrder ? "" : " OUT OF ORDER")
            << "  cpu " << fixed(r.corePct(), 1) << "% of a core";
        if (r.format != QLatin1String("none")) {
            out << " (" << (added(r) >= 0 ? "+" : "") << fixed(added(r), 1)
                << ", writer thread " << fixed(writerPct(r), 1) << ")";
        }
        out << "  rss " << fixed(r.rssEarly, 1) << "/" << fixed(r.rssMid, 1) << "/"
            << fixed(r.rssEnd, 1) << " MB  file " << fixed(r.fileMb, 1) << " MB";
        if (!r.notes.isEmpty())
            out << "  " << r.notes.join(QStringLiteral("; "));
        out << Qt::endl;
    }

    if (parser.isSet(csvOption)) {
        QFile csv(parser.value(csvOption));
        if (csv.open(QIODevice::Append | QIODevice::Text)) {
            if (csv.size() == 0)
                csv.write(QByteArray(csvHeader) + '\n');
            for (const Run &r : runs) {
                const QStringList fields = {
                    r.format, fixed(r.seconds, 1), QString::number(r.hub),
                    fixed(double(r.hub) / r.seconds, 0), QString::number(r.recorded),
                    QString::number(r.lost), QString::number(r.inFile),
                    QString::number(int(r.inOrder)), fixed(r.cpu, 2), fixed(r.corePct(), 1),
                    fixed(added(r), 1), fixed(writerPct(r), 1), fixed(r.rssEarly, 1),
                    fixed(r.rssMid, 1), fixed(r.rssEnd, 1), fixed(r.fileMb, 1),
                    QStringLiteral("\"%1\"").arg(r.notes.join(QStringLiteral("; "))),
                };
                csv.write(fields.join(QLatin1Char(',')).toUtf8() + '\n');
            }
        } else {
            qWarning("cannot write %s", qPrintable(csv.fileName()));
        }
    }

    bool failed = false;
    for (const Run &r : runs)
        failed = failed || r.failed(r.format != QLatin1String("none"));
    return failed ? 1 : 0;
}
