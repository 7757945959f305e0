#pragma once
// `kelvane pause [DURATION]`, `resume`, `cancel [--undo]` and `learning end`:
// the schedule of the sweeps.
#include <optional>
#include <string_view>

namespace kelvane::cli {

// Reads a duration as people write it: whole numbers with units s, m, h, d or
// w, one after another ("90m", "1h30m", "2d"). nullopt for anything else,
// for a number without a unit, and for nothing at all.
[[nodiscard]] std::optional<double> parseDuration(std::string_view text);

}  // namespace kelvane::cli
