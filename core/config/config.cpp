#include "core/config/config.h"

#include <algorithm>
#include <tuple>

#include <nlohmann/json.hpp>

#include "core/config/string_or_nil.h"
#include "core/support/json_coding.h"

namespace kelvane {
namespace {

constexpr double kLearningPeriod = 86400;

template <size_t N>
std::vector<std::string> strings(const std::array<std::string_view, N>& list) {
  return {list.begin(), list.end()};
}

// Reads a nested record with its own lenient reader and folds its issues into ours.
template <class Record>
Record nested(const nlohmann::json& j, const char* key, bool& issue) {
  const auto it = j.find(key);
  if (it == j.end()) return Record();
  Record record = it->get<Record>();  // The lenient readers never throw.
  issue = issue || record.decodeIssues;
  record.decodeIssues = false;
  return record;
}

// A missing or unreadable end of learning both start a fresh learning day.
Date learningEnd(const nlohmann::json& j, Date now, bool& issue) {
  const auto it = j.find("learningUntil");
  const auto date = it == j.end() ? std::nullopt : decodeJsonValue<Date>(*it);
  if (date) return *date;
  issue = true;
  return now + kLearningPeriod;
}

auto settings(const Config& c) {
  return std::tie(c.scheduleMinutes, c.limits, c.allowlist, c.usageAlerts, c.browsers, c.diskOff,
                  c.projectRoots, c.ignoredFiles, c.learningUntil, c.speedTestAuto,
                  c.speedTestBudgetGB, c.sslProxyHosts, c.sslNeverHosts);
}

}  // namespace

bool Config::operator==(const Config& other) const { return settings(*this) == settings(other); }

Config Config::fresh(Date now) {
  Config config;
  config.learningUntil = now + kLearningPeriod;
  return config;
}

std::optional<Config> Config::fromJSON(const nlohmann::json& j, Date now) {
  if (!j.is_object()) return std::nullopt;
  Config c;
  bool issue = false;
  c.scheduleMinutes = Lenient::clamped<int64_t>(j, "scheduleMinutes", 15, {1, 1440}, issue);
  c.limits = nested<Limits>(j, "limits", issue);
  c.allowlist = nested<Allowlist>(j, "allowlist", issue);
  c.usageAlerts = nested<UsageAlerts>(j, "usageAlerts", issue);
  c.browsers = readTextList(j, "browsers", strings(defaultBrowsers), {}, issue);
  c.diskOff = readTextList(j, "diskOff", {}, {}, issue);
  c.projectRoots = readTextList(j, "projectRoots", {"~/Projects"}, {}, issue);
  c.ignoredFiles = readTextList(j, "ignoredFiles", {}, {}, issue);
  c.learningUntil = learningEnd(j, now, issue);
  c.speedTestAuto = Lenient::read<bool>(j, "speedTestAuto", true, issue);
  c.speedTestBudgetGB = Lenient::clamped<int64_t>(j, "speedTestBudgetGB", 200, {1, 10000}, issue);
  c.sslProxyHosts = readTextList(j, "sslProxyHosts", {}, {}, issue);
  c.sslNeverHosts = readTextList(j, "sslNeverHosts", strings(defaultNeverHosts),
                                 strings(defaultNeverHosts), issue);
  c.decodeIssues = issue;
  return c;
}

std::optional<Config> Config::fromJSON(std::string_view text, Date now) {
  const auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return std::nullopt;
  return fromJSON(j, now);
}

void to_json(nlohmann::json& j, const Config& c) {
  j = {{"scheduleMinutes", c.scheduleMinutes},
       {"limits", c.limits},
       {"allowlist", c.allowlist},
       {"usageAlerts", c.usageAlerts},
       {"browsers", c.browsers},
       {"diskOff", c.diskOff},
       {"projectRoots", c.projectRoots},
       {"ignoredFiles", c.ignoredFiles},
       {"learningUntil", c.learningUntil},
       {"speedTestAuto", c.speedTestAuto},
       {"speedTestBudgetGB", c.speedTestBudgetGB},
       {"sslProxyHosts", c.sslProxyHosts},
       {"sslNeverHosts", c.sslNeverHosts}};
}

}  // namespace kelvane
