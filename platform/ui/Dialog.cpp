// Builds dialogs from templates with Qt widgets and routes their events.
#include "DialogWindow.h"
#include "IconData.h"
#include "MnemonicStyle.h"
#include "PaintDC.h"

#include <QApplication>
#include <QLabel>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QToolTip>

#include <cmath>
#include <cstdio>

namespace ui {

// ---- StaticSurface ------------------------------------------------------------

StaticSurface::StaticSurface(QWidget* parent, bool blackFrame)
    : QWidget(parent), blackFrame_(blackFrame)
{
}

QImage& StaticSurface::surface()
{
    const qreal dpr = devicePixelRatioF();
    const QSize device(qRound(width() * dpr), qRound(height() * dpr));
    if (surface_.size() != device)
        Reset();
    return surface_;
}

void StaticSurface::Reset()
{
    const qreal dpr = devicePixelRatioF();
    // Kept in device pixels without a ratio of its own, so that drawing on it
    // addresses device pixels directly.
    surface_ = QImage(qRound(width() * dpr), qRound(height() * dpr), QImage::Format_RGB32);
    surface_.fill(palette().color(QPalette::Window));
    if (blackFrame_ && !surface_.isNull()) {
        const int w = surface_.width(), h = surface_.height();
        const QRgb black = qRgb(0, 0, 0);
        for (int x = 0; x < w; ++x) {
            surface_.setPixel(x, 0, black);
            surface_.setPixel(x, h - 1, black);
        }
        for (int y = 0; y < h; ++y) {
            surface_.setPixel(0, y, black);
            surface_.setPixel(w - 1, y, black);
        }
    }
}

void StaticSurface::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(QRectF(rect()), surface());
}

// ---- DialogWidget ---------------------------------------------------------------

static Qt::WindowFlags FlagsFor(uint32_t styles)
{
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (styles & kStyleCaption)
        flags |= Qt::WindowTitleHint;
    if (styles & kStyleSystemMenu) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (styles & kStyleMinimizeBox)
            flags |= Qt::WindowMinimizeButtonHint;
    }
    return flags;
}

DialogWidget::DialogWidget(Dialog* owner, const DialogTemplate& tmpl)
    : QDialog(nullptr, FlagsFor(tmpl.styles)), owner_(owner), tmpl_(tmpl)
{
    UnderlineMnemonicsOnlyWithAlt();
    QFont font = QApplication::font();
    font.setPointSizeF(tmpl.fontPointSize);
    setFont(font);
    QFontMetrics metrics(font);
    base_ = BaseUnitsFromMetrics(
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
        metrics.height());

    setWindowTitle(QString::fromUtf8(tmpl.caption));
    const Rect client = DialogToPixels(0, 0, tmpl.width, tmpl.height, base_);
    setFixedSize(client.Width(), client.Height());

    for (size_t i = 0; i < tmpl.controlCount; ++i) {
        const ControlTemplate& c = tmpl.controls[i];
        QWidget* widget = nullptr;
        if (c.kind == ControlKind::PushButton) {
            auto* button = new QPushButton(QString::fromUtf8(c.caption ? c.caption : ""), this);
            connect(button, &QPushButton::clicked, this,
                    [this, id = c.id] { owner_->SendMessage(Message::Clicked, id); });
            widget = button;
        } else {
            widget = new StaticSurface(this, (c.styles & kStyleBlackFrame) != 0);
        }
        widget->setFocusPolicy((c.styles & kStyleTabStop) ? Qt::StrongFocus : Qt::NoFocus);
        const Rect r = DialogToPixels(c.x, c.y, c.width, c.height, base_);
        widget->setGeometry(r.left, r.top, r.Width(), r.Height());
        widget->setObjectName(QString::number(c.id));
        controls_[c.id] = widget;
    }
}

