// The viewer window's glue to the dialog: the double click, opening beside
// it, and which frame it reads.
#include "Viewer.h"

#include "Player.h"
#include "platform/ui/DialogWindow.h"
#include "platform/ui/PictureDialog.h"
#include "platform/ui/ViewerWindow.h"
#include "res/resource.h"

#include <QDropEvent>
#include <QEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>

namespace {

// A left double click on the watched widget opens the viewer; nothing else
// of the widget's changes.
class DoubleClick : public QObject {
public:
    DoubleClick(QObject* parent, std::function<void()> open) : QObject(parent), open_(std::move(open)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonDblClick &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            open_();
            return true;
        }
        return false;
    }

private:
    std::function<void()> open_;
};

// A local file dropped on the watched window opens as a recording; the
// window's own handling of everything else is left as it is.
class DropOpens : public QObject {
public:
    DropOpens(QObject* parent, std::function<void(const std::string&)> open) : QObject(parent), open_(std::move(open))
    {
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::DragEnter && event->type() != QEvent::Drop)
            return false;
        auto* drop = static_cast<QDropEvent*>(event);
        const std::string path = ui::DroppedPath(drop->mimeData());
        if (path.empty())
            return false;
        drop->acceptProposedAction();
        if (event->type() == QEvent::Drop)
            // After the drop returns: a message box would keep the drag's source waiting.
            QTimer::singleShot(0, this, [this, path] { open_(path); });
        return true;
    }

private:
    std::function<void(const std::string&)> open_;
};

imaging::Frame OpenedFrame(const uint8_t* data, int64_t size)
{
    return {data, uint64_t(std::max<int64_t>(0, size)), static_cast<uint32_t>(g_nWidth),
            static_cast<uint32_t>(g_nHeight), g_pPixelFormat};
}

}  // namespace

Viewer::~Viewer() { Close(); }

void Viewer::Attach(ui::Dialog& dialog, const ui::Control& picture, std::function<void()> open)
{
    ui::DialogWidget* w = ui::WidgetOf(dialog);
    QWidget* target = w ? w->control(picture.Id()) : nullptr;
    if (target)
        target->installEventFilter(new DoubleClick(target, std::move(open)));
    if (w) {
        w->setAcceptDrops(true);
        w->installEventFilter(new DropOpens(w, [this, &dialog](const std::string& path) { OpenRecording(dialog, path); }));
    }
}

void Viewer::OpenRecording(ui::Dialog& dialog)
{
    ui::DialogWidget* owner = ui::WidgetOf(dialog);
    if (!owner)
        return;
    if (const std::optional<std::string> path = ui::AskWhichRecording(owner))
        OpenRecording(dialog, *path);
}

void Viewer::OpenRecording(ui::Dialog& dialog, const std::string& path)
{
    if (ui::DialogWidget* owner = ui::WidgetOf(dialog))
        // A child window of the dialog, as the live viewer: its modal run leaves it usable.
        OpenRecordingAsked(owner, owner->frameGeometry(), path);
}

void Viewer::Open(ui::Dialog& dialog, const LiveStream::Frame& live)
{
    ui::DialogWidget* owner = ui::WidgetOf(dialog);
    if (!owner)
        return;
    // One closed in this turn of the event loop waits to be deleted: it
    // goes now, and a new one opens.
    if (window_ && !window_->isVisible())
        delete window_.data();
    if (!window_) {
        // A child window of the dialog: its modal run leaves it usable.
        window_ = new ui::ViewerWindow(owner);
        g_keepFrameBuffer = true;
        QObject::connect(window_, &QObject::destroyed, [] { g_keepFrameBuffer = false; });
        window_->SetStatusSource(status_);
        window_->OnDrop([this, &dialog](const std::string& path) { OpenRecording(dialog, path); });
        // Its notes and status line name Ctrl+L and Ctrl+T: the dialog's
        // stream commands answer their keys here too, enabled as there.
        for (const int id : {ID_PICTURE_LIVE, ID_PICTURE_TRIGGER, ID_PICTURE_RECORD, ID_CAMERA_SETTINGS})
            if (const auto c = owner->commands().find(id); c != owner->commands().end())
                window_->addAction(c->second);
        Show(live);
    }
    window_->Open(owner->frameGeometry());
}

void Viewer::Close()
{
    // Deleted now, not later: what it reads may go as soon as this returns.
    delete window_.data();
}

void Viewer::Show(const LiveStream::Frame& live, uint32_t block)
{
    if (!window_)
        return;
    if (live.record && FitsOpenedSize(live.width, live.height)) {
        window_->SetFrame(OpenedFrame(live.data, live.size));
        if (block >= 2 && !g_image.IsNull() && uint64_t(g_image.GetWidth()) == uint64_t(g_nWidth) / block &&
            uint64_t(g_image.GetHeight()) == uint64_t(g_nHeight) / block)
            window_->SetReduced(g_image.GetBits(), g_image.GetWidth(), g_image.GetHeight(), g_image.GetPitch(),
                                block);
    } else if (g_lastFrame.valid && g_lastFrame.deep) {
        window_->SetFrame(OpenedFrame(g_lastFrame.deep.get(), g_lastFrame.deepSize), g_lastFrame.deep);
    } else if (const bool live = g_hCamera && live_ && live_(); g_lastFrame.valid) {
        window_->ClearFrame(live ? "The frame shown was kept without its samples (it came before this window "
                                   "opened): live view's next frame replaces it"
                                 : "The frame shown was kept without its samples (it came before this window "
                                   "opened): GrapOnce grabs one to look at, Ctrl+L starts live view");
    } else if (live) {
        // Ctrl+L would stop it: the status line says what the camera waits for.
        window_->ClearFrame("No frame yet from live view (the line below says what it waits for)");
    } else {
        window_->ClearFrame(g_hCamera ? "No frame yet: GrapOnce grabs one, Ctrl+L starts live view"
                                      : "No camera open");
    }
}
