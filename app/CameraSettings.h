// Camera features for the command line: settings applied in order (from
// --set and settings files) with a refusal that says what the camera
// accepts, the feature tree listed for people and for programs, and the
// writable features saved as a file that applies again.
#pragma once

#include "platform/camera/cam.h"

#include <string>
#include <vector>

struct Setting {
    std::string name, value;
    bool hasValue = true;  // false: "--set NAME", which runs a command
    std::string origin;    // where it was given, for messages: "--set", "cam.txt:3"
};

// "NAME=VALUE" or "NAME" as given after --set; false when the name is empty.
bool ParseSetting(const std::string& text, const std::string& origin, Setting* setting);

// What a settings file may hold, far above what any camera's needs: longer
// lines, larger files and more settings are refused rather than read.
constexpr size_t kMaxSettingsLine = 64 * 1024;
constexpr size_t kMaxSettingsFileBytes = 16 * 1024 * 1024;
constexpr size_t kMaxSettings = 100000;

// The lines of a settings file ("-": standard input), appended to *settings:
// NAME=VALUE each, blank lines and lines starting with '#' skipped, a leading
// UTF-8 byte-order mark and '\r' line ends ignored. False, with *error
// saying where and why, when it cannot be read, a line is not NAME=VALUE or
// holds a NUL byte, or it goes past the bounds above (kMaxSettings counts
// *settings as a whole).
bool ReadSettingsFile(const std::string& path, std::vector<Setting>* settings, std::string* error);

// Applies the settings to the open camera (g_hCamera) in the order given.
// On the first refusal, puts back what was changed before it and returns
// the message (without "tarvik: "); empty when all were applied.
// *shapeChanged tells whether the picture's size or format may have changed.
// *usage tells a refusal in the option itself: a value left out of a
// feature that is not a command.
std::string ApplySettings(const std::vector<Setting>& settings, bool* shapeChanged, bool* usage);

// NAME=VALUE for each name; the message of the first that cannot be read.
std::string GetFeatures(const std::vector<std::string>& names, std::string* out);

// Every feature but invisible ones, by category: one a line, aligned, or
// as JSON (an array of objects).
std::string FeaturesText();
std::string FeaturesJson();

// The tree for the settings window: categories and features, depth first
// in the camera's order, invisible ones left out; values read now.
struct FeatureItem {
    std::string name;
    int depth = 0;  // 0 directly under Root
    CamFeatureInfo info{};
    std::string value;      // where readable
    bool readable = false;  // a value that can be read now
};
std::vector<FeatureItem> FeatureTree();
// What a feature accepts, in the listing's words: "8..5472 step 4",
// "Off|Once|Continuous", "true|false"; empty for others.
std::string FeatureRangeText(const CamFeatureInfo& info);

// The writable features as NAME=VALUE lines that apply again: modes,
// selectors and enables before what they govern, size before offset.
std::string SettingsFileText();

// SettingsFileText written to path so that nothing is lost (see
// imaging::OutputFile); empty on success, else why not.
std::string SaveSettingsFile(const std::string& path);
