// The health check's report in words for people and as JSON for programs,
// the same content in both.
#pragma once

#include "HealthCheck.h"

#include <string>
#include <vector>

std::string CheckText(const CheckResult& result);
// {"cameras": [one object per camera], "verdict": the worst of theirs}.
std::string CheckJson(const std::vector<CheckResult>& results);
