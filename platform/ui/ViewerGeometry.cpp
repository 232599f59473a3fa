// The viewer window's arithmetic: zoom steps, mapping, clamping, placement.
#include "ViewerGeometry.h"

#include <algorithm>
#include <cmath>

namespace ui::viewer {

double FitZoom(QSize frame, QSize canvas)
{
    if (frame.width() <= 0 || frame.height() <= 0 || canvas.width() <= 0 || canvas.height() <= 0)
        return 1;
    return std::min(double(canvas.width()) / frame.width(), double(canvas.height()) / frame.height());
}

double ZoomIn(double zoom)
{
    // A step a hair above the zoom counts as the zoom itself: fit can land
    // on one through rounding.
    for (double step = kMinStep; step <= kMaxZoom; step *= 2)
        if (step > zoom * (1 + 1e-9))
            return step;
    return kMaxZoom;
}

double ZoomOut(double zoom, double fit)
{
    const double floor = std::min(fit, 1.0);
    double below = 0;
    for (double step = kMinStep; step <= kMaxZoom; step *= 2)
        if (step < zoom * (1 - 1e-9))
            below = step;
    return below > floor ? below : floor;
}

QPointF ToScreen(const imaging::View& view, QPointF camera)
{
    return {(camera.x() - view.left) * view.zoom, (camera.y() - view.top) * view.zoom};
}

QPointF ToCamera(const imaging::View& view, QPointF screen)
{
    return {view.left + screen.x() / view.zoom, view.top + screen.y() / view.zoom};
}

QPoint PixelAt(const imaging::View& view, QPoint screen)
{
    const QPointF c = ToCamera(view, QPointF(screen.x() + 0.5, screen.y() + 0.5));
    // Far outside any frame the position may not fit an int.
    const auto toInt = [](double v) { return int(std::clamp(std::floor(v), -2e9, 2e9)); };
    return {toInt(c.x()), toInt(c.y())};
}

imaging::View ZoomAround(const imaging::View& view, double zoom, QPoint screen)
{
    const QPoint pixel = PixelAt(view, screen);
    const QPointF centre(screen.x() + 0.5, screen.y() + 0.5);
    const QPointF camera = ToCamera(view, centre);
    imaging::View v;
    v.zoom = zoom;
    v.left = camera.x() - centre.x() / zoom;
    v.top = camera.y() - centre.y() / zoom;
    if (zoom >= 1) {
        // On whole screen pixels, as Clamp puts it, by the step that keeps
        // the pixel where it was.
        const auto snap = [zoom](double start, int want, double at) {
            const double base = std::round(start * zoom) / zoom;
            for (double d : {0.0, -1.0, 1.0})
                if (std::floor(base + d / zoom + at / zoom) == want)
                    return base + d / zoom;
            return base;
        };
        v.left = snap(v.left, pixel.x(), centre.x());
        v.top = snap(v.top, pixel.y(), centre.y());
    }
    return v;
}

imaging::View PanBy(const imaging::View& view, double dx, double dy)
{
    imaging::View v = view;
    v.left -= dx / view.zoom;
    v.top -= dy / view.zoom;
    return v;
}

namespace {

// One side: centred when it fits, else within [0, frame - seen].
double ClampSide(double start, double frame, double canvas, double zoom)
{
    const double seen = canvas / zoom;
    if (!std::isfinite(start))
        start = 0;
    double v = seen >= frame ? (frame - seen) / 2 : std::clamp(start, 0.0, frame - seen);
    // At 1:1 and closer a camera pixel's edge falls on a screen pixel's, so
    // that each is drawn as a whole block of zoom x zoom.
    if (zoom >= 1)
        v = std::round(v * zoom) / zoom;
    return v;
}

}  // namespace

imaging::View Clamp(const imaging::View& view, QSize frame, QSize canvas, double fit)
{
    imaging::View v = view;
    const double least = std::min(fit, 1.0);
    if (!(v.zoom >= least))  // a NaN too
        v.zoom = least;
    v.zoom = std::min(v.zoom, kMaxZoom);
    v.left = ClampSide(v.left, std::max(frame.width(), 0), std::max(canvas.width(), 1), v.zoom);
    v.top = ClampSide(v.top, std::max(frame.height(), 0), std::max(canvas.height(), 1), v.zoom);
    return v;
}

imaging::View Fit(QSize frame, QSize canvas)
{
    const double fit = FitZoom(frame, canvas);
    imaging::View v;
    v.zoom = fit;
    return Clamp(v, frame, canvas, fit);
}

QRect PlaceBeside(const QRect& owner, QSize size, const QRect& screen, QSize least, int gap)
{
    const int w = std::min(size.width(), screen.width());
    const int h = std::min(size.height(), screen.height());
    const auto clampY = [&](int y) { return std::clamp(y, screen.top(), screen.bottom() - h + 1); };
    const auto clampX = [&](int x) { return std::clamp(x, screen.left(), screen.right() - w + 1); };
    if (owner.right() + 1 + gap + w - 1 <= screen.right())
        return {owner.right() + 1 + gap, clampY(owner.top()), w, h};
    if (owner.left() - gap - w >= screen.left())
        return {owner.left() - gap - w, clampY(owner.top()), w, h};
    if (owner.bottom() + 1 + gap + h - 1 <= screen.bottom())
        return {clampX(owner.left()), owner.bottom() + 1 + gap, w, h};
    if (owner.top() - gap - h >= screen.top())
        return {clampX(owner.left()), owner.top() - gap - h, w, h};
    // No side has room for the whole size: the side that leaves the most,
    // narrowed or shortened to it, while that is at least least.
    const int room[4] = {screen.right() - owner.right() - gap, owner.left() - screen.left() - gap,
                         screen.bottom() - owner.bottom() - gap, owner.top() - screen.top() - gap};
    int best = -1;
    int64_t bestArea = 0;
    for (int side = 0; side < 4; ++side) {
        const bool across = side < 2;
        const int length = std::min(room[side], across ? w : h);
        if (length < (across ? least.width() : least.height()))
            continue;
        const int64_t area = int64_t(length) * (across ? h : w);
        if (area > bestArea) {
            best = side;
            bestArea = area;
        }
    }
    switch (best) {
    case 0: return {owner.right() + 1 + gap, clampY(owner.top()), room[0], h};
    case 1: return {owner.left() - gap - room[1], clampY(owner.top()), room[1], h};
    case 2: return {clampX(owner.left()), owner.bottom() + 1 + gap, w, room[2]};
    case 3: return {clampX(owner.left()), owner.top() - gap - room[3], w, room[3]};
    default: break;
    }
    // Too little room anywhere: against the screen's edge on the side with most.
    const int right = screen.right() - owner.right(), left = owner.left() - screen.left();
    return {right >= left ? screen.right() - w + 1 : screen.left(), clampY(owner.top()), w, h};
}

}  // namespace ui::viewer
