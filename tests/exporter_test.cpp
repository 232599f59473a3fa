// tarvik --serve as a client sees it: answers to good and bad requests,
// probes against the scrape's time-out and each other, clients that try to
// hold the exporter up, and the end on SIGTERM.
#include "ServeTarvik.h"
#include "TempDir.h"
#include "app/exporter/Exporter.h"

#include <QElapsedTimer>

#include <atomic>
#include <cmath>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using serve::Answer;

double InProgress(int port)
{
    return serve::Sample(serve::Get(port, "/metrics").body, "tarvik_exporter_probes_in_progress");
}

TEST(ExporterAddress, Parsed)
{
    struct Row {
        const char* text;
        bool ok;
        const char* host;
        int port;
        const char* reason;
    } rows[] = {
        {"9999", true, "127.0.0.1", 9999, ""},
        {"0", true, "127.0.0.1", 0, ""},
        {"0.0.0.0:13956", true, "0.0.0.0", 13956, ""},
        {"[::1]:80", true, "::1", 80, ""},
        {"::1:80", false, "", 0, "brackets"},
        {"localhost:80", false, "", 0, "IP address"},
        {"1.2.3:80", false, "", 0, "IP address"},
        {"127.0.0.1:65536", false, "", 0, "0 to 65535"},
        {"127.0.0.1:", false, "", 0, "0 to 65535"},
        {"-1", false, "", 0, "0 to 65535"},
        {"0x50", false, "", 0, "0 to 65535"},
        {"", false, "", 0, "0 to 65535"},
        // The reason names what is missing, the text given as it is.
        {"[::1]", false, "", 0, "followed by :PORT"},
        {"[::1", false, "", 0, "followed by :PORT"},
        {"[::1]80", false, "", 0, "followed by :PORT"},
        {"[::1]:", false, "", 0, "0 to 65535, got ''"},
        {":80", false, "", 0, "IP address such as 127.0.0.1, 0.0.0.0 or [::1], got ''"},
        {"[127.0.0.1]:80", true, "127.0.0.1", 80, ""},
    };
    for (const Row& row : rows) {
        exporter::ListenAddress address;
        std::string error;
        EXPECT_EQ(exporter::ParseListenAddress(row.text, &address, &error), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(address.host, row.host) << row.text;
            EXPECT_EQ(address.port, row.port) << row.text;
        } else {
            EXPECT_NE(error.find(row.reason), std::string::npos) << row.text << ": " << error;
        }
    }
}

// When a probe's stream stops: before the scrape's time-out, whatever the
// header holds, and frames= from the URL no longer than seconds= may ask.
TEST(ExporterProbe, Deadline)
{
    using std::chrono::steady_clock;
    const steady_clock::time_point received(std::chrono::hours(1000)), taken = received + std::chrono::seconds(2);
    const double none = std::nan("");
    struct Row {
        const char* name;
        const char* header;
        bool framesFromUrl;
        bool taken;
        double after;  // seconds after received, or none
    } rows[] = {
        {"no header", "", false, false, none},
        {"10 s: half a second before", "10", false, false, 9.5},
        {"1 s: a quarter before", "1", false, true, 0.75},
        {"0 ignored", "0", false, false, none},
        {"negative ignored", "-1", false, false, none},
        {"nan ignored", "nan", false, false, none},
        {"inf ignored", "inf", false, false, none},
        {"not a number ignored", "soon", false, false, none},
        // Past the clock's nanoseconds: once a deadline in the past.
        {"1e10: a day", "1e10", false, false, 86399.5},
        {"1e300: a day", "1e300", false, false, 86399.5},
        {"frames= on a camera taken: 300 s of it", "", true, true, 302},
        {"frames= still waiting: no bound yet", "", true, false, none},
        {"frames= with a shorter scrape", "10", true, true, 9.5},
        {"frames= with a longer scrape", "1000", true, true, 302},
        {"the operator's frames: not bounded", "", false, true, none},
    };
    for (const Row& row : rows) {
        const steady_clock::time_point deadline = exporter::ProbeDeadline(
            row.header, received, row.framesFromUrl, row.taken ? taken : steady_clock::time_point{});
        if (std::isnan(row.after)) {
            EXPECT_EQ(deadline, steady_clock::time_point{}) << row.name;
        } else {
            EXPECT_NEAR(std::chrono::duration<double>(deadline - received).count(), row.after, 1e-6) << row.name;
        }
    }
}

