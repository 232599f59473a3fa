// The recording's timeline: painted by hand rather than a QSlider, whose
// int range and page steps do not fit recordings of any length nor ticks
// of several colours.
#include "Timeline.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace ui {

namespace {
// Room at each end, so that the first and last frames' handles show whole.
constexpr int kMargin = 6;
constexpr int kHeight = 26;
}  // namespace

Timeline::Timeline(QWidget* parent) : QWidget(parent)
{
    setObjectName("timeline");
    // The window's keys step frames: the strip never takes them.
    setFocusPolicy(Qt::NoFocus);
    setMinimumSize(2 * kMargin + 2, kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setToolTip("Click or drag to go to a frame");
}

QSize Timeline::sizeHint() const { return {400, kHeight}; }

void Timeline::SetCount(uint64_t frames)
{
    count_ = frames;
    position_ = std::min(position_, frames ? frames - 1 : 0);
    update();
}

void Timeline::SetPosition(uint64_t index)
{
    position_ = count_ ? std::min(index, count_ - 1) : 0;
    update();
}

void Timeline::SetTicks(std::vector<Tick> ticks)
{
    ticks_ = std::move(ticks);
    update();
}

void Timeline::SetRange(std::optional<uint64_t> in, std::optional<uint64_t> out)
{
    in_ = in;
    out_ = out;
    update();
}

int Timeline::XOf(uint64_t index) const
{
    const int span = std::max(1, width() - 2 * kMargin - 1);
    if (count_ <= 1)
        return kMargin;
    return kMargin + int(double(std::min(index, count_ - 1)) * span / double(count_ - 1) + 0.5);
}

uint64_t Timeline::IndexAt(int x) const
{
    if (count_ <= 1)
        return 0;
    const int span = std::max(1, width() - 2 * kMargin - 1);
    const double share = std::clamp(double(x - kMargin) / span, 0.0, 1.0);
    return std::min(count_ - 1, uint64_t(share * double(count_ - 1) + 0.5));
}

void Timeline::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int mid = height() / 2;
    const QRect groove(kMargin, mid - 3, std::max(1, width() - 2 * kMargin), 6);
    painter.fillRect(rect(), palette().window());
    painter.fillRect(groove, QColor(200, 200, 200));
    if (count_ == 0)
        return;
    if (in_ || out_) {
        const int a = XOf(in_.value_or(0)), b = XOf(out_.value_or(count_ - 1));
        painter.fillRect(QRect(QPoint(std::min(a, b), groove.top() - 2), QPoint(std::max(a, b), groove.bottom() + 2)),
                         QColor(90, 150, 230, 140));
    }
    for (const Tick& t : ticks_) {
        painter.setPen(t.colour);
        const int x = XOf(t.index);
        painter.drawLine(x, 1, x, groove.top() - 1);
    }
    const int x = XOf(position_);
    painter.setPen(QColor(30, 30, 30));
    painter.setBrush(QColor(250, 250, 250));
    painter.drawRect(QRect(x - 3, groove.top() - 4, 6, groove.height() + 8));
}

void Timeline::SeekTo(int x)
{
    if (count_ == 0)
        return;
    const uint64_t index = IndexAt(x);
    if (seek_)
        seek_(index);
    else
        SetPosition(index);
}

void Timeline::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    dragging_ = true;
    SeekTo(int(event->position().x()));
}

void Timeline::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging_)
        SeekTo(int(event->position().x()));
}

void Timeline::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        dragging_ = false;
}

}  // namespace ui