QWidget* DialogWidget::control(int id) const
{
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

StaticSurface* DialogWidget::surface(int id) const
{
    return dynamic_cast<StaticSurface*>(control(id));
}

QWidget* DialogWidget::firstTabStop() const
{
    for (size_t i = 0; i < tmpl_.controlCount; ++i)
        if (tmpl_.controls[i].styles & kStyleTabStop)
            return control(tmpl_.controls[i].id);
    return nullptr;
}

void DialogWidget::paintEvent(QPaintEvent*)
{
    // Qt has already filled the background: that is the default dialog painting.
    owner_->SendMessage(Message::Paint);
}

Dialog::Window::~Window() { delete widget; }

// ---- Control and DataExchange -------------------------------------------------

StaticSurface* SurfaceOf(const Control& control)
{
    DialogWidget* w = control.GetParent() ? WidgetOf(*control.GetParent()) : nullptr;
    return w ? w->surface(control.Id()) : nullptr;
}

static QWidget* ControlWidget(const Dialog* dialog, int id)
{
    DialogWidget* w = dialog ? WidgetOf(*dialog) : nullptr;
    return w ? w->control(id) : nullptr;
}

Rect Control::GetClientRect() const
{
    QWidget* w = ControlWidget(dialog_, id_);
    if (!w)
        return {};
    const qreal dpr = w->devicePixelRatioF();
    return {0, 0, int32_t(qRound(w->width() * dpr)), int32_t(qRound(w->height() * dpr))};
}

Rect Control::GetWindowRect() const
{
    QWidget* w = ControlWidget(dialog_, id_);
    if (!w)
        return {};
    const QPoint topLeft = w->mapToGlobal(QPoint(0, 0));
    return {topLeft.x(), topLeft.y(), topLeft.x() + w->width(), topLeft.y() + w->height()};
}

namespace {

// Whether a control's tooltip is the one up, so that new text can replace
// it where it shows: Qt otherwise keeps a tip's text as it was when the
// pointer came to rest, however long the tip stays up.
class ShownTip : public QObject {
public:
    explicit ShownTip(QWidget* control) : QObject(control) { control->installEventFilter(this); }

    // The tip showing now, when it is this control's.
    QLabel* Showing(QWidget* control) const
    {
        if (!shown_ || !QToolTip::isVisible() || QToolTip::text() != control->toolTip())
            return nullptr;
        // Qt's one tip window; its text is changed in place rather than by
        // QToolTip::showText, which would also start its time to show
        // afresh and call back a tip that is about to hide.
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("qtooltip_label") && w->isVisible())
                return qobject_cast<QLabel*>(w);
        return nullptr;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != parent())
            return false;
        switch (event->type()) {
        case QEvent::ToolTip: shown_ = true; break;
        // What makes Qt hide the tip.
        case QEvent::Leave:
        case QEvent::Hide:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::Wheel: shown_ = false; break;
        default: break;
        }
        return false;
    }

private:
    bool shown_ = false;
};

}  // namespace

void Control::SetToolTip(const std::string& utf8)
{
    if (QWidget* w = ControlWidget(dialog_, id_)) {
        const QString text = QString::fromStdString(utf8);
        // findChild would take any child object for it (ShownTip has no
        // meta-object of its own), such as another event filter on the control.
        ShownTip* shown = nullptr;
        for (QObject* child : w->children())
            if ((shown = dynamic_cast<ShownTip*>(child)))
                break;
        if (!shown)
            shown = new ShownTip(w);
        QLabel* tip = text != w->toolTip() && !text.isEmpty() ? shown->Showing(w) : nullptr;
        w->setToolTip(text);
        w->setAccessibleDescription(text);
        if (tip) {
            tip->setText(text);
            tip->resize(tip->sizeHint());
        }
    }
}

std::string Control::GetToolTip() const
{
    QWidget* w = ControlWidget(dialog_, id_);
    return w ? w->toolTip().toStdString() : std::string();
}

void DataExchange::BindControl(int id, Control& control)
{
    if (!ControlWidget(dialog_, id)) {
        std::fprintf(stderr, "tarvik: dialog has no control %d to bind\n", id);
        return;
    }
    control.dialog_ = dialog_;
    control.id_ = id;
}

// ---- Dialog -------------------------------------------------------------------

Dialog::Dialog(int templateId) : templateId_(templateId) {}

Dialog::~Dialog() = default;

bool Dialog::Create()
{
    if (window_)
        return true;
    const DialogTemplate* tmpl = FindDialogTemplate(templateId_);
    if (!tmpl) {
        std::fprintf(stderr, "tarvik: no dialog template %d\n", templateId_);
        return false;
    }
    window_ = std::make_unique<Window>();
    window_->widget = new DialogWidget(this, *tmpl);
    DataExchange dx(this);
    DoDataExchange(&dx);
    if (OnInitDialog()) {
        if (QWidget* first = window_->widget->firstTabStop())
            first->setFocus();
    }
    return true;
}

int Dialog::DoModal()
{
    if (!Create())
        return -1;
    return window_->widget->exec() == QDialog::Accepted ? kOk : kCancel;
}

void Dialog::EndDialog(int result)
{
    DialogWidget* w = WidgetOf(*this);
    if (!w)
        return;
    for (QWidget* modal = QApplication::activeModalWidget(); modal && modal != w;
         modal = QApplication::activeModalWidget()) {
        modal->close();
        if (QApplication::activeModalWidget() == modal)
            break;  // it would not close
    }
    w->done(result);
}

