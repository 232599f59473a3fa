// The built program serving (tarvik --serve) on a port of 127.0.0.1 the
// system chose, and plain HTTP to it over a socket: the exporter's tests see
// exactly the bytes a client gets, malformed requests included.
#pragma once

#include "RunTarvik.h"
#include "WaitFor.h"

#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

namespace serve {

struct Answer {
    int status = -1;  // -1: closed without an answer
    std::string head, body;
};

// A connected socket to 127.0.0.1:port, or -1.
inline int Connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// Reads until the server closes (or timeoutMs passes) and splits the answer.
inline Answer ReadAnswer(int fd, int timeoutMs = 15000)
{
    std::string all;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            break;
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        all.append(buffer, size_t(n));
    }
    Answer answer;
    const size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos)
        return answer;
    answer.status = std::stoi(all.substr(9, 3));
    answer.head = all.substr(0, end);
    answer.body = all.substr(end + 4);
    return answer;
}

// Sends request as it is and reads the answer.
inline Answer Exchange(int port, const std::string& request, int timeoutMs = 15000)
{
    const int fd = Connect(port);
    if (fd < 0)
        return {};
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    Answer answer = ReadAnswer(fd, timeoutMs);
    close(fd);
    return answer;
}

inline Answer Get(int port, const std::string& target, const std::string& headers = {})
{
    return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n");
}

// Whether the server has closed the connection (it reads as ended).
inline bool Closed(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A free port on 127.0.0.1 for a server that cannot choose its own.
inline int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// A gauge or counter's value as the text exposition gives it (the first
// sample whose line starts with series); NaN when absent.
inline double Sample(const std::string& text, const std::string& series)
{
    size_t at = 0;
    while ((at = text.find(series, at)) != std::string::npos) {
        if ((at == 0 || text[at - 1] == '\n') && at + series.size() < text.size() && text[at + series.size()] == ' ')
            return std::stod(text.substr(at + series.size() + 1));
        at += series.size();
    }
    return std::nan("");
}

// Resident memory of a process in bytes, from /proc.
inline long long ResidentBytes(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    return -1;
}

class Tarvik {
public:
    ~Tarvik()
    {
        if (process_.state() != QProcess::NotRunning) {
            ::kill(pid_t(process_.processId()), SIGTERM);
            if (!process_.waitForFinished(10000))
                process_.kill();
            process_.waitForFinished(5000);
        }
    }
    // tarvik --serve 127.0.0.1:0 args..., with TARVIK_SIM (none when empty)
    // and TARVIK_CAMERAS (the simulated camera when empty).
    void Start(const QStringList& args, const QString& sim, const QString& cameras = {})
    {
        process_.setProcessEnvironment(TarvikEnvironment(sim, cameras));
        process_.start(TARVIK_EXE, QStringList{"--serve", "127.0.0.1:0"} + args);
        ASSERT_TRUE(process_.waitForStarted(10000));
        static const QRegularExpression serving("serving http://127\\.0\\.0\\.1:(\\d+)/");
        ASSERT_SOON_WITHIN((err_ += process_.readAllStandardError(), serving.match(err_).hasMatch()), 10000)
            << err_.toStdString();
        port_ = serving.match(err_).captured(1).toInt();
    }
    // SIGTERM (or signal), then the exit status (-1: it did not end in time or crashed).
    int Stop(int withinMs = 10000, int signal = SIGTERM)
    {
        ::kill(pid_t(process_.processId()), signal);
        if (!process_.waitForFinished(withinMs) || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }
    int Port() const { return port_; }
    qint64 Pid() const { return process_.processId(); }
    QProcess& Process() { return process_; }

private:
    QProcess process_;
    QString err_;
    int port_ = -1;
};

}  // namespace serve
