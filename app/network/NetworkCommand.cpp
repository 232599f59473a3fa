// The network commands: options, and the camera's IP settings through the
// camera library beside the host's interface.
#include "NetworkCommand.h"

#include "app/Failures.h"
#include "platform/camera/camtext.h"

#include <cstdio>
#include <cstring>

const char kNetworkHelp[] =
    "\n"
    "A GigE camera's network (--network, --set-ip, --ip-mode):\n"
    "  --list adds, for each GigE camera, its address, MAC and the interface that\n"
    "  reaches it, and says on stderr when the camera is outside that interface's\n"
    "  subnet. --network prints the camera's address, mask, gateway, the IP modes it\n"
    "  has on, its persistent settings, and the interface's address, mask, MTU and\n"
    "  speed. --set-ip and --ip-mode write the camera's lasting settings and read them\n"
    "  back; the camera applies them at its next power-up or device reset. A camera\n"
    "  that is not GigE Vision, refuses the writes or cannot be read gives status 9.\n";

NetworkOptionTable::NetworkOptionTable()
    : network("network", "Print the camera's IP settings and the host's side of its link (GigE "
              "cameras; with --json as JSON)."),
      setIp("set-ip", "Write the camera's persistent address, e.g. 192.168.10.20/24 or "
            "192.168.10.20/24/192.168.10.1 with a gateway, and select the persistent "
            "mode; applied at its next power-up or device reset.", "ADDRESS/PREFIX[/GATEWAY]"),
      ipMode("ip-mode", "Select how the camera gets its address at its next power-up or "
             "device reset: dhcp, link-local or persistent.", "MODE")
{
}

QList<QCommandLineOption> NetworkOptionTable::Options() const
{
    return {network, setIp, ipMode};
}

bool NetworkAsked(const ParsedOptions& options, const NetworkOptionTable& table)
{
    return options.IsSet(table.network) || options.IsSet(table.setIp) || options.IsSet(table.ipMode);
}

namespace {

struct ModeName {
    int32_t mode;
    const char* name;
};
const ModeName kModes[] = {
    {CAM_IP_MODE_DHCP, "dhcp"}, {CAM_IP_MODE_LINK_LOCAL, "link-local"}, {CAM_IP_MODE_PERSISTENT, "persistent"}};

const char* ModeText(int32_t mode)
{
    for (const ModeName& m : kModes)
        if (m.mode == mode)
            return m.name;
    return "none";
}

}  // namespace

Usage ReadNetworkOptions(const ParsedOptions& options, const NetworkOptionTable& table, bool json,
                         NetworkCommand* network)
{
    for (const QCommandLineOption* once : {&table.setIp, &table.ipMode})
        if (options.Values(*once).size() > 1)
            return "--" + once->names().first().toStdString() + " given more than once";
    network->json = json;
    if (options.IsSet(table.setIp)) {
        std::string error;
        network->setIp = ParseIpSetting(options.RawValue(table.setIp), &error);
        if (!network->setIp)
            return error;
        network->mode = CAM_IP_MODE_PERSISTENT;
    }
    if (options.IsSet(table.ipMode)) {
        const std::string text = options.RawValue(table.ipMode);
        int32_t mode = 0;
        for (const ModeName& m : kModes)
            if (text == m.name)
                mode = m.mode;
        if (!mode)
            return "--ip-mode needs dhcp, link-local or persistent, got '" + text + "'";
        if (network->setIp && mode != CAM_IP_MODE_PERSISTENT)
            return std::string("--set-ip selects the persistent mode: it goes with no other --ip-mode");
        network->mode = mode;
    }
    return std::nullopt;
}

