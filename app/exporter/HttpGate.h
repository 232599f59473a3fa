// The exporter's HTTP server: cpp-httplib parses and routes, but no client
// can hold a thread or much memory. Debian builds the library with its limits
// fixed (a read time-out per recv, request lines grown without bound, an
// unbounded job queue), so requests are read here instead: one thread polls
// every connection still sending its request, within a size and a deadline
// for the whole request, and only a request read whole reaches a worker.
// Workers come from two small pools with bounded queues, so that probes
// waiting for the camera never keep /metrics from answering.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace exporter {

struct GateLimits {
    size_t maxRequestBytes = 16384;  // request line and headers together
    std::chrono::milliseconds requestTime{3000};  // to send them, from the connection on
    size_t maxWaiting = 256;         // connections still sending: past this the oldest is dropped
    size_t probeWorkers = 8;         // probes wait for the camera, one at a time
    size_t otherWorkers = 2;         // everything else answers at once
    size_t maxQueued = 32;           // requests waiting for a worker, per pool
    std::chrono::milliseconds writeTime{5000};  // to take an answer
};

// Connections dropped, by why; for the exporter's own metrics.
struct GateDrops {
    std::atomic<uint64_t> timedOut{0};  // the request did not come whole in time (408)
    std::atomic<uint64_t> tooLarge{0};  // longer than maxRequestBytes (414 or 431)
    std::atomic<uint64_t> crowded{0};   // the oldest of too many still sending
    std::atomic<uint64_t> busy{0};      // every worker busy and the queue full (503)
};

class GatedServer : public httplib::Server {
public:
    explicit GatedServer(GateLimits limits = {});
    ~GatedServer() override;

    // When the request the calling handler answers had arrived whole: what
    // a probe's duration and deadline count from.
    static std::chrono::steady_clock::time_point RequestReceived();
    // The socket of the request the calling handler answers, to watch for
    // its client hanging up; never read or written by the handler.
    static int RequestSocket();
    // Whether the calling handler runs on a worker for probes, which may
    // wait for the camera; the others must answer at once.
    static bool OnProbeWorker();

    const GateDrops& Drops() const;

    // bind_to_port (port 0: bind_to_any_port) with a backlog wider than the
    // library's fixed 5, so that a burst of connections is not made to
    // retry their SYN a second later. The port, or -1.
    int Bind(const std::string& host, int port);

    // After stop() and listen() returned: drops the connections still
    // sending and those queued, waits for the requests being answered.
    void Finish();

private:
    // Called on the accepting thread for each new connection.
    bool process_and_close_socket(socket_t sock) override;

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace exporter
