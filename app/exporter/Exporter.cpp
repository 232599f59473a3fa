// The exporter's endpoints over the gated server. The camera library holds
// one camera for the whole process, so probes take turns on one lock, and
// the landing page's list of cameras takes it too.
#include "Exporter.h"

#include "app/check/CheckMetrics.h"
#include "HttpGate.h"
#include "app/Failures.h"
#include "app/StopSignals.h"
#include "platform/camera/camfeature.h"
#include "platform/camera/camtext.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace exporter {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLongestScrapeTimeout = 86400;
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

prometheus::MetricFamily OneValue(const char* name, const char* help, prometheus::MetricType type, double value)
{
    prometheus::ClientMetric m;
    (type == prometheus::MetricType::Counter ? m.counter.value : m.gauge.value) = value;
    return {name, help, type, {m}};
}

// The process_* metrics Prometheus's own client libraries give, which
// prometheus-cpp does not: read from /proc at each scrape.
std::vector<prometheus::MetricFamily> ProcessFamilies()
{
    using prometheus::MetricType;
    std::vector<prometheus::MetricFamily> out;
    std::ifstream statFile("/proc/self/stat");
    const std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    std::vector<std::string> fields;
    const size_t paren = stat.rfind(')');
    if (paren != std::string::npos) {
        std::istringstream in(stat.substr(paren + 1));
        for (std::string f; in >> f;)
            fields.push_back(f);
    }
    auto field = [&](size_t number) { return number - 3 < fields.size() ? std::strtod(fields[number - 3].c_str(), nullptr) : 0.0; };
    const double tick = double(sysconf(_SC_CLK_TCK)), page = double(sysconf(_SC_PAGESIZE));
    double bootTime = 0;
    std::ifstream procStat("/proc/stat");
    for (std::string line; std::getline(procStat, line);)
        if (line.rfind("btime ", 0) == 0)
            bootTime = std::strtod(line.c_str() + 6, nullptr);
    double fds = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(dir))
            fds += e->d_name[0] != '.';
        closedir(dir);
        fds -= 1;  // the listing's own
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (!fields.empty()) {
        out.push_back(OneValue("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
                               MetricType::Counter, (field(14) + field(15)) / tick));
        out.push_back(OneValue("process_resident_memory_bytes", "Resident memory size in bytes.", MetricType::Gauge,
                               field(24) * page));
        out.push_back(OneValue("process_virtual_memory_bytes", "Virtual memory size in bytes.", MetricType::Gauge,
                               field(23)));
        out.push_back(OneValue("process_start_time_seconds",
                               "Start time of the process since unix epoch in seconds.", MetricType::Gauge,
                               bootTime + field(22) / tick));
    }
    out.push_back(OneValue("process_open_fds", "Number of open file descriptors.", MetricType::Gauge, fds));
    out.push_back(OneValue("process_max_fds", "Maximum number of open file descriptors.", MetricType::Gauge,
                           limit.rlim_cur == RLIM_INFINITY ? -1 : double(limit.rlim_cur)));
    return out;
}

std::string Html(const std::string& text)
{
    std::string out;
    for (const char c : text)
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    return out;
}

std::string UrlQueryValue(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text)
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~')
            out += char(c);
        else
            out += {'%', hex[c >> 4], hex[c & 15]};
    return out;
}

// How many times the target's query names a parameter. The library keeps
// one of pairs that repeat exactly, so its own count takes camera=a&camera=a
// for one camera; each pair is read alone by the library's own parsing, so
// that a name is counted as the library reads it (%63, %u0063, a tab or an
// '=' before it).
size_t ParamCount(const std::string& target, const std::string& name)
{
    const size_t query = target.find('?');
    size_t count = 0;
    for (size_t at = query == std::string::npos ? target.size() : query + 1; at < target.size();) {
        size_t end = target.find('&', at);
        if (end == std::string::npos)
            end = target.size();
        httplib::Params pair;
        httplib::detail::parse_query_text(target.substr(at, end - at), pair);
        count += pair.count(name);
        at = end + 1;
    }
    return count;
}

