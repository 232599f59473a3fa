// Addresses and subnets for the network commands; the host's interfaces
// from getifaddrs, their MTU and speed through the check's link code.
#include "HostNetwork.h"

#include "app/check/LinkInfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>

std::optional<Ipv4> ParseIpv4(const std::string& text)
{
    Ipv4 value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i >= text.size() || text[i++] != '.'))
            return std::nullopt;
        const size_t start = i;
        unsigned n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            n = n * 10 + unsigned(text[i++] - '0');
        // A leading zero reads as octal to some programs: refused, not guessed.
        if (i == start || n > 255 || (text[start] == '0' && i - start > 1))
            return std::nullopt;
        value = (value << 8) | n;
    }
    if (i != text.size())
        return std::nullopt;
    return value;
}

std::string Ipv4Text(Ipv4 a)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
    return text;
}

Ipv4 PrefixMask(int prefix)
{
    return prefix <= 0 ? 0 : prefix >= 32 ? 0xffffffffu : ~((Ipv4(1) << (32 - prefix)) - 1);
}

bool IsLinkLocal(Ipv4 address)
{
    return (address >> 16) == 0xa9fe;
}

namespace {

const char kAccepted[] =
    "a unicast address, a prefix length from 1 to 30 and an optional gateway in the same subnet, "
    "e.g. 192.168.10.20/24 or 192.168.10.20/24/192.168.10.1";

// Why an address cannot be a camera's own in a subnet of this mask; empty
// when it can.
std::string NotUnicast(Ipv4 a, Ipv4 mask)
{
    if (a == 0)
        return "the zero address";
    if (a >> 24 == 0)
        return "in 0.0.0.0/8, which means this host";
    if (a >> 24 == 127)
        return "a loopback address";
    if (a >> 28 == 0xe)
        return "a multicast address";
    if (a >> 28 == 0xf)
        return "a broadcast or reserved address";
    if ((a & ~mask) == 0)
        return "the subnet's network address";
    if ((a & ~mask) == ~mask)
        return "the subnet's broadcast address";
    return {};
}

}  // namespace

std::optional<IpSetting> ParseIpSetting(const std::string& text, std::string* error)
{
    auto refuse = [&](const std::string& why) {
        *error = "--set-ip '" + text + "': " + why + "; it takes " + kAccepted;
        return std::nullopt;
    };
    const size_t slash = text.find('/');
    if (slash == std::string::npos)
        return refuse("no prefix length");
    const size_t second = text.find('/', slash + 1);
    const std::string prefixText = text.substr(slash + 1, second == std::string::npos ? second : second - slash - 1);
    IpSetting s;
    const std::optional<Ipv4> address = ParseIpv4(text.substr(0, slash));
    if (!address)
        return refuse("'" + text.substr(0, slash) + "' is not an IPv4 address");
    if (prefixText.empty() || prefixText.size() > 2 || prefixText.find_first_not_of("0123456789") != std::string::npos)
        return refuse("the prefix length '" + prefixText + "' is not a number");
    s.prefix = std::stoi(prefixText);
    // /31 and /32 leave no room for a camera and a gateway beside it.
    if (s.prefix < 1 || s.prefix > 30)
        return refuse("the prefix length " + prefixText + " is out of range");
    s.address = *address;
    const Ipv4 mask = PrefixMask(s.prefix);
    if (const std::string why = NotUnicast(s.address, mask); !why.empty())
        return refuse(Ipv4Text(s.address) + " is " + why);
    if (second != std::string::npos) {
        const std::string gatewayText = text.substr(second + 1);
        const std::optional<Ipv4> gateway = ParseIpv4(gatewayText);
        if (!gateway)
            return refuse("the gateway '" + gatewayText + "' is not an IPv4 address");
        if ((*gateway & mask) != (s.address & mask))
            return refuse("the gateway " + gatewayText + " is outside the subnet " + Ipv4Text(s.address & mask) +
                          "/" + prefixText);
        if (const std::string why = NotUnicast(*gateway, mask); !why.empty())
            return refuse("the gateway " + gatewayText + " is " + why);
        if (*gateway == s.address)
            return refuse("the gateway is the camera's own address");
        s.gateway = *gateway;
    }
    return s;
}

HostInterface InterfaceHolding(const std::string& localAddress)
{
    HostInterface host;
    const std::optional<Ipv4> wanted = ParseIpv4(localAddress);
    ifaddrs* all = nullptr;
    if (!wanted || getifaddrs(&all) != 0)
        return host;
    for (const ifaddrs* i = all; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_name && i->ifa_addr->sa_family == AF_INET &&
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) == *wanted) {
            host.name = DeviceOfLabel(i->ifa_name);
            host.address = *wanted;
            if (i->ifa_netmask)
                host.mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
            break;
        }
    for (const ifaddrs* i = all; i && !host.name.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_name || host.name != DeviceOfLabel(i->ifa_name) ||
            i->ifa_addr->sa_family != AF_INET)
            continue;
        const Ipv4 address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if (!IsLinkLocal(address))
            host.otherAddress = true;
        if (address != host.address && i->ifa_netmask)
            host.otherSubnets.push_back(
                {address, ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr)});
    }
    freeifaddrs(all);
    if (!host.name.empty()) {
        const LinkInfo link = InterfaceWithAddress(localAddress);
        host.mtu = link.mtu;
        host.speedMbps = link.speedMbps;
    }
    return host;
}

std::vector<NetworkWarning> NetworkWarnings(const std::string& cameraAddress, const HostInterface& host,
                                            int64_t packetSize)
{
    std::vector<NetworkWarning> warnings;
    const std::optional<Ipv4> camera = ParseIpv4(cameraAddress);
    if (!camera || host.name.empty())
        return warnings;
    const std::string subnet = Ipv4Text(host.address & host.mask) + "/" +
                               std::to_string(__builtin_popcount(host.mask));
    bool inSubnet = (*camera & host.mask) == (host.address & host.mask);
    for (const Subnet& other : host.otherSubnets)
        inSubnet = inSubnet || (*camera & other.mask) == (other.address & other.mask);
    if (!inSubnet)
        warnings.push_back({NetworkWarning::OutsideSubnet,
                            "camera " + cameraAddress + " is outside the subnet " + subnet + " of " + host.name +
                                ": give it an address in that subnet (tarvik --set-ip, then power it up again) "
                                "or add an address of its subnet to " + host.name});
    if (IsLinkLocal(*camera) && host.otherAddress)
        warnings.push_back({NetworkWarning::LinkLocal,
                            "camera " + cameraAddress + " uses a link-local address (no DHCP answered it) on " +
                                host.name + ", which has the address " + Ipv4Text(host.address) +
                                ": serve DHCP there or give the camera a persistent address (tarvik --set-ip)"});
    if (packetSize > 0 && host.mtu > 0 && host.mtu < packetSize)
        warnings.push_back({NetworkWarning::SmallMtu,
                            "the MTU of " + host.name + " (" + std::to_string(host.mtu) +
                                " bytes) is below the stream's packet size (" + std::to_string(packetSize) +
                                " bytes): raise the MTU (ip link set " + host.name +
                                " mtu 9000) or lower GevSCPSPacketSize"});
    return warnings;
}
