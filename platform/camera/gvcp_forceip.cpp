// GigE Vision control messages for FORCEIP and discovery, as bytes: every
// field big-endian at its fixed offset, the unused words zero.
#include "gvcp_forceip.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace gvcp {
namespace {

// Offsets inside the FORCEIP payload.
constexpr size_t kForceMacHigh = 2;
constexpr size_t kForceMacLow = 4;
constexpr size_t kForceAddress = 20;
constexpr size_t kForceMask = 36;
constexpr size_t kForceGateway = 52;

// Offsets inside the discovery answer's payload.
constexpr size_t kDiscMacHigh = 10;
constexpr size_t kDiscMacLow = 12;
constexpr size_t kDiscAddress = 36;
constexpr size_t kDiscMask = 52;
constexpr size_t kDiscGateway = 68;
constexpr size_t kDiscManufacturer = 72;
constexpr size_t kDiscModel = 104;
constexpr size_t kDiscSerial = 216;
constexpr size_t kNameSize = 32;
constexpr size_t kSerialSize = 16;

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (24 - 8 * i));
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::vector<uint8_t> CommandPacket(uint8_t flags, uint16_t command, uint16_t id, size_t payload)
{
    std::vector<uint8_t> packet(kHeaderSize + payload, 0);
    packet[0] = kKey;
    packet[1] = flags;
    Put16(&packet[2], command);
    Put16(&packet[4], uint16_t(payload));
    Put16(&packet[6], id);
    return packet;
}

void PutMac(uint8_t* high, const Mac& mac)
{
    // The high word's two bytes, then the low word's four: contiguous.
    std::memcpy(high, mac.data(), mac.size());
}

std::string Text(const uint8_t* p, size_t size)
{
    const void* end = std::memchr(p, 0, size);
    return std::string(reinterpret_cast<const char*>(p), end ? static_cast<const uint8_t*>(end) - p : size);
}

void PutText(uint8_t* p, size_t size, const std::string& text)
{
    std::memcpy(p, text.data(), std::min(text.size(), size - 1));
}

bool ParseAddress(const std::string& text, uint32_t* address)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *address = ntohl(a.s_addr);
    return true;
}

// Why an address cannot be a camera's own, or empty.
std::string NotUnicast(uint32_t a)
{
    if (a == 0)
        return "0.0.0.0 names no host";
    if (a >> 24 == 0)
        return "an address in 0.0.0.0/8 means this host only and is never a camera's";
    if (a >> 24 == 127)
        return "a loopback address (127.0.0.0/8) never leaves this computer";
    if (a >> 28 == 0xe)
        return "a multicast address (224.0.0.0/4) names a group, not a camera";
    if (a >> 28 == 0xf)
        return "a broadcast or reserved address (240.0.0.0/4) names no single camera";
    return {};
}

}  // namespace

std::vector<uint8_t> ForceIpCommand(const ForceIp& force, uint16_t id)
{
    std::vector<uint8_t> packet = CommandPacket(kFlagAckRequired, kForceIpCmd, id, kForceIpPayload);
    uint8_t* payload = packet.data() + kHeaderSize;
    PutMac(payload + kForceMacHigh, force.mac);
    Put32(payload + kForceAddress, force.address);
    Put32(payload + kForceMask, force.mask);
    Put32(payload + kForceGateway, force.gateway);
    return packet;
}

std::vector<uint8_t> DiscoveryCommand(uint16_t id)
{
    return CommandPacket(kFlagAckRequired | kFlagBroadcastAck, kDiscoveryCmd, id, 0);
}

std::vector<uint8_t> AckPacket(uint16_t command, uint16_t id, uint16_t status)
{
    std::vector<uint8_t> packet(kHeaderSize, 0);
    Put16(&packet[0], status);
    Put16(&packet[2], command);
    Put16(&packet[6], id);
    return packet;
}

std::vector<uint8_t> DiscoveryAckPacket(const Device& device, uint16_t id)
{
    std::vector<uint8_t> packet(kHeaderSize + kDiscoveryAckPayload, 0);
    Put16(&packet[2], kDiscoveryAck);
    Put16(&packet[4], uint16_t(kDiscoveryAckPayload));
    Put16(&packet[6], id);
    uint8_t* payload = packet.data() + kHeaderSize;
    Put16(payload, 2);  // version 2.0
    PutMac(payload + kDiscMacHigh, device.mac);
    Put32(payload + kDiscAddress, device.address);
    Put32(payload + kDiscMask, device.mask);
    Put32(payload + kDiscGateway, device.gateway);
    PutText(payload + kDiscManufacturer, kNameSize, device.manufacturer);
    PutText(payload + kDiscModel, kNameSize, device.model);
    PutText(payload + kDiscSerial, kSerialSize, device.serial);
    return packet;
}

bool ReadCommand(const uint8_t* data, size_t size, Command* command)
{
    if (size < kHeaderSize || data[0] != kKey)
        return false;
    command->flags = data[1];
    command->command = Get16(data + 2);
    command->length = Get16(data + 4);
    command->id = Get16(data + 6);
    return command->length <= size - kHeaderSize;
}