TEST(ExporterAnswers, EachRequest)
{
    serve::Tarvik tarvik;
    ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, "count=2,picture=soft"));
    const std::string long8k = "/probe?camera=" + std::string(10000, 'a');
    const std::string long20k = "/" + std::string(20000, 'a');
    std::string many;  // 10,000 headers
    for (int i = 0; i < 10000; ++i)
        many += "a:b\r\n";
    struct Row {
        std::string request;  // sent as it is
        int status;
        std::vector<std::string> has;  // in the head or the body
    } rows[] = {
        // Bad input: one line saying why, bounds stated.
        {"GET /probe HTTP/1.1\r\n\r\n", 400, {"missing camera"}},
        {"GET /probe?camera= HTTP/1.1\r\n\r\n", 400, {"missing camera"}},
        {"GET /probe?camera=sim-0&frames=0 HTTP/1.1\r\n\r\n", 400, {"from 1 to 10000, got \"0\""}},
        {"GET /probe?camera=sim-0&frames=10001 HTTP/1.1\r\n\r\n", 400, {"from 1 to 10000"}},
        {"GET /probe?camera=sim-0&frames=ten HTTP/1.1\r\n\r\n", 400, {"got \"ten\""}},
        {"GET /probe?camera=sim-0&frames=2.5 HTTP/1.1\r\n\r\n", 400, {"whole number"}},
        {"GET /probe?camera=sim-0&seconds=0 HTTP/1.1\r\n\r\n", 400, {"from 0.01 to 300"}},
        {"GET /probe?camera=sim-0&seconds=301 HTTP/1.1\r\n\r\n", 400, {"from 0.01 to 300"}},
        {"GET /probe?camera=sim-0&seconds=nan HTTP/1.1\r\n\r\n", 400, {"got \"nan\""}},
        {"GET /probe?camera=sim-0&seconds=%0a1 HTTP/1.1\r\n\r\n", 400, {"got \"\\x0a1\""}},
        {"GET /probe?camera=sim-0&seconds=1&frames=1 HTTP/1.1\r\n\r\n", 400, {"give one of them"}},
        {"GET /probe?camera=sim-0&camera=sim-1 HTTP/1.1\r\n\r\n", 400, {"camera given more than once"}},
        // Repeated exactly, which the library's own parsing folds into one.
        {"GET /probe?camera=sim-0&camera=sim-0 HTTP/1.1\r\n\r\n", 400, {"camera given more than once"}},
        {"GET /probe?camera=sim-0&frames=1&frames=1 HTTP/1.1\r\n\r\n", 400, {"frames given more than once"}},
        {"GET /probe?camera=sim-0&camer%61=sim-0 HTTP/1.1\r\n\r\n", 400, {"camera given more than once"}},
        {"GET /probe?seconds=1&camera=sim-0&seconds=1 HTTP/1.1\r\n\r\n", 400, {"seconds given more than once"}},
        // Spellings of the name the library reads as it, repeated exactly.
        {"GET /probe?%u0063amera=sim-0&%u0063amera=sim-0 HTTP/1.1\r\n\r\n", 400, {"camera given more than once"}},
        {"GET /probe?=camera=sim-0&=camera=sim-0 HTTP/1.1\r\n\r\n", 400, {"camera given more than once"}},
        {"GET /probe?camera=sim-0&\tframes=1&\tframes=1 HTTP/1.1\r\n\r\n", 400, {"frames given more than once"}},
        // Methods and paths.
        {"POST /probe?camera=sim-0 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 405, {"Allow: GET, HEAD"}},
        {"PUT /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405, {"only GET and HEAD"}},
        {"DELETE / HTTP/1.1\r\n\r\n", 405, {"Allow: GET, HEAD"}},
        {"OPTIONS * HTTP/1.1\r\n\r\n", 405, {"Allow: GET, HEAD"}},
        {"GET /nothing HTTP/1.1\r\n\r\n", 404, {"/metrics"}},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", 404, {}},
        {"GET /probe/sim-0 HTTP/1.1\r\n\r\n", 404, {}},
        {"HELLO\r\n\r\n", 400, {}},
        {"GET /metrics\r\n\r\n", 400, {"bad request: not a request line and headers of HTTP/1.0 or 1.1"}},
        // Lines ending in LF alone: told at once, not timed out.
        {"GET /metrics HTTP/1.1\n\n", 400, {"each line ending in CRLF"}},
        {"GET /metrics HTTP/1.1\r\nHost: x\n\r\n", 200, {"tarvik_exporter_probes_total "}},
        // The absolute form a server must accept.
        {"GET http://127.0.0.1:13956/metrics HTTP/1.1\r\n\r\n", 200, {"tarvik_exporter_probes_total "}},
        {"GET HTTP://h/probe?camera=sim-1&frames=1 HTTP/1.1\r\n\r\n", 200, {"tarvik_probe_success 1\n"}},
        {"GET http://h HTTP/1.1\r\n\r\n", 200, {"text/html"}},
        {"GET " + long8k + " HTTP/1.1\r\n\r\n", 414, {}},  // past the library's own limit
        {"GET " + long20k + " HTTP/1.1\r\n\r\n", 414, {}},  // past the gate's
        {"GET / HTTP/1.1\r\nX: " + std::string(20000, 'b') + "\r\n\r\n", 431, {}},
        // Still sending when answered: the answer reaches it, not a reset.
        {"GET / HTTP/1.1\r\n" + many + "\r\n", 431, {"request headers too long"}},
        {"GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\n\r\n", 414, {"request line too long"}},
        // What works.
        {"GET / HTTP/1.1\r\n\r\n", 200, {"text/html", "/probe?camera=sim-0\">sim-0</a>", "sim-1", "/metrics"}},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", 200, {"version=0.0.4"}},
        {"GET /metrics HTTP/1.1\r\n\r\n",
         200,
         {"tarvik_exporter_build_info{version=\"", "process_resident_memory_bytes ", "process_open_fds ",
          "process_cpu_seconds_total ", "process_start_time_seconds ", "tarvik_exporter_probes_total "}},
        {"GET /probe?camera=sim-1&frames=3 HTTP/1.1\r\n\r\n",
         200,
         {"tarvik_probe_success 1\n", "tarvik_check_level{check=\"completeness\"} 0\n",
          "tarvik_probe_duration_seconds "}},
        {"GET /probe?camera=sim-0&seconds=0.2 HTTP/1.1\r\n\r\n", 200, {"tarvik_probe_success 1\n"}},
        // An unknown camera is a failed probe, not a failed request.
        {"GET /probe?camera=no-such&frames=1 HTTP/1.1\r\n\r\n",
         200,
         {"tarvik_probe_success 0\n", "tarvik_check_verdict 2\n", "tarvik_check_level{check=\"open\"} 2\n"}},
    };
    for (const auto& row : rows) {
        const std::string shown = row.request.substr(0, 60);
        const Answer answer = serve::Exchange(tarvik.Port(), row.request);
        EXPECT_EQ(answer.status, row.status) << shown << "\n" << answer.head << "\n" << answer.body;
        for (const std::string& part : row.has)
            EXPECT_NE((answer.head + "\n" + answer.body).find(part), std::string::npos)
                << shown << ": no " << part << " in\n" << answer.head << "\n" << answer.body;
        if (row.status == 400 || row.status == 405) {
            // One line of reason.
            EXPECT_EQ(std::count(answer.body.begin(), answer.body.end(), '\n'), 1) << shown << ": " << answer.body;
        }
        if (row.request.rfind("HEAD", 0) == 0)
            EXPECT_TRUE(answer.body.empty()) << shown;
        else if (answer.head.find("version=0.0.4") != std::string::npos) {
            // Every metrics answer passes Prometheus's own check without a remark.
            QProcess promtool;
            promtool.setProcessChannelMode(QProcess::MergedChannels);
            promtool.start("promtool", {"check", "metrics"});
            promtool.write(answer.body.data(), qint64(answer.body.size()));
            promtool.closeWriteChannel();
            ASSERT_TRUE(promtool.waitForFinished(30000)) << shown;
            EXPECT_EQ(promtool.exitCode(), 0) << shown;
            EXPECT_EQ(promtool.readAll().toStdString(), "") << shown;
        }
    }
    EXPECT_EQ(tarvik.Stop(), 0);
}

// The scrape's time-out bounds a probe, whether it streams or waits for
// another; the wait counts in its duration.
TEST(ExporterProbe, AnswersWithinTheScrapeTimeout)
{
    serve::Tarvik tarvik;
    ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, "picture=soft,rate=50"));
    struct Row {
        const char* name;
        double busyFor;  // seconds another probe holds the camera first (0: none)
        const char* probe;
        const char* timeout;  // X-Prometheus-Scrape-Timeout-Seconds, or none
        double atLeast, atMost;  // seconds until the answer
        double success;
        double completed = std::nan("");  // frames completed, when given
    } rows[] = {
        {"stream cut at the time-out", 0, "seconds=30", "1.5", 1.0, 1.45, 1},
        {"frames cut at the time-out", 0, "frames=10000", "1", 0.6, 0.95, 1},
        {"short probe unaffected", 0, "frames=5", "10", 0, 2, 1},
        {"header that is not a number ignored", 0, "frames=5", "soon", 0, 2, 1},
        {"waits for another, then streams", 0.8, "frames=5", "3", 0.3, 2.9, 1},
        {"waited its whole time for another", 3, "frames=5", "1", 0.7, 0.95, 0},
        // Past the clock's nanoseconds: a deadline in the past made it a camera with no frames.
        {"time-out beyond the clock's range counts as a day", 0, "frames=5", "1e10", 0, 2, 1, 5},
        {"time-out of 1e300", 0, "frames=5", "1e300", 0, 2, 1, 5},
        // Not started rather than a stream of no time read as a failing camera.
        {"time-out over before the probe could start", 0, "frames=5", "0.000001", 0, 1, 0},
        // Started with no time for a frame: judged on one that came all the
        // same, or not judged (success 0); never a failing camera.
        {"time-out over before the first frame", 0, "frames=5", "0.001", 0, 1, std::nan("")},
        {"time-out over before the first frame, again", 0, "frames=5", "0.002", 0, 1, std::nan("")},
        {"the camera taken with almost no time left", 0.7, "frames=5", "1", 0, 3, std::nan("")},
    };
    for (const Row& row : rows) {
        std::thread other;
        if (row.busyFor > 0) {
            other = std::thread([&] {
                serve::Get(tarvik.Port(), "/probe?camera=sim-0&seconds=" + std::to_string(row.busyFor));
            });
            ASSERT_SOON(InProgress(tarvik.Port()) == 1) << row.name;
        }
        QElapsedTimer timer;
        timer.start();
        const std::string header = row.timeout ? std::string("X-Prometheus-Scrape-Timeout-Seconds: ") + row.timeout +
                                                     "\r\n"
                                               : "";
        const Answer answer = serve::Get(tarvik.Port(), std::string("/probe?camera=sim-0&") + row.probe, header);
        const double took = timer.elapsed() / 1000.0;
        if (other.joinable())
            other.join();
        EXPECT_EQ(answer.status, 200) << row.name;
        EXPECT_GE(took, row.atLeast) << row.name;
        EXPECT_LE(took, row.atMost) << row.name;
        const double success = serve::Sample(answer.body, "tarvik_probe_success");
        if (!std::isnan(row.success)) {
            EXPECT_EQ(success, row.success) << row.name << "\n" << answer.body;
        }
        // The camera is healthy: whatever the time, never a failing verdict,
        // and none at all from a probe that did not succeed.
        const double verdict = serve::Sample(answer.body, "tarvik_check_verdict");
        EXPECT_NE(verdict, 2) << row.name << "\n" << answer.body;
        EXPECT_TRUE(success == 1 || std::isnan(verdict)) << row.name << "\n" << answer.body;
        if (!std::isnan(row.completed)) {
            EXPECT_EQ(serve::Sample(answer.body, "tarvik_stream_frames{state=\"completed\"}"), row.completed)
                << row.name << "\n" << answer.body;
        }
        const double duration = serve::Sample(answer.body, "tarvik_probe_duration_seconds");
        EXPECT_GE(duration, row.atLeast) << row.name;
        EXPECT_LE(duration, took + 0.01) << row.name;  // took in whole milliseconds
    }
    EXPECT_EQ(tarvik.Stop(), 0);
}

