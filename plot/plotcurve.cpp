#include "plot/plotcurve.h"

#include "plot/sampleseries.h"

#include <QPainter>
#include <qwt_scale_map.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Columns wider than this are not merged: the parts outside a long run's common band
// would outweigh it.
constexpr int longestRun = 32;

} // namespace

void PlotCurve::mergeUprights(const std::vector<Upright> &uprights, QVector<QRect> *rects)
{
    // The raster engine fills a rectangle line by line, so a busy signal's columns, each
    // nearly as tall as the chart, cost a call per pixel row. Neighbouring columns mostly
    // share a band: filled once for the whole run, it leaves each column only its ends.
    // The pixels covered stay exactly the same.
    size_t i = 0;
    while (i < uprights.size()) {
        int top = uprights[i].top;
        int bottom = uprights[i].bottom;
        const int least = (bottom - top + 1) / 2;
        size_t j = i + 1;
        while (j < uprights.size() && j - i < size_t(longestRun)
               && uprights[j].x == uprights[j - 1].x + 1) {
            const int sharedTop = std::max(top, uprights[j].top);
            const int sharedBottom = std::min(bottom, uprights[j].bottom);
            if (sharedBottom - sharedTop + 1 < std::max(least, 4))
                break;
            top = sharedTop;
            bottom = sharedBottom;
            ++j;
        }
        if (j - i == 1) {
            rects->append(QRect(uprights[i].x, uprights[i].top, 1,
                                uprights[i].bottom - uprights[i].top + 1));
            i = j;
            continue;
        }
        rects->append(QRect(uprights[i].x, top, int(j - i), bottom - top + 1));
        for (; i < j; ++i) {
            const Upright &column = uprights[i];
            if (column.top < top)
                rects->append(QRect(column.x, column.top, 1, top - column.top));
            if (column.bottom > bottom)
                rects->append(QRect(column.x, bottom + 1, 1, column.bottom - bottom));
        }
    }
}

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

    // Every segment is upright or level: one-pixel rectangles, which the raster engine
    // fills far faster than it strokes lines. Upright ones are merged before they are
    // filled (mergeUprights()).
    QVector<QRect> spans;
    spans.reserve(2 * width + 2);
    std::vector<Upright> uprights;
    uprights.reserve(size_t(width));
    auto upright = [&uprights](double x, double y1, double y2) {
        uprights.push_back({ int(std::floor(x)), qRound(std::min(y1, y2)),
                             qRound(std::max(y1, y2)) });
    };
    auto level = [&spans](double x1, double x2, double y) {
        const int from = int(std::floor(x1));
        spans.append(QRect(from, qRound(y), int(std::floor(x2)) - from + 1, 1));
    };
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
            // From the column next door the vertical line, which spans the held value,
            // joins them already; only a wider step needs its flat part drawn.
            if (px - heldX > 1.5)
                level(heldX, px, yOf(heldValue));
            lo = std::min(lo, heldValue);
            hi = std::max(hi, heldValue);
        }
        if (lo == hi && !joined)
            level(px - 1, px + 1, yOf(lo)); // a lone sample: a short dash
        else
            upright(px, yOf(lo), yOf(hi));
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
            level(heldX, untilX, yOf(heldValue));
    }

    mergeUprights(uprights, &spans);
    // One call for all of them: a brush made per rectangle would cost more than its fill.
    painter->save();
    painter->setPen(Qt::NoPen);
    painter->setBrush(pen);
    painter->drawRects(spans.constData(), spans.size());
    painter->restore();
}