namespace {

int PrefixOf(const char* mask)
{
    const std::optional<Ipv4> m = ParseIpv4(mask);
    return m ? __builtin_popcount(*m) : 0;
}

// A register with no gateway holds 0.0.0.0.
std::string Gateway(const char* text)
{
    return !*text || !std::strcmp(text, "0.0.0.0") ? "none" : text;
}

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        // Interface names may hold any control character but '\t' and '\n'.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
            continue;
        }
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Report(const CamNetworkInfo& n, const std::string& cameraAddress, const HostInterface& host, bool json)
{
    const std::string hostAddress = host.name.empty() ? "" : Ipv4Text(host.address);
    const std::string hostMask = host.name.empty() ? "" : Ipv4Text(host.mask);
    std::string out;
    if (json) {
        auto field = [&](const char* key, const std::string& value, bool last = false) {
            out += std::string("  ") + JsonString(key) + ": " + value + (last ? "\n" : ",\n");
        };
        auto b = [](bool v) { return std::string(v ? "true" : "false"); };
        out += "{\n";
        field("address", JsonString(n.address));
        field("mask", JsonString(n.mask));
        field("gateway", JsonString(n.gateway));
        field("mac", JsonString(n.macAddress));
        field("mode", JsonString(ModeText(n.mode)));
        field("dhcp", b(n.dhcpEnabled));
        field("link_local", b(n.linkLocalEnabled));
        field("persistent", b(n.persistentEnabled));
        field("persistent_address", JsonString(n.persistentAddress));
        field("persistent_mask", JsonString(n.persistentMask));
        field("persistent_gateway", JsonString(n.persistentGateway));
        field("interface", JsonString(host.name));
        field("interface_address", JsonString(hostAddress));
        field("interface_mask", JsonString(hostMask));
        field("mtu", std::to_string(host.mtu));
        field("speed_mbps", std::to_string(host.speedMbps));
        std::string warnings = "[";
        for (const NetworkWarning& w : NetworkWarnings(cameraAddress, host, 0))
            warnings += (warnings.size() > 1 ? ", " : "") + JsonString(w.text);
        field("warnings", warnings + "]", true);
        return out + "}\n";
    }
    auto line = [&](const char* key, const std::string& value) {
        out += std::string(key) + std::string(20 - std::strlen(key), ' ') + value + "\n";
    };
    auto onOff = [](bool v) { return v ? "on" : "off"; };
    line("address", std::string(n.address) + "/" + std::to_string(PrefixOf(n.mask)));
    line("mask", n.mask);
    line("gateway", Gateway(n.gateway));
    line("MAC", n.macAddress);
    line("mode", ModeText(n.mode));
    line("DHCP", onOff(n.dhcpEnabled));
    line("link-local", onOff(n.linkLocalEnabled));
    line("persistent", onOff(n.persistentEnabled));
    line("persistent address", std::string(n.persistentAddress) + "/" + std::to_string(PrefixOf(n.persistentMask)));
    line("persistent gateway", Gateway(n.persistentGateway));
    line("interface", host.name.empty() ? "unknown" : host.name);
    line("interface address", host.name.empty() ? "unknown" : hostAddress + "/" +
                                                         std::to_string(__builtin_popcount(host.mask)));
    line("MTU", host.mtu < 0 ? "unknown" : std::to_string(host.mtu));
    line("speed", host.speedMbps < 0 ? "unknown" : std::to_string(host.speedMbps) + " Mb/s");
    return out;
}

