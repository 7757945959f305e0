#pragma once
// BrowserActions: closing the tabs and browser windows a sweep planned, and
// opening closed tabs again, through the browsers' DevTools endpoints. The
// system actions of this machine hand their tab and browser-window calls here.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/actions/action.h"
#include "core/engine/outcome.h"
#include "core/model/proc.h"
#include "core/support/result.h"
#include "platform/linux/browser_connection.h"

namespace kelvane {

// A closed tab to open again.
struct TabToOpen {
  std::string url;
  std::optional<BrowserProfile> profile;  // Opened in that profile when it is open.
};

// Safe for concurrent calls: each call opens its own connection.
class BrowserActions final {
 public:
  // `procs` gives the user's processes as they are now (the latest snapshot's
  // or a fresh read); it is asked once per call.
  BrowserActions(BrowserAccess access, std::function<std::vector<Proc>()> procs)
      : access_(std::move(access)), procs_(std::move(procs)) {}

  // Closes the action's `tab` in the browser whose process is `pid`. "done"
  // once the tab is gone; "skipped: …" when it is already gone, shows another
  // address now or, unless `closeShown`, has become the tab its window shows;
  // "failed: …" when the browser cannot be reached or refuses.
  Outcome closeTab(const Action& action) const;

  // Closes the browser window of the action's `windowTabs` by closing its
  // tabs. "done" once they are all gone; "skipped: …" when the window is
  // already closed or holds a tab that was not seen, or one that shows another
  // address now (closing it would lose that tab); "failed: …" as closeTab.
  Outcome closeBrowserWindow(const Action& action) const;

  // Opens the addresses in the running browser with identifier `bundleID`
  // (the one whose process is `pid`, when given): the first in a new window
  // with `newWindow`, the others behind it in the same window. Only addresses a
  // tab can be restored from (web pages, files, blank pages) are opened.
  // Returns, per address, nothing on success or why it was not opened.
  std::vector<std::optional<std::string>> reopen(const std::string& bundleID,
                                                 const std::vector<TabToOpen>& tabs, bool newWindow,
                                                 std::optional<int32_t> pid = std::nullopt) const;

 private:
  // The connection to the browser whose process is `pid`, or the outcome to
  // give instead.
  Result<BrowserConnection, Outcome> connect(int32_t pid) const;

  BrowserAccess access_;
  std::function<std::vector<Proc>()> procs_;
};

}  // namespace kelvane
