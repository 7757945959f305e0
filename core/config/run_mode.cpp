#include "core/config/run_mode.h"

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

constexpr std::array<std::pair<RunMode, std::string_view>, 5> kModes{{
    {RunMode::live, "live"},
    {RunMode::learning, "learning"},
    {RunMode::cancelled, "cancelled"},
    {RunMode::paused, "paused"},
    {RunMode::held, "held"},
}};

}  // namespace

std::string_view rawValue(RunMode mode) {
  for (const auto& [value, text] : kModes)
    if (value == mode) return text;
  return "live";  // Unreachable for a valid enumerator.
}

std::optional<RunMode> runModeFromRaw(std::string_view text) {
  for (const auto& [value, raw] : kModes)
    if (raw == text) return value;
  return std::nullopt;
}

void to_json(nlohmann::json& j, RunMode mode) { j = rawValue(mode); }

void from_json(const nlohmann::json& j, RunMode& mode) {
  const auto parsed =
      j.is_string() ? runModeFromRaw(j.get_ref<const std::string&>()) : std::nullopt;
  if (!parsed) throw nlohmann::json::type_error::create(302, "unknown run mode", &j);
  mode = *parsed;
}

}  // namespace kelvane
