// The process's connection to the window system.
#pragma once

#include <memory>

namespace ui {

class Application {
public:
    // Connects to the display. When none can be opened, says so in one line on
    // stderr and leaves Ok() false; it never aborts the process.
    // desktopId names the installed desktop entry, so that desktops find the
    // program's icon and name.
    Application(int& argc, char** argv, const char* programName, const char* version,
                const char* desktopId);
    ~Application();
    bool Ok() const;

    // The key settings would be stored under; nothing is stored by this program.
    static void SetSettingsKey(const char* utf8);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// While a handler waits on a device: the window system's events handled
// meanwhile (painting, the window manager's pings, messages posted to a
// window), but not a person's input nor other sockets, which could call into
// what is waited on; those wait until the handler returns.
void HandlePaintingWhileBusy();
// After such a handler: the input held back meanwhile is taken as soon as
// the handler has returned to the event loop.
void HandleHeldInputSoon();

// Shows the busy cursor for as long as it lives, for work a person waits on.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace ui
