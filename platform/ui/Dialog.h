// A modal dialog built from a dialog template, with messages routed to member
// functions through a table the derived class owns.
#pragma once

#include "Geometry.h"
#include "Icon.h"

#include <cstddef>
#include <memory>
#include <string>

namespace ui {

class PaintDC;

enum class Message {
    Paint,                // the window needs painting
    QueryDragIcon,        // which icon to show while the minimised window is dragged
    Clicked,              // a push button was clicked; the entry's id names it
    Command,              // a menu command or its shortcut; the entry's id names it
    IconEraseBackground,  // erase behind the icon of the minimised window
    Posted,               // sent by PostMessage from any thread; the entry's id names it
};

struct MessageData {
    PaintDC* dc = nullptr;  // in: where IconEraseBackground erases
    Icon icon;              // out: answer to QueryDragIcon
};

// One row of a routing table: a message (and control id for Clicked) and the
// member function that handles it.
template <class T>
struct MessageMapEntry {
    Message message;
    int id;
    void (T::*handler)() = nullptr;
    Icon (T::*iconHandler)() = nullptr;

    constexpr MessageMapEntry(Message m, int i, void (T::*h)()) : message(m), id(i), handler(h) {}
    constexpr MessageMapEntry(Message m, int i, Icon (T::*h)())
        : message(m), id(i), iconHandler(h) {}
};

template <class T, size_t N>
bool DispatchMessage(T* target, const MessageMapEntry<T> (&map)[N], Message message, int id,
                     MessageData* data)
{
    for (const MessageMapEntry<T>& entry : map) {
        const bool byId =
            message == Message::Clicked || message == Message::Command || message == Message::Posted;
        if (entry.message != message || (byId && entry.id != id))
            continue;
        if (entry.handler)
            (target->*entry.handler)();
        else if (entry.iconHandler && data)
            data->icon = (target->*entry.iconHandler)();
        return true;
    }
    return false;
}

class Dialog;

// A child control of a dialog, bound by DataExchange.
class Control {
public:
    int Id() const { return id_; }
    Dialog* GetParent() const { return dialog_; }
    bool IsBound() const { return dialog_ != nullptr; }
    Rect GetClientRect() const;  // origin 0, 0
    Rect GetWindowRect() const;  // screen coordinates
    // One line shown when the pointer rests on the control, and told to
    // assistive technology as its description.
    void SetToolTip(const std::string& utf8);
    std::string GetToolTip() const;

private:
    friend class DataExchange;
    Dialog* dialog_ = nullptr;
    int id_ = 0;
};

class DataExchange {
public:
    explicit DataExchange(Dialog* dialog) : dialog_(dialog) {}
    // Binds control to the dialog's child with this id.
    void BindControl(int id, Control& control);

private:
    Dialog* dialog_;
};

class Dialog {
public:
    enum Result { kOk = 1, kCancel = 2 };

    explicit Dialog(int templateId);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Builds the window (once), then runs it modally until Esc closes it;
    // returns the result.
    int DoModal();
    // Builds the window without running it: data exchange and OnInitDialog run.
    bool Create();
    // Ends DoModal with result, as Esc ends it with kCancel; first closes a
    // message box or file dialog the window has open, which would otherwise
    // keep the program waiting for a person.
    void EndDialog(int result);

    bool IsIconic() const;
    Rect GetClientRect() const;
    Rect ScreenToClient(const Rect& screen) const;
    virtual void InvalidateRect(const Rect& rect, bool erase);
    void SetIcon(const Icon& icon, bool big);
    Icon GetIcon(bool big) const;

    // Adds the commands of a menu resource to the dialog: their shortcuts
    // work anywhere in it, and a right click on control shows them as its
    // context menu. Each sends Message::Command with its id.
    bool LoadCommands(int menuId, const Control& control);
    // A disabled command is greyed in the menu and its shortcut does nothing.
    void EnableCommand(int id, bool enable);
    bool IsCommandEnabled(int id) const;
    // The check mark of a checkable command; triggering it toggles the mark
    // before its Message::Command is sent.
    void CheckCommand(int id, bool checked);
    bool IsCommandChecked(int id) const;
    // Sends Message::Posted with id on the window's thread, from any thread,
    // once the window's queued events before it are done; dropped when the
    // window is gone by then.
    void PostMessage(int id);
    // Shows a modal message box with an OK button.
    void MessageBox(const std::string& text);

    // Routes a message as the window system would: through OnMessage, then to
    // the default handling.
    bool SendMessage(Message message, int id = 0, MessageData* data = nullptr);

    struct Window;
    Window* window() const { return window_.get(); }

protected:
    virtual void DoDataExchange(DataExchange* dx);
    virtual bool OnInitDialog();
    // Called for every message; return false to leave it to the default handling.
    virtual bool OnMessage(Message message, int id, MessageData* data);
    // The default painting of a dialog (its background).
    void DefaultOnPaint();

private:
    int templateId_;
    std::unique_ptr<Window> window_;
    Icon bigIcon_, smallIcon_;
};

}  // namespace ui
