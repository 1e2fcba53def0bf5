#include "plot/plotchart.h"

#include "plot/plotcurve.h"

#include <QMouseEvent>
#include <QWheelEvent>
#include <qwt_picker_machine.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_marker.h>
#include <qwt_plot_picker.h>
#include <qwt_scale_widget.h>

#include <cmath>

namespace {

// One notch of the wheel zooms by this factor.
constexpr double wheelFactor = 1.25;

} // namespace

PlotChart::PlotChart(QWidget *parent)
    : QwtPlot(parent)
{
    setCanvasBackground(Qt::white);
    // Every redraw paints all of the canvas anyway: a backing store would only add a copy.
    if (auto *plotCanvas = qobject_cast<QwtPlotCanvas *>(canvas()))
        plotCanvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);
    setAutoReplot(false);
    auto *grid = new QwtPlotGrid;
    // Solid: dashed lines cost the raster engine far more at every redraw.
    grid->setMajorPen(QColor(232, 232, 232), 0, Qt::SolidLine);
    grid->attach(this);
    for (int i = 0; i < 2; ++i) {
        cursorMarkers[i] = new QwtPlotMarker;
        cursorMarkers[i]->setLineStyle(QwtPlotMarker::VLine);
        cursorMarkers[i]->setLinePen(i == 0 ? QColor(200, 0, 0) : QColor(0, 0, 200), 0,
                                     Qt::DashLine);
        cursorMarkers[i]->setLabel(QwtText(i == 0 ? QStringLiteral("1") : QStringLiteral("2")));
        cursorMarkers[i]->setLabelAlignment(Qt::AlignTop | Qt::AlignRight);
        cursorMarkers[i]->setZ(30);
        cursorMarkers[i]->attach(this);
        cursorMarkers[i]->hide();
    }
    enableAxis(QwtPlot::yRight);
    setAxisAutoScale(QwtPlot::xBottom, false);
    canvas()->installEventFilter(this);
    canvas()->setMouseTracking(true);

    picker = new QwtPlotPicker(QwtPlot::xBottom, QwtPlot::yLeft, QwtPicker::RectRubberBand,
                               QwtPicker::AlwaysOff, canvas());
    picker->setStateMachine(new QwtPickerDragRectMachine);
    picker->setMousePattern(QwtEventPattern::MouseSelect1, Qt::RightButton);
    picker->setRubberBandPen(QColor(0, 120, 215));
    connect(picker, static_cast<void (QwtPlotPicker::*)(const QRectF &)>(
                        &QwtPlotPicker::selected),
            this, [this](const QRectF &rect) {
                const double left = transform(QwtPlot::xBottom, rect.left());
                const double right = transform(QwtPlot::xBottom, rect.right());
                // A band a few pixels wide is a slip of the hand, not a zoom.
                if (std::abs(right - left) >= 4)
                    emit rangeRequested(rect.left(), rect.right());
            });
}

void PlotChart::addCurve(PlotCurve *curve)
{
    lines.append(curve);
    curve->attach(this);
    updateAxes();
}

void PlotChart::takeCurve(PlotCurve *curve)
{
    lines.removeAll(curve);
    curve->detach();
    updateAxes();
}

void PlotChart::updateAxes()
{
    const int axes[2] = {QwtPlot::yLeft, QwtPlot::yRight};
    for (int i = 0; i < 2; ++i) {
        QwtScaleWidget *scale = axisWidget(axes[i]);
        if (i < lines.size()) {
            const PlotCurve *curve = lines.at(i);
            setAxisScale(axes[i], curve->range().minValue(), curve->range().maxValue());
            QPalette palette = scale->palette();
            palette.setColor(QPalette::WindowText, curve->colour());
            palette.setColor(QPalette::Text, curve->colour());
            scale->setPalette(palette);
            axisScaleDraw(axes[i])->enableComponent(QwtAbstractScaleDraw::Labels, true);
            QwtText title(curve->title());
            title.setColor(curve->colour());
            QFont font = title.font();
            font.setPointSizeF(font.pointSizeF() * 0.85);
            title.setFont(font);
            setAxisTitle(axes[i], title);
        } else {
            axisScaleDraw(axes[i])->enableComponent(QwtAbstractScaleDraw::Labels, false);
            // A blank title as tall as the others keeps the canvases of all charts aligned.
            setAxisTitle(axes[i], QStringLiteral(" "));
        }
    }
}

void PlotChart::setCursors(bool shown, double first, double second)
{
    cursorMarkers[0]->setVisible(shown);
    cursorMarkers[1]->setVisible(shown);
    cursorMarkers[0]->setXValue(first);
    cursorMarkers[1]->setXValue(second);
}

double PlotChart::secondsAt(double x) const
{
    return canvasMap(QwtPlot::xBottom).invTransform(x);
}

int PlotChart::cursorNear(double x) const
{
    const QwtScaleMap map = canvasMap(QwtPlot::xBottom);
    for (int i = 0; i < 2; ++i) {
        if (cursorMarkers[i]->isVisible()
            && std::abs(map.transform(cursorMarkers[i]->xValue()) - x) <= 4)
            return i;
    }
    return -1;
}

bool PlotChart::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != canvas())
        return QwtPlot::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Wheel: {
        auto *wheel = static_cast<QWheelEvent *>(event);
        const double notches = wheel->angleDelta().y() / 120.0;
        if (notches != 0)
            emit zoomRequested(secondsAt(wheel->position().x()), std::pow(wheelFactor, -notches));
        return true;
    }
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        pressed = true;
        moved = false;
        pressPosition = mouse->pos();
        lastX = mouse->pos().x();
        draggedCursor = cursorNear(mouse->pos().x());
        return true;
    }
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (!pressed) {
            canvas()->setCursor(cursorNear(mouse->pos().x()) >= 0 ? Qt::SizeHorCursor
                                                                  : Qt::CrossCursor);
            break;
        }
        if ((mouse->pos() - pressPosition).manhattanLength() > 3)
            moved = true;
        if (!moved)
            return true;
        if (draggedCursor >= 0) {
            emit cursorDragged(draggedCursor, secondsAt(mouse->pos().x()));
        } else {
            emit panRequested(secondsAt(lastX) - secondsAt(mouse->pos().x()));
            lastX = mouse->pos().x();
        }
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton || !pressed)
            break;
        pressed = false;
        if (!moved)
            emit clicked(mouse->localPos());
        return true;
    }
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            pressed = false;
            emit showAllRequested();
            return true;
        }
        break;
    default:
        break;
    }
    return QwtPlot::eventFilter(watched, event);
}