// A value from the request echoed in a reason: quoted, one line, and not all of it.
std::string Echo(const std::string& value) { return cam::Echoed(value, true); }

// Less time than Prometheus gives, so that the answer is there before it gives up.
// A time-out of more than a day counts as a day: the clock's nanoseconds
// would overflow for the largest, putting the deadline in the past.
Clock::duration ProbeTime(double scrapeTimeout)
{
    scrapeTimeout = std::min(scrapeTimeout, kLongestScrapeTimeout);
    const double margin = std::min(0.5, scrapeTimeout / 4);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(scrapeTimeout - margin));
}

// Watches a probe's client while the probe runs: Cancel() turns true once
// the client has hung up (no one would read the answer, and the camera
// would be held for nobody) or the exporter stops.
class ClientWatch {
public:
    ClientWatch(int socket, const std::atomic<bool>& stopping)
        : socket_(socket), stopping_(stopping), wake_(eventfd(0, EFD_CLOEXEC)), thread_([this] { Watch(); })
    {
    }
    ~ClientWatch()
    {
        const uint64_t one = 1;
        done_ = true;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
        close(wake_);
    }
    const std::atomic<bool>& Cancel() const { return cancel_; }

private:
    void Watch()
    {
        while (!done_ && !stopping_) {
            pollfd p[2] = {{socket_, POLLRDHUP, 0}, {wake_, POLLIN, 0}};
            // The time-out only notices the exporter stopping.
            if (poll(p, 2, 100) > 0 && (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR)))
                break;
        }
        cancel_ = !done_;
    }

    const int socket_;
    const std::atomic<bool>& stopping_;
    const int wake_;
    std::atomic<bool> done_{false}, cancel_{false};
    std::thread thread_;
};

class Exporter {
public:
    explicit Exporter(const ServeOptions& options)
        : options_(options),
          probes_(prometheus::BuildCounter()
                      .Name("tarvik_exporter_probes_total")
                      .Help("Probes answered.")
                      .Register(registry_)
                      .Add({})),
          failed_(prometheus::BuildCounter()
                      .Name("tarvik_exporter_probes_failed_total")
                      .Help("Probes answered with tarvik_probe_success 0: the camera did not open, or the "
                            "probe's time ran out waiting for another or before the camera's first frame.")
                      .Register(registry_)
                      .Add({})),
          inProgress_(prometheus::BuildGauge()
                          .Name("tarvik_exporter_probes_in_progress")
                          .Help("Probes streaming or waiting for the camera now.")
                          .Register(registry_)
                          .Add({})),
          durations_(prometheus::BuildHistogram()
                         .Name("tarvik_exporter_probe_duration_seconds")
                         .Help("How long probes took, waiting for another included.")
                         .Register(registry_)
                         .Add({}, prometheus::Histogram::BucketBoundaries{0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60}))
    {
        prometheus::BuildGauge()
            .Name("tarvik_exporter_build_info")
            .Help("The exporter's version; always 1.")
            .Register(registry_)
            .Add({{"version", options.version}})
            .Set(1);
    }

    void Route(GatedServer& server)
    {
        server_ = &server;
        server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "GET" || req.method == "HEAD")
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("method " + Echo(req.method) + " not allowed: only GET and HEAD\n", kTextType);
            return httplib::Server::HandlerResponse::Handled;
        });
        server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
                                                                         httplib::Response& res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            std::string reason = std::to_string(res.status);
            if (res.status == 404)
                reason = "not found: the endpoints are /, /metrics and /probe?camera=ID";
            else if (res.status == 400)
                reason = "bad request: not a request line and headers of HTTP/1.0 or 1.1, each line ending in CRLF";
            res.set_content(reason + "\n", kTextType);
            return httplib::Server::HandlerResponse::Handled;
        }));
        server.Get("/", [this](const httplib::Request&, httplib::Response& res) { Landing(res); });
        server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) { OwnMetrics(res); });
        server.Get("/probe", [this](const httplib::Request& req, httplib::Response& res) { Probe(req, res); });
    }

    std::atomic<bool> stopping{false};

