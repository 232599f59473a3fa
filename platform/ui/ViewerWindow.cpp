// The viewer window over Qt widgets: a canvas drawn through imaging::RenderView
// at the canvas's own size, a side pane with the histogram and the focus
// measure worked out on a timer (never per frame), and the readout and
// status lines below.
#include "ViewerWindow.h"

#include "ViewerGeometry.h"
#include "platform/camera/campixel.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>

namespace ui {

namespace {

constexpr const char* kGeometryKey = "viewer/geometry";
// The histogram counts this many samples at most: every so many rows of a
// larger frame, which keeps its shape and its shares within a fraction of a
// percent at a fraction of the cost.
constexpr uint64_t kHistogramPixels = uint64_t(4) << 20;
// A press that moves less than this is a click (pins a point), not a drag.
constexpr int kClickSlop = 3;

QString Q(const std::string& s) { return QString::fromUtf8(s.c_str()); }

// A reduced picture of size shown over shownWidth x shownHeight canvas
// pixels: at least three quarters of that each way, so that the dialog's
// own reduction, a little smaller than the viewer's fit at their usual
// sizes, is scaled up slightly rather than the whole frame read again;
// further up it would blur.
bool NearEnough(QSize size, double shownWidth, double shownHeight)
{
    return size.width() * 4.0 >= std::ceil(shownWidth) * 3 && size.height() * 4.0 >= std::ceil(shownHeight) * 3;
}

QColor ChannelColour(const std::string& name)
{
    if (name == "red" || name == "V")
        return QColor(220, 40, 40);
    if (name == "green")
        return QColor(30, 170, 30);
    if (name == "blue" || name == "U")
        return QColor(40, 80, 230);
    return QColor(40, 40, 40);
}

std::string ZoomText(double zoom, bool fitting)
{
    char text[64];
    if (zoom >= 1)
        std::snprintf(text, sizeof text, "%g:1", std::round(zoom * 100) / 100);
    else
        std::snprintf(text, sizeof text, "1:%g", std::round(100 / zoom) / 100);
    return fitting ? std::string("fit, ") + text : text;
}

std::string Percent(uint64_t part, uint64_t total)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f %%", total ? 100.0 * double(part) / double(total) : 0.0);
    return text;
}

}  // namespace

// ---- the canvas -------------------------------------------------------------------

