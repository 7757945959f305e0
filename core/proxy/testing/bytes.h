#pragma once
// The bytes of a text, as the proxy's records hold bodies.
#include <cstdint>
#include <string_view>
#include <vector>

namespace kelvane::testing {

inline std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

}  // namespace kelvane::testing
