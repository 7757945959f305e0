#pragma once
// Memory: what sweeps remember across runs and restarts (stored as
// "history.json"): the targets acted on before, consecutive failures per item,
// processes stopped recently and those that came back, and when each disk rule
// was last cleaned. A target that fails three runs in a row is left alone.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/actions/action.h"
#include "core/model/snapshot.h"
#include "core/store/records.h"
#include "core/support/date.h"

namespace kelvane {

struct Memory {
  // Failed runs after which an item is left alone.
  static constexpr int64_t kFailureLimit = 3;
  // A stopped process that starts again within this many seconds is respawning.
  static constexpr double kRespawnWindow = 300;

  std::set<std::string> known;                        // identity() of targets acted on.
  std::map<std::string, int64_t> failures;            // itemKey() to consecutive failed runs.
  std::map<std::string, std::string> failureTargets;  // itemKey() to the target to show.
  std::map<std::string, Date> kills;                  // Executable path to when a sweep stopped it.
  std::set<std::string> respawning;                   // Executable paths that came back.
  std::map<std::string, Date> cleaned;                // Disk rule text to its last full cleanup.
  bool operator==(const Memory&) const = default;

  // Returns the kind's text, ":", then the path, or the target when there is no
  // path ("stopProcess:/usr/bin/node"). The safety check knows targets by it.
  static std::string identity(const Action& action);
  // Returns identity(), ":" and what tells one item of that kind from another:
  // the window ID (0 when absent), the process ID, the tab's key (the target
  // without a tab), the browser window's first tab key, or the disk rule text
  // ("picked" for picked files).
  static std::string itemKey(const Action& action);

  // Learns from one run: "done" makes its item known and clears its failures
  // (and dates a complete disk cleanup or a stopped process); "needs you…" and
  // "failed…" count one failure per item; anything else changes nothing.
  void record(const std::vector<ActionResult>& results, Date at);
  // Tells whether the action is vetoed: its item failed kFailureLimit runs or
  // more, or it stops a process whose executable keeps coming back.
  bool blocks(const Action& action) const;
  // Learns from a snapshot which stopped processes came back: a process with a
  // remembered path, started after it was stopped, marks the path respawning.
  // Stops older than kRespawnWindow seconds are forgotten.
  void observe(const Snapshot& snapshot);
  // Drops the failures of every item whose key is not in `keys`.
  void forget(const std::unordered_set<std::string>& keys);
};

// JSON with the field names as keys. Reading takes every key as optional (an
// absent one is empty) but fails the whole record on a mistyped value.
void to_json(nlohmann::json& j, const Memory& memory);
void from_json(const nlohmann::json& j, Memory& memory);

}  // namespace kelvane
