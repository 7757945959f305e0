#pragma once
// `kelvane status`: what the core sees in the support folder, without writing.
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/config/config.h"
#include "core/store/store.h"

namespace kelvane::cli {

// The dotted names of the settings that reading `original` repaired: keys whose
// stored value differs from what the lenient reader made of it, and a missing
// "learningUntil". Empty when nothing was repaired.
std::vector<std::string> repairedKeys(const nlohmann::json& original, const Config& config);

// Prints the support folder, the configuration as the lenient reader sees it,
// the runs of the last day and the closed tabs of the last 30 days. Reads only.
void printStatus(const Store& store, Date now, std::ostream& out);

}  // namespace kelvane::cli
