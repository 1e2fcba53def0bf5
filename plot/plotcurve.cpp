#include "plot/plotcurve.h"

#include "plot/sampleseries.h"

#include <QPainter>
#include <qwt_scale_map.h>

#include <cmath>
#include <limits>

PlotCurve::PlotCurve(const SampleSeries *series, const QColor &colour)
    : samples(series)
    , pen(colour)
{
    setZ(20);
    setItemAttribute(AutoScale, false);
}

void PlotCurve::setTime(qint64 origin, qint64 latest)
{
    originUs = origin;
    latestUs = latest;
}

QwtScaleMap PlotCurve::valueMap(const QwtScaleMap &yMap) const
{
    QwtScaleMap map;
    map.setPaintInterval(yMap.p1(), yMap.p2());
    map.setScaleInterval(yRange.minValue(), yRange.maxValue());
    return map;
}

void PlotCurve::draw(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                     const QRectF &canvasRect) const
{
    const SampleSeries &series = *samples;
    const int width = int(std::floor(canvasRect.width()));
    if (series.isEmpty() || width <= 0)
        return;
    const QwtScaleMap values = valueMap(yMap);
    const double fromUs = originUs + xMap.s1() * 1e6;
    const double toUs = originUs + xMap.s2() * 1e6;
    const QVector<PlotColumn> columns = series.columns(fromUs, toUs, width);
    const double cycle = series.meanCycleUs();
    const double gapUs = cycle > 0 ? 10 * cycle : std::numeric_limits<double>::infinity();
    const double left = canvasRect.left();
    const double right = canvasRect.right();
    // Values far off the scale are clipped to just outside the canvas.
    auto yOf = [&](double v) {
        const double y = values.transform(v);
        return qBound(canvasRect.top() - 2, y, canvasRect.bottom() + 2);
    };

    QVector<QLineF> lines;
    QVector<QPointF> dots;
    lines.reserve(2 * width + 2);
    qint64 held = (columns.isEmpty() ? series.endIndex() : columns.first().begin) - 1;
    bool holding = held >= series.firstIndex();
    double heldValue = holding ? series.value(held) : 0;
    double heldX = left;
    qint64 heldTime = holding ? series.timeUs(held) : 0;
    for (int x = 0; x < width; ++x) {
        const PlotColumn &column = columns.at(x);
        if (column.isEmpty() || !std::isfinite(column.min))
            continue;
        const double px = left + x + 0.5;
        const bool joined = holding && heldValue == heldValue
            && double(series.timeUs(column.begin) - heldTime) <= gapUs;
        double lo = column.min;
        double hi = column.max;
        if (joined) {
            lines.append(QLineF(heldX, yOf(heldValue), px, yOf(heldValue)));
            lo = std::min(lo, heldValue);
            hi = std::max(hi, heldValue);
        }
        if (lo == hi && !joined)
            dots.append(QPointF(px, yOf(lo)));
        else
            lines.append(QLineF(px, yOf(lo), px, yOf(hi)));
        holding = true;
        held = column.end - 1;
        heldValue = series.value(held);
        heldTime = series.timeUs(held);
        heldX = px;
    }
    if (holding && heldValue == heldValue) {
        // The last value holds to the next sample, or up to the newest frame while the
        // signal is not overdue.
        qint64 untilUs = std::min<double>(latestUs, heldTime + std::min(gapUs, 1e15));
        if (held + 1 < series.endIndex()) {
            const qint64 next = series.timeUs(held + 1);
            untilUs = double(next - heldTime) <= gapUs ? next : heldTime;
        }
        const double untilX = std::min(right, xMap.transform((untilUs - originUs) / 1e6));
        if (untilX > heldX)
            lines.append(QLineF(heldX, yOf(heldValue), untilX, yOf(heldValue)));
    }

    painter->save();
    QPen line(pen, 0);
    painter->setPen(line);
    painter->drawLines(lines);
    // A lone sample is a short dash, visible where no line joins it.
    for (const QPointF &dot : dots)
        painter->drawLine(QLineF(dot.x() - 1, dot.y(), dot.x() + 1, dot.y()));
    painter->restore();
}