private:
    void Landing(httplib::Response& res)
    {
        std::string html =
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tarvik exporter</title></head><body>\n"
            "<h1>Tarvik exporter</h1>\n<ul>\n"
            "<li><code>/probe?camera=ID</code>: checks that camera now and answers with the result as metrics; "
            "<code>&amp;frames=N</code> (1 to " +
            std::to_string(kMaxProbeFrames) + ") or <code>&amp;seconds=S</code> (" + cam::FloatText(kMinProbeSeconds) +
            " to " + cam::FloatText(kMaxProbeSeconds) +
            ") say how long it streams</li>\n"
            "<li><a href=\"/metrics\">/metrics</a>: the exporter's own metrics</li>\n</ul>\n"
            "<h2>Cameras found now</h2>\n";
        // Never waits: a worker for the fast endpoints is not held by a probe.
        std::unique_lock<std::timed_mutex> lock(camera_, std::try_to_lock);
        if (!lock.owns_lock()) {
            html += "<p>A probe is using the cameras; reload to list them.</p>\n";
        } else {
            std::vector<CamCameraInfo> cameras;
            const Outcome found = FindCameras(&cameras);
            if (found.Failed()) {
                html += "<p>None: " + Html(Describe(found)) + "</p>\n";
            } else {
                html += "<ul>\n";
                for (const CamCameraInfo& c : cameras) {
                    const std::string id = c.cameraId ? c.cameraId : "";
                    html += "<li><a href=\"/probe?camera=" + Html(UrlQueryValue(id)) + "\">" + Html(id) + "</a> " +
                            Html(c.cameraName ? c.cameraName : "") + " (" + Html(c.sourceName ? c.sourceName : "") +
                            ")</li>\n";
                }
                html += "</ul>\n";
            }
            ReleaseCamera();
        }
        html += "</body></html>\n";
        res.set_content(html, "text/html; charset=utf-8");
    }

    void OwnMetrics(httplib::Response& res)
    {
        std::vector<prometheus::MetricFamily> families = registry_.Collect();
        const GateDrops& drops = server_->Drops();
        prometheus::MetricFamily dropped{"tarvik_exporter_connections_dropped_total",
                                         "Connections dropped before they were answered, by why.",
                                         prometheus::MetricType::Counter,
                                         {}};
        for (const auto& [reason, count] :
             {std::pair<const char*, uint64_t>{"timeout", drops.timedOut}, {"too_large", drops.tooLarge},
              {"crowded", drops.crowded}, {"busy", drops.busy}}) {
            prometheus::ClientMetric m;
            m.label = {{"reason", reason}};
            m.counter.value = double(count);
            dropped.metric.push_back(m);
        }
        families.push_back(dropped);
        for (prometheus::MetricFamily& f : ProcessFamilies())
            families.push_back(std::move(f));
        std::ostringstream out;
        prometheus::TextSerializer().Serialize(out, families);
        res.set_content(out.str(), kMetricsType);
    }

    // A one-line reason with status 400; false then.
    static bool Refuse(httplib::Response& res, const std::string& reason)
    {
        res.status = 400;
        res.set_content(reason + "\n", kTextType);
        return false;
    }

    // camera, frames and seconds from the URL into open and check.
    static bool ReadProbe(const httplib::Request& req, httplib::Response& res, OpenOptions& open,
                          CheckOptions& check)
    {
        for (const char* name : {"camera", "frames", "seconds"})
            if (req.get_param_value_count(name) > 1 || ParamCount(req.target, name) > 1)
                return Refuse(res, std::string(name) + " given more than once");
        open.cameraId = req.get_param_value("camera");
        if (open.cameraId.empty())
            return Refuse(res, "missing camera: ask for /probe?camera=ID with an id tarvik --list gives");
        const bool frames = req.has_param("frames"), seconds = req.has_param("seconds");
        if (frames && seconds)
            return Refuse(res, "frames and seconds both say how long to stream: give one of them");
        if (frames) {
            const std::string text = req.get_param_value("frames");
            int64_t n = 0;
            if (!cam::ParseWholeNumber(text, &n) || n < 1 || n > kMaxProbeFrames)
                return Refuse(res, "frames must be a whole number from 1 to " + std::to_string(kMaxProbeFrames) +
                                       ", got " + Echo(text));
            check.frames = uint64_t(n);
            check.seconds = 0;
        }
        if (seconds) {
            const std::string text = req.get_param_value("seconds");
            double s = 0;
            if (!cam::ParseNumber(text, &s) || !(s >= kMinProbeSeconds && s <= kMaxProbeSeconds))
                return Refuse(res, "seconds must be a number from " + cam::FloatText(kMinProbeSeconds) + " to " +
                                       cam::FloatText(kMaxProbeSeconds) + ", got " + Echo(text));
            check.seconds = s;
        }
        return true;
    }

    void Probe(const httplib::Request& req, httplib::Response& res)
    {
        const Clock::time_point received = GatedServer::RequestReceived();
        OpenOptions open = options_.open;
        CheckOptions check = options_.check;
        check.progress = nullptr;
        // A spelling the gate did not take for a probe (%uXXXX) must not
        // hold a worker of /metrics while it waits for the camera.
        if (!GatedServer::OnProbeWorker()) {
            Refuse(res, "ask for a probe as /probe?camera=ID, the path spelled plainly");
            return;
        }
        if (!ReadProbe(req, res, open, check))
            return;
        const std::string header = req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds");
        const bool framesFromUrl = req.has_param("frames");
        check.deadline = ProbeDeadline(header, received, framesFromUrl);
        const ClientWatch watch(GatedServer::RequestSocket(), stopping);
        check.cancel = &watch.Cancel();
        inProgress_.Increment();

        prometheus::Registry registry;
        bool success = false;
        {
            // Waits in slices, so that a client gone or the exporter stopping
            // ends the wait too. A probe whose time ran out in a queue is not
            // started: a stream of no time would read as a camera failing.
            std::unique_lock<std::timed_mutex> lock(camera_, std::defer_lock);
            for (;;) {
                const Clock::time_point now = Clock::now();
                const bool timed = check.deadline != Clock::time_point{};
                if (*check.cancel || (timed && now >= check.deadline))
                    break;
                if (lock.try_lock_until(timed ? std::min(check.deadline, now + kWaitSlice) : now + kWaitSlice))
                    break;
            }
            if (lock.owns_lock()) {
                check.deadline = ProbeDeadline(header, received, framesFromUrl, Clock::now());
                const CheckResult result = CheckCamera(open, check);
                lock.unlock();
                // A stream cut off before its first frame says nothing of
                // the camera: its verdict would fire a failing-camera alert.
                success = !result.opened.Failed() && !result.outOfTime;
                if (!result.outOfTime)
                    AddCheckMetrics(registry, {result}, false);
            }
        }
        inProgress_.Decrement();
        const double took = Seconds(Clock::now() - received);
        prometheus::BuildGauge()
            .Name("tarvik_probe_success")
            .Help("1 when the camera opened and was checked, else 0.")
            .Register(registry)
            .Add({})
            .Set(success ? 1 : 0);
        prometheus::BuildGauge()
            .Name("tarvik_probe_duration_seconds")
            .Help("How long the probe took, waiting for another included.")
            .Register(registry)
            .Add({})
            .Set(took);
        probes_.Increment();
        if (!success)
            failed_.Increment();
        durations_.Observe(took);
        res.set_content(MetricsText(registry), kMetricsType);
    }

    const ServeOptions options_;
    GatedServer* server_ = nullptr;
    std::timed_mutex camera_;
    prometheus::Registry registry_;
    prometheus::Counter& probes_;
    prometheus::Counter& failed_;
    prometheus::Gauge& inProgress_;
    prometheus::Histogram& durations_;
};

