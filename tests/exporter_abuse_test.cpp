// Clients that try to hold the exporter up: while each goes on, others are
// answered at once, memory stays bounded, and the offender is dropped in
// time and counted.
#include "ServeTarvik.h"

#include <QElapsedTimer>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

struct Attack {
    std::vector<int> fds;       // connections the attack holds open
    std::atomic<bool> stop{false};
    std::thread thread;         // feeding them, where it does
    ~Attack()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
};

// Starts the attack on port; fills attack.
using Start = std::function<void(int port, Attack& attack)>;

void Slowloris(int port, Attack& a)
{
    for (int i = 0; i < 20; ++i)
        a.fds.push_back(serve::Connect(port));
    a.thread = std::thread([&a] {
        const std::string start = "GET /metrics HTTP/1.1\r\nX-Slow: ";
        for (size_t sent = 0; !a.stop; ++sent) {
            for (int fd : a.fds)
                (void)!send(fd, sent < start.size() ? &start[sent] : "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the attack's pace, not a wait for a result
        }
    });
}

void HugeUrl(int port, Attack& a)
{
    for (int i = 0; i < 4; ++i)
        a.fds.push_back(serve::Connect(port));
    a.thread = std::thread([&a] {
        const std::string chunk(65536, 'a');
        for (int fd : a.fds) {
            (void)!send(fd, "GET /", 5, MSG_NOSIGNAL);
            for (int i = 0; i < 16 && !a.stop; ++i)  // 1 MiB
                if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0)
                    break;
        }
    });
}

void Silent(int port, Attack& a)
{
    for (int i = 0; i < 300; ++i)
        a.fds.push_back(serve::Connect(port));
}

void ManyRequests(int port, Attack& a)
{
    a.thread = std::thread([port, &a] {
        std::vector<std::thread> clients;
        for (int i = 0; i < 64; ++i)
            clients.emplace_back([port, &a] {
                while (!a.stop)
                    serve::Get(port, "/metrics");
            });
        for (std::thread& t : clients)
            t.join();
    });
}

TEST(ExporterAbuse, OthersStillAnswered)
{
    struct Row {
        const char* name;
        Start start;
        std::vector<const char*> dropped;  // reasons counted on /metrics, one of which grows
        bool dropsTheAttackers;   // its connections end within the request time
        bool mayBeBusy;           // others may be told 503 (at once) rather than answered
        long long maxGrowth;      // bytes of resident memory
    } rows[] = {
        {"slowloris", Slowloris, {"timeout"}, true, false, 8 << 20},
        {"1 MiB request line", HugeUrl, {"too_large"}, true, false, 8 << 20},
        // Crowded out when they come faster than the oldest time out.
        {"300 silent connections", Silent, {"crowded", "timeout"}, true, false, 8 << 20},
        {"64 clients asking without pause", ManyRequests, {}, false, true, 16 << 20},
    };
    serve::Tarvik tarvik;
    ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, "picture=soft"));
    const int port = tarvik.Port();
    for (const Row& row : rows) {
        ASSERT_EQ(serve::Get(port, "/probe?camera=sim-0&frames=2").status, 200) << row.name;
        [[maybe_unused]] const long long before = serve::ResidentBytes(tarvik.Pid());
        auto dropped = [&] {
            const std::string text = serve::Get(port, "/metrics").body;
            double sum = 0;
            for (const char* reason : row.dropped)
                sum += serve::Sample(text, std::string("tarvik_exporter_connections_dropped_total{reason=\"") + reason +
                                               "\"}");
            return sum;
        };
        const double droppedBefore = dropped();
        {
            Attack attack;
            row.start(port, attack);
            // Others are answered meanwhile: the fast endpoints at once, a probe too.
            for (int i = 0; i < 5; ++i) {
                QElapsedTimer timer;
                timer.start();
                const serve::Answer metrics = serve::Get(port, "/metrics");
                EXPECT_TRUE(metrics.status == 200 || (row.mayBeBusy && metrics.status == 503))
                    << row.name << ": " << metrics.status;
                EXPECT_LT(timer.elapsed(), 1000) << row.name;
            }
            const serve::Answer probe = serve::Get(port, "/probe?camera=sim-0&frames=2",
                                                   "X-Prometheus-Scrape-Timeout-Seconds: 5\r\n");
            EXPECT_EQ(serve::Sample(probe.body, "tarvik_probe_success"), 1) << row.name << probe.body;
            if (row.dropsTheAttackers) {
                // Dropped within the request time (3 s), whatever they still send.
                ASSERT_SOON_WITHIN(std::all_of(attack.fds.begin(), attack.fds.end(),
                                               [](int fd) { return fd < 0 || serve::Closed(fd); }),
                                   8000)
                    << row.name;
            }
            // AddressSanitizer keeps freed memory in quarantine: the bound
            // holds for the program as built, not as sanitized.
#ifndef __SANITIZE_ADDRESS__
            const long long during = serve::ResidentBytes(tarvik.Pid());
            EXPECT_LT(during - before, row.maxGrowth) << row.name << ": " << before << " -> " << during;
#endif
        }
        if (!row.dropped.empty()) {
            EXPECT_GT(dropped(), droppedBefore) << row.name;
        }
        // Every connection of the attack let go: descriptors back to a few.
        ASSERT_SOON_WITHIN(serve::Sample(serve::Get(port, "/metrics").body, "process_open_fds") < 40, 8000)
            << row.name;
    }
    EXPECT_EQ(tarvik.Stop(), 0);
}

