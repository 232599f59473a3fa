// Interfaces from getifaddrs, MTU and speed from /sys/class/net: reading
// them sends nothing on the network.
#include "LinkInfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <fstream>

namespace {

int64_t ReadNumber(const std::string& path)
{
    std::ifstream in(path);
    long long v = -1;
    if (!(in >> v) || v < 0)
        return -1;
    return int64_t(v);
}

}  // namespace

std::string DeviceOfLabel(const char* label)
{
    // An address added with a label ("eth1:cam", the old alias style) is
    // listed under it; the device is the part before the colon.
    const std::string name = label;
    return name.substr(0, name.find(':'));
}

LinkInfo InterfaceWithAddress(const std::string& address)
{
    LinkInfo link;
    in_addr v4{};
    in6_addr v6{};
    const bool isV4 = inet_pton(AF_INET, address.c_str(), &v4) == 1;
    const bool isV6 = !isV4 && inet_pton(AF_INET6, address.c_str(), &v6) == 1;
    ifaddrs* all = nullptr;
    if ((!isV4 && !isV6) || getifaddrs(&all) != 0)
        return link;
    for (const ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_name)
            continue;
        const bool match =
            (isV4 && i->ifa_addr->sa_family == AF_INET &&
             std::memcmp(&reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, &v4, sizeof v4) == 0) ||
            (isV6 && i->ifa_addr->sa_family == AF_INET6 &&
             std::memcmp(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, &v6, sizeof v6) == 0);
        if (!match)
            continue;
        link.name = DeviceOfLabel(i->ifa_name);
        link.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        break;
    }
    freeifaddrs(all);
    // Interface names never hold '/', so the paths stay inside the folder.
    if (!link.name.empty() && link.name.find('/') == std::string::npos) {
        link.mtu = ReadNumber("/sys/class/net/" + link.name + "/mtu");
        link.speedMbps = ReadNumber("/sys/class/net/" + link.name + "/speed");
    }
    return link;
}