std::string UrlHost(const std::string& host) { return host.find(':') == std::string::npos ? host : "[" + host + "]"; }

}  // namespace

Clock::time_point ProbeDeadline(const std::string& timeoutHeader, Clock::time_point received, bool framesFromUrl,
                                Clock::time_point taken)
{
    Clock::time_point deadline{};
    double timeout = 0;
    if (cam::ParseNumber(timeoutHeader, &timeout) && std::isfinite(timeout) && timeout > 0)
        deadline = received + ProbeTime(timeout);
    if (framesFromUrl && taken != Clock::time_point{}) {
        const Clock::time_point longest = taken + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(kMaxProbeSeconds));
        if (deadline == Clock::time_point{} || longest < deadline)
            deadline = longest;
    }
    return deadline;
}

bool ParseListenAddress(const std::string& text, ListenAddress* address, std::string* error)
{
    // The text goes into a usage message as it is, which escapes it.
    std::string host = "127.0.0.1", port = text;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || text.compare(close, 2, "]:") != 0)
            return *error = "an IPv6 address in brackets is followed by :PORT, as [::1]:13956", false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos)
            return *error = "an IPv6 address goes in brackets, as [::1]:PORT", false;
    }
    unsigned char bytes[sizeof(in6_addr)];
    if (inet_pton(AF_INET, host.c_str(), bytes) != 1 && inet_pton(AF_INET6, host.c_str(), bytes) != 1)
        return *error = "the address must be an IP address such as 127.0.0.1, 0.0.0.0 or [::1], got '" + host + "'",
               false;
    int64_t n = -1;
    if (!cam::ParseWholeNumber(port, &n) || n < 0 || n > 65535)
        return *error = "the port must be a whole number from 0 to 65535, got '" + port + "'", false;
    address->host = host;
    address->port = int(n);
    return true;
}

