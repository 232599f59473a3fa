// The viewer window's arithmetic without a display: zoom steps and their
// limits, the pixel under the wheel kept, the frame kept in sight, whole
// screen pixels per camera pixel at 1:1 and closer, and the first place
// beside the dialog.
#include "platform/ui/ViewerGeometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace ui::viewer;

imaging::View V(double left, double top, double zoom)
{
    imaging::View v;
    v.left = left;
    v.top = top;
    v.zoom = zoom;
    return v;
}

TEST(ViewerGeometry, ZoomSteps)
{
    const struct {
        double zoom, fit;
        double in, out;
    } cases[] = {
        {1, 0.3, 2, 0.5},
        {2, 0.3, 4, 1},
        {8, 0.3, 16, 4},
        {16, 0.3, 16, 8},            // the closest: no further in
        {0.5, 0.3, 1, 0.3},          // out stops at fit, not at the next step below it
        {0.3, 0.3, 0.5, 0.3},        // at fit: out stays
        {1.0 / 64, 800.0 / 65535, 1.0 / 32, 800.0 / 65535},  // a 65535-wide frame fits below the last step
        {800.0 / 65535, 800.0 / 65535, 1.0 / 64, 800.0 / 65535},
        {3, 3, 4, 2},                // between steps: to the neighbouring ones
        {2, 600, 4, 1},              // a frame smaller than the canvas: out stops at 1:1
        {1, 600, 2, 1},
        {0.5 * (1 + 1e-12), 0.1, 1, 0.25},  // a hair off a step counts as the step
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "zoom " << c.zoom << " fit " << c.fit);
        EXPECT_DOUBLE_EQ(ZoomIn(c.zoom), c.in);
        EXPECT_DOUBLE_EQ(ZoomOut(c.zoom, c.fit), c.out);
    }
}

// Wheel zooming: the camera pixel under the pointer is the one under it
// afterwards, also once the view is kept in sight (the pointer well inside a
// frame larger than the canvas at both zooms).
TEST(ViewerGeometry, ZoomAroundKeepsThePixel)
{
    const QSize frame(4000, 3000), canvas(800, 600);
    const struct {
        imaging::View view;
        double zoom;
        QPoint at;
    } cases[] = {
        {V(1000, 1000, 1), 2, {400, 300}},
        {V(1000, 1000, 1), 16, {13, 577}},
        {V(1000.25, 999.5, 4), 8, {799, 0}},
        {V(1500, 1200, 16), 8, {250, 250}},
        {V(1500, 1200, 2), 1, {0, 599}},
        {V(100, 100, 0.5), 1, {321, 123}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "to " << c.zoom << " at " << c.at.x() << "," << c.at.y());
        const QPoint before = PixelAt(c.view, c.at);
        const imaging::View zoomed = ZoomAround(c.view, c.zoom, c.at);
        EXPECT_DOUBLE_EQ(zoomed.zoom, c.zoom);
        EXPECT_EQ(PixelAt(zoomed, c.at), before);
        EXPECT_EQ(PixelAt(Clamp(zoomed, frame, canvas, FitZoom(frame, canvas)), c.at), before);
    }
    // Every step to every other, from views off the screen-pixel grid.
    for (double from = kMinStep; from <= kMaxZoom; from *= 2)
        for (double to = kMinStep; to <= kMaxZoom; to *= 2)
            for (const QPoint at : {QPoint(0, 0), QPoint(399, 301), QPoint(799, 599), QPoint(123, 457)}) {
                const imaging::View view = V(1333.37, 1021.71, from);
                EXPECT_EQ(PixelAt(ZoomAround(view, to, at), at), PixelAt(view, at))
                    << from << " to " << to << " at " << at.x() << "," << at.y();
            }
}