// What the operator gives with --serve applies at each probe; the URL
// cannot change it.
TEST(ExporterCommandLine, OptionsAndStatus)
{
    harness::TempDir dir;
    const std::string refused = dir / "refused.settings", missing = dir / "missing.settings";
    {
        std::ofstream out(refused);
        out << "NoSuchFeature=1\n";
    }
    struct Row {
        QStringList args;
        int status;  // of the program, when it ends by itself; 0: it serves
        const char* probe;
        double success;
    } rows[] = {
        {{"--settings", QString::fromStdString(refused)}, 0, "camera=sim-0&frames=1", 0},
        {{"--settings", QString::fromStdString(missing)}, 3, "", 0},
        {{"--pixel-format", "Mono8"}, 0, "camera=sim-0&frames=1", 1},
        {{"--frames", "2"}, 0, "camera=sim-0", 1},
        {{"--camera", "sim-0"}, 64, "", 0},
        {{"--set", "Width=64"}, 64, "", 0},
        {{"--check"}, 64, "", 0},
        {{"--json"}, 64, "", 0},
        {{"--record", "x.mkv"}, 64, "", 0},
        {{"--frames", "0"}, 64, "", 0},
        {{"--max-clock-drift", "500"}, 0, "camera=sim-0&frames=1", 1},
        // A trigger check would change the camera's TriggerMode at every probe.
        {{"--trigger", "software"}, 64, "", 0},
        {{"--expect-rate", "25"}, 64, "", 0},
        {{"--trigger-rate", "10"}, 64, "", 0},
    };
    for (const Row& row : rows) {
        const QString shown = row.args.join(' ');
        serve::Tarvik tarvik;
        if (row.status != 0) {
            QProcess& p = tarvik.Process();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove("DISPLAY");
            p.setProcessEnvironment(env);
            p.start(TARVIK_EXE, QStringList{"--serve", "127.0.0.1:0"} + row.args);
            ASSERT_TRUE(p.waitForFinished(10000)) << shown.toStdString();
            EXPECT_EQ(p.exitCode(), row.status) << shown.toStdString() << p.readAllStandardError().toStdString();
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(tarvik.Start(row.args, "picture=soft"));
        const Answer answer = serve::Get(tarvik.Port(), std::string("/probe?") + row.probe);
        EXPECT_EQ(serve::Sample(answer.body, "tarvik_probe_success"), row.success)
            << shown.toStdString() << "\n" << answer.body;
        EXPECT_EQ(tarvik.Stop(), 0) << shown.toStdString();
    }
    // A port taken: its own status.
    serve::Tarvik first;
    ASSERT_NO_FATAL_FAILURE(first.Start({}, {}));
    QProcess second;
    second.start(TARVIK_EXE, {"--serve", QString("127.0.0.1:%1").arg(first.Port())});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 7) << second.readAllStandardError().toStdString();
}

