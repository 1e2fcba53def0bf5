#include "tracemenu/tracesave.h"

#include <QFile>

#include <cstring>

namespace {

constexpr int rowsPerSlice = 4096;

const trace::Format saveFormats[] = { trace::Format::CandumpLog, trace::Format::Asc,
                                      trace::Format::Pcap, trace::Format::Blf };

} // namespace

QStringList traceSaveFilters()
{
    return { QStringLiteral("candump 日志 (*.log)"), QStringLiteral("Vector ASC (*.asc)"),
             QStringLiteral("pcap 抓包 (*.pcap)"), QStringLiteral("Vector BLF (*.blf)") };
}

trace::Format traceSaveFormat(QString *path, const QString &selectedFilter)
{
    const trace::Format named = trace::formatForPath(path->toStdString());
    for (trace::Format format : saveFormats) {
        if (format == named)
            return format;
    }
    const int filter = traceSaveFilters().indexOf(selectedFilter);
    if (filter < 0)
        return trace::Format::Unknown;
    const trace::Format chosen = saveFormats[filter];
    *path += QLatin1Char('.') + QLatin1String(trace::extensionOf(chosen));
    return chosen;
}

TraceSave::TraceSave(FrameLogSnapshot snapshot, const QString &path, trace::Format format,
                     QObject *parent)
    // The base binds the snapshot by reference: its row count is read before the move.
    : SnapshotWriter(std::move(snapshot), snapshot.rowCount(), -1, path, parent)
    , format(format)
{
}

TraceSave::~TraceSave()
{
    stop();
}

bool TraceSave::write()
{
    std::string why;
    auto writer = trace::Writer::create(QFile::encodeName(path()).toStdString(), format,
                                        &why);
    if (!writer) {
        error = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    markCreated();
    const int total = snapshot.rowCount();
    for (int row = 0; row < total; ++row) {
        const trace::Frame frame = traceFrame(snapshot.record(row), &snapshot.tails());
        if (!frame.success) {
            ++refused;
            continue;
        }
        if (!writer->write(frame)) {
            error = QString::fromLocal8Bit(writer->error().c_str());
            return false;
        }
        if ((row + 1) % rowsPerSlice == 0 && !reportRows(row + 1))
            return false;
    }
    if (!writer->close()) {
        error = QString::fromLocal8Bit(writer->error().c_str());
        return false;
    }
    written = writer->framesWritten();
    return true;
}
