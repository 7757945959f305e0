#pragma once
// `kelvane tabs`: the tabs sweeps closed in the last 30 days, newest first and
// kept together by window; searching them, opening them again in the running
// browser, and forgetting them. Works on the support folder's closed-tab log.
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/store/records.h"
#include "core/store/store.h"
#include "core/support/date.h"
#include "core/support/uuid.h"

namespace kelvane::cli {

// Tabs closed together: one browser window's worth, or a tab on its own.
struct ClosedTabGroup {
  std::optional<Uuid> group;    // Absent for a tab logged without one.
  std::vector<ClosedTab> tabs;  // In the order they were logged.
  bool operator==(const ClosedTabGroup&) const = default;
};

// Groups the entries closed at or after `now` minus 30 days, newest group
// first (by its newest tab); entries of one group stay together wherever they
// are in the log.
std::vector<ClosedTabGroup> closedTabGroups(const std::vector<ClosedTab>& entries, Date now);

// Keeps the tabs whose title or address holds `query`, ignoring case and
// accents as the user's language compares text; groups left empty go. An empty
// query keeps everything.
std::vector<ClosedTabGroup> searchClosedTabs(std::vector<ClosedTabGroup> groups,
                                             std::string_view query);

// Prints each group under a line with its time, browser and group ID, each tab
// with its ID, title, profile and address. Text that is not valid UTF-8 or
// holds control characters is shown with U+FFFD and "?".
void printClosedTabs(const std::vector<ClosedTabGroup>& groups, std::ostream& out);
// Returns the groups for --json: [{"group": ID, "tabs": [ClosedTab…]}], "group"
// absent for a tab without one.
nlohmann::json closedTabsJson(const std::vector<ClosedTabGroup>& groups);

// Returns the entries `id` names: the one with that ID, or all of the group with
// that ID, in log order. Empty when it names none or is no UUID.
std::vector<ClosedTab> namedClosedTabs(const std::vector<ClosedTab>& entries, std::string_view id);

// Rewrites closed-tabs.jsonl without the entries with these IDs. The one way
// closed tabs are forgotten, so that it can go through the agent when it runs.
StoreResult forgetClosedTabs(const Store& store, const std::set<Uuid>& ids);

}  // namespace kelvane::cli
