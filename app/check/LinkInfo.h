// The local network interface that reaches a GigE Vision camera: its name,
// MTU and link speed as the system reports them.
#pragma once

#include <cstdint>
#include <string>

struct LinkInfo {
    std::string name;  // empty when no interface has the address
    bool loopback = false;
    int64_t mtu = -1;        // bytes; -1 where unknown
    int64_t speedMbps = -1;  // -1 where the system does not say (virtual interfaces)
};

// The interface holding this local IPv4 or IPv6 address (as the camera
// library's "interface_address" gives it).
LinkInfo InterfaceWithAddress(const std::string& address);
// The network device an address's label names: "eth1" for "eth1:cam".
std::string DeviceOfLabel(const char* label);
