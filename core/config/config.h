#pragma once
// Config: every user setting of the sweep engine and its companions, stored as
// one JSON object and read back leniently: a missing or damaged key falls back
// to its default instead of failing, and decodeIssues records any repair.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/config/allowlist.h"
#include "core/config/limits.h"
#include "core/config/usage_alerts.h"
#include "core/support/date.h"

namespace kelvane {

// Holds every user setting; `Config::fresh` gives a first start's.
struct Config {
  // The browsers swept when the user has not chosen.
  static constexpr std::array<std::string_view, 2> defaultBrowsers{"com.google.Chrome",
                                                                   "com.google.Chrome.canary"};
  // Monthly data budgets offered for speedTestBudgetGB, in gigabytes.
  static constexpr std::array<int64_t, 6> speedBudgetChoices{5, 10, 20, 50, 100, 200};
  // Hosts of the operating system's own services, never intercepted by the
  // inspecting proxy so that those services keep working behind it.
  static constexpr std::array<std::string_view, 6> defaultNeverHosts{
      "*.apple.com",    "*.icloud.com",    "*.icloud-content.com",
      "*.mzstatic.com", "*.cdn-apple.com", "*.apple-cloudkit.com"};

  int64_t scheduleMinutes = 15;  // Minutes between sweeps, 1 ... 1440.
  Limits limits;
  Allowlist allowlist;
  UsageAlerts usageAlerts;
  std::vector<std::string> browsers{defaultBrowsers.begin(), defaultBrowsers.end()};
  std::vector<std::string> diskOff;                     // Disk rules switched off.
  std::vector<std::string> projectRoots{"~/Projects"};  // "~" is the home folder.
  std::vector<std::string> ignoredFiles;                // Paths the disk cleanup leaves alone.
  Date learningUntil;                                   // Sweeps only observe until then.
  bool speedTestAuto = true;
  int64_t speedTestBudgetGB = 200;         // Monthly budget for automatic speed tests, 1 ... 10000.
  std::vector<std::string> sslProxyHosts;  // Host patterns the proxy intercepts.
  std::vector<std::string> sslNeverHosts{defaultNeverHosts.begin(), defaultNeverHosts.end()};
  bool decodeIssues = false;  // Reading had to repair or replace something; never written.

  // Compares every setting; decodeIssues takes no part.
  bool operator==(const Config& other) const;

  // Returns the configuration of a first start: every default, learning for a day from `now`.
  static Config fresh(Date now);
  // Reads a stored configuration leniently (see the file comment); nullopt
  // only when `j` is not an object. `now` dates a missing learningUntil.
  [[nodiscard]] static std::optional<Config> fromJSON(const nlohmann::json& j, Date now);
  // As above from text; nullopt also when `text` is not JSON. Text is passed as
  // a std::string_view: a std::string or C string would fit both overloads.
  [[nodiscard]] static std::optional<Config> fromJSON(std::string_view text, Date now);
};

// Writes the thirteen settings, nested records with their own keys; never decodeIssues.
void to_json(nlohmann::json& j, const Config& config);

}  // namespace kelvane
