// Painting: a drawing context opened on a dialog (during its paint) or on a
// control's retained surface, with the few drawing operations the dialog uses.
#pragma once

#include "Geometry.h"
#include "Icon.h"

#include <cstdint>
#include <memory>

namespace ui {

class Control;
class Dialog;

struct Color {
    uint8_t red = 0, green = 0, blue = 0;
    bool operator==(const Color&) const = default;
};

enum SysColor { kColorBtnFace = 15 };
enum SystemMetric { kSmCxIcon = 11, kSmCyIcon = 12 };
enum StretchMode { kColorOnColor = 3, kHalftone = 4 };

Color GetSysColor(SysColor index);
int GetSystemMetrics(SystemMetric index);

class SolidBrush {
public:
    explicit SolidBrush(Color color) : color_(color) {}
    Color GetColor() const { return color_; }

private:
    Color color_;
};

class PaintDC {
public:
    // On the dialog itself: only while it is being painted.
    explicit PaintDC(Dialog& dialog);
    // On a control's retained surface, in device pixels.
    explicit PaintDC(const Control& control);
    ~PaintDC();
    PaintDC(const PaintDC&) = delete;
    PaintDC& operator=(const PaintDC&) = delete;

    bool IsValid() const;
    void FillRect(const Rect& rect, const SolidBrush& brush);
    void DrawIcon(int x, int y, const Icon& icon);
    int SetStretchBltMode(int mode);
    int GetStretchBltMode() const { return stretchMode_; }

    struct Impl;
    Impl* impl() const { return impl_.get(); }

private:
    std::unique_ptr<Impl> impl_;
    int stretchMode_ = kColorOnColor;
};

// How many times a display image was stretched anew (not taken from the cache).
uint64_t StretchedPictureCount();

}  // namespace ui
