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

trace::Frame traceFrame(const FrameRecord &record, const FrameTails *tails)
{
    trace::Frame frame;
    frame.error = record.flags & FrameRecord::Error;
    // An error row's identifier column is its class bits, which the formats carry as the
    // identifier of the error frame.
    frame.id = frame.error ? record.errorClass : record.id;
    frame.extended = record.flags & FrameRecord::Extended;
    frame.remote = record.flags & FrameRecord::Remote;
    // An error event is no write of ours, whatever its outcome column says.
    frame.success = frame.error || (record.flags & FrameRecord::Success);
    frame.tx = record.direction == 1;
    frame.dlc = record.dlc;
    std::memcpy(frame.data, record.data, std::min<size_t>(record.size, sizeof frame.data));
    if (!frame.error && (record.flags & FrameRecord::Fd)) {
        frame.fd = true;
        frame.brs = record.flags & FrameRecord::Brs;
        frame.esi = record.flags & FrameRecord::Esi;
        const quint8 *tail = record.dlc > record.size && tails ? tails->at(record.errorClass)
                                                               : nullptr;
        if (tail)
            std::memcpy(frame.data + record.size, tail, size_t(record.dlc - record.size));
        else
            frame.dlc = record.size;
    }
    frame.timestampUs = record.timestampUs;
    return frame;
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
