// Memory as the system sees it, in the real main window (offscreen) on the simulated bus:
// resident memory before and after a burst of frames read as fast as the program reads
// them (row limit 2,000,000), after exporting every row and after "清空列表", then before,
// with and after a large generated DBC database loaded through "加载DBC…" and unloaded
// with "卸载DBC". Nothing here trims the heap: the figures are what the program itself
// gives back. A heartbeat on the GUI thread records the longest stall of each stage.
//
// Usage: bench_memory [frames [dbc megabytes]]   (defaults 1000000 and 60; 0 skips either)

#include "app/mainwindow.h"
#include "bench/benchdbc.h"
#include "bench/benchutil.h"
#include "dbc/dbcdatabase.h"
#include "dbcview/databasemenu.h"
#include "device/handlethread.h"
#include "device/listenthread.h"
#include "memory/heaprelease.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"

#include "canable/canable.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <functional>

namespace {

using namespace BenchUtil;

// Reads past this many frames find none, so that the burst holds exactly that many.
std::atomic<qint64> readsLeft { 0 };

// Runs until the next file dialog the window opens, types `path` into it and accepts it.
void answerFileDialog(const QString &path)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    poll->start(10);
}

// Lets background releases and the next repaint happen before memory is read.
void settle(int msecs)
{
    QElapsedTimer timer;
    timer.start();
    waitUntil([&] { return timer.elapsed() >= msecs; }, msecs / 1000.0 + 1);
}

// Waits until resident memory has stopped falling (the program frees and returns large
// amounts on threads of its own, which a busy machine keeps waiting), at most 20 s. Freeing
// a million blocks lowers nothing until the pages go back at its end, so one quiet half
// second proves nothing: it takes two quiet seconds.
void settleResident()
{
    double last = residentMegabytes();
    int quiet = 0;
    for (int i = 0; i < 40 && quiet < 4; ++i) {
        settle(500);
        const double now = residentMegabytes();
        quiet = now > last - 0.5 ? quiet + 1 : 0;
        last = std::min(last, now);
    }
}

struct Stage
{
    QString name;
    double residentMb = 0;
    double gapMs = 0;
};

} // namespace

// The listen thread's reads come here first: this executable's definition takes the place
// of the library's.
extern "C" int canable_readMessage(int deviceIndex, CanFrameRecord *record, int count)
{
    if (readsLeft.load(std::memory_order_relaxed) <= 0)
        return 1;
    const int result = libraryRead()(deviceIndex, record, count);
    if (result == 0)
        readsLeft.fetch_sub(1, std::memory_order_relaxed);
    return result;
}

