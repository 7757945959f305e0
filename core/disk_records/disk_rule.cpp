#include "core/disk_records/disk_rule.h"

#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

struct RuleText {
  std::string_view raw;
  std::string_view title;
  std::string_view detail;
};

// Indexed by the enumerator's value; kept in the enumeration's order.
constexpr std::array<RuleText, 10> kTexts = {{
    {"caches", "App caches", "~/Library/Caches, except apps in use"},
    {"logs", "Logs and crash reports", "~/Library/Logs and DiagnosticReports, older than 7 days"},
    {"derivedData", "Xcode DerivedData",
     "~/Library/Developer/Xcode/DerivedData, untouched for 7 days"},
    {"packageCaches", "Package caches", "npm, pnpm, bun, pip, Homebrew, cargo"},
    {"docker", "Docker dangling images", "docker image prune"},
    {"downloads", "Old Downloads to Trash",
     "~/Downloads, added more than 30 days ago and untouched since"},
    {"trash", "Old Trash", "in the Trash longer than 30 days"},
    {"simulators", "Unavailable simulators", "xcrun simctl delete unavailable"},
    {"builds", "Stale project builds",
     "node_modules, .next, dist, build, target in projects untouched for 30 days"},
    {"libraries", "Stale libraries",
     "old nvm Node versions, rustup toolchains, Xcode device support"},
}};

const RuleText* textOf(DiskRule rule) {
  const auto index = static_cast<size_t>(rule);
  return index < kTexts.size() ? &kTexts[index] : nullptr;
}

}  // namespace

namespace DiskRules {

std::string_view rawValue(DiskRule rule) {
  const RuleText* text = textOf(rule);
  return text ? text->raw : std::string_view();
}

std::optional<DiskRule> fromRawValue(std::string_view text) {
  for (DiskRule rule : allCases)
    if (rawValue(rule) == text) return rule;
  return std::nullopt;
}

std::string_view title(DiskRule rule) {
  const RuleText* text = textOf(rule);
  return text ? text->title : std::string_view();
}

std::string_view detail(DiskRule rule) {
  const RuleText* text = textOf(rule);
  return text ? text->detail : std::string_view();
}

bool weekly(DiskRule rule) {
  return rule == DiskRule::simulators || rule == DiskRule::builds || rule == DiskRule::libraries;
}

}  // namespace DiskRules

void to_json(nlohmann::json& j, DiskRule rule) { j = std::string(DiskRules::rawValue(rule)); }

void from_json(const nlohmann::json& j, DiskRule& rule) {
  if (!j.is_string()) throw nlohmann::json::type_error::create(302, "disk rule must be text", &j);
  const auto parsed = DiskRules::fromRawValue(j.get_ref<const std::string&>());
  if (!parsed) throw nlohmann::json::type_error::create(302, "unknown disk rule", &j);
  rule = *parsed;
}

}  // namespace kelvane
