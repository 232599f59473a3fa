// --network, --set-ip and --ip-mode: a GigE camera's IP settings and the
// host's side of its link, shown, and its lasting address set.
#pragma once

#include "HostNetwork.h"
#include "app/CameraSequences.h"
#include "app/Options.h"

#include <QCommandLineOption>
#include <QList>

#include <optional>
#include <string>

struct NetworkCommand {
    bool json = false;
    std::optional<IpSetting> setIp;  // --set-ip
    int32_t mode = 0;                // --ip-mode: CAM_IP_MODE_..., 0 when not given
};

struct NetworkOptionTable {
    QCommandLineOption network;
    QCommandLineOption setIp;
    QCommandLineOption ipMode;

    NetworkOptionTable();
    QList<QCommandLineOption> Options() const;
};

// Whether any of the network options is given: then they are the command.
bool NetworkAsked(const ParsedOptions& options, const NetworkOptionTable& table);
// Reads them (json: --json given); refuses malformed addresses and modes
// before anything is sent to a camera.
Usage ReadNetworkOptions(const ParsedOptions& options, const NetworkOptionTable& table, bool json,
                         NetworkCommand* network);

// The help's section on a camera's network.
extern const char kNetworkHelp[];

// Opens the camera, sets what was asked, prints its IP settings and the
// host's side (read back after a change), releases it.
int NetworkCamera(const OpenOptions& open, const NetworkCommand& network);

// --list's fields after "<id>\t<name>\t<source>" for a GigE camera
// ("\t<address>\t<MAC>\t<interface>"), empty for others; *warning receives
// the line to say on stderr when the camera is outside the interface's subnet.
std::string ListedNetworkFields(const CamCameraInfo& camera, std::string* warning);
