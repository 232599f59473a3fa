// Names follow Prometheus's practice: the tarvik_ prefix, base units in the
// name, one metric per kind of value with labels for its parts.
#include "CheckMetrics.h"

#include <prometheus/gauge.h>
#include <prometheus/text_serializer.h>

#include <sstream>

void AddCheckMetrics(prometheus::Registry& registry, const std::vector<CheckResult>& results, bool cameraLabel)
{
    auto& verdict = prometheus::BuildGauge()
                        .Name("tarvik_check_verdict")
                        .Help("The check's verdict: 0 ok, 1 warn, 2 fail.")
                        .Register(registry);
    for (const CheckResult& r : results) {
        prometheus::Labels labels;
        if (cameraLabel)
            labels["camera"] = r.id;
        verdict.Add(labels).Set(static_cast<double>(r.verdict));
    }
}

std::string MetricsText(const prometheus::Registry& registry)
{
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, registry.Collect());
    return out.str();
}
