// The strip under the viewer's picture while a recording is shown: where the
// frame shown sits among all of them, ticks where something happened (a
// colour per kind), the in..out range shaded, and a click or drag to go to
// a frame.
#pragma once

#include <QColor>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace ui {

class Timeline : public QWidget {
public:
    struct Tick {
        uint64_t index;
        QColor colour;
    };

    explicit Timeline(QWidget* parent);

    void SetCount(uint64_t frames);
    void SetPosition(uint64_t index);
    void SetTicks(std::vector<Tick> ticks);
    // Either end may be missing: shaded from the first or to the last frame.
    void SetRange(std::optional<uint64_t> in, std::optional<uint64_t> out);
    // A click or drag asks for this frame.
    void OnSeek(std::function<void(uint64_t index)> seek) { seek_ = std::move(seek); }

    uint64_t Count() const { return count_; }
    uint64_t Position() const { return position_; }
    // The frame at widget x, and the x a frame's tick is drawn at.
    uint64_t IndexAt(int x) const;
    int XOf(uint64_t index) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void SeekTo(int x);

    uint64_t count_ = 0, position_ = 0;
    std::vector<Tick> ticks_;
    std::optional<uint64_t> in_, out_;
    bool dragging_ = false;
    std::function<void(uint64_t)> seek_;
};

}  // namespace ui
