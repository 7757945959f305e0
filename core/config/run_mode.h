#pragma once
// RunMode: what a sweep run does (acts, only records, or nothing), as stored in
// run records.
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Tells what a run does; stored as its text.
enum class RunMode {
  live,       // The run acts.
  learning,   // The run only records what it would have done.
  cancelled,  // The user cancelled this slot; nothing is done.
  paused,     // Sweeping is paused; nothing is done.
  held,       // Held back for the user's confirmation.
};

// Returns the stored text of `mode`: "live", "learning", "cancelled", "paused", "held".
std::string_view rawValue(RunMode mode);
// Reads a stored text; nullopt for any other text (the case must match).
[[nodiscard]] std::optional<RunMode> runModeFromRaw(std::string_view text);

// JSON coding as the stored text; from_json throws nlohmann::json::exception
// for anything but one of the five texts.
void to_json(nlohmann::json& j, RunMode mode);
void from_json(const nlohmann::json& j, RunMode& mode);

}  // namespace kelvane
