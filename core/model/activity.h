#pragma once
// Activity: the memory that turns successive snapshots into idle clocks (when
// each window was last focused, each application last active or last seen with
// windows, each server last connected to, each tab last viewed) and keeps a
// short history of cumulative CPU samples per process. FocusLog carries the
// focus changes the application saw between two snapshots.
//
// How tabs are credited:
// - The browsers "in use" are the frontmost application's and those of every
//   application the focus log saw since the previous update.
// - A tab is in view when it is the active tab of its browser's front window
//   and that browser is in use; a tab in view is viewed at every update, so it
//   never ages.
// - `windowShown` maps a browser window ("browser:windowID") to the key of the
//   tab it showed. When a window shows another tab than before, its new active
//   tab counts as viewed (the user switched to it).
// - A tab that was in view at the previous update counts as viewed at this one
//   even when it is no longer active or in front: it was left somewhere in
//   between, and crediting it up to now keeps on the safe side.
// - A tab seen for the first time counts as viewed then, so it ages from there.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/model/proc.h"
#include "core/model/snapshot.h"
#include "core/support/date.h"

namespace kelvane {

// One reading of a process's cumulative CPU time.
struct CPUSample {
  Date at;         // When the snapshot was taken.
  double cpu = 0;  // Cumulative CPU seconds at that time.
  bool operator==(const CPUSample&) const = default;
};

// JSON coding with the keys "at" and "cpu"; from_json throws
// nlohmann::json::exception when either is missing or mistyped.
void to_json(nlohmann::json& j, const CPUSample& sample);
void from_json(const nlohmann::json& j, CPUSample& sample);

// Focus changes noted between two ticks: the last time each window and each
// application came to the front.
struct FocusLog {
  std::map<uint32_t, Date> windows;
  std::map<int32_t, Date> apps;
  bool operator==(const FocusLog&) const = default;

  // Records that application `pid` (and `window`, when given) had the focus at `at`.
  void note(int32_t pid, std::optional<uint32_t> window, Date at);
};

// Window clocks stay ordered: they are few, and the Spaces rows take them as
// they are. Process and tab clocks and histories are looked up on every tick
// for thousands of entries, so they are hash maps whose order means nothing.
using WindowClocks = std::map<uint32_t, Date>;
using ProcessClocks = std::unordered_map<int32_t, Date>;
using TabClocks = std::unordered_map<std::string, Date>;
// One process's samples in time order, oldest first. A double-ended queue: it
// grows at the back and is trimmed at the front on every tick.
using CPUHistory = std::deque<CPUSample>;

using CPUHistories = std::unordered_map<int32_t, CPUHistory>;

struct Activity {
  // Gaps between snapshots longer than this are not idle time (sleep, a closed lid).
  static constexpr double kMaxGap = 300;

  WindowClocks windowFocused;       // Window ID to when it was last focused.
  ProcessClocks appActive;          // Application process to when it was last in front.
  ProcessClocks appNoWindowsSince;  // Regular applications without windows, since when.
  ProcessClocks connSeen;           // Listening processes to their last connection.
  // Samples per process in time order, oldest first; the queries below rely on that order.
  CPUHistories cpu;
  std::optional<Date> boot;                    // Boot time of the snapshots folded in.
  TabClocks tabViewed;                         // Tab key to when it was last viewed.
  std::unordered_set<std::string> tabsInView;  // Tab keys in view at the last update.
  std::unordered_map<std::string, std::string> windowShown;  // "browser:windowID" to a tab key.
  std::optional<Date> lastSample;                            // `at` of the last snapshot folded in.
  std::optional<int32_t> session;  // Login session of the snapshots folded in.
  bool operator==(const Activity&) const = default;

  // Folds `snapshot` in and returns the new record; clocks of windows, apps,
  // processes and tabs that are gone are dropped. A new boot time or session
  // starts from empty clocks; a gap above kMaxGap shifts the clocks by the gap
  // instead of letting them age. Keeps `horizon` seconds of CPU history (plus
  // one older sample); a CPU counter or a clock that went backwards starts a
  // process's history again. Boot times are compared to the whole second, the
  // precision they are stored with.
  [[nodiscard]] Activity updated(const Snapshot& snapshot, const FocusLog& focus,
                                 double horizon) const&;
  // As above, reusing this record's storage (the CPU histories are moved, not copied).
  [[nodiscard]] Activity updated(const Snapshot& snapshot, const FocusLog& focus,
                                 double horizon) &&;

  // Returns the record with its clocks moved forward by `gap` seconds, as if the
  // gap had not happened: window and tab clocks all move; process clocks move
  // only for processes of `procs` started at or before the gap began (the
  // others are new and lose their entries); CPU histories are cleared.
  [[nodiscard]] Activity paused(double gap, const std::vector<Proc>& procs) const;

  // Returns the CPU seconds process `pid` used in the last `window` seconds,
  // scaled from the newest sample and the newest one at or before now - window.
  // nullopt when there is no such sample or no time passed between the two.
  [[nodiscard]] std::optional<double> cpuUsed(int32_t pid, double window, Date now) const;
  // As above over one process's history, for callers that hold it already.
  [[nodiscard]] static std::optional<double> cpuUsed(const CPUHistory& samples, double window,
                                                     Date now);
  // Returns the CPU seconds measured between the oldest sample inside the last
  // `window` seconds and the newest one, without scaling. nullopt when there is
  // no sample inside the window older than the newest.
  [[nodiscard]] std::optional<double> cpuUsedAtLeast(int32_t pid, double window, Date now) const;
};

// Writes every field with its name as key; absent optionals are omitted, maps
// keyed by IDs are objects keyed by the ID's decimal text.
void to_json(nlohmann::json& j, const Activity& activity);
// Reads leniently and never throws: every key may be absent (an empty map or
// set, an absent date or session); a damaged key reads as absent and a damaged
// entry inside a map is skipped. A value that is not an object gives a fresh record.
void from_json(const nlohmann::json& j, Activity& activity);

}  // namespace kelvane
