// A device's settings in a window of their own beside a dialog: a tree by
// category of names and values, an editor for each by its kind, a filter
// and a level of detail. What the settings are and how they change is the
// source's business; the window only shows them and passes edits on.
#pragma once

#include <QPointer>

#include <cstdint>
#include <string>
#include <vector>

class QWidget;

namespace ui {

class Dialog;

enum class SettingKind { Category, Integer, Float, Choice, Switch, Text, Action };

struct SettingItem {
    std::string name;
    int depth = 0;  // 0 at the top
    SettingKind kind = SettingKind::Text;
    int level = 0;          // who it is for: 0 beginner, 1 expert, 2 guru
    bool writable = false;  // now
    std::string value;      // as text; empty where it cannot be read
    std::string unit;
    std::string tip;        // description and what is accepted, for the tooltip
    int64_t minimum = 0, maximum = 0, increment = 1;  // Integer
    double low = 0, high = 0, step = 0;               // Float; step 0: none
    std::vector<std::string> entries;                 // Choice: those available now
};

class SettingsSource {
public:
    virtual ~SettingsSource() = default;
    virtual std::vector<SettingItem> Items() = 0;
    // Each returns empty when done, else why not, in words for people.
    virtual std::string Set(const std::string& name, const std::string& value) = 0;  // "" runs an Action
    virtual std::string Save(const std::string& path) = 0;
    virtual std::string Load(const std::string& path) = 0;
};

class SettingsWindow {
public:
    // A separate, resizable, non-modal window that stays with owner.
    SettingsWindow(Dialog& owner, SettingsSource& source, const std::string& title);
    ~SettingsWindow();
    SettingsWindow(const SettingsWindow&) = delete;
    SettingsWindow& operator=(const SettingsWindow&) = delete;

    // Shows and raises the window with every value read again.
    void Show();
    void Close();
    bool IsVisible() const;
    // Reads every value, range and access again: a change moves others'.
    void Refresh();
    // Sends what has not been sent yet: a value typed into an editor not
    // left, a change waiting for its turn. Before the source goes.
    void SendPending();
    // The last refusal shown; empty after a change that was taken.
    std::string Message() const;

    // The window itself; its editors are named after their settings.
    QWidget* widget() const;

private:
    class Widget;
    QPointer<Widget> widget_;  // the owner's window deletes it too
};

}  // namespace ui
