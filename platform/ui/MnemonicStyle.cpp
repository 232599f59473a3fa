// The application style's proxy that hides mnemonic underlines until Alt is held.
#include "MnemonicStyle.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QWidget>

namespace ui {
namespace {

class AltMnemonicStyle : public QProxyStyle {
public:
    explicit AltMnemonicStyle(QStyle* base) : QProxyStyle(base) {}

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_UnderlineShortcut)
            return altHeld_ ? 1 : 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease: {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Alt)
                SetAltHeld(event->type() == QEvent::KeyPress);
            break;
        }
        // A window that loses the keyboard never hears Alt go up.
        case QEvent::WindowDeactivate:
        case QEvent::ApplicationDeactivate:
            SetAltHeld(false);
            break;
        default:
            break;
        }
        return QProxyStyle::eventFilter(watched, event);
    }

private:
    void SetAltHeld(bool held)
    {
        if (held == altHeld_)
            return;
        altHeld_ = held;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible())
                w->update();
    }

    bool altHeld_ = false;
};

}  // namespace

void UnderlineMnemonicsOnlyWithAlt()
{
    // One proxy per application object (tests make a new one per run).
    static QPointer<QStyle> installed;
    if (installed && QApplication::style() == installed)
        return;
    QStyle* base = QStyleFactory::create(QApplication::style()->name());
    if (!base)
        return;
    auto* proxy = new AltMnemonicStyle(base);
    QApplication::setStyle(proxy);  // the application owns it from now on
    qApp->installEventFilter(proxy);
    installed = proxy;
}

}  // namespace ui