// A probe however its path is spelled never takes a worker of the fast
// endpoints: two of them waiting for the camera there kept /metrics from
// answering for as long as they streamed.
TEST(ExporterAbuse, ProbesSpelledOtherwiseLeaveMetricsFree)
{
    serve::Tarvik tarvik;
    ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, "picture=soft"));
    const int port = tarvik.Port();
    auto inProgress = [&] {
        return serve::Sample(serve::Get(port, "/metrics").body, "tarvik_exporter_probes_in_progress");
    };
    struct Row {
        const char* request;  // "%s": the probe's parameters
        int status;           // of a short probe so spelled
        bool runs;            // a probe so spelled runs (else it is refused at once)
    } rows[] = {
        {"GET  /probe?camera=sim-0&%s  HTTP/1.1\r\n\r\n", 200, true},
        {"GET /%%70robe?camera=sim-0&%s HTTP/1.1\r\n\r\n", 200, true},
        {"GET http://h/pro%%62e?camera=sim-0&%s HTTP/1.1\r\n\r\n", 200, true},
        {"HEAD /prob%%65?camera=sim-0&%s HTTP/1.1\r\n\r\n", 200, true},
        {"GET /%%u0070robe?camera=sim-0&%s HTTP/1.1\r\n\r\n", 400, false},
    };
    for (const Row& row : rows) {
        char request[256];
        std::snprintf(request, sizeof request, row.request, "frames=1");
        EXPECT_EQ(serve::Exchange(port, request).status, row.status) << request;
        std::snprintf(request, sizeof request, row.request, "seconds=60");
        Attack attack;
        for (int i = 0; i < 2; ++i) {
            attack.fds.push_back(serve::Connect(port));
            ASSERT_EQ(send(attack.fds.back(), request, strlen(request), MSG_NOSIGNAL), ssize_t(strlen(request)));
        }
        if (row.runs) {
            ASSERT_SOON(inProgress() == 2) << request;
        }
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer timer;
            timer.start();
            EXPECT_EQ(serve::Get(port, "/metrics").status, 200) << request;
            EXPECT_LT(timer.elapsed(), 1000) << request;
        }
        for (int& fd : attack.fds) {
            close(fd);
            fd = -1;
        }
        ASSERT_SOON(inProgress() == 0) << request;
    }
    EXPECT_EQ(tarvik.Stop(), 0);
}

}  // namespace
