// Measures the frame log with a long history in the real main window, offscreen: a
// backlog of N frames taken by the ticks (with a GUI heartbeat recording the longest gap),
// resident memory per kept frame, the export of every row, ticks on a full table, lowering
// the row limit to 100 and clearing.
//
// Usage: bench_framelog_large [frames] [row limit]   (defaults 1000000 and 2000000)

#include "app/mainwindow.h"
#include "bench/benchutil.h"
#include "device/handlethread.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <functional>

#include <malloc.h>

namespace {

using BenchUtil::Heartbeat;

void waitFor(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int frames = args.size() > 1 ? std::max(1, args.at(1).toInt()) : 1000000;
    const QString limit = args.size() > 2 ? args.at(2) : QStringLiteral("2000000");

    MainWindow window;
    window.resize(1680, 622);
    window.show();
    window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"))->setText(limit);
    QMetaObject::invokeMethod(&window, "on_txtMaxRowCount_editingFinished");
    QCoreApplication::processEvents();
    HandleThread *hub = HandleThread::instance();
    QTextStream out(stdout);
    Heartbeat heartbeat;

    // The backlog goes to the hub between two ticks, as a stalled GUI would find it.
    waitFor([&] { return !window.findChild<QLabel *>()->text().isEmpty(); });
    const double before = BenchUtil::residentMegabytes();
    CanMessage msg;
    msg.dlc = 8;
    msg.time = QTime::currentTime();
    for (int i = 0; i < frames; ++i) {
        msg.id = quint32(0x100 + i % 0x500);
        msg.data = QByteArray(reinterpret_cast<const char *>(&i), 4) + QByteArray(4, 0);
        hub->receiveDataSlot(msg);
    }
    heartbeat.start();
    QElapsedTimer timer;
    timer.start();
    waitFor([&] { return receiveModel->rowCount() > 0; });
    const double takeMs = timer.nsecsElapsed() / 1e6;
    // The window takes a backlog in slices; the heartbeat runs until the last is in and a
    // repaint later.
    const qint64 expected = std::min<qint64>(frames, limit.toLongLong());
    waitFor([&] { return receiveModel->rowCount() >= expected
                         && receiveModel->number(receiveModel->rowCount() - 1) == frames - 1; });
    const double allMs = timer.nsecsElapsed() / 1e6;
    const qint64 settled = timer.elapsed() + 300;
    waitFor([&] { return timer.elapsed() > settled; });
    const double backlogGap = heartbeat.stop();
    const double after = BenchUtil::residentMegabytes();
    // The hub's queue of a million messages is freed by now, but the allocator keeps its
    // pages until asked; the second figure is what the table itself holds.
    malloc_trim(0);
    const double trimmed = BenchUtil::residentMegabytes();
    const int rows = receiveModel->rowCount();
    bool numbered = rows == std::min<qint64>(frames, limit.toLongLong())
            && receiveModel->number(rows - 1) == frames - 1;
    for (int row = 0; numbered && row < rows; row += 997) {
        const qint64 number = receiveModel->number(row);
        int carried = 0;
        std::memcpy(&carried, receiveModel->message(row).data.constData(), 4);
        numbered = carried == int(number);
    }
    out << QString::asprintf("backlog %d frames, limit %s: %d rows kept, last number %lld; "
                             "first rows after %.1f ms, all after %.1f ms, longest GUI gap "
                             "%.1f ms; resident %.1f MB -> %.1f MB, %.1f bytes per kept frame "
                             "(%.1f after returning freed heap)\n",
                             frames, qPrintable(limit), rows,
                             receiveModel->number(rows - 1), takeMs, allMs, backlogGap, before,
                             after, (after - before) * 1048576 / std::max(rows, 1),
                             (trimmed - before) * 1048576 / std::max(rows, 1));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    QTimer answer;
    bool answered = false;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        answer.stop();
        answered = true;
        heartbeat.start();
        timer.restart();
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    answer.start(10);
    auto exportButton = window.findChild<QPushButton *>(QStringLiteral("btnExport"));
    QMetaObject::invokeMethod(exportButton, "click", Qt::QueuedConnection);
    // A small export may finish before this loop looks again, so the wait is for the
    // dialog's answer and then for the button, never for the button to be seen disabled.
    waitFor([&] { return answered; });
    waitFor([&] { return exportButton->isEnabled(); });
    const double exportMs = timer.nsecsElapsed() / 1e6;
    out << QString::asprintf("export of %d rows: %.0f ms, %.1f MB, longest GUI gap %.1f ms\n",
                             rows, exportMs, QFile(path).size() / 1048576.0, heartbeat.stop());

    // A full table at a full bus: every tick drops as many old rows as it adds.
    if (rows == limit.toLongLong()) {
        const int perTick = 4255; // 21,277 frames/s for 200 ms
        double longestGap = 0;
        qint64 last = receiveModel->number(rows - 1);
        for (int tick = 0; tick < 10; ++tick) {
            for (int i = 0; i < perTick; ++i)
                hub->receiveDataSlot(msg);
            last += perTick;
            heartbeat.start();
            waitFor([&] { return receiveModel->number(receiveModel->rowCount() - 1) == last; });
            timer.restart();
            waitFor([&] { return timer.elapsed() > 20; });
            longestGap = std::max(longestGap, heartbeat.stop());
        }
        out << QString::asprintf("full table of %d rows, 10 ticks of %d frames: longest GUI "
                                 "gap %.1f ms\n", receiveModel->rowCount(), perTick,
                                 longestGap);
    }

    auto limitEdit = window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    limitEdit->setText(QStringLiteral("100"));
    timer.restart();
    QMetaObject::invokeMethod(&window, "on_txtMaxRowCount_editingFinished");
    const double lowerMs = timer.nsecsElapsed() / 1e6;
    out << QString::asprintf("limit lowered from %d rows to 100: %.2f ms\n", rows, lowerMs);

    limitEdit->setText(limit);
    QMetaObject::invokeMethod(&window, "on_txtMaxRowCount_editingFinished");
    for (int i = 0; i < frames; ++i)
        hub->receiveDataSlot(msg);
    waitFor([&] { return receiveModel->rowCount() >= std::min(frames, rows); });
    const int full = receiveModel->rowCount();
    timer.restart();
    window.findChild<QPushButton *>(QStringLiteral("btnClear"))->click();
    const double clearMs = timer.nsecsElapsed() / 1e6;
    out << QString::asprintf("clear of %d rows: %.2f ms\n", full, clearMs);
    return numbered ? 0 : 1;
}
