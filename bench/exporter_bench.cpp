// tarvik --serve as Prometheus uses it, against the simulated 1292 x 964
// camera: a 100-frame probe against the stream's own time, /metrics and the
// landing page's answer times, the CPU it takes while idle, and its resident
// memory before and after 1,000 probes. One run, figures printed.
#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Get(int port, const std::string& target)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string all;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[65536];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            all.append(buffer, size_t(n));
    }
    close(fd);
    return all;
}

double Sample(const std::string& text, const std::string& series)
{
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + series.size() + 2);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// utime + stime of a process in seconds.
double CpuSeconds(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f;
    for (std::string s; fields >> s;)
        f.push_back(s);
    return f.size() > 12 ? (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / double(sysconf(_SC_CLK_TCK)) : -1;
}

double ResidentMiB(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024;
    return -1;
}

void Times(const char* what, int port, const std::string& target)
{
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        Get(port, target);
        ms.push_back(Ms(Clock::now() - start));
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%s: median %.2f ms, 99th percentile %.2f ms, largest %.2f ms over 200 (limit 5 ms)\n", what,
                ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
}

}  // namespace

int main()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("TARVIK_CAMERAS");
    env.remove("TARVIK_SIM");
    env.remove("DISPLAY");
    QProcess p;
    p.setProcessEnvironment(env);
    p.setReadChannel(QProcess::StandardError);
    p.start(TARVIK_EXE, {"--serve", "127.0.0.1:0"});
    QByteArray err;
    const QRegularExpression serving("serving http://127\\.0\\.0\\.1:(\\d+)/");
    while (!serving.match(err).hasMatch() && p.waitForReadyRead(10000))
        err += p.readAllStandardError();
    if (!serving.match(err).hasMatch()) {
        std::printf("the exporter did not start: %s\n", err.constData());
        return 1;
    }
    const int port = serving.match(err).captured(1).toInt();
    const qint64 pid = p.processId();

    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        const std::string answer = Get(port, "/probe?camera=sim-0&frames=100");
        const double took = Ms(Clock::now() - start) / 1000;
        const double rate = Sample(answer, "tarvik_camera_frame_rate_hertz");
        const double stream = 100 / rate;
        std::printf("probe of 100 frames at %.2f frames/s: %.3f s for a stream of %.3f s: %.3f s more (limit 0.3 s), "
                    "ratio %.3f; completed %g\n",
                    rate, took, stream, took - stream, took / stream,
                    Sample(answer, "tarvik_stream_frames{state=\"completed\"}"));
    }
    Times("/metrics", port, "/metrics");
    Times("/", port, "/");

    const double cpuBefore = CpuSeconds(pid);
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idle = (CpuSeconds(pid) - cpuBefore) / (Ms(Clock::now() - idleStart) / 1000);
    std::printf("idle: %.2f %% of a core over 5 s (limit 1 %%)\n", idle * 100);

    const double before = ResidentMiB(pid);
    const auto probesStart = Clock::now();
    int failed = 0;
    for (int i = 1; i <= 1000; ++i) {
        failed += Sample(Get(port, "/probe?camera=sim-0&frames=1"), "tarvik_probe_success") != 1;
        if (i % 250 == 0)
            std::printf("  after %d probes: %.1f MiB\n", i, ResidentMiB(pid));
    }
    std::printf("1000 probes of 1 frame in %.1f s (%d failed): resident memory %.1f MiB before, %.1f MiB after "
                "(ratio %.3f)\n",
                Ms(Clock::now() - probesStart) / 1000, failed, before, ResidentMiB(pid), ResidentMiB(pid) / before);
    ::kill(pid_t(pid), SIGTERM);
    p.waitForFinished(10000);
    std::printf("ended with status %d\n", p.exitCode());
    return 0;
}
