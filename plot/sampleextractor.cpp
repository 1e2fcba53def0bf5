#include "plot/sampleextractor.h"

#include <QLocale>

SampleExtractor::SampleExtractor(const QVector<const PlotSignal *> &signalList,
                                 const QVector<SampleSeries *> &series)
    : signalList(signalList)
    , series(series)
{
    for (int i = 0; i < signalList.size(); ++i)
        byKey[signalList.at(i)->key()].append(i);
}

void SampleExtractor::add(const FrameRecord &record, qint64 number, const FrameTails *tails)
{
    const quint64 key = dbcMessageKey(record.id, record.flags & FrameRecord::Extended);
    // A trace is mostly runs of few identifiers: the last one found is looked at first.
    if (key != lastKey) {
        const auto found = byKey.constFind(key);
        lastKey = key;
        lastIndices = found == byKey.constEnd() ? nullptr : &found.value();
    }
    if (!lastIndices)
        return;
    const qint64 timeUs = plotFrameTimeUs(record);
    for (int index : *lastIndices) {
        double value;
        if (signalList.at(index)->sample(record, tails, &value))
            series.at(index)->append(timeUs, number, value);
    }
}

namespace {

void appendTime(QByteArray *line, qint64 timeUs)
{
    if (timeUs < 0) {
        line->append('-');
        timeUs = -timeUs;
    }
    line->append(QByteArray::number(timeUs / 1000000));
    char fraction[8];
    qint64 rest = timeUs % 1000000;
    fraction[0] = '.';
    for (int i = 6; i >= 1; --i) {
        fraction[i] = char('0' + rest % 10);
        rest /= 10;
    }
    line->append(fraction, 7);
}

} // namespace

bool writePlotCsv(QIODevice *device, const QVector<const PlotSignal *> &signalList,
                  const QVector<const SampleSeries *> &series,
                  const std::function<bool(qint64)> &progress, QString *error)
{
    QByteArray buffer = QStringLiteral("时间(s)").toUtf8();
    for (const PlotSignal *signal : signalList)
        buffer += ',' + signal->title().toUtf8();
    buffer += '\n';

    const int count = series.size();
    QVector<qint64> next(count);
    for (int i = 0; i < count; ++i)
        next[i] = series.at(i)->firstIndex();
    QVector<QByteArray> cells(count);
    qint64 lines = 0;
    auto flush = [&] {
        if (device->write(buffer) != buffer.size()) {
            *error = device->errorString();
            return false;
        }
        buffer.clear();
        return true;
    };
    for (;;) {
        // The earliest frame among the series' next samples, then every sample it gave.
        int earliest = -1;
        qint64 timeUs = 0;
        qint64 number = 0;
        for (int i = 0; i < count; ++i) {
            if (next[i] >= series.at(i)->endIndex())
                continue;
            const qint64 t = series.at(i)->timeUs(next[i]);
            const qint64 n = series.at(i)->number(next[i]);
            if (earliest < 0 || t < timeUs || (t == timeUs && n < number)) {
                earliest = i;
                timeUs = t;
                number = n;
            }
        }
        if (earliest < 0)
            break;
        appendTime(&buffer, timeUs);
        for (int i = 0; i < count; ++i) {
            buffer += ',';
            const SampleSeries *s = series.at(i);
            if (next[i] < s->endIndex() && s->number(next[i]) == number
                && s->timeUs(next[i]) == timeUs) {
                buffer += QByteArray::number(s->value(next[i]), 'g',
                                             QLocale::FloatingPointShortest);
                ++next[i];
            }
        }
        buffer += '\n';
        if (++lines % 65536 == 0) {
            if (!flush())
                return false;
            if (progress && !progress(lines)) {
                *error = QStringLiteral("已取消");
                return false;
            }
        }
    }
    return flush();
}
