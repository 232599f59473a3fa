// --force-ip: its options, what they ask for, and the command that gives an
// unreachable GigE camera an address now by FORCEIP on one interface.
#pragma once

#include "app/Options.h"
#include "platform/camera/gvcp_forceip.h"

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

#include <string>

struct ForceIpCommand {
    gvcp::ForceIp force;
    std::string interfaceName;
};

struct ForceIpOptionTable {
    QCommandLineOption forceIp;
    QCommandLineOption interface;

    ForceIpOptionTable();
    QList<QCommandLineOption> Options() const;
};

// The address comes as the argument right after the MAC, so the parser sees
// it as a positional argument: positional is the parser's list of them and
// argv the arguments as given, to make sure it stands there. others: every
// option, of which only --force-ip and --interface may be given.
Usage ReadForceIpOptions(const ParsedOptions& options, const ForceIpOptionTable& table,
                         const QList<QCommandLineOption>& others, const QStringList& positional, int argc,
                         char** argv, ForceIpCommand* command);

// The help's section on forcing an address.
extern const char kForceIpHelp[];

// Checks the interface, sends FORCEIP from it, waits for the camera's
// acknowledgement and finds the camera at its new address by discovery.
int ForceIpAddress(const ForceIpCommand& command);
