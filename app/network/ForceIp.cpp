// --force-ip: FORCEIP broadcast on the one interface named, its
// acknowledgement, and a discovery on the same interface that finds the
// camera where it was sent.
#include "ForceIp.h"

#include "app/Failures.h"
#include "platform/camera/camtext.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

// A camera answers within milliseconds; a lost datagram is sent again
// rather than waited for.
constexpr int kAckTries = 4;
constexpr int kAckWaitMs = 500;
// Some cameras take a moment to bring the new address up: discovery is
// asked again, each time collecting every answer (two answers at one
// address are an address conflict).
constexpr int kDiscoveryTries = 3;
constexpr int kDiscoveryWaitMs = 1000;

const char kAddressHelp[] = "ADDRESS/PREFIX[/GATEWAY]";

class Socket {
public:
    Socket() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Why FORCEIP cannot go out on the interface, or empty. Asked before any
// socket sends: a missing or downed interface is the operator's to fix.
std::string InterfaceRefused(const std::string& name)
{
    if (name.empty() || name.size() >= IFNAMSIZ || if_nametoindex(name.c_str()) == 0)
        return "there is no network interface '" + name + "' on this computer (ip link lists them)";
    Socket probe;
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (probe.fd() < 0 || ioctl(probe.fd(), SIOCGIFFLAGS, &request) != 0)
        return Errno(("cannot read the state of interface " + name).c_str());
    if (request.ifr_flags & IFF_LOOPBACK)
        return name + " is the loopback interface: name the interface the camera is cabled to";
    if (!(request.ifr_flags & IFF_UP))
        return "the interface " + name + " is down: bring it up first (ip link set " + name + " up)";
    // A tunnel or other point-to-point link carries the broadcast to
    // whatever is at its far end, never to a camera on a cable.
    if (!(request.ifr_flags & IFF_BROADCAST))
        return name + " cannot broadcast (a point-to-point or tunnel interface): name the Ethernet interface the "
                      "camera is cabled to";
    return {};
}

// A socket that sends and receives on the interface alone, so that nothing
// reaches any other network.
bool OpenOn(const Socket& s, const std::string& name, std::string* why)
{
    const int on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (s.fd() < 0)
        *why = Errno("cannot open a UDP socket");
    else if (setsockopt(s.fd(), SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), socklen_t(name.size())) != 0)
        *why = Errno(("cannot bind to interface " + name + " (needs root or CAP_NET_RAW)").c_str());
    else if (setsockopt(s.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        *why = Errno("cannot broadcast");
    else if (bind(s.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        *why = Errno("cannot bind a UDP port");
    else
        return true;
    return false;
}

// To the limited broadcast address, out of the bound interface: a camera
// on another subnet drops a broadcast directed at a subnet it is not on.
bool Broadcast(const Socket& s, const std::vector<uint8_t>& packet, std::string* why)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(gvcp::kPort);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    const ssize_t sent = sendto(s.fd(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent == ssize_t(packet.size()))
        return true;
    *why = sent < 0 ? Errno("cannot send on the interface") : std::string("the packet went out cut short");
    return false;
}

// Calls got(bytes, size, sender) for every datagram for waitMs, the
// sender's address in host byte order; stops early when it returns true.
// False only when receiving failed.
template <typename Got>
bool Receive(const Socket& s, int waitMs, Got got, std::string* why)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs);
    uint8_t buffer[1500];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return true;
        pollfd p{s.fd(), POLLIN, 0};
        const int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno != EINTR) {
            *why = Errno("cannot wait for an answer");
            return false;
        }
        if (ready <= 0)
            continue;
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t n = recvfrom(s.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            *why = Errno("cannot receive");
            return false;
        }
        if (n > 0 && got(buffer, size_t(n), ntohl(from.sin_addr.s_addr)))
            return true;
    }
}

std::string Where(const gvcp::ForceIp& f)
{
    std::string text = gvcp::AddressText(f.address) + "/" + std::to_string(f.prefix);
    if (f.gateway)
        text += ", gateway " + gvcp::AddressText(f.gateway);
    return text;
}

std::string Named(const gvcp::Device& d)
{
    std::string text = gvcp::MacText(d.mac);
    std::string about = d.model;
    if (!d.serial.empty())
        about += (about.empty() ? "serial " : ", serial ") + d.serial;
    if (!about.empty())
        text += " (" + cam::OneLine(about) + ")";
    return text;
}

int Failed(ExitStatus status, const std::string& message)
{
    std::fprintf(stderr, "tarvik: %s\n", message.c_str());
    return status;
}

}  // namespace

