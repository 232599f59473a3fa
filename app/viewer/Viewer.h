// The dialog's viewer window: opened from the picture area (its "Inspect…"
// command, a double click) or by a call, and fed what the dialog shows:
// live view's frame while it is held for showing, else the frame last
// captured. It only reads frames; the dialog's camera calls, painting and
// state are the same with it open or closed.
#pragma once

#include "app/live/LiveStream.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/ViewerWindow.h"

#include <QPointer>

#include <functional>
#include <string>

class Viewer {
public:
    Viewer() = default;
    ~Viewer();  // closes the window
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // A double click on picture (of dialog) calls open; a file dropped on
    // the dialog opens as a recording.
    void Attach(ui::Dialog& dialog, const ui::Control& picture, std::function<void()> open);
    // The status line's text, asked for a few times a second while the
    // window is open.
    void SetStatusSource(std::function<std::string()> status) { status_ = std::move(status); }
    // Whether live view runs, so that the window does not offer to start it
    // while it waits for its first frame.
    void SetLiveSource(std::function<bool()> running) { live_ = std::move(running); }

    // Opens the window beside dialog (raises it when open), showing live
    // (when it holds a frame) or else the captured frame.
    void Open(ui::Dialog& dialog, const LiveStream::Frame& live);
    void Close();
    // "Open recording…": asks for one, and plays it in a viewer window of
    // its own beside dialog (the live one keeps showing the camera); a file
    // dropped on either window does the same with path.
    void OpenRecording(ui::Dialog& dialog);
    void OpenRecording(ui::Dialog& dialog, const std::string& path);
    bool IsOpen() const { return window_ != nullptr; }
    ui::ViewerWindow* Window() const { return window_; }

    // What the dialog shows now; call before a live frame shown so far is
    // given back, and after the captured frame changed. live without a
    // record: the captured frame (g_lastFrame), if any. block: the block
    // live view just reduced live by into g_image for the dialog (1: none),
    // which the window then shows at fit without reading the frame again.
    void Show(const LiveStream::Frame& live, uint32_t block = 1);

private:
    QPointer<ui::ViewerWindow> window_;
    std::function<std::string()> status_;
    std::function<bool()> live_;
};