// The change asked for, written and read back; the reason on stderr when the
// camera refused it.
bool Apply(const NetworkCommand& network, CamNetworkInfo* info)
{
    CamError err = CAM_OK;
    if (network.setIp) {
        const std::string address = Ipv4Text(network.setIp->address);
        const std::string mask = Ipv4Text(PrefixMask(network.setIp->prefix));
        const std::string gateway = network.setIp->gateway ? Ipv4Text(network.setIp->gateway) : "";
        err = CamNetworkPersistentSet(g_hCamera, address.c_str(), mask.c_str(), gateway.c_str());
        if (err != CAM_OK) {
            std::fprintf(stderr, "tarvik: the camera refused its persistent address (%s)\n", CamErrorName(err));
            return false;
        }
    }
    if (network.mode && (err = CamNetworkModeSet(g_hCamera, network.mode)) != CAM_OK) {
        std::fprintf(stderr, "tarvik: the camera refused the IP mode %s (%s)\n", ModeText(network.mode),
                     CamErrorName(err));
        return false;
    }
    if ((err = CamNetworkGet(g_hCamera, info, sizeof *info)) != CAM_OK) {
        std::fprintf(stderr, "tarvik: cannot read the camera's IP settings back (%s)\n", CamErrorName(err));
        return false;
    }
    bool same = !network.mode || info->mode == network.mode;
    if (network.setIp)
        same = same && ParseIpv4(info->persistentAddress) == network.setIp->address &&
               PrefixOf(info->persistentMask) == network.setIp->prefix &&
               ParseIpv4(*info->persistentGateway ? info->persistentGateway : "0.0.0.0") == network.setIp->gateway;
    if (!same) {
        std::fprintf(stderr, "tarvik: the camera took the writes but reads back other IP settings\n");
        return false;
    }
    return true;
}

}  // namespace

int NetworkCamera(const OpenOptions& open, const NetworkCommand& network)
{
    // Opened as a check opens it: the camera's pixel format is left alone.
    std::string formatFound;
    const Outcome outcome = OpenCamera(open, &formatFound);
    if (outcome.Failed() && !PictureMissing(outcome)) {
        ReportFailure(outcome);
        ReleaseCamera();
        return ExitStatusFor(outcome);
    }
    CamNetworkInfo info{};
    const bool changing = network.setIp || network.mode;
    // Read first, so that a camera of another kind is said plainly before anything is written.
    const CamError err = CamNetworkGet(g_hCamera, &info, sizeof info);
    if (err == CAM_ERR_NOT_GIGE)
        std::fprintf(stderr, "tarvik: camera %s is not a GigE Vision camera: it has no IP settings\n",
                     cam::Quoted(g_pCameraId ? g_pCameraId : "").c_str());
    else if (err != CAM_OK)
        std::fprintf(stderr, "tarvik: cannot read the camera's IP settings (%s)\n", CamErrorName(err));
    const bool ok = err == CAM_OK && (!changing || Apply(network, &info));
    const char* local = nullptr;
    const HostInterface host = ok && CamCameraDetailGet(g_hCamera, "interface_address", &local) == CAM_OK && local
                                   ? InterfaceHolding(local)
                                   : HostInterface{};
    ReleaseCamera();
    if (!ok)
        return kExitNetwork;
    std::string text = Report(info, info.address, host, network.json);
    const char* applies = "The camera applies its new settings at its next power-up or device reset.\n";
    if (changing && !network.json)
        text += applies;
    else if (changing)
        std::fprintf(stderr, "tarvik: %s", applies);  // standard output stays JSON alone
    return WriteStandardOutput(text) ? kExitSuccess : kExitNotWritten;
}

std::string ListedNetworkFields(const CamCameraInfo& camera, std::string* warning)
{
    warning->clear();
    const char *address = nullptr, *mac = nullptr, *local = nullptr;
    if (CamCameraListedDetailGet(camera.cameraId, "address", &address) != CAM_OK ||
        CamCameraListedDetailGet(camera.cameraId, "mac_address", &mac) != CAM_OK ||
        CamCameraListedDetailGet(camera.cameraId, "interface_address", &local) != CAM_OK)
        return {};
    const HostInterface host = InterfaceHolding(local);
    for (const NetworkWarning& w : NetworkWarnings(address, host, 0))
        if (w.kind == NetworkWarning::OutsideSubnet)
            *warning = w.text;
    return std::string("\t") + address + "\t" + (*mac ? mac : "unknown") + "\t" +
           (host.name.empty() ? "unknown" : host.name);
}