bool ReadForceIp(const uint8_t* data, size_t size, ForceIp* force)
{
    Command c;
    if (!ReadCommand(data, size, &c) || c.command != kForceIpCmd || c.length < kForceIpPayload)
        return false;
    const uint8_t* payload = data + kHeaderSize;
    std::memcpy(force->mac.data(), payload + kForceMacHigh, force->mac.size());
    force->address = Get32(payload + kForceAddress);
    force->mask = Get32(payload + kForceMask);
    force->gateway = Get32(payload + kForceGateway);
    force->prefix = __builtin_popcount(force->mask);
    return true;
}

bool ReadAck(const uint8_t* data, size_t size, Ack* ack)
{
    if (size < kHeaderSize)
        return false;
    ack->status = Get16(data);
    ack->command = Get16(data + 2);
    ack->length = Get16(data + 4);
    ack->id = Get16(data + 6);
    return ack->length <= size - kHeaderSize;
}

bool ReadDiscoveryAck(const uint8_t* data, size_t size, Device* device)
{
    Ack ack;
    if (!ReadAck(data, size, &ack) || ack.command != kDiscoveryAck || ack.length < kDiscoveryAckPayload)
        return false;
    const uint8_t* payload = data + kHeaderSize;
    std::memcpy(device->mac.data(), payload + kDiscMacHigh, device->mac.size());
    device->address = Get32(payload + kDiscAddress);
    device->mask = Get32(payload + kDiscMask);
    device->gateway = Get32(payload + kDiscGateway);
    device->manufacturer = Text(payload + kDiscManufacturer, kNameSize);
    device->model = Text(payload + kDiscModel, kNameSize);
    device->serial = Text(payload + kDiscSerial, kSerialSize);
    return true;
}

bool ParseMac(const std::string& text, Mac* mac, std::string* why)
{
    const std::string accepted = "a MAC is six pairs of hex digits separated by ':' or '-', e.g. 00:11:1c:02:ab:cd";
    if (text.size() != 17) {
        *why = "'" + text + "' is not a MAC: " + accepted;
        return false;
    }
    const char separator = text[2];
    for (size_t i = 0; i < 6; ++i) {
        const char* pair = text.c_str() + 3 * i;
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])) ||
            (i < 5 && (pair[2] != separator || (separator != ':' && separator != '-')))) {
            *why = "'" + text + "' is not a MAC: " + accepted;
            return false;
        }
        (*mac)[i] = uint8_t(std::stoi(std::string(pair, 2), nullptr, 16));
    }
    if (*mac == Mac{0xff, 0xff, 0xff, 0xff, 0xff, 0xff})
        *why = text + " is the broadcast MAC: name the one camera's own MAC (on its label or in --list)";
    else if ((*mac)[0] & 1)
        *why = text + " is a multicast MAC (its first byte is odd): name the camera's own MAC";
    else if (*mac == Mac{})
        *why = "00:00:00:00:00:00 names no camera: name the camera's own MAC";
    else
        return true;
    return false;
}

std::string MacText(const Mac& mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

bool ParseForcedAddress(const std::string& text, ForceIp* force, std::string* why)
{
    const std::string accepted = "give ADDRESS/PREFIX[/GATEWAY], e.g. 192.168.10.20/24/192.168.10.1";
    const size_t slash = text.find('/');
    if (slash == std::string::npos) {
        *why = "'" + text + "' has no prefix: " + accepted;
        return false;
    }
    const size_t slash2 = text.find('/', slash + 1);
    const std::string address = text.substr(0, slash);
    const std::string prefix = text.substr(slash + 1, slash2 == std::string::npos ? std::string::npos : slash2 - slash - 1);
    if (!ParseAddress(address, &force->address)) {
        *why = "'" + address + "' is not an IPv4 address (four numbers 0 to 255 with dots): " + accepted;
        return false;
    }
    if (prefix.empty() || prefix.size() > 2 || prefix.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(prefix) < 1 || std::stoi(prefix) > 30) {
        *why = "the prefix '" + prefix + "' is not one from 1 to 30 (e.g. 24 for 255.255.255.0)";
        return false;
    }
    force->prefix = std::stoi(prefix);
    force->mask = ~uint32_t(0) << (32 - force->prefix);
    const uint32_t host = force->address & ~force->mask;
    std::string bad = NotUnicast(force->address);
    if (bad.empty() && host == 0)
        bad = "it is the network address of " + address + "/" + prefix;
    if (bad.empty() && host == ~force->mask)
        bad = "it is the broadcast address of " + address + "/" + prefix;
    if (!bad.empty()) {
        *why = address + " cannot be a camera's address: " + bad;
        return false;
    }
    force->gateway = 0;
    if (slash2 == std::string::npos)
        return true;
    const std::string gateway = text.substr(slash2 + 1);
    uint32_t g = 0;
    if (!ParseAddress(gateway, &g)) {
        *why = "the gateway '" + gateway + "' is not an IPv4 address: " + accepted;
        return false;
    }
    const uint32_t gHost = g & ~force->mask;
    if ((g & force->mask) != (force->address & force->mask) || gHost == 0 || gHost == ~force->mask ||
        g == force->address || !NotUnicast(g).empty()) {
        *why = "the gateway " + gateway + " is not another host inside " + AddressText(force->address & force->mask) +
               "/" + prefix + ": give one of its host addresses, or none";
        return false;
    }
    force->gateway = g;
    return true;
}

std::string AddressText(uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace gvcp
