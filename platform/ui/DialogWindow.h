// The Qt side of a template-built dialog; only this layer and tests include it.
#pragma once

#include "Dialog.h"
#include "DialogTemplate.h"
#include "DialogUnits.h"
#include "PaintDC.h"

#include <QAction>
#include <QDialog>
#include <QImage>
#include <QWidget>

#include <map>

namespace ui {

// A static control that keeps what was drawn on it, as a screen does: its
// surface has the control's client size in device pixels and only drawing
// changes it.
class StaticSurface : public QWidget {
public:
    StaticSurface(QWidget* parent, bool blackFrame);

    // In device pixels; recreated (and reset) when that size changes.
    QImage& surface();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Reset();

    bool blackFrame_;
    QImage surface_;
};

class DialogWidget : public QDialog {
public:
    DialogWidget(Dialog* owner, const DialogTemplate& tmpl);

    Dialog* owner() const { return owner_; }
    QWidget* control(int id) const;
    StaticSurface* surface(int id) const;
    DialogBaseUnits baseUnits() const { return base_; }
    const DialogTemplate& dialogTemplate() const { return tmpl_; }
    QWidget* firstTabStop() const;
    // The commands loaded from menu resources, by id.
    std::map<int, QAction*>& commands() { return commands_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Dialog* owner_;
    const DialogTemplate& tmpl_;
    DialogBaseUnits base_;
    std::map<int, QWidget*> controls_;
    std::map<int, QAction*> commands_;
};

struct Dialog::Window {
    DialogWidget* widget = nullptr;  // owned; deleted with the Window
    ~Window();
};

// The widget of a built dialog, or null before Create.
inline DialogWidget* WidgetOf(const Dialog& dialog)
{
    return dialog.window() ? dialog.window()->widget : nullptr;
}

// A Qt colour as the drawing services take it.
Color ToColor(const QColor& c);

// The retained surface of a bound static control, or null.
StaticSurface* SurfaceOf(const Control& control);

}  // namespace ui
