#pragma once
// UsageAlerts: when an application's CPU use is worth telling the user about.
#include <array>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Holds the settings of CPU usage alerts.
struct UsageAlerts {
  bool on = true;                  // Alerts enabled.
  std::vector<std::string> never;  // Applications never alerted about.
  double appCPUCores = 2.0;        // Cores of CPU an application must use to alert.
  double appCPUWindow = 600;       // Seconds it must keep that up.
  bool decodeIssues = false;       // Set while reading when anything was repaired.
  bool operator==(const UsageAlerts&) const = default;

  // Picker steps for appCPUCores and appCPUWindow.
  static constexpr std::array<double, 4> coreSteps{1, 2, 4, 8};
  static constexpr std::array<double, 4> windowSteps{300, 600, 900, 1800};

  // Labels a core count: "1 core", "2 cores", "0.5 cores" (whole counts without
  // a fraction, others in their shortest decimal form).
  static std::string coresLabel(double cores);
};

// Writes on, never, appCPUCores and appCPUWindow (never decodeIssues).
void to_json(nlohmann::json& j, const UsageAlerts& alerts);
// Reads leniently and never throws: missing keys give defaults, damaged ones
// defaults plus decodeIssues; appCPUCores is clamped to 0.5 ... 64 and
// appCPUWindow to 60 ... 3600, with decodeIssues when that changed them. A
// value that is not an object gives the defaults plus decodeIssues.
void from_json(const nlohmann::json& j, UsageAlerts& alerts);

}  // namespace kelvane