int main(int argc, char *argv[])
{
    // As the program's own main() does.
    configureHeap();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    qputenv("CANABLE_INTERFACE", "sim");
    qputenv("CANABLE_SIM_TRAFFIC", "flood:unlimited,dlc=8");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int frames = args.size() > 1 ? std::max(0, args.at(1).toInt()) : 1000000;
    const double dbcMegabytes = args.size() > 2 ? std::max(0.0, args.at(2).toDouble()) : 60;
    const int limit = 2000000;
    QTextStream out(stdout);
    bool intact = true;

    MainWindow window;
    window.resize(1680, 622);
    window.show();
    auto limitField = window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    limitField->setText(QString::number(limit));
    emit limitField->editingFinished();
    settle(1000);
    Heartbeat heartbeat;
    QTemporaryDir scratch;
    QVector<Stage> stages;
    double start = residentMegabytes();
    stages.append({ QStringLiteral("start"), start, 0 });

    if (frames > 0) {
        heartbeat.start();
        readsLeft = frames;
        ListenThread::instance()->openDevice(1000);
        QElapsedTimer burst;
        burst.start();
        intact = waitUntil([&] { return receiveModel->rowCount() >= frames; }, 600);
        const double burstSeconds = secondsOf(burst);
        ListenThread::instance()->closeDevice();
        settle(300);
        const int rows = receiveModel->rowCount();
        intact = intact && rows == frames && receiveModel->number(rows - 1) == frames - 1;
        const double kept = residentMegabytes();
        stages.append({ QStringLiteral("burst of %1 frames in %2 s").arg(frames)
                                .arg(burstSeconds, 0, 'f', 2), kept, heartbeat.stop() });

        heartbeat.start();
        auto exportButton = window.findChild<QPushButton *>(QStringLiteral("btnExport"));
        answerFileDialog(scratch.filePath(QStringLiteral("log.csv")));
        QElapsedTimer exporting;
        exporting.start();
        exportButton->click();
        waitUntil([&] { return exportButton->isEnabled(); }, 600);
        const double exportSeconds = secondsOf(exporting);
        settle(300);
        stages.append({ QStringLiteral("export of %1 rows in %2 s, %3 MB").arg(rows)
                                .arg(exportSeconds, 0, 'f', 2)
                                .arg(QFile(scratch.filePath(QStringLiteral("log.csv"))).size()
                                     / 1048576.0, 0, 'f', 1),
                        residentMegabytes(), heartbeat.stop() });
        QFile::remove(scratch.filePath(QStringLiteral("log.csv")));

        heartbeat.start();
        window.findChild<QPushButton *>(QStringLiteral("btnClear"))->click();
        settleResident();
        stages.append({ QStringLiteral("clear"), residentMegabytes(), heartbeat.stop() });
        out << QString::asprintf("frames: %.1f bytes per kept frame, %+.1f MB after the clear\n",
                                 (kept - start) * 1048576 / std::max(rows, 1),
                                 stages.last().residentMb - start);
    }

    if (dbcMegabytes > 0) {
        const QString path = scratch.filePath(QStringLiteral("large.dbc"));
        int messages = 0;
        int signalCount = 0;
        if (!writeLargeDbc(path, qint64(dbcMegabytes * 1048576), &messages, &signalCount)) {
            out << "cannot write " << path << "\n";
            return 1;
        }
        settle(300);
        const double before = residentMegabytes();
        stages.append({ QStringLiteral("before the database"), before, 0 });

        heartbeat.start();
        answerFileDialog(path);
        QElapsedTimer loading;
        loading.start();
        window.findChild<QAction *>(QStringLiteral("actionLoadDbc"))->trigger();
        const MonitorContext *context = window.findChild<MonitorContext *>();
        waitUntil([&] {
            return !window.findChild<DatabaseMenu *>()->isLoading()
                    && !context->database().isEmpty();
        }, 600);
        const double loadSeconds = secondsOf(loading);
        settle(500);
        const double loaded = residentMegabytes();
        int loadedSignals = 0;
        for (const DbcMessage &message : context->database().messages())
            loadedSignals += message.signalList.size();
        intact = intact && context->database().messages().size() == messages
                && loadedSignals == signalCount;
        stages.append({ QStringLiteral("database of %1 MB, %2 messages, %3 signals loaded "
                                       "in %4 s")
                                .arg(QFile(path).size() / 1048576.0, 0, 'f', 1).arg(messages)
                                .arg(loadedSignals).arg(loadSeconds, 0, 'f', 2),
                        loaded, heartbeat.stop() });

        heartbeat.start();
        window.findChild<QAction *>(QStringLiteral("actionUnloadDbc"))->trigger();
        settleResident();
        stages.append({ QStringLiteral("unloaded"), residentMegabytes(), heartbeat.stop() });
        out << QString::asprintf("database: %.1f bytes per signal, %+.1f MB after unloading\n",
                                 (loaded - before) * 1048576 / std::max(loadedSignals, 1),
                                 stages.last().residentMb - before);
    }

    for (const Stage &stage : stages) {
        out << QString::asprintf("  %-70s resident %7.1f MB (%+7.1f), longest GUI gap %6.1f ms\n",
                                 qPrintable(stage.name), stage.residentMb,
                                 stage.residentMb - start, stage.gapMs);
    }
    if (!intact)
        out << "FAILED: frames or signals missing\n";
    return intact ? 0 : 1;
}
