// IPv4 addresses as --set-ip takes them, and the host's side of a GigE
// camera: the interface that reaches it, its subnet, and what is wrong
// between the two. Reading the host's interfaces sends nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// An IPv4 address in host byte order.
using Ipv4 = uint32_t;

// Dotted text (four numbers 0-255, no leading zeros); none otherwise.
std::optional<Ipv4> ParseIpv4(const std::string& text);
std::string Ipv4Text(Ipv4 address);
// The mask of a prefix length 0-32.
Ipv4 PrefixMask(int prefix);
// Link-local: 169.254.0.0/16, where a camera without DHCP falls back to.
bool IsLinkLocal(Ipv4 address);

// --set-ip ADDRESS/PREFIX[/GATEWAY], checked before anything is sent.
struct IpSetting {
    Ipv4 address = 0;
    int prefix = 0;
    Ipv4 gateway = 0;  // 0: none
};
// The setting, or the reason it is refused in *error (saying what is accepted).
std::optional<IpSetting> ParseIpSetting(const std::string& text, std::string* error);

// An address of an interface with its mask, in host byte order.
struct Subnet {
    Ipv4 address = 0;
    Ipv4 mask = 0;
};

// The local interface holding an address, with its subnet and link.
struct HostInterface {
    std::string name;   // empty when no interface holds the address
    Ipv4 address = 0;
    Ipv4 mask = 0;
    bool otherAddress = false;  // it also holds an address that is not link-local
    // Its other IPv4 addresses: a camera in the subnet of any of them is
    // reached straight over the cable.
    std::vector<Subnet> otherSubnets;
    int64_t mtu = -1;           // bytes; -1 where unknown
    int64_t speedMbps = -1;     // -1 where the system does not say
};
HostInterface InterfaceHolding(const std::string& localAddress);

// What is wrong between a camera's address and the interface that reaches
// it, one line each saying what to do: the camera outside the interface's
// subnet, a link-local camera on an interface that has another address, an
// MTU below the stream's packet size (packetSize 0: not known).
struct NetworkWarning {
    enum Kind { OutsideSubnet, LinkLocal, SmallMtu } kind;
    std::string text;
};
std::vector<NetworkWarning> NetworkWarnings(const std::string& cameraAddress, const HostInterface& host,
                                            int64_t packetSize);
