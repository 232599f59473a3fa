// tarvik --serve: the health check as a Prometheus exporter after the
// multi-target pattern. /probe?camera=ID checks that camera at scrape time,
// /metrics gives the exporter's own metrics, / names both and the cameras.
#pragma once

#include "app/CameraSequences.h"
#include "app/check/HealthCheck.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace exporter {

// Where to listen: an IP address (IPv6 in brackets) and a port; port 0 lets
// the system choose one, which is then printed.
struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = 0;
};

// "[ADDRESS:]PORT"; false, with the reason, when it is not one.
bool ParseListenAddress(const std::string& text, ListenAddress* address, std::string* error);

// What a probe may ask for in frames= and seconds=.
constexpr int64_t kMaxProbeFrames = 10000;
constexpr double kMinProbeSeconds = 0.01, kMaxProbeSeconds = 300;

// When a probe's stream must stop; time_point{} for not before its frames
// or seconds. Before the scrape's time-out that timeoutHeader
// (X-Prometheus-Scrape-Timeout-Seconds) gives, counted from received; and,
// once the camera is taken (taken set), for frames= from the URL no later
// than kMaxProbeSeconds after that, as seconds= allows: frames of a slow
// camera would hold it for hours.
std::chrono::steady_clock::time_point ProbeDeadline(const std::string& timeoutHeader,
                                                    std::chrono::steady_clock::time_point received,
                                                    bool framesFromUrl,
                                                    std::chrono::steady_clock::time_point taken = {});

struct ServeOptions {
    ListenAddress listen;
    OpenOptions open;    // no camera id: each probe names its own; settings applied at each probe
    CheckOptions check;  // thresholds, and the length of a probe that names none
    std::string version;
};

// Serves until SIGINT or SIGTERM; returns the exit status.
int Serve(const ServeOptions& options);

}  // namespace exporter
