#pragma once

// One signal's line in a chart: steps (a value holds until the next sample), drawn from
// the series' pixel columns so that each column shows the true minimum and maximum of
// the samples it covers, and broken where samples pause for more than ten mean cycles.
// Its own y scale, which the chart's axes show for its first two lines. GUI thread only.

#include <QColor>
#include <QRect>
#include <QVector>
#include <qwt_interval.h>
#include <qwt_plot_item.h>

#include <vector>

class SampleSeries;

class PlotCurve : public QwtPlotItem
{
public:
    PlotCurve(const SampleSeries *series, const QColor &colour);

    int rtti() const override { return Rtti_PlotUserItem + 1; }
    void draw(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
              const QRectF &canvasRect) const override;

    const SampleSeries *series() const { return samples; }
    void setSeries(const SampleSeries *series) { samples = series; }
    QColor colour() const { return pen; }
    // The plot's seconds count from originUs; a line ends at latestUs, the newest frame.
    void setTime(qint64 originUs, qint64 latestUs);
    void setRange(const QwtInterval &range) { yRange = range; }
    QwtInterval range() const { return yRange; }
    // The y map of this line over the canvas that `yMap` (the chart's) spans.
    QwtScaleMap valueMap(const QwtScaleMap &yMap) const;

    // An upright segment of one pixel column, top and bottom pixel rows included.
    struct Upright
    {
        int x;
        int top;
        int bottom;
    };
    // Rectangles covering exactly the pixels of `uprights` (in ascending x), fewer pixel
    // rows of them than one per column.
    static void mergeUprights(const std::vector<Upright> &uprights, QVector<QRect> *rects);

private:
    const SampleSeries *samples;
    QColor pen;
    QwtInterval yRange = QwtInterval(0, 1);
    qint64 originUs = 0;
    qint64 latestUs = 0;
};
