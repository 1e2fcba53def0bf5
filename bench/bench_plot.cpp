// Measures the plot window over a long trace as a user meets it after "打开记录…": a frame
// log of N frames of one identifier (a 16-bit signal, a slow wave with noise, 100 µs apart,
// and one frame whose value jumps), then the signal typed into the window. Reported: the
// extraction and pyramid on the worker (from the Enter to the series in place), the memory
// the series holds per sample and the resident growth, the first full draw, and redraws
// zooming from the whole trace down to one second around the jump and panning at that
// zoom. A draw is the window's redraw (scales, axes) plus the charts' painting, timed
// until painted. Wall times suffer from a busy machine; the extraction's CPU time (all
// threads of the process) much less. With --screenshots DIR the window is also saved as
// DIR/plot-overview.png (the whole trace, the jump visible) and DIR/plot-zoom.png (one
// second, with cursors).
//
// Usage: bench_plot [--frames N] [--screenshots DIR]
// The exit status is 1 when the series misses a frame or the jump is not in the overview.

#include "bench/benchutil.h"
#include "monitor/framelogmodel.h"
#include "plot/plotchart.h"
#include "plot/plotcurve.h"
#include "plot/plotwindow.h"
#include "plot/sampleseries.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTextStream>
#include <QTest>
#include <qwt_plot_canvas.h>

#include <cmath>
#include <cstring>

