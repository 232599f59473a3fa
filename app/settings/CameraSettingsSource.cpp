// Feature descriptions turned into the window's rows, and its edits into
// settings applied as --set applies them.
#include "CameraSettingsSource.h"

#include "platform/camera/camfeature.h"
#include "platform/camera/camtext.h"

#include <cstdio>
#include <set>

ui::SettingItem SettingItemOf(const FeatureItem& f)
{
    const CamFeatureInfo& i = f.info;
    ui::SettingItem s;
    s.name = f.name;
    s.depth = f.depth;
    switch (i.type) {
    case CAM_TYPE_CATEGORY: s.kind = ui::SettingKind::Category; break;
    case CAM_TYPE_INTEGER: s.kind = ui::SettingKind::Integer; break;
    case CAM_TYPE_FLOAT: s.kind = ui::SettingKind::Float; break;
    case CAM_TYPE_ENUMERATION: s.kind = ui::SettingKind::Choice; break;
    case CAM_TYPE_BOOLEAN: s.kind = ui::SettingKind::Switch; break;
    case CAM_TYPE_COMMAND: s.kind = ui::SettingKind::Action; break;
    default: s.kind = ui::SettingKind::Text; break;
    }
    s.level = i.visibility;
    s.writable = (i.access & CAM_ACCESS_WRITE) != 0;
    s.value = f.value;
    s.unit = i.unit ? i.unit : "";
    s.minimum = i.intMinimum;
    s.maximum = i.intMaximum;
    s.increment = i.intIncrement;
    s.low = i.floatMinimum;
    s.high = i.floatMaximum;
    s.step = i.floatIncrement;
    for (uint32_t e = 0; e < i.entryCount && i.entries; ++e)
        s.entries.push_back(i.entries[e] ? i.entries[e] : "");
    // "Exposure time: How long each frame is exposed.\n10..1000000 us, read/write"
    std::string tip = i.displayName && *i.displayName && f.name != i.displayName ? i.displayName : f.name;
    if (i.description && *i.description)
        tip += ": " + std::string(i.description);
    if (s.kind != ui::SettingKind::Category) {
        const std::string range = FeatureRangeText(i);
        tip += "\n" + (range.empty() ? "" : range + (s.unit.empty() ? "" : " " + s.unit) + ", ") +
               cam::FeatureTypeName(i.type) + ", " + cam::FeatureAccessName(i.access) + " now";
        for (uint32_t e = 0; e < i.selectedCount; ++e)
            tip += (e ? ", " : "\nselects ") + std::string(i.selected[e]);
    }
    s.tip = tip;
    return s;
}

std::vector<ui::SettingItem> CameraSettingsSource::Items()
{
    std::vector<FeatureItem> tree;
    live_.Call([&] { tree = FeatureTree(); });
    std::vector<ui::SettingItem> items;
    for (const FeatureItem& f : tree)
        items.push_back(SettingItemOf(f));
    return items;
}

std::string CameraSettingsSource::Set(const std::string& name, const std::string& value)
{
    return Apply({Setting{name, value, true, {}}});
}

std::string CameraSettingsSource::Save(const std::string& path)
{
    std::string refusal;
    live_.Call([&] { refusal = SaveSettingsFile(path); });
    return Done(refusal, false);
}

std::string CameraSettingsSource::Load(const std::string& path)
{
    std::vector<Setting> settings;
    std::string error;
    // A file chosen in the window, never standard input.
    if (!ReadSettingsFile(path == "-" ? "./-" : path, &settings, &error))
        return Done(error, false);
    return Apply(settings);
}

namespace {

// Live view starts and stops acquisition and keeps the camera in continuous
// mode while it streams: a command or mode from the window there would leave
// it waiting for frames that never come. Called where the library may be.
std::string LiveViewRefusal(const std::vector<Setting>& settings)
{
    static const std::set<std::string> commands = {"AcquisitionStart", "AcquisitionStop", "AcquisitionAbort"};
    const std::string why = ": live view owns acquisition; end live view first (Ctrl+L)";
    for (const Setting& s : settings) {
        const std::string where = s.origin.empty() ? "" : s.origin + ": ";
        if (commands.count(s.name))
            return where + "cannot run " + s.name + why;
        const char* mode = nullptr;
        // The mode it has already changes nothing: a settings file saved during live view has it.
        if (s.name == "AcquisitionMode" && CamFeatureEnumGet(g_hCamera, "AcquisitionMode", &mode) == CAM_OK &&
            mode && s.value != mode)
            return where + "cannot set AcquisitionMode to " + cam::OneLine(s.value) + why;
    }
    return {};
}

}  // namespace

std::string CameraSettingsSource::Apply(const std::vector<Setting>& settings)
{
    std::string refusal;
    bool shapeChanged = false, usage = false;
    const bool live = live_.Running();
    live_.Call([&] {
        refusal = live ? LiveViewRefusal(settings) : "";
        if (refusal.empty())
            refusal = ApplySettings(settings, &shapeChanged, &usage);
    });
    return Done(refusal, shapeChanged);
}

std::string CameraSettingsSource::Done(const std::string& refusal, bool shapeChanged)
{
    if (!refusal.empty())
        std::fprintf(stderr, "tarvik: %s\n", refusal.c_str());
    if (shapeChanged && shapeChanged_)
        shapeChanged_();
    return refusal;
}