// SIGTERM ends the exporter at once, a probe's stream included.
TEST(ExporterCommandLine, SigtermEndsARunningProbe)
{
    serve::Tarvik tarvik;
    ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, {}));
    Answer answer;
    std::thread probe([&] { answer = serve::Get(tarvik.Port(), "/probe?camera=sim-0&seconds=60"); });
    ASSERT_SOON(InProgress(tarvik.Port()) == 1);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(tarvik.Stop(), 0);
    EXPECT_LT(timer.elapsed(), 2000);
    probe.join();
}

// A client that hangs up ends its probe, streaming or waiting for the
// camera: the camera is not held for no one while scrapes wait for it.
TEST(ExporterProbe, ClientGoneEndsItsProbe)
{
    serve::Tarvik tarvik;
    ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, "picture=soft,rate=50"));
    const int port = tarvik.Port();
    struct Row {
        const char* name;
        double busyFor;  // seconds a client that stays holds the camera first (0: none)
        bool reset;      // the leaving client resets the connection rather than closing it
    } rows[] = {
        {"closes while streaming", 0, false},
        {"resets while streaming", 0, true},
        {"closes while waiting for another", 2, false},
    };
    for (const Row& row : rows) {
        std::thread other;
        if (row.busyFor > 0) {
            other = std::thread(
                [&] { serve::Get(port, "/probe?camera=sim-0&seconds=" + std::to_string(row.busyFor)); });
            ASSERT_SOON(InProgress(port) == 1) << row.name;
        }
        const int fd = serve::Connect(port);
        ASSERT_GE(fd, 0);
        const std::string request = "GET /probe?camera=sim-0&seconds=120 HTTP/1.1\r\n\r\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        ASSERT_SOON(InProgress(port) == (row.busyFor > 0 ? 2 : 1)) << row.name;
        if (row.reset) {
            const linger now{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        close(fd);
        // Its probe ends at once, not after 120 s (nor after the other's).
        ASSERT_SOON_WITHIN(InProgress(port) == (row.busyFor > 0 ? 1 : 0), 1500) << row.name;
        if (other.joinable())
            other.join();
        const Answer next =
            serve::Get(port, "/probe?camera=sim-0&frames=5", "X-Prometheus-Scrape-Timeout-Seconds: 3\r\n");
        EXPECT_EQ(serve::Sample(next.body, "tarvik_probe_success"), 1) << row.name << "\n" << next.body;
    }
    EXPECT_EQ(tarvik.Stop(), 0);
}

// SIGINT and SIGHUP (the terminal or ssh session gone) end it as SIGTERM
// does: the running probe answered with what it measured, the camera
// released, status 0. Started ignoring SIGHUP (nohup), it keeps serving.
TEST(ExporterCommandLine, SignalsEndItCleanly)
{
    struct Row {
        const char* name;
        int signal;
        bool ignoredAtStart;
        int queued = 0;  // more probes sent first, past the workers: each answered (503 if never started)
    } rows[] = {
        {"SIGINT", SIGINT, false},
        {"SIGHUP", SIGHUP, false},
        {"SIGHUP under nohup", SIGHUP, true},
        {"SIGTERM with probes waiting and queued", SIGTERM, false, 12},
    };
    for (const Row& row : rows) {
        serve::Tarvik tarvik;
        if (row.ignoredAtStart)
            tarvik.Process().setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
        ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, "picture=soft"));
        Answer answer;
        std::thread probe([&] { answer = serve::Get(tarvik.Port(), "/probe?camera=sim-0&seconds=60"); });
        ASSERT_SOON(InProgress(tarvik.Port()) == 1) << row.name;
        std::vector<int> statuses(size_t(row.queued), 0);
        std::vector<std::thread> more;
        for (int& status : statuses)
            more.emplace_back(
                [&] { status = serve::Get(tarvik.Port(), "/probe?camera=sim-0&seconds=60").status; });
        if (row.queued) {
            ASSERT_SOON(InProgress(tarvik.Port()) == 8) << row.name;  // every probe worker taken
        }
        QElapsedTimer timer;
        timer.start();
        if (row.ignoredAtStart) {
            ::kill(pid_t(tarvik.Pid()), row.signal);
            EXPECT_EQ(serve::Get(tarvik.Port(), "/metrics").status, 200) << row.name;
            EXPECT_EQ(InProgress(tarvik.Port()), 1) << row.name;
            EXPECT_EQ(tarvik.Stop(), 0) << row.name;
        } else {
            EXPECT_EQ(tarvik.Stop(10000, row.signal), 0) << row.name;
            EXPECT_LT(timer.elapsed(), 2000) << row.name;
        }
        probe.join();
        EXPECT_EQ(answer.status, 200) << row.name;
        EXPECT_EQ(serve::Sample(answer.body, "tarvik_probe_success"), 1) << row.name << "\n" << answer.body;
        for (std::thread& t : more)
            t.join();
        for (int status : statuses)
            EXPECT_TRUE(status == 200 || status == 503) << row.name << ": " << status;
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 503), std::max(0, row.queued - 7)) << row.name;
    }
}

}  // namespace