class ViewerWindow::CanvasWidget : public QWidget {
public:
    explicit CanvasWidget(ViewerWindow* owner) : QWidget(owner), owner_(owner)
    {
        setObjectName("canvas");
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
        setMinimumSize(64, 64);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    QSize DeviceSize() const
    {
        const qreal dpr = devicePixelRatioF();
        return {std::max(1, qRound(width() * dpr)), std::max(1, qRound(height() * dpr))};
    }
    QPoint ToDevice(QPointF p) const
    {
        const qreal dpr = devicePixelRatioF();
        return {int(std::floor(p.x() * dpr)), int(std::floor(p.y() * dpr))};
    }

    // The display-sized image last drawn: the one image the viewer adds.
    QImage image;
    // The whole frame reduced as live view reduces it, while it is all in view
    // below 1:1 (at fit): at least the size it takes on the canvas, less than
    // twice it each way.
    QImage whole;
    // Drawing again before this would take more than half the thread.
    std::chrono::steady_clock::time_point nextPaint;

protected:
    void paintEvent(QPaintEvent*) override
    {
        const auto start = std::chrono::steady_clock::now();
        const QSize size = DeviceSize();
        ViewerWindow& o = *owner_;
        if (!o.hasFrame_ || !(DrawWhole(size) || imaging::RenderView(o.frame_, o.view_, uint32_t(size.width()),
                                                                     uint32_t(size.height()), o.options_, &image))) {
            if (image.size() != size)
                image = QImage(size, QImage::Format_RGB32);
            image.fill(o.options_.background);
        }
        QPainter painter(this);
        painter.drawImage(QRectF(rect()), image);
        const qreal dpr = devicePixelRatioF();
        const auto toWidget = [&](QPointF camera) { return viewer::ToScreen(o.view_, camera) / dpr; };
        if (!o.focusArea_.isEmpty() || selecting_) {
            const QRect area = selecting_ ? Selection() : o.focusArea_;
            painter.setPen(QPen(QColor(255, 220, 0), 1, Qt::DashLine));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(QRectF(toWidget(area.topLeft()), toWidget(area.bottomRight() + QPoint(1, 1))));
        }
        if (o.pinned_) {
            const QPointF c = toWidget(QPointF(o.pin_.x() + 0.5, o.pin_.y() + 0.5));
            painter.setPen(QPen(QColor(0, 255, 255), 1));
            painter.drawLine(c - QPointF(6, 0), c + QPointF(6, 0));
            painter.drawLine(c - QPointF(0, 6), c + QPointF(0, 6));
        }
        // The next frame waits as long as this one took: drawing takes at
        // most half of the window thread, which live view shares.
        const auto end = std::chrono::steady_clock::now();
        nextPaint = end + (end - start);
    }

    void wheelEvent(QWheelEvent* event) override
    {
        wheel_ += event->angleDelta().y();
        const QPoint at = ToDevice(event->position());
        while (std::abs(wheel_) >= 120) {
            const bool in = wheel_ > 0;
            wheel_ -= in ? 120 : -120;
            ViewerWindow& o = *owner_;
            const double fit = viewer::FitZoom(o.FrameSize(), DeviceSize());
            const double zoom = in ? viewer::ZoomIn(o.view_.zoom) : viewer::ZoomOut(o.view_.zoom, fit);
            o.SetView(viewer::ZoomAround(o.view_, zoom, at));
        }
        event->accept();
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton)
            return QWidget::mousePressEvent(event);
        pressed_ = true;
        moved_ = false;
        press_ = event->position();
        pressView_ = owner_->view_;
        selecting_ = (event->modifiers() & Qt::ShiftModifier) != 0;
        current_ = press_;
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        owner_->hover_ = ToDevice(event->position());
        owner_->hovering_ = true;
        if (pressed_) {
            current_ = event->position();
            if ((current_ - press_).manhattanLength() >= kClickSlop)
                moved_ = true;
            if (selecting_) {
                update();
            } else if (moved_) {
                const QPointF d = (current_ - press_) * devicePixelRatioF();
                owner_->SetView(viewer::PanBy(pressView_, d.x(), d.y()));
            }
        }
        owner_->ShowReadout();
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton || !pressed_)
            return QWidget::mouseReleaseEvent(event);
        pressed_ = false;
        current_ = event->position();
        if (selecting_) {
            selecting_ = false;
            owner_->SetFocusArea(moved_ ? Selection() : QRect());
        } else if (!moved_) {
            const QPoint camera = viewer::PixelAt(owner_->view_, ToDevice(current_));
            if (QRect(QPoint(0, 0), owner_->FrameSize()).contains(camera))
                owner_->Pin(camera);
            else
                owner_->Unpin();
        }
        update();
    }

    void resizeEvent(QResizeEvent* event) override
    {
        QWidget::resizeEvent(event);
        // The layout sizes the canvas after the window: fit is worked out
        // from the canvas's own new size.
        owner_->Reclamp();
    }

    void leaveEvent(QEvent*) override
    {
        owner_->hovering_ = false;
        owner_->ShowReadout();
    }

