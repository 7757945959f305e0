#pragma once
// RunningApp: one running application and the kind of presence it has
// (Dock application, accessory or background agent).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Tells how an application shows itself; stored as its text.
enum class AppPolicy {
  regular,     // A Dock application with a user interface.
  accessory,   // A user interface without a Dock presence.
  background,  // No user interface.
};

// Returns the stored text of `policy` ("regular", "accessory", "background").
std::string_view rawValue(AppPolicy policy);
// Reads a stored text; nullopt for any other text (the case must match).
[[nodiscard]] std::optional<AppPolicy> appPolicyFromRaw(std::string_view text);

// JSON coding as the stored text; from_json throws nlohmann::json::exception
// for anything but one of the three texts.
void to_json(nlohmann::json& j, AppPolicy policy);
void from_json(const nlohmann::json& j, AppPolicy& policy);

// Describes one running application.
struct RunningApp {
  int32_t pid = 0;
  std::optional<std::string> bundleID;  // Absent for programs without a bundle.
  std::string name;
  std::optional<std::string> bundlePath;
  AppPolicy policy = AppPolicy::regular;
  bool operator==(const RunningApp&) const = default;
};

// JSON coding; optional fields are omitted when absent. from_json throws
// nlohmann::json::exception when a required key is missing or mistyped.
void to_json(nlohmann::json& j, const RunningApp& app);
void from_json(const nlohmann::json& j, RunningApp& app);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::RunningApp> {
  size_t operator()(const kelvane::RunningApp& app) const noexcept;
};
