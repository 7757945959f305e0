#pragma once
// DiskRule: the cleanup rules of the disk sweep, in the order they are scanned,
// planned and shown. DiskRules holds what each rule says about itself.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

enum class DiskRule {
  caches,
  logs,
  derivedData,
  packageCaches,
  docker,
  downloads,
  trash,
  simulators,
  builds,
  libraries,
};

namespace DiskRules {

// Lists every rule once, in scan and display order.
inline constexpr std::array<DiskRule, 10> allCases = {
    DiskRule::caches, DiskRule::logs,      DiskRule::derivedData, DiskRule::packageCaches,
    DiskRule::docker, DiskRule::downloads, DiskRule::trash,       DiskRule::simulators,
    DiskRule::builds, DiskRule::libraries,
};

// Returns the rule's stored text ("derivedData"); an out-of-range value gives "".
std::string_view rawValue(DiskRule rule);
// Returns the rule whose stored text is exactly `text`; nullopt for any other text.
[[nodiscard]] std::optional<DiskRule> fromRawValue(std::string_view text);
// Returns the rule's name as shown to the user ("Xcode DerivedData").
std::string_view title(DiskRule rule);
// Returns the one-line description of what the rule cleans.
std::string_view detail(DiskRule rule);
// Tells whether the rule runs only in the weekly slot (simulators, builds, libraries).
bool weekly(DiskRule rule);

}  // namespace DiskRules

// Codes a rule as its stored text. from_json throws nlohmann::json::exception for
// anything but one of the ten texts, so the record holding it fails.
void to_json(nlohmann::json& j, DiskRule rule);
void from_json(const nlohmann::json& j, DiskRule& rule);

}  // namespace kelvane
