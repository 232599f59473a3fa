// The open camera's features as the settings window shows and changes
// them: read and set through the live stream's camera thread while it
// streams, with refusals written as the command line writes them.
#pragma once

#include "app/CameraSettings.h"
#include "app/live/LiveStream.h"
#include "platform/ui/SettingsWindow.h"

#include <functional>

class CameraSettingsSource : public ui::SettingsSource {
public:
    // shapeChanged is called, on the caller's thread, after a change that
    // may have moved the picture's size or format.
    CameraSettingsSource(LiveStream& live, std::function<void()> shapeChanged)
        : live_(live), shapeChanged_(std::move(shapeChanged))
    {
    }

    std::vector<ui::SettingItem> Items() override;
    std::string Set(const std::string& name, const std::string& value) override;
    std::string Save(const std::string& path) override;
    std::string Load(const std::string& path) override;

private:
    // Applies them as --set does; during live view, refuses first what
    // would stop the stream under it.
    std::string Apply(const std::vector<Setting>& settings);
    // The refusal, also on stderr; shapeChanged_ after a shape change.
    std::string Done(const std::string& refusal, bool shapeChanged);

    LiveStream& live_;
    std::function<void()> shapeChanged_;
};

// A feature as the window shows it: its kind, level, access, the range or
// entries, and a tooltip of its description, what it accepts and its state.
ui::SettingItem SettingItemOf(const FeatureItem& feature);
