// --serve's option and the command that starts the exporter.
#include "ServeCommand.h"

#include "Exporter.h"

const char kServeHelp[] =
    "\n"
    "Serving (--serve [ADDRESS:]PORT, e.g. --serve 0.0.0.0:13956):\n"
    "  /probe?camera=ID  opens that camera, checks it as --check does, releases it and\n"
    "                    answers with the result as Prometheus metrics, with\n"
    "                    tarvik_probe_success and tarvik_probe_duration_seconds;\n"
    "                    &frames=N (1 to 10000) or &seconds=S (0.01 to 300) for how long.\n"
    "                    Probes take turns; each stops before Prometheus's scrape time-out\n"
    "                    (X-Prometheus-Scrape-Timeout-Seconds) with what it measured\n"
    "  /metrics          the exporter's own metrics: probes, connections dropped, process\n"
    "  /                 a page naming these and the cameras found now\n"
    "  --settings FILE applies at every probe; nothing in a URL changes a camera. Bad\n"
    "  parameters: 400; other methods than GET and HEAD: 405; other paths: 404. A request\n"
    "  must come whole within 3 s and 16 KiB; a client that hangs up ends its probe.\n"
    "  Ctrl+C, SIGTERM or SIGHUP stops, status 0.\n";

ServeOptionTable::ServeOptionTable()
    : serve("serve", "Without a window: serve the check to Prometheus over HTTP on PORT, "
          "at 127.0.0.1 unless an ADDRESS is given (0.0.0.0: every interface), "
          "until Ctrl+C, SIGTERM or SIGHUP: /probe?camera=ID checks that camera when "
          "scraped (see Serving below).", "[ADDRESS:]PORT")
{
}

Usage ReadServeOptions(const ParsedOptions& options, const ServeOptionTable& table, std::string* address)
{
    // Each probe names its camera in the URL; only the operator's settings
    // file changes a camera, never a request.
    for (const char* other : {"camera", "live", "grab", "check", "all", "json", "prometheus", "output", "set", "get",
                              "features", "save-settings", "record", "overwrite", "record-buffer", "record-format",
                              "timeout", "trigger", "trigger-rate", "expect-rate"})
        if (options.IsSet(QString::fromLatin1(other)))
            return std::string("--serve goes with --settings, --pixel-format, --frames, --seconds, "
                               "--max-rate-shortfall, --max-clipped and --max-clock-drift only, not with --") +
                   other;
    *address = options.RawValue(table.serve);
    exporter::ListenAddress listen;
    std::string why;
    if (!exporter::ParseListenAddress(*address, &listen, &why))
        return "--serve needs [ADDRESS:]PORT: " + why;
    return std::nullopt;
}

int ServeCameras(const OpenOptions& open, const std::string& address, const CheckOptions& check)
{
    exporter::ServeOptions options;
    std::string why;
    exporter::ParseListenAddress(address, &options.listen, &why);  // checked when read
    options.open = open;
    options.check = check;
    options.version = TARVIK_VERSION;
    return exporter::Serve(options);
}
