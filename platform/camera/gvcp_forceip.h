// The few GigE Vision control messages Tarvik writes itself, over its own UDP
// socket: FORCEIP, which the camera library cannot send, and the discovery
// that finds the camera afterwards. Packets are built and read here with no
// socket, so that a test responder speaks the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gvcp {

constexpr uint16_t kPort = 3956;
constexpr uint8_t kKey = 0x42;  // first byte of every command
constexpr uint8_t kFlagAckRequired = 0x01;
// Discovery only: the camera answers by broadcast, so that an answer reaches
// a host on another subnet.
constexpr uint8_t kFlagBroadcastAck = 0x10;
constexpr uint16_t kDiscoveryCmd = 0x0002;
constexpr uint16_t kDiscoveryAck = 0x0003;
constexpr uint16_t kForceIpCmd = 0x0004;
constexpr uint16_t kForceIpAck = 0x0005;
constexpr uint16_t kStatusSuccess = 0x0000;
constexpr size_t kHeaderSize = 8;
constexpr size_t kForceIpPayload = 56;
constexpr size_t kDiscoveryAckPayload = 248;

using Mac = std::array<uint8_t, 6>;

// Addresses in host byte order.
struct ForceIp {
    Mac mac{};
    uint32_t address = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;  // 0: none
    int prefix = 0;
};

struct Command {
    uint8_t flags = 0;
    uint16_t command = 0;
    uint16_t length = 0;
    uint16_t id = 0;
};

struct Ack {
    uint16_t status = 0;
    uint16_t command = 0;
    uint16_t length = 0;
    uint16_t id = 0;
};

// What a camera says of itself in its discovery answer.
struct Device {
    Mac mac{};
    uint32_t address = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
    std::string manufacturer, model, serial;
};

std::vector<uint8_t> ForceIpCommand(const ForceIp& force, uint16_t id);
std::vector<uint8_t> DiscoveryCommand(uint16_t id);
std::vector<uint8_t> AckPacket(uint16_t command, uint16_t id, uint16_t status = kStatusSuccess);
std::vector<uint8_t> DiscoveryAckPacket(const Device& device, uint16_t id);

// Each false when the bytes are not such a message (too short, wrong key,
// a length that does not fit).
bool ReadCommand(const uint8_t* data, size_t size, Command* command);
bool ReadForceIp(const uint8_t* data, size_t size, ForceIp* force);
bool ReadAck(const uint8_t* data, size_t size, Ack* ack);
bool ReadDiscoveryAck(const uint8_t* data, size_t size, Device* device);

// "00:11:1c:02:ab:cd" or with dashes; false, with what is accepted, for a
// malformed MAC or one that names no single camera (broadcast, multicast,
// all zeros).
bool ParseMac(const std::string& text, Mac* mac, std::string* why);
std::string MacText(const Mac& mac);
// "ADDRESS/PREFIX[/GATEWAY]" for a camera: a unicast address that is neither
// the subnet's network nor its broadcast address, a prefix of 1 to 30, a
// gateway inside the subnet. False with the reason otherwise.
bool ParseForcedAddress(const std::string& text, ForceIp* force, std::string* why);
std::string AddressText(uint32_t address);

}  // namespace gvcp