private:
    // Below 1:1 with the whole frame in view (as at fit), the frame is
    // reduced by live view's block and the painter scales that smoothly to
    // the canvas: weighing each screen pixel's share of every camera pixel
    // (RenderView) costs several times live view itself, at every frame.
    // Clipped pixels are still marked by RenderView. False: not drawn.
    bool DrawWhole(QSize size)
    {
        ViewerWindow& o = *owner_;
        if (!o.ShownWhole(size))
            return false;
        const imaging::View& v = o.view_;
        const double shownWidth = o.frame_.width * v.zoom, shownHeight = o.frame_.height * v.zoom;
        // The reduction made for this frame already (the dialog's, or an
        // earlier drawing's) while it is near enough the size needed.
        if (o.wholeSerial_ != o.frameSerial_ || !NearEnough(whole.size(), shownWidth, shownHeight)) {
            o.wholeSerial_ = ~uint64_t(0);
            const uint32_t k = imaging::ReduceWhole(o.frame_, uint32_t(std::ceil(shownWidth)),
                                                    uint32_t(std::ceil(shownHeight)), &whole);
            if (k < 2)
                return false;
            o.wholeSerial_ = o.frameSerial_;
            o.wholeBlock_ = k;
        }
        const uint32_t k = o.wholeBlock_;
        if (image.size() != size)
            image = QImage(size, QImage::Format_RGB32);
        if (image.isNull())
            return false;
        image.fill(o.options_.background);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QPointF origin = viewer::ToScreen(v, QPointF(0, 0));
        painter.drawImage(QRectF(origin, QSizeF(whole.width() * k * v.zoom, whole.height() * k * v.zoom)), whole);
        return true;
    }

    // The camera pixels between the press and the pointer, within the frame.
    QRect Selection() const
    {
        const QPoint a = viewer::PixelAt(owner_->view_, ToDevice(press_));
        const QPoint b = viewer::PixelAt(owner_->view_, ToDevice(current_));
        return QRect(a, b).normalized().intersected(QRect(QPoint(0, 0), owner_->FrameSize()));
    }

    ViewerWindow* owner_;
    int wheel_ = 0;
    bool pressed_ = false, moved_ = false, selecting_ = false;
    QPointF press_, current_;
    imaging::View pressView_;
};

// ---- the histogram and the focus bar ---------------------------------------------------

class ViewerWindow::HistogramWidget : public QWidget {
public:
    HistogramWidget(QWidget* parent, const imaging::Histogram& histogram, const bool& valid, QCheckBox* log)
        : QWidget(parent), histogram_(histogram), valid_(valid), log_(log)
    {
        setObjectName("histogram");
        setMinimumSize(200, 120);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::white);
        painter.setPen(Qt::gray);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        if (!valid_ || histogram_.channels.empty())
            return;
        const int w = std::max(1, width() - 2), h = std::max(1, height() - 2);
        const bool log = log_->isChecked();
        // Each column the largest count among the bins it covers, so that a
        // lone full bin is never averaged away.
        // The height is set by the bins between black and full scale: their
        // shares are the numbers below, and a picture with much of either
        // would otherwise flatten everything else.
        std::vector<std::vector<double>> columns;
        double most = 0, mostEnds = 1;
        const auto scaled = [log](uint64_t count) { return log ? std::log1p(double(count)) : double(count); };
        for (const auto& channel : histogram_.channels) {
            std::vector<double> col(size_t(w), 0);
            const size_t bins = channel.counts.size();
            for (size_t b = 0; b < bins; ++b) {
                const size_t x = std::min<size_t>(size_t(w) - 1, b * size_t(w) / bins);
                const double v = scaled(channel.counts[b]);
                col[x] = std::max(col[x], v);
                double& top = b == 0 || b + 1 == bins ? mostEnds : most;
                top = std::max(top, v);
            }
            columns.push_back(std::move(col));
        }
        if (most <= 0)
            most = mostEnds;
        // Each channel filled from the bottom, see-through, so that the
        // others show behind it; a spike at either end is not lost in the frame.
        for (size_t c = 0; c < columns.size(); ++c) {
            QColor colour = ChannelColour(histogram_.channels[c].name);
            colour.setAlpha(columns.size() > 1 ? 110 : 200);
            for (int x = 0; x < w; ++x) {
                const int bar = int(std::ceil(std::min(1.0, columns[c][size_t(x)] / most) * (h - 1)));
                if (bar > 0)
                    painter.fillRect(QRect(1 + x, 1 + h - bar, 1, bar), colour);
            }
        }
    }

