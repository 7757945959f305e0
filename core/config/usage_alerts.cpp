#include "core/config/usage_alerts.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "core/config/string_or_nil.h"
#include "core/support/json_coding.h"

namespace kelvane {
namespace {

std::string shortest(double value) {
  char buffer[400];  // "%.0f" of the largest double needs 309 digits.
  if (std::isfinite(value) && value == std::trunc(value)) {
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
    return buffer;
  }
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

}  // namespace

std::string UsageAlerts::coresLabel(double cores) {
  return shortest(cores) + (cores == 1 ? " core" : " cores");
}

void to_json(nlohmann::json& j, const UsageAlerts& alerts) {
  j = {{"on", alerts.on},
       {"never", alerts.never},
       {"appCPUCores", alerts.appCPUCores},
       {"appCPUWindow", alerts.appCPUWindow}};
}

void from_json(const nlohmann::json& j, UsageAlerts& alerts) {
  alerts = UsageAlerts();
  if (!j.is_object()) {
    alerts.decodeIssues = true;
    return;
  }
  bool issue = false;
  alerts.on = Lenient::read<bool>(j, "on", true, issue);
  alerts.never = readTextList(j, "never", {}, {}, issue);
  alerts.appCPUCores = Lenient::clamped(j, "appCPUCores", 2.0, {0.5, 64.0}, issue);
  alerts.appCPUWindow = Lenient::clamped(j, "appCPUWindow", 600.0, {60, 3600}, issue);
  alerts.decodeIssues = issue;
}

}  // namespace kelvane
