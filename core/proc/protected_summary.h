#pragma once
// ProtectedSummary: the processes the sweep will never touch, counted by
// reason with a few example names, so the user can see what is left alone.
#include <cstdint>
#include <string>
#include <vector>

#include "core/model/snapshot.h"

namespace kelvane {

// One reason for protection with its processes.
struct ProtectedRow {
  // Why processes are protected, in display order.
  enum class Kind { otherUsers, system, core, helpers, inUse, unknown };

  Kind kind = Kind::core;
  int64_t count = 0;                  // Processes of this kind.
  std::vector<std::string> examples;  // At most three distinct names, largest memory first.
  bool operator==(const ProtectedRow&) const = default;
};

namespace ProtectedSummary {

// Returns one row per kind that has processes, in display order; the core and
// in-use rows are always present, with a count of 0 when empty. Processes the
// guard lets through, or keeps for another reason, are not counted.
std::vector<ProtectedRow> rows(const Snapshot& snapshot);

}  // namespace ProtectedSummary

}  // namespace kelvane
