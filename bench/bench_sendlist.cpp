// Measures large send lists in the transmit panel, offscreen: saving N rows to a new file
// and over that file, loading them back, and the same load through the toolkit's settings
// class for comparison. For each it reports the wall time, the longest gap between beats
// of a 5 ms timer on the GUI thread, and for the load the resident memory per row kept.
//
// Usage: bench_sendlist [rows]   (default 200000)
//        bench_sendlist --file <list.ini>
// The second form only loads the file given, as "从文件加载" does, and reports the time,
// the rows kept and the resident memory before anything is trimmed and at its peak.
// The exit status is 1 when the loaded list differs from the saved one.

#include "bench/benchutil.h"
#include "transmit/datasendwidget.h"
#include "transmit/sendlistfile.h"
#include "transmit/sendlistmodel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <malloc.h>

namespace {

using BenchUtil::Heartbeat;

SendListRows typicalRows(int count)
{
    SendListRows rows;
    rows.reserve(count);
    for (int r = 0; r < count; ++r) {
        rows.append(SendListRow({QString::number(r + 1), QStringLiteral("row %1").arg(r),
                                 QStringLiteral("0x%1").arg(r % 0x800, 2, 16, QLatin1Char('0')),
                                 QStringLiteral("11 22 33 44 55 66 77 88"),
                                 QStringLiteral("0x08"), QStringLiteral("1"),
                                 QStringLiteral("1"), QStringLiteral("数据帧"),
                                 QStringLiteral("标准帧"), QStringLiteral("10")}));
    }
    return rows;
}

struct Run
{
    double seconds = 0;
    double longestGapMs = 0;
};

Run timed(DataSendWidget *panel, const std::function<void()> &start)
{
    Heartbeat beat;
    QElapsedTimer clock;
    bool finished = false;
    const auto connection = QObject::connect(panel, &DataSendWidget::fileOperationFinished,
                                             [&finished] { finished = true; });
    beat.start();
    clock.start();
    start();
    BenchUtil::waitUntil([&finished] { return finished; }, 600);
    Run run;
    run.seconds = BenchUtil::secondsOf(clock);
    run.longestGapMs = beat.stop();
    QObject::disconnect(connection);
    return run;
}

int loadOnly(const QString &path)
{
    DataSendWidget panel;
    panel.resize(1000, 700);
    panel.show();
    QString message;
    QObject::connect(&panel, &DataSendWidget::statusMessage,
                     [&message](const QString &text) { message = text; });
    QApplication::processEvents();
    const double before = BenchUtil::residentMegabytes();
    BenchUtil::resetPeakResident();
    const Run load = timed(&panel, [&] { panel.loadList(path); });
    const double after = BenchUtil::residentMegabytes();
    const int rows = panel.findChild<QTableView *>("tableView")->model()->rowCount();
    std::printf("file %.1f MB: %d rows in %.3f s, longest GUI gap %.1f ms\n",
                double(QFile(path).size()) / 1e6, rows, load.seconds, load.longestGapMs);
    std::printf("resident %.1f -> %.1f MB (peak %.1f MB), untrimmed\n", before, after,
                BenchUtil::peakResidentMegabytes());
    std::printf("status: %s\n", qPrintable(message));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], "--file") == 0)
        return loadOnly(QString::fromLocal8Bit(argv[2]));
    const int rows = argc > 1 ? std::max(1, atoi(argv[1])) : 200000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.ini"));

    DataSendWidget panel;
    panel.resize(1000, 700);
    panel.show();
    auto model = qobject_cast<SendListModel *>(panel.findChild<QTableView *>("tableView")
                                                       ->model());
    const SendListRows saved = typicalRows(rows);
    model->setRows(saved);
    QApplication::processEvents();

    const Run saveNew = timed(&panel, [&] { panel.saveList(path); });
    const Run saveOver = timed(&panel, [&] { panel.saveList(path); });
    const double fileMb = double(QFile(path).size()) / 1e6;

    model->setRows({});
    malloc_trim(0);
    const double before = BenchUtil::residentMegabytes();
    const Run load = timed(&panel, [&] { panel.loadList(path); });
    malloc_trim(0);
    const double after = BenchUtil::residentMegabytes();

    bool same = model->rowCount() == rows;
    for (int r = 0; same && r < rows; r += std::max(1, rows / 1000)) {
        for (int c = 0; c < SendListRow::cellCount; ++c)
            same = same && model->cell(r, c) == saved.at(r).cell(c);
    }

    // The settings class reads the same file on the GUI thread, as the list once did.
    QElapsedTimer settingsClock;
    settingsClock.start();
    int settingsRows = 0;
    {
        QSettings settings(path, QSettings::IniFormat);
        const int count = settings.value(QStringLiteral("INFO/Count")).toInt();
        for (int r = 0; r < count; ++r)
            settingsRows += settings.value(QStringLiteral("CMD%1/3").arg(r)).isValid();
    }
    const double settingsSeconds = BenchUtil::secondsOf(settingsClock);

    std::printf("rows %d, file %.1f MB\n", rows, fileMb);
    std::printf("save to a new file: %.3f s, longest GUI gap %.1f ms\n", saveNew.seconds,
                saveNew.longestGapMs);
    std::printf("save over that file: %.3f s, longest GUI gap %.1f ms\n", saveOver.seconds,
                saveOver.longestGapMs);
    std::printf("load: %.3f s, longest GUI gap %.1f ms, resident %.1f -> %.1f MB, "
                "%.0f bytes a row\n",
                load.seconds, load.longestGapMs, before, after,
                (after - before) * 1024 * 1024 / rows);
    std::printf("settings class reading the same file (GUI thread): %.3f s, %d rows\n",
                settingsSeconds, settingsRows);
    std::printf("loaded list %s the saved one\n", same ? "matches" : "DIFFERS FROM");
    return same ? 0 : 1;
}