// Panning and resizing never lose the frame: a side larger than the canvas
// covers it, a smaller one is centred; zooms outside the limits come back.
TEST(ViewerGeometry, ClampKeepsTheFrameInSight)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        QSize frame, canvas;
        imaging::View view;
        imaging::View clamped;
    } cases[] = {
        {"inside", {4000, 3000}, {800, 600}, V(100, 200, 1), V(100, 200, 1)},
        {"past the left and top", {4000, 3000}, {800, 600}, V(-500, -1, 1), V(0, 0, 1)},
        {"past the right and bottom", {4000, 3000}, {800, 600}, V(3900, 2950, 2), V(3600, 2700, 2)},
        {"far away", {4000, 3000}, {800, 600}, V(1e12, -1e12, 16), V(3950, 0, 16)},
        {"smaller than the canvas: centred", {64, 48}, {800, 600}, V(30, 30, 4), V(-68, -51, 4)},
        {"centred at 1:1 on whole pixels", {65, 49}, {800, 600}, V(0, 0, 1), V(-368, -276, 1)},
        {"a side of each kind", {65535, 1}, {800, 600}, V(70000, 5, 1), V(64735, -300, 1)},
        {"1 x 1 beyond the closest zoom", {1, 1}, {800, 600}, V(0, 0, 600), V(-24.5, -18.25, 16)},
        {"below fit: back to fit", {1000, 1000}, {500, 500}, V(0, 0, 0.1), V(0, 0, 0.5)},
        {"not a number", {1000, 1000}, {500, 500}, V(nan, nan, nan), V(0, 0, 0.5)},
        {"frame gone while zoomed", {0, 0}, {800, 600}, V(500, 500, 16), V(-25, -18.75, 16)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const imaging::View v = Clamp(c.view, c.frame, c.canvas, FitZoom(c.frame, c.canvas));
        EXPECT_DOUBLE_EQ(v.zoom, c.clamped.zoom);
        EXPECT_DOUBLE_EQ(v.left, c.clamped.left);
        EXPECT_DOUBLE_EQ(v.top, c.clamped.top);
    }
}

// At 1:1 and closer each camera pixel is a whole block of zoom x zoom
// screen pixels, wherever panning and clamping left the view.
TEST(ViewerGeometry, WholeBlocksPerPixel)
{
    const QSize frame(100, 80), canvas(333, 257);
    for (double zoom : {1.0, 2.0, 4.0, 16.0})
        for (const QPointF start : {QPointF(0, 0), QPointF(3.3, 7.9), QPointF(-50.123, 10.5), QPointF(99, 79)}) {
            const imaging::View v = Clamp(V(start.x(), start.y(), zoom), frame, canvas, FitZoom(frame, canvas));
            for (const QPoint camera : {QPoint(0, 0), QPoint(7, 5), QPoint(99, 79)}) {
                const QPointF corner = ToScreen(v, camera);
                SCOPED_TRACE(testing::Message() << "zoom " << zoom << " pixel " << camera.x() << "," << camera.y());
                EXPECT_DOUBLE_EQ(corner.x(), std::round(corner.x()));
                EXPECT_DOUBLE_EQ(corner.y(), std::round(corner.y()));
                const QPoint s(int(corner.x()), int(corner.y()));
                const int z = int(zoom);
                EXPECT_EQ(PixelAt(v, s), camera);
                EXPECT_EQ(PixelAt(v, s + QPoint(z - 1, z - 1)), camera);
                EXPECT_NE(PixelAt(v, s + QPoint(z, 0)), camera);
                EXPECT_NE(PixelAt(v, s - QPoint(0, 1)), camera);
            }
        }
}

// The first place beside the dialog: never over it while the screen has
// room on a side, always within the screen.
TEST(ViewerGeometry, PlaceBeside)
{
    const QRect screen(0, 0, 1920, 1080);
    const struct {
        const char* name;
        QRect owner;
        QSize size;
        QRect screen;
        QRect placed;
    } cases[] = {
        {"right", {100, 100, 660, 400}, {900, 640}, screen, {768, 100, 900, 640}},
        {"right, moved up to stay on the screen", {100, 900, 660, 170}, {900, 640}, screen, {768, 440, 900, 640}},
        {"left when the right is short", {1000, 50, 660, 400}, {900, 640}, screen, {92, 50, 900, 640}},
        {"below when neither side has room", {600, 10, 660, 400}, {900, 500}, screen, {600, 418, 900, 500}},
        {"above", {600, 600, 660, 400}, {900, 500}, screen, {600, 92, 900, 500}},
        {"a screen with an origin of its own", {2000, 0, 660, 400}, {900, 640}, QRect(1920, 0, 1920, 1080),
         {2668, 0, 900, 640}},
        {"no room for the whole size: narrowed to the widest room", {564, 286, 772, 429}, {900, 640}, screen,
         {1344, 286, 576, 640}},
        {"shortened to the room below", {100, 0, 1800, 600}, {900, 640}, screen, {100, 608, 900, 472}},
        {"too little room anywhere: at the screen's edge with most room", {100, 100, 700, 500}, {900, 640},
         QRect(0, 0, 1024, 768), {124, 100, 900, 640}},
        {"larger than the screen: within it, beside", {0, 0, 100, 100}, {4000, 3000}, QRect(0, 0, 800, 600), {108, 0, 692, 600}},
        {"larger than the screen, no room beside", {0, 0, 700, 500}, {4000, 3000}, QRect(0, 0, 800, 600), {0, 0, 800, 600}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QRect placed = PlaceBeside(c.owner, c.size, c.screen);
        EXPECT_EQ(placed, c.placed);
        EXPECT_TRUE(c.screen.contains(placed));
    }
}

}  // namespace