int Serve(const ServeOptions& options)
{
    // Signals are taken by sigwait below, not by whichever thread they hit.
    // SIGHUP (the terminal or ssh session gone) stops it as cleanly, the
    // camera released, unless it was started ignoring it (nohup).
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Probes run on whichever worker is free; with an arena of its own for
    // each, the frame buffers of one probe would stay behind in every one.
    mallopt(M_ARENA_MAX, 1);

    Exporter exporter(options);
    GatedServer server;
    // httplib's default would share the port (SO_REUSEPORT) with a second
    // exporter started by mistake; only a restart's TIME_WAIT is passed over.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    exporter.Route(server);
    errno = 0;
    const int port = server.Bind(options.listen.host, options.listen.port);
    if (port < 0) {
        std::fprintf(stderr, "tarvik: cannot listen on %s:%d%s%s\n", UrlHost(options.listen.host).c_str(),
                     options.listen.port, errno ? ": " : "", errno ? std::strerror(errno) : "");
        return kExitNotServed;
    }
    std::fprintf(stderr, "tarvik: serving http://%s:%d/ (/probe?camera=ID, /metrics)\n",
                 UrlHost(options.listen.host).c_str(), port);
    std::fflush(stderr);
    std::atomic<bool> listenFailed{false};
    std::thread listening([&] {
        if (!server.listen_after_bind() && !exporter.stopping) {
            listenFailed = true;
            kill(getpid(), SIGTERM);
        }
    });
    int signal = 0;
    sigwait(&signals, &signal);
    exporter.stopping = true;
    server.stop();
    listening.join();
    server.Finish();
    if (listenFailed) {
        std::fprintf(stderr, "tarvik: stopped listening on %s:%d\n", UrlHost(options.listen.host).c_str(), port);
        return kExitNotServed;
    }
    return kExitSuccess;
}

}  // namespace exporter