private:
    const imaging::Histogram& histogram_;
    const bool& valid_;
    QCheckBox* log_;
};

class ViewerWindow::FocusBar : public QWidget {
public:
    explicit FocusBar(QWidget* parent) : QWidget(parent)
    {
        setObjectName("focusBar");
        setMinimumSize(200, 18);
        setMaximumHeight(18);
    }
    void Set(double value, double peak)
    {
        value_ = value;
        peak_ = peak;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(230, 230, 230));
        // The peak sits at nine tenths of the bar, leaving room to pass it.
        const double scale = std::max(peak_, 1e-6) / 0.9;
        const int w = width();
        painter.fillRect(QRect(0, 0, int(w * std::clamp(value_ / scale, 0.0, 1.0)), height()), QColor(60, 140, 60));
        if (peak_ > 0) {
            const int x = std::min(w - 1, int(w * peak_ / scale));
            painter.fillRect(QRect(x - 1, 0, 2, height()), QColor(200, 30, 30));
        }
        painter.setPen(Qt::gray);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }

private:
    double value_ = 0, peak_ = 0;
};

// ---- the window ----------------------------------------------------------------------

ViewerWindow::ViewerWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName("viewer");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Inspect");

    auto* layout = new QVBoxLayout(this);
    auto* tools = new QHBoxLayout;
    const auto button = [&](const char* text, const char* name, auto slot) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setMinimumWidth(0);
        b->setMaximumWidth(b->fontMetrics().horizontalAdvance(QStringLiteral("1:1")) * 3);
        b->setFocusPolicy(Qt::NoFocus);
        connect(b, &QPushButton::clicked, this, slot);
        tools->addWidget(b);
        return b;
    };
    button("Fit", "fit", [this] { ZoomFit(); });
    button("1:1", "oneToOne", [this] { ZoomTo(1); });
    button("−", "zoomOut", [this] { ZoomStep(false); });
    button("+", "zoomIn", [this] { ZoomStep(true); });
    zoomLabel_ = new QLabel(this);
    zoomLabel_->setObjectName("zoom");
    zoomLabel_->setMinimumWidth(90);
    tools->addWidget(zoomLabel_);
    auto* clipped = new QCheckBox("Clipped", this);
    clipped->setObjectName("clipped");
    clipped->setFocusPolicy(Qt::NoFocus);
    clipped->setToolTip("Paints pixels with a sample at full scale in magenta");
    connect(clipped, &QCheckBox::toggled, this, [this](bool on) {
        options_.markClipped = on;
        Repaint();
    });
    tools->addWidget(clipped);
    tools->addStretch(1);
    layout->addLayout(tools);

    auto* middle = new QHBoxLayout;
    canvas_ = new CanvasWidget(this);
    middle->addWidget(canvas_, 1);
    auto* side = new QVBoxLayout;
    logScale_ = new QCheckBox("Log scale", this);
    logScale_->setObjectName("logScale");
    logScale_->setFocusPolicy(Qt::NoFocus);
    histogramPane_ = new HistogramWidget(this, histogram_, histogramValid_, logScale_);
    connect(logScale_, &QCheckBox::toggled, histogramPane_, [this] { histogramPane_->update(); });
    side->addWidget(new QLabel("Histogram", this));
    side->addWidget(histogramPane_);
    side->addWidget(logScale_);
    clipping_ = new QLabel(this);
    clipping_->setObjectName("clipping");
    clipping_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    side->addWidget(clipping_);
    side->addSpacing(12);
    focusLabel_ = new QLabel(this);
    focusLabel_->setObjectName("focus");
    focusLabel_->setToolTip("Sharpness of the whole frame, or of an area dragged with Shift held; turn the lens "
                            "until it peaks");
    side->addWidget(focusLabel_);
    focusBar_ = new FocusBar(this);
    side->addWidget(focusBar_);
    auto* focusButtons = new QHBoxLayout;
    auto* whole = new QPushButton("Whole frame", this);
    whole->setObjectName("wholeFrame");
    whole->setFocusPolicy(Qt::NoFocus);
    connect(whole, &QPushButton::clicked, this, [this] { SetFocusArea({}); });
    auto* reset = new QPushButton("Reset", this);
    reset->setObjectName("resetPeak");
    reset->setFocusPolicy(Qt::NoFocus);
    reset->setToolTip("Forgets the peak");
    connect(reset, &QPushButton::clicked, this, [this] { ResetFocusPeak(); });
    focusButtons->addWidget(whole);
    focusButtons->addWidget(reset);
    side->addLayout(focusButtons);
    side->addStretch(1);
    middle->addLayout(side);
    layout->addLayout(middle, 1);

    readout_ = new QLabel(this);
    readout_->setObjectName("readout");
    readout_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pinnedLabel_ = new QLabel(this);
    pinnedLabel_->setObjectName("pinned");
    pinnedLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusLine_ = new QLabel(this);
    statusLine_->setObjectName("status");
    statusLine_->setFrameShape(QFrame::StyledPanel);
    statusLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // However narrow the window, all of the line stays in sight: it wraps
    // onto as many lines as the width needs rather than being cut (a word
    // longer than the width, such as a file's path, is still whole in the
    // tooltip).
    statusLine_->setMinimumWidth(1);
    statusLine_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusLine_->setWordWrap(true);  // after the policy, which would drop its height for width
    readout_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    pinnedLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    layout->addWidget(readout_);
    layout->addWidget(pinnedLabel_);
    layout->addWidget(statusLine_);

    const auto key = [this](QKeySequence keys, auto slot) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, slot);
        return shortcut;
    };
    key(QKeySequence(Qt::Key_0), [this] { ZoomFit(); });
    key(QKeySequence(Qt::Key_1), [this] { ZoomTo(1); });
    for (QKeySequence in : {QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal),
                            QKeySequence(Qt::KeypadModifier | Qt::Key_Plus)})
        key(in, [this] { ZoomStep(true); });
    for (QKeySequence out : {QKeySequence(Qt::Key_Minus), QKeySequence(Qt::KeypadModifier | Qt::Key_Minus)})
        key(out, [this] { ZoomStep(false); });
    // An arrow moves the view by an eighth of the canvas.
    const auto pan = [this](int dx, int dy) {
        const QSize c = CanvasSize();
        SetView(viewer::PanBy(view_, -dx * c.width() / 8.0, -dy * c.height() / 8.0));
    };
    panLeft_ = key(QKeySequence(Qt::Key_Left), [pan] { pan(-1, 0); });
    panRight_ = key(QKeySequence(Qt::Key_Right), [pan] { pan(1, 0); });
    key(QKeySequence(Qt::Key_Up), [pan] { pan(0, -1); });
    key(QKeySequence(Qt::Key_Down), [pan] { pan(0, 1); });

    paintTimer_ = new QTimer(this);
    paintTimer_->setSingleShot(true);
    connect(paintTimer_, &QTimer::timeout, canvas_, [this] { canvas_->update(); });

    measureTimer_ = new QTimer(this);
    measureTimer_->setInterval(kMeasureMs);
    connect(measureTimer_, &QTimer::timeout, this, [this] { UpdateMeasures(); });
    measureTimer_->start();

    ClearFrame();
}

