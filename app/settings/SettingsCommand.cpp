// The settings options and the command that reads and changes a camera's
// features from the command line.
#include "SettingsCommand.h"

#include "app/Failures.h"
#include "platform/imaging/files/OutputFile.h"

#include <algorithm>
#include <cstdio>

const char kSettingsHelp[] =
    "\n"
    "Feature values (--set, --settings):\n"
    "  whole numbers  decimal, an optional sign, leading zeros still decimal (0640 is\n"
    "                 640); a feature shown in hex (--features) also takes 0x and hex\n"
    "                 digits and is written as 0x and lower-case hex digits\n"
    "  numbers        decimal, an optional sign and exponent (2.5, -.5, 1e-3); no hex,\n"
    "                 inf or nan\n"
    "  booleans       true/false, on/off, yes/no, 1/0, in any case\n";

SettingsOptionTable::SettingsOptionTable()
    : set("set", "Set a camera feature right after opening, before anything is grabbed "
          "(repeatable, applied in order; NAME alone runs a command). With --grab, "
          "--check, --record or --live; alone it sets and releases the camera.",
          "NAME=VALUE"),
      get("get", "Print a camera feature as NAME=VALUE (repeatable).", "NAME"),
      features("features", "Print every camera feature by category: name, type, access, value, "
          "range or entries, unit."),
      settings("settings", "Apply a settings file (NAME=VALUE lines) right after opening, "
          "before any --set (repeatable, applied in order; - reads "
          "standard input).", "FILE"),
      saveSettings("save-settings", "Write the camera's writable features to FILE as NAME=VALUE "
          "lines that apply again.", "FILE")
{
}

QList<QCommandLineOption> SettingsOptionTable::Options() const
{
    return {set, get, features, settings, saveSettings};
}

bool ReadsFeatures(const ParsedOptions& options, const SettingsOptionTable& table)
{
    return options.IsSet(table.get) || options.IsSet(table.features) || options.IsSet(table.saveSettings);
}

Usage ReadSettingsFileNames(const ParsedOptions& options, const SettingsOptionTable& table,
                            std::vector<std::string>* files)
{
    *files = options.RawValues(table.settings);
    if (std::count(files->begin(), files->end(), std::string()) > 0)
        return std::string("--settings needs a file name, or - for standard input");
    if (std::count(files->begin(), files->end(), std::string("-")) > 1)
        return std::string("--settings - reads standard input, which can be read once: give it once");
    return std::nullopt;
}

namespace {

// --save-settings FILE, which must not share standard output with what is printed.
Usage ReadSaveSettings(const ParsedOptions& options, const SettingsOptionTable& table, SettingsCommand* command)
{
    if (!options.IsSet(table.saveSettings))
        return std::nullopt;
    command->saveSettingsFile = options.RawValue(table.saveSettings);
    if (command->saveSettingsFile.empty())
        return std::string("--save-settings needs a file name");
    if (imaging::OutputFile::IsStandardOutput(command->saveSettingsFile) &&
        (options.IsSet(table.get) || command->features))
        return std::string("--save-settings - writes to standard output, where --get and --features print: use a "
                           "file name, or one of them");
    return std::nullopt;
}

}  // namespace

Usage ReadSettingsOptions(const ParsedOptions& options, const SettingsOptionTable& table,
                          std::vector<Setting>* settings, SettingsCommand* command)
{
    for (const std::string& text : options.RawValues(table.set)) {
        Setting setting;
        if (!ParseSetting(text, "--set", &setting))
            return "--set needs NAME=VALUE (or NAME alone for a command), got '" + text + "'";
        settings->push_back(setting);
    }
    for (const std::string& name : options.RawValues(table.get)) {
        if (name.empty())
            return std::string("--get needs a feature name");
        command->gets.push_back(name);
    }
    command->features = options.IsSet(table.features);
    command->json = options.IsSet(QStringLiteral("json"));
    if (Usage u = ReadSaveSettings(options, table, command))
        return u;
    const bool check = options.IsSet(QStringLiteral("check"));
    if (ReadsFeatures(options, table) &&
        (options.IsSet(QStringLiteral("grab")) || check || options.IsSet(QStringLiteral("live"))))
        return std::string("--get, --features and --save-settings go without --grab, --check and --live");
    if (command->json && !check && !command->features)
        return std::string("--json goes with --check or --features");
    return std::nullopt;
}

bool ApplySettingsFiles(const std::vector<std::string>& files, std::vector<Setting>* settings, std::string* error)
{
    std::vector<Setting> read;
    for (const std::string& file : files)
        if (!ReadSettingsFile(file, &read, error))
            return false;
    settings->insert(settings->begin(), read.begin(), read.end());
    return true;
}

int ShowFeatures(const OpenOptions& open, const SettingsCommand& command)
{
    // Features are read and changed without a picture: a camera set to a
    // size that cannot be shown is put right here.
    const Outcome opened = OpenCamera(open);
    if (opened.Failed() && !PictureMissing(opened)) {
        ReportFailure(opened);
        ReleaseCamera();
        return ExitStatusFor(opened);
    }
    std::string out;
    const std::string refused = GetFeatures(command.gets, &out);
    if (command.features)
        out += command.json ? FeaturesJson() : FeaturesText();
    const std::string notSaved =
        refused.empty() && !command.saveSettingsFile.empty() ? SaveSettingsFile(command.saveSettingsFile) : "";
    ReleaseCamera();
    if (!refused.empty()) {
        std::fprintf(stderr, "tarvik: %s\n", refused.c_str());
        return kExitNotOpened;
    }
    if (!notSaved.empty()) {
        std::fprintf(stderr, "tarvik: %s\n", notSaved.c_str());
        return kExitNotWritten;
    }
    return WriteStandardOutput(out) ? kExitSuccess : kExitNotWritten;
}
