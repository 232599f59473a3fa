// The health check's results as Prometheus metrics, for the exporter's
// probes and for --check --prometheus (node_exporter's textfile collector).
#pragma once

#include "HealthCheck.h"

#include <prometheus/registry.h>

#include <string>
#include <vector>

// Adds the metric families of these results to registry. With cameraLabel,
// each sample carries a camera="ID" label (several cameras in one output).
void AddCheckMetrics(prometheus::Registry& registry, const std::vector<CheckResult>& results, bool cameraLabel);

// The registry's families in the text exposition format.
std::string MetricsText(const prometheus::Registry& registry);