namespace {

using namespace BenchUtil;

constexpr qint64 baseUs = 1765000000000000;
constexpr qint64 stepUs = 100;

quint16 valueAt(qint64 i, qint64 spike)
{
    if (i == spike)
        return 60000;
    const double wave = 20000 + 8000 * std::sin(double(i) * 2e-6) + 1500 * std::sin(i * 3e-4);
    return quint16(wave + (i * 7919) % 400);
}

FrameRecord recordAt(qint64 i, qint64 spike)
{
    FrameRecord r = {};
    r.id = 0x123;
    r.flags = FrameRecord::Success;
    r.size = 8;
    r.dlc = 8;
    r.timestampUs = baseUs + i * stepUs;
    r.timeMs = -1;
    const quint16 v = valueAt(i, spike);
    std::memcpy(r.data, &v, 2);
    return r;
}

// The window's redraw plus the charts' painting, in milliseconds.
double timedDraw(PlotWindow *window)
{
    QElapsedTimer timer;
    timer.start();
    window->redraw();
    for (int i = 0; i < window->chartCount(); ++i)
        window->chart(i)->canvas()->repaint();
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption framesOption(QStringLiteral("frames"),
        QStringLiteral("Frames in the log (default 10,000,000)."), QStringLiteral("count"));
    const QCommandLineOption shotsOption(QStringLiteral("screenshots"),
        QStringLiteral("Save the window's pictures into this folder."), QStringLiteral("dir"));
    parser.addOptions({framesOption, shotsOption});
    parser.process(app);
    const qint64 frames = parser.isSet(framesOption)
        ? std::max(1000LL, parser.value(framesOption).toLongLong()) : 10000000;
    const qint64 spike = frames * 2 / 3 + 17;
    QTextStream out(stdout);
    out.setRealNumberNotation(QTextStream::FixedNotation);

    FrameLogModel log;
    QVector<FrameRecord> batch;
    for (qint64 i = 0; i < frames; i += batch.size()) {
        batch.resize(int(std::min<qint64>(frameChunkRows * 16, frames - i)));
        for (int k = 0; k < batch.size(); ++k)
            batch[k] = recordAt(i + k, spike);
        log.appendRecords(batch, i, -1);
    }
    batch = {};
    PlotWindow window(&log);
    window.resize(1280, 720);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        out << "the window was not shown\n";
    // As the plot component does once a trace is open (MonitorContext::framesReplaced).
    window.reload();
    QCoreApplication::processEvents();

    const double residentBefore = residentMegabytes();
    auto *field = window.findChild<QLineEdit *>(QStringLiteral("txtPlotSignal"));
    field->setText(QStringLiteral("123[0|16@1+]"));
    QElapsedTimer extraction;
    const double cpuBefore = processCpuSeconds();
    extraction.start();
    QTest::keyClick(field, Qt::Key_Return);
    waitUntil([&] { return !window.isBusy(); }, 600);
    const double extractionSeconds = secondsOf(extraction);
    const double extractionCpu = processCpuSeconds() - cpuBefore;
    const double residentAfter = residentMegabytes();
    const SampleSeries &series = window.seriesAt(0);
    int failures = 0;
    if (series.size() != frames) {
        out << "series holds " << series.size() << " samples of " << frames << " frames\n";
        ++failures;
    }

    const double first = timedDraw(&window);
    // The overview's column that holds the jump must reach its value.
    PlotChart *chart = window.chart(0);
    const double spikeSeconds = spike * stepUs / 1e6;
    const int width = chart->canvas()->contentsRect().width();
    const QVector<PlotColumn> columns = series.columns(
        baseUs + window.viewFrom() * 1e6, baseUs + window.viewTo() * 1e6, width);
    bool spikeShown = false;
    for (const PlotColumn &column : columns)
        spikeShown |= column.max == 60000;
    if (!spikeShown) {
        out << "the jump is not in the overview\n";
        ++failures;
    }
    const QString shots = parser.value(shotsOption);
    if (!shots.isEmpty())
        window.grab().save(shots + QStringLiteral("/plot-overview.png"));

    std::vector<double> zooms;
    const double whole = window.viewTo() - window.viewFrom();
    for (double span = whole; span >= 1; span /= 1.5) {
        window.setView(spikeSeconds - span * 0.4, spikeSeconds + span * 0.6);
        zooms.push_back(timedDraw(&window));
    }
    window.setView(spikeSeconds - 0.4, spikeSeconds + 0.6);
    std::vector<double> pans;
    for (int i = 0; i < 60; ++i) {
        const double shift = (i % 2 ? -1 : 1) * 0.37 * (i + 1);
        window.setView(window.viewFrom() + shift, window.viewTo() + shift);
        pans.push_back(timedDraw(&window));
    }
    if (!shots.isEmpty()) {
        window.setView(spikeSeconds - 0.4, spikeSeconds + 0.6);
        window.setCursors(spikeSeconds - 0.25, spikeSeconds + 0.3);
        timedDraw(&window);
        window.grab().save(shots + QStringLiteral("/plot-zoom.png"));
    }

    const Percentiles zoom = percentiles(zooms);
    const Percentiles pan = percentiles(pans);
    out << "plot over " << frames << " frames of one identifier, one 16-bit signal\n"
        << "  extraction and pyramid  " << QString::number(extractionSeconds, 'f', 3)
        << " s (worker, from Enter to the series in place), "
        << QString::number(extractionCpu, 'f', 3) << " s CPU (all threads)\n"
        << "  memory   " << QString::number(double(series.memoryBytes()) / frames, 'f', 2)
        << " bytes per sample held by the series; resident +"
        << QString::number(residentAfter - residentBefore, 'f', 1) << " MB ("
        << QString::number((residentAfter - residentBefore) * 1048576.0 / frames, 'f', 2)
        << " bytes per sample)\n"
        << "  first full draw  " << QString::number(first, 'f', 1) << " ms\n"
        << "  zoom redraws  " << zooms.size() << " from the whole trace to 1 s: p50 "
        << QString::number(zoom.p50, 'f', 1) << " ms, max " << QString::number(zoom.max, 'f', 1)
        << " ms\n"
        << "  pan redraws at 1 s  " << pans.size() << ": p50 " << QString::number(pan.p50, 'f', 1)
        << " ms, max " << QString::number(pan.max, 'f', 1) << " ms\n";
    return failures ? 1 : 0;
}
