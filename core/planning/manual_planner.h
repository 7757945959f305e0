#pragma once
// ManualPlanner: turns the user's own picks (a window, a tab, an application,
// a process, a disk rule) into actions, says in a short text why a pick cannot
// be acted on, and says what keeping a target adds to the allowlist. Pure.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/config/config.h"
#include "core/config/keep_kind.h"
#include "core/disk_records/disk_records.h"
#include "core/model/snapshot.h"
#include "core/actions/action.h"
#include "core/actions/pick.h"

namespace kelvane::ManualPlanner {

// A pick that cannot be acted on, and why ("gone", "no Accessibility", ...).
struct Refused {
  Pick pick;
  std::string reason;
  bool operator==(const Refused&) const = default;
};

// The actions made from picks, in pick order, and the picks refused, in order.
struct Picked {
  std::vector<Action> actions;
  std::vector<Refused> refused;
  bool operator==(const Picked&) const = default;
};

// What keeping a target adds to the allowlist.
struct KeepEntry {
  KeepKind kind = KeepKind::app;
  std::string value;
  bool operator==(const KeepEntry&) const = default;
};

// Makes the actions of `picks` (reason "you picked it"), each target once.
// Tabs that make up the whole of a browser window become one action closing
// the window. With `quitNow` the applications picked quit at once and the
// allowlist and the frontmost-application check do not refuse them.
[[nodiscard]] Picked actions(const std::vector<Pick>& picks, const Snapshot& snapshot,
                             const Config& config, const std::optional<DiskScan>& scan,
                             bool quitNow);

// Returns why `pick` cannot be acted on (without quitNow), or nothing when it can.
[[nodiscard]] std::optional<std::string> refusal(const Pick& pick, const Snapshot& snapshot,
                                                 const Config& config,
                                                 const std::optional<DiskScan>& scan);

// Returns the refusal of each pick, in order, against one snapshot.
[[nodiscard]] std::vector<std::optional<std::string>> refusalsOf(
    const std::vector<Pick>& picks, const Snapshot& snapshot, const Config& config,
    const std::optional<DiskScan>& scan);

// Returns the refusals of many picks at once under the caller's keys; picks
// that may be acted on are absent. Of repeated keys the first counts.
template <class Key>
[[nodiscard]] std::map<Key, std::string> refusals(const std::vector<std::pair<Key, Pick>>& items,
                                                  const Snapshot& snapshot, const Config& config,
                                                  const std::optional<DiskScan>& scan) {
  std::vector<Pick> picks;
  picks.reserve(items.size());
  for (const auto& item : items) picks.push_back(item.second);
  const auto reasons = refusalsOf(picks, snapshot, config, scan);
  std::map<Key, std::string> out;
  for (size_t i = 0; i < items.size(); ++i)
    if (reasons[i]) out.emplace(items[i].first, *reasons[i]);
  return out;
}

// Returns the allowlist entry that keeps the picked target: the application
// (bundle identifier, else name) of a window or application, the host of a
// tab, a process's executable path (its name when the path is empty). Nothing
// for browser windows, disk rules, targets that are gone and addresses without a host.
[[nodiscard]] std::optional<KeepEntry> keepEntry(const Pick& pick, const Snapshot& snapshot);

}  // namespace kelvane::ManualPlanner