bool Dialog::IsIconic() const { return window_ && window_->widget->isMinimized(); }

Rect Dialog::GetClientRect() const
{
    if (!window_)
        return {};
    return {0, 0, window_->widget->width(), window_->widget->height()};
}

Rect Dialog::ScreenToClient(const Rect& screen) const
{
    if (!window_)
        return screen;
    const QPoint origin = window_->widget->mapFromGlobal(QPoint(0, 0));
    return {screen.left + origin.x(), screen.top + origin.y(), screen.right + origin.x(),
            screen.bottom + origin.y()};
}

void Dialog::InvalidateRect(const Rect& rect, bool /*erase*/)
{
    // Qt never erases on its own: retained surfaces keep their pixels either way.
    if (window_)
        window_->widget->update(rect.left, rect.top, rect.Width(), rect.Height());
}

void Dialog::SetIcon(const Icon& icon, bool big)
{
    (big ? bigIcon_ : smallIcon_) = icon;
    // Qt keeps one icon with all its sizes for both uses.
    if (window_ && icon.data())
        window_->widget->setWindowIcon(icon.data()->icon);
}

Icon Dialog::GetIcon(bool big) const { return big ? bigIcon_ : smallIcon_; }

static QList<QKeySequence> KeysFor(StandardKey key)
{
    switch (key) {
    case StandardKey::Save: return QKeySequence::keyBindings(QKeySequence::Save);
    case StandardKey::Copy: return QKeySequence::keyBindings(QKeySequence::Copy);
    case StandardKey::None: break;
    }
    return {};
}

bool Dialog::LoadCommands(int menuId, const Control& control)
{
    const MenuTemplate* menu = FindMenuTemplate(menuId);
    QWidget* target = ControlWidget(this, control.Id());
    if (!menu || !target)
        return false;
    DialogWidget* w = WidgetOf(*this);
    target->setContextMenuPolicy(Qt::ActionsContextMenu);
    for (size_t i = 0; i < menu->itemCount; ++i) {
        const MenuItem& item = menu->items[i];
        auto* action = new QAction(QString::fromUtf8(item.text), w);
        action->setShortcuts(item.keys ? QList<QKeySequence>{QKeySequence(QString::fromLatin1(item.keys))}
                                       : KeysFor(item.key));
        action->setCheckable(item.checkable);
        action->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(action, &QAction::triggered, w,
                         [this, id = item.id] { SendMessage(Message::Command, id); });
        w->addAction(action);
        target->addAction(action);
        w->commands()[item.id] = action;
    }
    return true;
}

void Dialog::EnableCommand(int id, bool enable)
{
    if (DialogWidget* w = WidgetOf(*this); w && w->commands().count(id))
        w->commands()[id]->setEnabled(enable);
}

bool Dialog::IsCommandEnabled(int id) const
{
    DialogWidget* w = WidgetOf(*this);
    return w && w->commands().count(id) && w->commands()[id]->isEnabled();
}

void Dialog::CheckCommand(int id, bool checked)
{
    if (DialogWidget* w = WidgetOf(*this); w && w->commands().count(id))
        w->commands()[id]->setChecked(checked);
}

bool Dialog::IsCommandChecked(int id) const
{
    DialogWidget* w = WidgetOf(*this);
    return w && w->commands().count(id) && w->commands()[id]->isChecked();
}

void Dialog::PostMessage(int id)
{
    // The widget as context: Qt drops the call if it is destroyed first.
    if (DialogWidget* w = WidgetOf(*this))
        QMetaObject::invokeMethod(
            w, [this, id] { SendMessage(Message::Posted, id); }, Qt::QueuedConnection);
}

void Dialog::MessageBox(const std::string& text)
{
    DialogWidget* w = WidgetOf(*this);
    QMessageBox::warning(w, w ? w->windowTitle() : QString(), QString::fromStdString(text));
}

bool Dialog::SendMessage(Message message, int id, MessageData* data)
{
    if (OnMessage(message, id, data))
        return true;
    if (message == Message::IconEraseBackground && data && data->dc) {
        const QColor c = window_ ? window_->widget->palette().color(QPalette::Window) : QColor();
        data->dc->FillRect(GetClientRect(), SolidBrush(ToColor(c)));
        return true;
    }
    return false;
}

void Dialog::DefaultOnPaint()
{
    // Qt has filled the dialog's background before its paint event: nothing to add.
}

void Dialog::DoDataExchange(DataExchange*) {}

bool Dialog::OnInitDialog() { return true; }

bool Dialog::OnMessage(Message, int, MessageData*) { return false; }

}  // namespace ui
