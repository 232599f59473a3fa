// Drawing contexts over QPainter, and the display image's stretched drawing
// with its cache.
#include "PaintDC.h"

#include "DialogWindow.h"
#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/display/Halftone.h"
#include "IconData.h"

#include <QApplication>
#include <QPainter>

namespace ui {

struct PaintDC::Impl {
    QPainter painter;
};

Color ToColor(const QColor& c) { return {uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue())}; }

Color GetSysColor(SysColor) { return ToColor(QApplication::palette().color(QPalette::Button)); }

int GetSystemMetrics(SystemMetric index)
{
    switch (index) {
    case kSmCxIcon:
    case kSmCyIcon:
        return IconMetric();
    }
    return 0;
}

PaintDC::PaintDC(Dialog& dialog) : impl_(std::make_unique<Impl>())
{
    if (QWidget* w = WidgetOf(dialog); w && w->isVisible())
        impl_->painter.begin(w);
}

PaintDC::PaintDC(const Control& control) : impl_(std::make_unique<Impl>())
{
    if (StaticSurface* s = SurfaceOf(control))
        impl_->painter.begin(&s->surface());
}

PaintDC::~PaintDC() = default;

bool PaintDC::IsValid() const { return impl_->painter.isActive(); }

void PaintDC::FillRect(const Rect& rect, const SolidBrush& brush)
{
    if (!IsValid())
        return;
    const Color c = brush.GetColor();
    impl_->painter.fillRect(QRect(rect.left, rect.top, rect.Width(), rect.Height()),
                            QColor(c.red, c.green, c.blue));
}

void PaintDC::DrawIcon(int x, int y, const Icon& icon)
{
    if (!IsValid() || !icon.data())
        return;
    const int size = IconMetric();
    impl_->painter.drawPixmap(x, y, icon.data()->icon.pixmap(size, size));
}

int PaintDC::SetStretchBltMode(int mode)
{
    const int previous = stretchMode_;
    stretchMode_ = mode;
    return previous;
}

// The last stretched picture: a repaint without a new frame only copies it.
struct StretchCache {
    uint64_t scaled = 0;  // how many pictures were stretched, for tests
    uint64_t generation = 0;
    QSize size;
    int mode = 0;
    QImage picture;
};

static StretchCache& Cache()
{
    static StretchCache cache;
    return cache;
}

uint64_t StretchedPictureCount() { return Cache().scaled; }

}  // namespace ui

// The display image's drawing, which belongs to this layer.
bool imaging::DisplayImage::StretchBlt(ui::PaintDC& dc, const ui::Rect& dest, ui::RasterOp rop) const
{
    using namespace ui;
    if (IsNull() || !dc.IsValid() || rop != kSrcCopy || dest.Width() <= 0 || dest.Height() <= 0)
        return false;
    QPainter& painter = dc.impl()->painter;
    const QSize size(dest.Width(), dest.Height());
    StretchCache& cache = Cache();
    const int mode = dc.GetStretchBltMode() == kHalftone ? kHalftone : kColorOnColor;
    if (cache.generation != Generation() || cache.size != size || cache.mode != mode) {
        QImage picture(size, QImage::Format_RGB32);
        if (picture.isNull())
            return false;
        const BgrView view{GetBits(), GetPitch(), GetWidth(), GetHeight()};
        if (mode == kHalftone) {
            HalftoneStretch(view, reinterpret_cast<uint32_t*>(picture.bits()), size.width(),
                            size.height(), picture.bytesPerLine() / 4);
        } else {
            // Plain pixel picking, as without halftone.
            for (int y = 0; y < size.height(); ++y) {
                const uint8_t* row = view.top + ptrdiff_t(int64_t(y) * view.height / size.height()) * view.pitch;
                auto* out = reinterpret_cast<uint32_t*>(picture.scanLine(y));
                for (int x = 0; x < size.width(); ++x) {
                    const uint8_t* p = row + size_t(int64_t(x) * view.width / size.width()) * 3;
                    out[x] = 0xff000000u | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
                }
            }
        }
        cache = {cache.scaled + 1, Generation(), size, mode, std::move(picture)};
    }
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QPoint(dest.left, dest.top), cache.picture);
    return true;
}