ViewerWindow::~ViewerWindow() = default;

void ViewerWindow::Open(const QRect& owner)
{
    const QByteArray saved = QSettings().value(kGeometryKey).toByteArray();
    if (!isVisible() && (saved.isEmpty() || !restoreGeometry(saved))) {
        const QScreen* screen = QGuiApplication::screenAt(owner.center());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
        const QSize wanted(std::max(minimumSizeHint().width(), 900), std::max(minimumSizeHint().height(), 640));
        // A side is taken only with room for the window at its least: made
        // smaller than that, it would grow past the screen's edge again and
        // take the status line out of sight.
        const QRect place = viewer::PlaceBeside(owner, wanted, area, minimumSizeHint().expandedTo(QSize(400, 300)));
        // The frame the window manager adds is not known before it is shown;
        // the place is for the frame, the size for what it holds.
        resize(place.size());
        move(place.topLeft());
    }
    show();
    raise();
    activateWindow();
    UpdateMeasures();
}

QSize ViewerWindow::FrameSize() const
{
    if (!hasFrame_)
        return {};
    return {int(std::min<uint32_t>(frame_.width, INT_MAX)), int(std::min<uint32_t>(frame_.height, INT_MAX))};
}

QWidget* ViewerWindow::Canvas() const { return canvas_; }

