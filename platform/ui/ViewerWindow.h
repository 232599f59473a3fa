// A window for looking closely at the frame a dialog shows: zoom and pan, the
// camera's samples under the pointer or at a pinned point, a histogram of
// the samples, a focus measure with its peak, and a status line. It reads
// the frame it is given in place and never keeps a copy of it: whoever
// gives it a frame keeps the frame's data valid until the next SetFrame or
// ClearFrame, or hands over ownership with it.
#pragma once

#include "platform/imaging/inspect/Inspect.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QMimeData;
class QLabel;
class QShortcut;
class QTimer;

namespace ui {

// The first local file of a drag, encoded as the file system names it; empty: none.
std::string DroppedPath(const QMimeData* data);

class ViewerWindow : public QWidget {
public:
    // A top-level window that stays with parent (a modal dialog leaves it
    // usable) and is deleted when it is closed.
    explicit ViewerWindow(QWidget* parent);
    ~ViewerWindow() override;

    // Shows and raises it: where it was last time (QSettings), or the first
    // time beside owner (screen coordinates, frame included), not over it.
    void Open(const QRect& owner);

    // The frame to show from now on. keep, when given, holds the data alive
    // for as long as the window shows it.
    void SetFrame(const imaging::Frame& frame, std::shared_ptr<const void> keep = {});
    // The frame just given, already reduced by block k as live view shows it
    // (BGR rows pitch bytes apart, pitch negative for bottom-up rows): shown
    // at fit instead of reducing the frame again when it is at least the
    // size the frame takes on the canvas. Read during the call only.
    void SetReduced(const uint8_t* bgr, int width, int height, ptrdiff_t pitch, uint32_t k);
    // Nothing to show; note (may be empty) says why, in the readout line.
    void ClearFrame(const std::string& note = {});
    // The status line's text, asked for a few times a second (and at once).
    void SetStatusSource(std::function<std::string()> status);
    // The status line asked for its text now (a step to another frame), the
    // histogram and focus left for their tick.
    void ShowStatus();

    // The view and its controls, for the keys, the mouse and tests.
    imaging::View View() const { return view_; }
    void SetView(const imaging::View& view);  // clamped, and no longer fitting
    void ZoomFit();
    void ZoomTo(double zoom);  // around the canvas's centre
    void ZoomStep(bool in);    // around the canvas's centre
    bool Fitting() const { return fitting_; }
    // The size of the frame shown; empty when none is.
    QSize FrameSize() const;
    QWidget* Canvas() const;
    // Canvas pixels (device pixels) of the canvas.
    QSize CanvasSize() const;
    // A camera pixel pinned: its values follow new frames; none to unpin.
    void Pin(QPoint camera);
    void Unpin();
    // The focus measure over rect (camera pixels); an empty one: the whole frame.
    void SetFocusArea(const QRect& rect);
    QRect FocusArea() const { return focusArea_; }
    void ResetFocusPeak();
    // Histogram, focus and status worked out now rather than at the next tick.
    void UpdateMeasures();
    const imaging::Histogram& Histogram() const { return histogram_; }
    double Focus() const { return focus_; }
    double FocusPeak() const { return focusPeak_; }
    std::string ReadoutText() const;
    std::string PinnedText() const;
    std::string StatusText() const;
    // The frame's samples under canvas pixel screen, in words, as the readout shows them.
    std::string DescribeAt(QPoint screen) const;

    // A strip (a recording's timeline) under the picture, owned by the window.
    void AddStrip(QWidget* strip);
    // Left and Right step a recording's frames: panning sideways moves to
    // Shift+Left and Shift+Right (Up and Down pan as before).
    void ArrowsStepFrames();
    // Files dropped on the window (local paths) go to drop; none: drops refused.
    void OnDrop(std::function<void(const std::string& path)> drop);

    // How often the histogram and focus are worked out, at most.
    static constexpr int kMeasureMs = 200;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    class CanvasWidget;
    class HistogramWidget;
    class FocusBar;
    friend class CanvasWidget;

    // Below 1:1 with all of the frame on a canvas of that size (as at fit),
    // clipped pixels not marked: drawn from the frame reduced as live view reduces it.
    bool ShownWhole(QSize canvas) const;
    void Reclamp();
    void Repaint();
    void ShowReadout();
    std::string Describe(QPoint camera, bool withShown) const;
    void SaveGeometry();

    imaging::Frame frame_{};
    std::string format_;  // frame_.pixelFormat points into it
    std::shared_ptr<const void> keep_;
    bool hasFrame_ = false;
    std::string note_;
    uint64_t frameSerial_ = 0, measuredSerial_ = ~uint64_t(0);
    // The frame of this serial is in the canvas's whole, reduced by wholeBlock_.
    uint64_t wholeSerial_ = ~uint64_t(0);
    uint32_t wholeBlock_ = 1;

    imaging::View view_;
    bool fitting_ = true;
    imaging::RenderOptions options_;
    QPoint hover_{-1, -1};  // canvas pixel under the pointer, if any
    bool hovering_ = false;
    bool pinned_ = false;
    QPoint pin_;
    QRect focusArea_;
    imaging::Histogram histogram_;
    bool histogramValid_ = false;
    double focus_ = 0, focusPeak_ = 0;
    std::function<std::string()> status_;
    std::function<void(const std::string&)> drop_;

    CanvasWidget* canvas_ = nullptr;
    HistogramWidget* histogramPane_ = nullptr;
    FocusBar* focusBar_ = nullptr;
    QLabel* zoomLabel_ = nullptr;
    QLabel* readout_ = nullptr;
    QLabel* pinnedLabel_ = nullptr;
    QLabel* clipping_ = nullptr;
    QLabel* focusLabel_ = nullptr;
    QLabel* statusLine_ = nullptr;
    QCheckBox* logScale_ = nullptr;
    QTimer* measureTimer_ = nullptr;
    QTimer* paintTimer_ = nullptr;  // a frame that came too soon after the last drawing
    QShortcut* panLeft_ = nullptr;
    QShortcut* panRight_ = nullptr;
};

}  // namespace ui