const char kForceIpHelp[] =
    "\n"
    "Forcing an address (--force-ip MAC ADDRESS/PREFIX[/GATEWAY] --interface IF):\n"
    "  A GigE camera that answers on the cable but sits on another subnet cannot be\n"
    "  opened. --force-ip broadcasts the FORCEIP command on IF alone (as root) to the\n"
    "  camera with that MAC, waits for its acknowledgement, then finds it by discovery\n"
    "  on IF at the new address. The address holds until the camera restarts.\n"
    "  The MAC is six hex pairs (00:11:1c:02:ab:cd); the address a unicast host\n"
    "  address, the prefix 1 to 30, the gateway inside that subnet. Refused before\n"
    "  anything is sent (status 64): no --interface, an interface that does not exist,\n"
    "  is down or cannot broadcast (a tunnel), a broadcast or multicast MAC, a\n"
    "  network, broadcast, multicast, loopback or 0.0.0.0/8 address. No\n"
    "  acknowledgement within 2 s: status 2; refused, not answering from the new\n"
    "  address, or two cameras answering there: status 8.\n";

ForceIpOptionTable::ForceIpOptionTable()
    : forceIp("force-ip", "Without a window: give the GigE camera with this MAC the "
              "ADDRESS/PREFIX[/GATEWAY] that follows it, now, by FORCEIP on --interface (see "
              "Forcing an address below).", "MAC"),
      interface("interface", "The network interface the camera is cabled to, for --force-ip.", "IF")
{
}

QList<QCommandLineOption> ForceIpOptionTable::Options() const
{
    return {forceIp, interface};
}

Usage ReadForceIpOptions(const ParsedOptions& options, const ForceIpOptionTable& table,
                         const QList<QCommandLineOption>& others, const QStringList& positional, int argc,
                         char** argv, ForceIpCommand* command)
{
    if (!options.IsSet(table.forceIp))
        return std::string("--interface goes with --force-ip only");
    for (const QCommandLineOption& other : others) {
        const QString name = other.names().last();
        if (name != table.forceIp.names().first() && name != table.interface.names().first() && options.IsSet(other))
            return "--force-ip goes with --interface only, not with --" + name.toStdString();
    }
    for (const QCommandLineOption* once : {&table.forceIp, &table.interface})
        if (options.Values(*once).size() > 1)
            return "--" + once->names().first().toStdString() + " given more than once";
    // The address must be the argument right after the MAC, not one
    // anywhere on the line.
    std::string address;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const int at = arg == "--force-ip" ? i + 2 : arg.rfind("--force-ip=", 0) == 0 ? i + 1 : 0;
        if (at && at < argc)
            address = argv[at];
    }
    if (positional.size() != 1 || positional.first().toLocal8Bit().toStdString() != address)
        return positional.size() > 1 || (positional.size() == 1 && !address.empty())
                   ? "unexpected argument '" + positional.last().toStdString() + "'"
                   : std::string("--force-ip needs MAC ") + kAddressHelp + ", e.g. --force-ip 00:11:1c:02:ab:cd "
                                                            "192.168.10.20/24 --interface eth1";
    std::string why;
    if (!gvcp::ParseMac(options.RawValue(table.forceIp), &command->force.mac, &why))
        return "--force-ip: " + why;
    if (!gvcp::ParseForcedAddress(address, &command->force, &why))
        return "--force-ip: " + why;
    if (!options.IsSet(table.interface))
        return std::string("--force-ip needs --interface IF, the interface the camera is cabled to: FORCEIP is "
                           "broadcast on it alone");
    command->interfaceName = options.RawValue(table.interface);
    return std::nullopt;
}

namespace {

// FORCEIP broadcast until the camera acknowledges it: kExitSuccess once it
// did, else the status, with the reason said.
int SendForceIp(const Socket& s, const gvcp::ForceIp& force, const std::string& name, uint16_t id)
{
    const std::string mac = gvcp::MacText(force.mac);
    std::string why;
    bool acknowledged = false;
    uint16_t status = gvcp::kStatusSuccess;
    for (int attempt = 0; attempt < kAckTries && !acknowledged; ++attempt) {
        if (!Broadcast(s, gvcp::ForceIpCommand(force, id), &why))
            return Failed(kExitNotForced, why);
        const bool received = Receive(
            s, kAckWaitMs,
            [&](const uint8_t* data, size_t size, uint32_t) {
                gvcp::Ack ack;
                if (!gvcp::ReadAck(data, size, &ack) || ack.command != gvcp::kForceIpAck || ack.id != id)
                    return false;
                status = ack.status;
                acknowledged = true;
                return true;
            },
            &why);
        if (!received)
            return Failed(kExitNotForced, why);
    }
    if (!acknowledged)
        return Failed(kExitNoCamera, "no camera with MAC " + mac + " acknowledged FORCEIP on " + name + " within " +
                                         std::to_string(kAckTries * kAckWaitMs / 1000) +
                                         " s: check the MAC (on the camera's label) and that it is cabled to " + name);
    if (status != gvcp::kStatusSuccess) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%04x", status);
        return Failed(kExitNotForced, "the camera " + mac + " refused FORCEIP (status " + code + ")");
    }
    return kExitSuccess;
}

