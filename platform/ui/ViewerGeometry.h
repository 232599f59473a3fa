// The viewer window's arithmetic, apart from its widgets so that it can be
// checked without a display: the zoom steps, where a camera pixel lands on
// the canvas and back, zooming around a point, keeping the frame in sight,
// and where the window first opens beside the dialog.
#pragma once

#include "platform/imaging/inspect/Inspect.h"

#include <QPointF>
#include <QRect>
#include <QSize>

namespace ui::viewer {

// The closest zoom in (16 screen pixels per camera pixel) and the fixed steps
// below 1:1 the keys and the wheel go through: 1/64, 1/32 ... 1/2, 1, 2, 4, 8, 16.
constexpr double kMaxZoom = 16;
constexpr double kMinStep = 1.0 / 64;

// The zoom at which a frame of frame fits into canvas, aspect kept; 1 for an
// empty frame or canvas.
double FitZoom(QSize frame, QSize canvas);
// The next step above zoom (at most kMaxZoom), and the next step below it,
// but never below the smaller of fit and 1: further out shows less than fit.
double ZoomIn(double zoom);
double ZoomOut(double zoom, double fit);

// Screen (canvas) position of a camera position, and back; camera positions
// are continuous, pixel (x, y) covers [x, x + 1) x [y, y + 1).
QPointF ToScreen(const imaging::View& view, QPointF camera);
QPointF ToCamera(const imaging::View& view, QPointF screen);
// The camera pixel the canvas pixel (sx, sy) shows, by its centre; may lie
// outside the frame.
QPoint PixelAt(const imaging::View& view, QPoint screen);

// The view at zoom with the camera pixel under canvas pixel screen kept
// there (at 1:1 and closer on whole screen pixels, as Clamp leaves it).
imaging::View ZoomAround(const imaging::View& view, double zoom, QPoint screen);
// The view moved by the screen pixels dx, dy (content follows the pointer).
imaging::View PanBy(const imaging::View& view, double dx, double dy);
// The view with the frame kept in sight: a side that fits into the canvas is
// centred on it; a side that does not covers it, never leaving an edge of
// background while frame is left to see. A zoom outside its limits (or not a
// number) comes back within them.
imaging::View Clamp(const imaging::View& view, QSize frame, QSize canvas, double fit);
// The whole frame fitted and centred.
imaging::View Fit(QSize frame, QSize canvas);

// Where a window of size first opens beside owner within screen: right of
// owner when there is room, else left, else below, else above; with room
// for none of them, on the side with the most, made as narrow or short as
// that room, while it is at least least; else against the screen's edge,
// over owner as little as may be. Never larger than the screen. gap:
// pixels between them.
QRect PlaceBeside(const QRect& owner, QSize size, const QRect& screen, QSize least = {400, 300}, int gap = 8);

}  // namespace ui::viewer
