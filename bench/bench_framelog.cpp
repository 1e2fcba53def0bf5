// Measures the frame log's 200 ms tick in the real main window, offscreen, at bus loads up
// to a full 1 Mbit/s classic CAN bus (about 21,300 frames/s). Right before each tick of the
// window's own timer the hub is fed one tick's worth of received frames; the tick and the
// repaint it schedules are timed separately.
//
// Usage: bench_framelog [ticks per load] [row limit] [data bytes]
// Defaults: 100 ticks, row limit "100", 8 data bytes.

#include "app/mainwindow.h"
#include "bench/benchutil.h"
#include "device/handlethread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using namespace BenchUtil;

double elapsedMsecs(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Sits in front of the window: feeds the hub and times every tick and every repaint.
class TickMeter : public QObject
{
public:
    TickMeter(QWidget *window, int dataBytes)
        : target(window)
    {
        message.dlc = dataBytes;
        message.data = QByteArray::fromHex("0123456789abcdef").left(dataBytes);
        window->installEventFilter(this);
    }

    void measure(int framesPerTick, int ticks)
    {
        perTick = framesPerTick;
        tickTimes.clear();
        repaintTimes.clear();
        wanted = ticks;
        while (int(tickTimes.size()) < wanted)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        perTick = 0;
    }

    std::vector<double> tickTimes;
    std::vector<double> repaintTimes;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != target)
            return false;
        if (event->type() == QEvent::Timer && perTick > 0) {
            feedHub();
            QElapsedTimer timer;
            timer.start();
            target->event(event);
            tickTimes.push_back(elapsedMsecs(timer));
            return true;
        }
        if (event->type() == QEvent::UpdateRequest && perTick > 0) {
            QElapsedTimer timer;
            timer.start();
            target->event(event);
            repaintTimes.push_back(elapsedMsecs(timer));
            return true;
        }
        return false;
    }

private:
    void feedHub()
    {
        HandleThread *hub = HandleThread::instance();
        // One clock read per batch: reading the local time per frame costs more than
        // the tick being measured.
        const QTime now = QTime::currentTime();
        for (int i = 0; i < perTick; ++i) {
            message.id = quint32(0x100 + i % 0x500);
            message.time = now.addMSecs(i * 200 / perTick);
            hub->receiveDataSlot(message);
        }
    }

    // QWidget::event() is protected; QObject::event() dispatches to it.
    QObject *target;
    CanMessage message;
    int perTick = 0;
    int wanted = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const QStringList args = app.arguments();
    const int ticks = args.size() > 1 ? std::max(1, args.at(1).toInt()) : 100;
    const QString rowLimit = args.size() > 2 ? args.at(2) : QStringLiteral("100");
    const int dataBytes = args.size() > 3 ? std::clamp(args.at(3).toInt(), 0, 8) : 8;

    QFile styleFile(QStringLiteral(":/style.qss"));
    if (styleFile.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromUtf8(styleFile.readAll()));

    MainWindow window;
    window.resize(1680, 622);
    window.show();
    window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"))->setText(rowLimit);
    QMetaObject::invokeMethod(&window, "on_txtMaxRowCount_editingFinished");
    TickMeter meter(&window, dataBytes);

    QTextStream out(stdout);
    out << "Frame log tick, " << ticks << " ticks per load, row limit \"" << rowLimit << "\", "
        << dataBytes << "-byte received frames (ms)\n\n"
        << "frames/s  frames/tick |  tick p50    p99    max | repaint p50    p99    max\n"
        << "-----------------------------------------------------------------------------\n";

    const int loads[] = { 1000, 9000, 21300 };
    for (int perSecond : loads) {
        const int perTick = perSecond / 5;
        meter.measure(perTick, 5);
        meter.measure(perTick, ticks);
        const Percentiles t = percentiles(meter.tickTimes);
        const Percentiles r = percentiles(meter.repaintTimes);
        out << QString::asprintf("%8d  %11d | %6.2f %6.2f %6.2f |     %6.2f %6.2f %6.2f\n",
                                 perSecond, perTick, t.p50, t.p99, t.max, r.p50, r.p99, r.max);
        out.flush();
    }
    return 0;
}