QSize ViewerWindow::CanvasSize() const { return canvas_->DeviceSize(); }

void ViewerWindow::SetFrame(const imaging::Frame& frame, std::shared_ptr<const void> keep)
{
    const bool reshaped = !hasFrame_ || frame.width != frame_.width || frame.height != frame_.height ||
                          format_ != (frame.pixelFormat ? frame.pixelFormat : "");
    format_ = frame.pixelFormat ? frame.pixelFormat : "";
    frame_ = frame;
    frame_.pixelFormat = format_.c_str();
    keep_ = std::move(keep);
    hasFrame_ = true;
    note_.clear();
    ++frameSerial_;
    if (reshaped) {
        histogramValid_ = false;
        focusPeak_ = 0;
        Reclamp();
    }
    Repaint();
}

void ViewerWindow::SetReduced(const uint8_t* bgr, int width, int height, ptrdiff_t pitch, uint32_t k)
{
    if (!hasFrame_ || !bgr || k < 2 || width <= 0 || height <= 0 || uint64_t(width) != frame_.width / k ||
        uint64_t(height) != frame_.height / k || !ShownWhole(CanvasSize()) ||
        !NearEnough(QSize(width, height), frame_.width * view_.zoom, frame_.height * view_.zoom))
        return;
    QImage& whole = canvas_->whole;
    if (whole.width() != width || whole.height() != height || whole.format() != QImage::Format_RGB32)
        whole = QImage(width, height, QImage::Format_RGB32);
    if (whole.isNull())
        return;
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = bgr + ptrdiff_t(y) * pitch;
        auto* line = reinterpret_cast<QRgb*>(whole.scanLine(y));
        for (int x = 0; x < width; ++x, p += 3)
            line[x] = qRgb(p[2], p[1], p[0]);
    }
    wholeSerial_ = frameSerial_;
    wholeBlock_ = k;
}

bool ViewerWindow::ShownWhole(QSize canvas) const
{
    const double shownWidth = frame_.width * view_.zoom, shownHeight = frame_.height * view_.zoom;
    return hasFrame_ && view_.zoom < 1 && !options_.markClipped && shownWidth <= canvas.width() + 0.5 &&
           shownHeight <= canvas.height() + 0.5;
}

void ViewerWindow::ClearFrame(const std::string& note)
{
    hasFrame_ = false;
    frame_ = {};
    keep_.reset();
    note_ = note;
    histogramValid_ = false;
    focus_ = 0;
    ++frameSerial_;
    Repaint();
    histogramPane_->update();
    clipping_->clear();
    focusLabel_->setText("Focus: no frame");
    focusBar_->Set(0, focusPeak_);
}

void ViewerWindow::SetStatusSource(std::function<std::string()> status)
{
    status_ = std::move(status);
    statusLine_->setText(Q(StatusText()));
}

void ViewerWindow::ShowStatus()
{
    const QString status = Q(StatusText());
    statusLine_->setText(status);
    statusLine_->setToolTip(status);
}

void ViewerWindow::Reclamp()
{
    const QSize frame = FrameSize(), canvas = CanvasSize();
    view_ = fitting_ ? viewer::Fit(frame, canvas)
                     : viewer::Clamp(view_, frame, canvas, viewer::FitZoom(frame, canvas));
    zoomLabel_->setText(Q(ZoomText(view_.zoom, fitting_)));
}

