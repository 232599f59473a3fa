// --set, --get, --features, --settings and --save-settings: their options,
// what they ask for, and the command that reads and changes a camera's
// features without grabbing.
#pragma once

#include "app/CameraSequences.h"
#include "app/Options.h"

#include <QCommandLineOption>
#include <QList>

#include <string>
#include <vector>

// What is printed or written once the settings were applied.
struct SettingsCommand {
    std::vector<std::string> gets;
    bool features = false;
    bool json = false;
    std::string saveSettingsFile;
};

struct SettingsOptionTable {
    QCommandLineOption set;
    QCommandLineOption get;
    QCommandLineOption features;
    QCommandLineOption settings;
    QCommandLineOption saveSettings;

    SettingsOptionTable();
    QList<QCommandLineOption> Options() const;
};

// Whether the camera's features are read (--get, --features, --save-settings).
bool ReadsFeatures(const ParsedOptions& options, const SettingsOptionTable& table);
// The --settings files' names, read later (ApplySettingsFiles), once every
// option is known to go together, so that a usage error leaves standard
// input unread.
Usage ReadSettingsFileNames(const ParsedOptions& options, const SettingsOptionTable& table,
                            std::vector<std::string>* files);
// --set (into *settings, in order), --get, --features, --json and
// --save-settings, and the commands they do not go with.
Usage ReadSettingsOptions(const ParsedOptions& options, const SettingsOptionTable& table,
                          std::vector<Setting>* settings, SettingsCommand* command);
// Reads the --settings files and puts their settings before any --set;
// false, with the message, when one cannot be read or is not settings.
bool ApplySettingsFiles(const std::vector<std::string>& files, std::vector<Setting>* settings, std::string* error);

// The help's section on feature values.
extern const char kSettingsHelp[];

// Opens the camera (applying --settings and --set), prints --get and
// --features, writes --save-settings, releases the camera.
int ShowFeatures(const OpenOptions& open, const SettingsCommand& command);