// Discovery on the interface until the camera answers from its new address
// alone: the status, with the reason said, or the success line printed.
int FindAtNewAddress(const Socket& s, const gvcp::ForceIp& force, const std::string& name, uint16_t id)
{
    const std::string mac = gvcp::MacText(force.mac);
    std::string why;
    for (int attempt = 0; attempt < kDiscoveryTries; ++attempt) {
        // Each round's answers alone: the camera may answer at its old
        // address in one round and at the new one in the next.
        std::vector<gvcp::Device> answers;
        ++id;
        if (id == 0)
            id = 1;
        if (!Broadcast(s, gvcp::DiscoveryCommand(id), &why))
            return Failed(kExitNotForced, why);
        const bool received = Receive(
            s, kDiscoveryWaitMs,
            [&](const uint8_t* data, size_t size, uint32_t sender) {
                gvcp::Device d;
                gvcp::Ack ack;
                if (gvcp::ReadAck(data, size, &ack) && ack.id == id && gvcp::ReadDiscoveryAck(data, size, &d)) {
                    // Where it answers from, not where it says it is: a
                    // camera that claims the new address without taking it
                    // has not moved.
                    d.address = sender;
                    answers.push_back(d);
                }
                return false;
            },
            &why);
        if (!received)
            return Failed(kExitNotForced, why);
        const gvcp::Device* camera = nullptr;
        const gvcp::Device* elsewhere = nullptr;
        std::vector<const gvcp::Device*> others;  // another camera at the new address
        for (const gvcp::Device& d : answers) {
            if (d.mac == force.mac)
                (d.address == force.address ? camera : elsewhere) = &d;
            else if (d.address == force.address)
                others.push_back(&d);
        }
        const bool last = attempt + 1 == kDiscoveryTries;
        if (!others.empty() && (camera || last)) {
            std::string list;
            for (const gvcp::Device* d : others)
                list += " and " + Named(*d);
            return Failed(kExitNotForced,
                          "two cameras answer at " + gvcp::AddressText(force.address) + " on " + name + ": " +
                              (camera ? Named(*camera) : mac + " (the camera asked for, not among them)") + list +
                              ". Give each camera an address of its own");
        }
        if (camera) {
            std::printf("Camera %s is now at %s on %s. The address holds until the camera restarts.\n",
                        Named(*camera).c_str(), Where(force).c_str(), name.c_str());
            return StandardOutputWritten() ? kExitSuccess : kExitNotWritten;
        }
        if (elsewhere && last)
            return Failed(kExitNotForced, "the camera " + mac + " acknowledged FORCEIP but still answers at " +
                                              gvcp::AddressText(elsewhere->address) + ", not at " +
                                              gvcp::AddressText(force.address));
    }
    return Failed(kExitNotForced, "the camera " + mac + " acknowledged FORCEIP but did not answer discovery on " +
                                      name + " at " + gvcp::AddressText(force.address) + " within " +
                                      std::to_string(kDiscoveryTries * kDiscoveryWaitMs / 1000) + " s");
}

}  // namespace

int ForceIpAddress(const ForceIpCommand& command)
{
    const gvcp::ForceIp& force = command.force;
    const std::string& name = command.interfaceName;
    if (std::string why = InterfaceRefused(name); !why.empty())
        return Failed(kExitUsage, "--interface: " + cam::OneLine(why));
    Socket s;
    std::string why;
    if (!OpenOn(s, name, &why))
        return Failed(kExitNotForced, why);
    std::random_device random;
    const uint16_t id = uint16_t(random() % 0xfffe + 1);  // 0 is not a valid request id
    if (const int sent = SendForceIp(s, force, name, id); sent != kExitSuccess)
        return sent;
    return FindAtNewAddress(s, force, name, id);
}
