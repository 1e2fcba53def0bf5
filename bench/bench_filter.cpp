// Measures the frame log's filter and search in the real main window, offscreen, over a
// long history: each expression applied to N kept frames (from Enter to the table showing
// the result) with the GUI heartbeat's longest gap, going back to every frame, the memory
// of a filter's index per matching row, the search for the one matching frame N-1 rows
// below the selected one, and the jump to the last frame's time.
//
// Usage: bench_filter [frames]   (default 10000000)
//        bench_filter --screenshot FILE   (the README's picture of a filtered log)
//
// Frame n carries a standard identifier spread over 0..1999, the 2,000 messages of a
// generated database, and eight changing data bytes; only the last frame is extended.

#include "app/mainwindow.h"
#include "bench/benchdbc.h"
#include "bench/benchutil.h"
#include "dbcview/databasemenu.h"
#include "filter/framefiltermodel.h"
#include "filter/framelogfilter.h"
#include "filter/framematches.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTime>

#include <cstring>

namespace {

using BenchUtil::Heartbeat;

QVector<FrameRecord> batch(qint64 first, int count, qint64 total)
{
    QVector<FrameRecord> records(count);
    for (int i = 0; i < count; ++i) {
        const qint64 n = first + i;
        FrameRecord &record = records[i];
        record = FrameRecord {};
        record.timestampUs = 1700000000000000 + n * 47;
        record.timeMs = qint32((n / 21) % 86400000);
        record.id = quint32((quint64(n) * 2654435761u) % 2000);
        const quint64 payload = BenchUtil::benchPayload(quint64(n));
        std::memcpy(record.data, &payload, 8);
        record.size = record.dlc = 8;
        record.flags = FrameRecord::Success;
        if (n == total - 1)
            record.flags |= FrameRecord::Extended;
    }
    return records;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    QString screenshot;
    if (args.size() > 2 && args.at(1) == QLatin1String("--screenshot")) {
        screenshot = args.at(2);
        args = QStringList { args.at(0), QStringLiteral("3000") };
        QFile style(QStringLiteral(":/style.qss"));
        if (style.open(QIODevice::ReadOnly))
            app.setStyleSheet(QString::fromUtf8(style.readAll()));
    }
    const int frames = args.size() > 1 ? std::max(2, args.at(1).toInt()) : 10000000;
    QTextStream out(stdout);

    QTemporaryDir scratch;
    const QString dbcPath = scratch.filePath(QStringLiteral("generated.dbc"));
    {
        QFile file(dbcPath);
        if (!file.open(QIODevice::WriteOnly) || !file.write(BenchUtil::generatedDbc(2000)))
            return 2;
    }
    MainWindow window;
    window.resize(1680, 622);
    window.show();
    window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"))->setText("20000000");
    auto *databaseMenu = window.findChild<DatabaseMenu *>();
    databaseMenu->loadFiles({ dbcPath });
    BenchUtil::waitUntil([&] { return !databaseMenu->isLoading(); }, 60);
    auto *filter = window.findChild<FrameLogFilter *>();
    auto *table = window.findChild<QTableView *>(QStringLiteral("tbReceive"));
    const MonitorContext *context = window.findChild<MonitorContext *>();
    if (!filter || !table || context->database().messages().size() != 2000) {
        out << "the window or its database is not as expected\n";
        return 2;
    }

    QElapsedTimer timer;
    timer.start();
    constexpr int slice = 262144;
    for (qint64 first = 0; first < frames; first += slice) {
        const int count = int(std::min<qint64>(slice, frames - first));
        receiveModel->appendRecords(batch(first, count, frames), first, -1);
    }
    QCoreApplication::processEvents();
    if (!screenshot.isEmpty()) {
        auto *field = window.findChild<QLineEdit *>(QStringLiteral("txtFilter"));
        field->setText(QStringLiteral("Message291 || id in {0x100-0x10F} && data[0] & 0x80 != 0"));
        QMetaObject::invokeMethod(field, "returnPressed");
        field->setCursorPosition(0);
        window.findChild<QAction *>(QStringLiteral("actionFind"))->trigger();
        window.findChild<QLineEdit *>(QStringLiteral("txtSearch"))
            ->setText(QStringLiteral("data[0] > 0xE0"));
        table->selectRow(0);
        filter->findNext(1);
        filter->findNext(1);
        QCoreApplication::processEvents();
        return window.grab().save(screenshot) ? 0 : 1;
    }
    out << QStringLiteral("%1 frames kept in %2 s, %3 MB resident\n")
               .arg(frames).arg(timer.nsecsElapsed() / 1e9, 0, 'f', 2)
               .arg(BenchUtil::residentMegabytes(), 0, 'f', 0);
    out.flush();

    Heartbeat heartbeat;
    bool ok = true;
    const auto apply = [&](const QString &expression) {
        heartbeat.start();
        timer.start();
        if (!filter->applyText(expression)) {
            out << "refused: " << expression << "\n";
            ok = false;
            return;
        }
        BenchUtil::waitUntil([&] { return !filter->model()->isApplying(); }, 600);
        const double seconds = timer.nsecsElapsed() / 1e9;
        QCoreApplication::processEvents();
        out << QStringLiteral("filter %1: %2 s, %3 rows shown, longest GUI gap %4 ms\n")
                   .arg(expression.isEmpty() ? QStringLiteral("(none)") : expression)
                   .arg(seconds, 0, 'f', 3).arg(filter->model()->rowCount())
                   .arg(heartbeat.stop(), 0, 'f', 1);
        out.flush();
    };
    for (const QString &expression :
         { QStringLiteral("id == 0x123"), QString(),
           QStringLiteral("data ~ \"?? 3? 44\" && dlc == 8"), QString(),
           QStringLiteral("Message291.Temperature > 20"), QString(),
           QStringLiteral("Message292.Rpm > 4000"
                          " || Message291.Gear == \"Drive\" && data[0] & 1 == 0"),
           QString(), QStringLiteral("id < 0x100") }) {
        apply(expression);
    }

    // The index alone, without the view's own cost per row: a collection of the matches
    // of a filter that keeps one frame in eight.
    {
        const double before = BenchUtil::residentMegabytes();
        FrameMatches matches(receiveModel);
        const FrameFilter wide = FrameFilter::compile(QStringLiteral("id & 7 == 0"), nullptr);
        bool done = matches.collect([wide](const FrameRecord &r, const FrameTails *tails) {
            return wide.matches(r, tails);
        });
        if (!done) {
            QObject::connect(&matches, &FrameMatches::finished, [&] { done = true; });
            BenchUtil::waitUntil([&] { return done; }, 600);
        }
        qint64 next = 0;
        const FrameNumberIndex index = matches.takeResult(&next);
        const double after = BenchUtil::residentMegabytes();
        out << QStringLiteral("index of %1 matching rows: %2 bytes a row resident\n")
                   .arg(index.size())
                   .arg((after - before) * 1024 * 1024 / std::max(1, index.size()), 0, 'f', 2);
    }

    // The search: frame N-1 is the only extended one, N-1 rows below the selected row 0.
    const auto search = [&](const QString &shown) {
        apply(shown);
        table->selectRow(0);
        window.findChild<QAction *>(QStringLiteral("actionFind"))->trigger();
        window.findChild<QLineEdit *>(QStringLiteral("txtSearch"))->setText("ext");
        auto *result = window.findChild<QLabel *>(QStringLiteral("lblSearchResult"));
        heartbeat.start();
        timer.start();
        filter->findNext(1);
        BenchUtil::waitUntil([&] { return !result->text().isEmpty(); }, 600);
        const double seconds = timer.nsecsElapsed() / 1e9;
        const qint64 found = table->currentIndex().sibling(table->currentIndex().row(), 0)
                                 .data().toLongLong();
        out << QStringLiteral("search \"ext\" (filter: %1): %2 s to frame %3, %4, "
                              "longest GUI gap %5 ms\n")
                   .arg(shown.isEmpty() ? QStringLiteral("none") : shown)
                   .arg(seconds, 0, 'f', 3).arg(found).arg(result->text())
                   .arg(heartbeat.stop(), 0, 'f', 1);
        if (found != frames - 1)
            ok = false;
    };
    search(QString());
    search(QStringLiteral("!rtr"));

    heartbeat.start();
    timer.start();
    table->selectRow(0);
    filter->goToTime(QTime::fromMSecsSinceStartOfDay(int(((frames - 1) / 21) % 86400000))
                         .toString(QStringLiteral("hh:mm:ss.zzz")));
    BenchUtil::waitUntil([&] { return table->currentIndex().row() > 0; }, 600);
    out << QStringLiteral("go to the last frame's time: %1 s to row %2, longest GUI gap %3 ms\n")
               .arg(timer.nsecsElapsed() / 1e9, 0, 'f', 3).arg(table->currentIndex().row())
               .arg(heartbeat.stop(), 0, 'f', 1);
    out << QStringLiteral("peak resident %1 MB\n")
               .arg(BenchUtil::peakResidentMegabytes(), 0, 'f', 0);
    return ok ? 0 : 1;
}
