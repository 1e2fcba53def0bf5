#pragma once

// One chart of the plot window: a Qwt plot whose lines (PlotCurve) share the window's
// time axis, with the two cursors as markers and a rubber band (right button) picker.
// It turns the wheel, drags, clicks and double-clicks on its canvas into requests the
// window carries out on every chart alike. GUI thread only.

#include <qwt_plot.h>

#include <QList>

class PlotCurve;
class QwtPlotMarker;
class QwtPlotPicker;

class PlotChart : public QwtPlot
{
    Q_OBJECT

public:
    explicit PlotChart(QWidget *parent = nullptr);

    void addCurve(PlotCurve *curve);
    // Takes the curve off the chart; the caller owns it again.
    void takeCurve(PlotCurve *curve);
    const QList<PlotCurve *> &curves() const { return lines; }

    // Shows the cursors at these seconds, or hides them.
    void setCursors(bool shown, double first, double second);
    // The axes of the first two lines show their scales, in their colours.
    void updateAxes();
    // Seconds of a canvas x coordinate.
    double secondsAt(double x) const;

signals:
    void zoomRequested(double anchorSeconds, double factor);
    void panRequested(double bySeconds);
    void rangeRequested(double fromSeconds, double toSeconds);
    void showAllRequested();
    void clicked(const QPointF &canvasPosition);
    void cursorDragged(int cursor, double seconds);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int cursorNear(double x) const;

    QList<PlotCurve *> lines;
    QwtPlotMarker *cursorMarkers[2];
    QwtPlotPicker *picker = nullptr;
    bool pressed = false;
    bool moved = false;
    int draggedCursor = -1;
    QPoint pressPosition;
    double lastX = 0;
};
