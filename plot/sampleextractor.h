#pragma once

// Feeds frames to the series of the plotted signals: each frame of a plotted identifier
// gives every signal it carries one sample. The signals and series belong to the caller
// and must outlive the extractor; the extractor is used by one thread at a time (a worker
// building new series over the frame log, or the GUI thread with each tick's frames).

#include "plot/plotsignal.h"
#include "plot/sampleseries.h"

#include <QHash>
#include <QIODevice>
#include <QVector>

#include <functional>

class SampleExtractor
{
public:
    SampleExtractor(const QVector<const PlotSignal *> &signalList,
                    const QVector<SampleSeries *> &series);

    // False at once for a frame of an identifier nobody plots.
    bool wants(quint32 id, bool extended) const
    {
        return byKey.contains(dbcMessageKey(id, extended));
    }
    // `tails` holds the bytes beyond the eighth of the FD records.
    void add(const FrameRecord &record, qint64 number, const FrameTails *tails);

private:
    QVector<const PlotSignal *> signalList;
    QVector<SampleSeries *> series;
    QHash<quint64, QVector<int>> byKey; // signal indices by identifier
    quint64 lastKey = ~quint64(0);
    const QVector<int> *lastIndices = nullptr;
};

// Writes the plotted samples as CSV (UTF-8, LF): the header "时间(s)" and each signal's
// title, then one line per frame that carries any of them, in time order (frames of one
// time by number): the frame's time in seconds with six decimals and each signal's value
// from that frame, empty where the frame carries none. `progress(lines)` is called now and
// then and stops the export when it returns false. Returns false when writing failed or
// was stopped, with the device's error in `error`.
bool writePlotCsv(QIODevice *device, const QVector<const PlotSignal *> &signalList,
                  const QVector<const SampleSeries *> &series,
                  const std::function<bool(qint64)> &progress, QString *error);
