// A GigE camera's control port as far as --force-ip needs one, for tests
// inside a network namespace they made: answers discovery, and FORCEIP for
// its own MAC by moving its interface to the forced address. Prints "ready"
// once it listens.
//
// gvcp_responder --mac MAC --at ADDRESS/PREFIX --dev IF [--no-ack] [--refuse]
//   --no-ack  FORCEIP is neither answered nor applied (a camera that does
//             not hear it)
//   --refuse  FORCEIP is answered with an error status and not applied
//   --stay    FORCEIP is acknowledged but the address stays as it was
//   --claim   as --stay, but discovery answers then claim the forced
//             address (a camera that lies about where it is)
#include "platform/camera/gvcp_forceip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Whether this process runs in a network namespace of its own rather than
// the machine's: the responder broadcasts and readdresses its interface,
// which may only happen where nothing reaches a real network. The machine's
// is the kernel's first one (its inode is fixed) or, where it can be read,
// that of process 1.
bool InOwnNetworkNamespace()
{
    constexpr ino_t kFirstNetworkNamespace = 0xEFFFFFF9;
    struct stat mine{}, machine{};
    if (stat("/proc/self/ns/net", &mine) != 0 || mine.st_ino == kFirstNetworkNamespace)
        return false;
    return stat("/proc/1/ns/net", &machine) != 0 || mine.st_ino != machine.st_ino || mine.st_dev != machine.st_dev;
}

int Fail(const std::string& why)
{
    std::fprintf(stderr, "gvcp_responder: %s\n", why.c_str());
    return 2;
}

// The interface takes the forced address, as a camera's own stack would.
bool Move(const std::string& dev, const gvcp::ForceIp& f)
{
    const std::string address = gvcp::AddressText(f.address) + "/" + std::to_string(f.prefix);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ip", "addr", "flush", "dev", dev},
          std::vector<std::string>{"ip", "addr", "add", address, "dev", dev}}) {
        const pid_t child = fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp("ip", argv.data());
            _exit(127);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!InOwnNetworkNamespace())
        return Fail("runs only inside a network namespace made for it (ip netns exec, unshare -n), never on the "
                    "machine's own network");
    gvcp::Device self;
    self.manufacturer = "Tarvik tests";
    self.model = "gvcp_responder";
    self.serial = "R-" + std::to_string(getpid());
    std::string dev, why;
    bool noAck = false, refuse = false, stay = false, claim = false, haveMac = false, haveAt = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--mac" && (haveMac = gvcp::ParseMac(value, &self.mac, &why)))
            ++i;
        else if (arg == "--at") {
            gvcp::ForceIp at;
            if (!(haveAt = gvcp::ParseForcedAddress(value, &at, &why)))
                return Fail(why);
            self.address = at.address;
            self.mask = at.mask;
            self.gateway = at.gateway;
            ++i;
        } else if (arg == "--dev" && *value)
            dev = argv[++i];
        else if (arg == "--no-ack")
            noAck = true;
        else if (arg == "--refuse")
            refuse = true;
        else if (arg == "--stay")
            stay = true;
        else if (arg == "--claim")
            stay = claim = true;
        else
            return Fail("usage: --mac MAC --at ADDRESS/PREFIX --dev IF [--no-ack|--refuse|--stay|--claim] (" + arg + ")");
    }
    if (!haveMac || !haveAt || dev.empty())
        return Fail("--mac, --at and --dev are needed " + why);

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(gvcp::kPort);
    // Several responders may share one namespace: each gets every broadcast.
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev.c_str(), socklen_t(dev.size())) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return Fail(std::string("cannot listen: ") + std::strerror(errno));
    std::printf("ready\n");
    std::fflush(stdout);

    uint8_t buffer[1500];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0)
            return Fail(std::string("cannot receive: ") + std::strerror(errno));
        gvcp::Command c;
        if (!gvcp::ReadCommand(buffer, size_t(n), &c))
            continue;
        std::vector<uint8_t> answer;
        if (c.command == gvcp::kDiscoveryCmd) {
            answer = gvcp::DiscoveryAckPacket(self, c.id);
        } else if (gvcp::ForceIp f; c.command == gvcp::kForceIpCmd && gvcp::ReadForceIp(buffer, size_t(n), &f)) {
            if (f.mac != self.mac || noAck)
                continue;
            if (refuse) {
                answer = gvcp::AckPacket(gvcp::kForceIpAck, c.id, 0x8002);  // invalid parameter
            } else {
                if (!stay) {
                    if (!Move(dev, f))
                        return Fail("cannot move " + dev + " to " + gvcp::AddressText(f.address));
                    self.address = f.address;
                    self.mask = f.mask;
                    self.gateway = f.gateway;
                } else if (claim) {
                    self.address = f.address;
                }
                answer = gvcp::AckPacket(gvcp::kForceIpAck, c.id);
            }
        } else {
            continue;
        }
        // By broadcast: the host may be on another subnet than this camera.
        sockaddr_in to = from;
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        if (sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
            return Fail(std::string("cannot answer: ") + std::strerror(errno));
    }
}