void ViewerWindow::SetView(const imaging::View& view)
{
    fitting_ = false;
    view_ = view;
    Reclamp();
    Repaint();
}

void ViewerWindow::ZoomFit()
{
    fitting_ = true;
    Reclamp();
    Repaint();
}

void ViewerWindow::ZoomTo(double zoom)
{
    const QSize c = CanvasSize();
    SetView(viewer::ZoomAround(view_, zoom, QPoint(c.width() / 2, c.height() / 2)));
}

void ViewerWindow::ZoomStep(bool in)
{
    const double fit = viewer::FitZoom(FrameSize(), CanvasSize());
    ZoomTo(in ? viewer::ZoomIn(view_.zoom) : viewer::ZoomOut(view_.zoom, fit));
}

void ViewerWindow::Repaint()
{
    const auto now = std::chrono::steady_clock::now();
    if (now >= canvas_->nextPaint) {
        canvas_->update();
    } else if (!paintTimer_->isActive()) {
        paintTimer_->start(int(std::chrono::ceil<std::chrono::milliseconds>(canvas_->nextPaint - now).count()));
    }
    ShowReadout();
}

void ViewerWindow::Pin(QPoint camera)
{
    pinned_ = true;
    pin_ = camera;
    Repaint();
}

void ViewerWindow::Unpin()
{
    pinned_ = false;
    Repaint();
}

void ViewerWindow::SetFocusArea(const QRect& rect)
{
    focusArea_ = rect;
    focusPeak_ = 0;
    measuredSerial_ = ~uint64_t(0);
    canvas_->update();
    UpdateMeasures();
}

void ViewerWindow::ResetFocusPeak()
{
    focusPeak_ = focus_;
    focusBar_->Set(focus_, focusPeak_);
}

std::string ViewerWindow::Describe(QPoint camera, bool withShown) const
{
    std::string text = "x " + std::to_string(camera.x()) + ", y " + std::to_string(camera.y()) + ": ";
    if (!hasFrame_)
        return text + "no frame";
    if (camera.x() < 0 || camera.y() < 0 || uint32_t(camera.x()) >= frame_.width ||
        uint32_t(camera.y()) >= frame_.height)
        return text + "outside the frame";
    const imaging::SampleReadout r = imaging::ReadSamples(frame_, uint32_t(camera.x()), uint32_t(camera.y()));
    if (!r.valid)
        return text + "not in the frame's data (it came short)";
    const cam::PixelFormat* format = cam::FindPixelFormat(frame_.pixelFormat);
    const bool bayer = format && format->sampling == cam::Sampling::Bayer;
    for (size_t i = 0; i < r.samples.size(); ++i)
        text += (i ? ", " : "") + r.samples[i].first + (bayer ? " site " : " ") + std::to_string(r.samples[i].second);
    text += " (0–" + std::to_string((uint64_t(1) << r.bits) - 1) + ")";
    if (withShown) {
        // What the canvas shows there, as it was last drawn.
        const QPointF s = viewer::ToScreen(view_, QPointF(camera.x() + 0.5, camera.y() + 0.5));
        const QPoint p(int(std::floor(s.x())), int(std::floor(s.y())));
        if (canvas_->image.rect().contains(p)) {
            const QRgb c = canvas_->image.pixel(p);
            char shown[48];
            std::snprintf(shown, sizeof shown, "; shown as %d, %d, %d", qRed(c), qGreen(c), qBlue(c));
            text += shown;
        }
    }
    return text;
}

std::string ViewerWindow::DescribeAt(QPoint screen) const
{
    return Describe(viewer::PixelAt(view_, screen), true);
}

void ViewerWindow::ShowReadout()
{
    std::string text;
    if (!hasFrame_)
        text = note_.empty() ? "No frame" : note_;
    else if (hovering_)
        text = DescribeAt(hover_);
    else
        text = std::string(frame_.pixelFormat) + ", " + std::to_string(frame_.width) + " × " +
               std::to_string(frame_.height) + ": point at a pixel for its values, click to pin it";
    readout_->setText(Q(text));
    pinnedLabel_->setText(pinned_ ? Q("Pinned " + Describe(pin_, true)) : QString());
}

std::string ViewerWindow::ReadoutText() const { return readout_->text().toStdString(); }
std::string ViewerWindow::PinnedText() const { return pinnedLabel_->text().toStdString(); }
std::string ViewerWindow::StatusText() const { return status_ ? status_() : std::string(); }

void ViewerWindow::UpdateMeasures()
{
    if (status_) {
        const QString status = Q(status_());
        statusLine_->setText(status);
        statusLine_->setToolTip(status);
    }
    zoomLabel_->setText(Q(ZoomText(view_.zoom, fitting_)));
    if (!hasFrame_ || measuredSerial_ == frameSerial_)
        return;
    measuredSerial_ = frameSerial_;
    const uint64_t pixels = uint64_t(frame_.width) * frame_.height;
    const uint32_t rowStep = uint32_t(std::max<uint64_t>(1, pixels / kHistogramPixels));
    histogramValid_ = imaging::MakeHistogram(frame_, rowStep, &histogram_);
    std::string shares;
    if (histogramValid_) {
        for (const auto& channel : histogram_.channels)
            shares += (shares.empty() ? "" : "\n") + channel.name + ": black " + Percent(channel.black, channel.total) +
                      ", full scale " + Percent(channel.full, channel.total);
        if (histogram_.rowStep > 1)
            shares += "\n(every " + std::to_string(histogram_.rowStep) + "th row counted)";
    } else {
        shares = "No histogram for " + format_;
    }
    clipping_->setText(Q(shares));
    histogramPane_->update();

    const QRect area = focusArea_.isEmpty() ? QRect(QPoint(0, 0), FrameSize()) : focusArea_;
    focus_ = imaging::Sharpness(frame_, area);
    focusPeak_ = std::max(focusPeak_, focus_);
    char text[96];
    std::snprintf(text, sizeof text, "Focus%s: %.2f (peak %.2f)", focusArea_.isEmpty() ? "" : " in the area", focus_,
                  focusPeak_);
    focusLabel_->setText(text);
    focusBar_->Set(focus_, focusPeak_);
    ShowReadout();
}

void ViewerWindow::AddStrip(QWidget* strip)
{
    strip->setParent(this);
    // Under the picture and its side pane, above the readout lines.
    if (auto* box = qobject_cast<QVBoxLayout*>(layout()))
        box->insertWidget(2, strip);
}

void ViewerWindow::ArrowsStepFrames()
{
    panLeft_->setKey(QKeySequence(Qt::ShiftModifier | Qt::Key_Left));
    panRight_->setKey(QKeySequence(Qt::ShiftModifier | Qt::Key_Right));
}

void ViewerWindow::OnDrop(std::function<void(const std::string& path)> drop)
{
    drop_ = std::move(drop);
    setAcceptDrops(bool(drop_));
}

std::string DroppedPath(const QMimeData* data)
{
    if (!data || !data->hasUrls())
        return {};
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            return QFile::encodeName(url.toLocalFile()).toStdString();
    return {};
}

void ViewerWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (drop_ && !DroppedPath(event->mimeData()).empty())
        event->acceptProposedAction();
}

void ViewerWindow::dropEvent(QDropEvent* event)
{
    const std::string path = DroppedPath(event->mimeData());
    if (!drop_ || path.empty())
        return;
    event->acceptProposedAction();
    // After the drop returns: what it opens may show a message box, and the
    // source of the drag waits for the answer meanwhile.
    QTimer::singleShot(0, this, [this, path] {
        if (drop_)
            drop_(path);
    });
}

void ViewerWindow::SaveGeometry() { QSettings().setValue(kGeometryKey, saveGeometry()); }

void ViewerWindow::closeEvent(QCloseEvent* event)
{
    SaveGeometry();
    measureTimer_->stop();
    QWidget::closeEvent(event);
}

}  // namespace ui
