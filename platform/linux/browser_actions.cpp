#include "platform/linux/browser_actions.h"

#include <algorithm>
#include <map>

namespace kelvane {
namespace {

using Refused = Unexpected<Outcome>;

// An action may take three browser time-outs: connecting and looking at the
// tabs, closing them, and waiting for them to go.
constexpr double kActionTimeouts = 3;

BrowserConnection::Clock::time_point deadlineAfter(double seconds) {
  return BrowserConnection::Clock::now() +
         std::chrono::duration_cast<BrowserConnection::Clock::duration>(
             std::chrono::duration<double>(seconds));
}

const TabTarget* findTab(const BrowserTabs& read, const std::string& id) {
  const auto it = std::find_if(read.tabs.begin(), read.tabs.end(),
                               [&](const TabTarget& t) { return t.id == id; });
  return it == read.tabs.end() ? nullptr : &*it;
}

// Why the tabs now in the window may not all be closed, given the tabs seen in
// it when the close was planned; nullopt when they may.
std::optional<std::string> windowChanged(const std::vector<const TabTarget*>& now,
                                         const std::vector<BrowserTab>& seen) {
  std::map<std::string, std::string> seenURLs;
  for (const BrowserTab& tab : seen)
    if (tab.tabID) seenURLs.emplace(*tab.tabID, tab.url);
  for (const TabTarget* tab : now) {
    const auto it = seenURLs.find(tab->id);
    if (it == seenURLs.end()) return "the window has a tab that was not seen";
    if (it->second != tab->url) return "a tab of the window shows another address now";
  }
  return std::nullopt;
}

}  // namespace

Result<BrowserConnection, Outcome> BrowserActions::connect(int32_t pid) const {
  const auto procs = procs_();
  const auto browsers = runningBrowsers(procs, access_);
  const auto browser = std::find_if(browsers.begin(), browsers.end(),
                                    [&](const RunningBrowser& b) { return b.proc.pid == pid; });
  if (browser == browsers.end()) return Refused(Outcome::skipped("the browser is not running"));
  auto connection =
      BrowserConnection::open(*browser, access_, deadlineAfter(access_.timeout * kActionTimeouts));
  if (!connection)
    return Refused(Outcome::failed("cannot reach the browser: " + connection.error()));
  return std::move(connection.value());
}

Outcome BrowserActions::closeTab(const Action& action) const {
  if (!action.tab || !action.tab->tabID) return Outcome::failed("the tab has no ID");
  auto connection = connect(action.pid);
  if (!connection) return connection.error();
  const auto read = connection.value().tabs(/*front=*/false);
  if (!read) return Outcome::failed("cannot read the tabs: " + read.error());
  const TabTarget* tab = findTab(*read, *action.tab->tabID);
  if (!tab) return Outcome::skipped("the tab is already closed");
  if (tab->url != action.tab->url) return Outcome::skipped("the tab shows another address now");
  if (tab->active && !action.closeShown.value_or(false))
    return Outcome::skipped("the tab is the one its window shows now");
  const auto closed = connection.value().close({tab->id});
  return closed ? Outcome::done() : Outcome::failed(closed.error());
}

Outcome BrowserActions::closeBrowserWindow(const Action& action) const {
  if (!action.windowTabs || action.windowTabs->empty())
    return Outcome::failed("the window has no tabs");
  const int64_t windowID = action.windowTabs->front().windowID;
  auto connection = connect(action.pid);
  if (!connection) return connection.error();
  const auto read = connection.value().tabs(/*front=*/false);
  if (!read) return Outcome::failed("cannot read the tabs: " + read.error());
  std::vector<const TabTarget*> now;
  for (const TabTarget& tab : read->tabs)
    if (tab.windowID == windowID) now.push_back(&tab);
  if (now.empty()) return Outcome::skipped("the window is already closed");
  if (const auto changed = windowChanged(now, *action.windowTabs))
    return Outcome::skipped(*changed);
  std::vector<std::string> ids;
  for (const TabTarget* tab : now) ids.push_back(tab->id);
  const auto closed = connection.value().close(ids);
  return closed ? Outcome::done() : Outcome::failed(closed.error());
}

std::vector<std::optional<std::string>> BrowserActions::reopen(const std::string& bundleID,
                                                               const std::vector<TabToOpen>& tabs,
                                                               bool newWindow,
                                                               std::optional<int32_t> pid) const {
  std::vector<std::optional<std::string>> out(tabs.size());
  std::optional<BrowserConnection> connection;
  std::string why = "no running browser has that identifier";
  for (const RunningBrowser& browser : runningBrowsers(procs_(), access_)) {
    if (browser.kind.bundleID != bundleID || (pid && browser.proc.pid != *pid)) continue;
    auto opened =
        BrowserConnection::open(browser, access_, deadlineAfter(access_.timeout * kActionTimeouts));
    if (opened) {
      connection.emplace(std::move(opened.value()));
      break;
    }
    why = "cannot reach the browser: " + opened.error();
  }
  if (!connection) {
    std::fill(out.begin(), out.end(), why);
    return out;
  }
  std::map<std::string, std::string> contextOf;  // Profile folder to browser context.
  if (std::any_of(tabs.begin(), tabs.end(), [](const TabToOpen& t) { return t.profile; }))
    if (const auto read = connection->tabs(/*front=*/false))
      for (const auto& [context, profile] : connection->profiles(*read, {}))
        if (!context.empty()) contextOf.emplace(profile.directory, context);
  bool windowOpened = !newWindow;
  for (size_t i = 0; i < tabs.size(); ++i) {
    if (!BrowserTab{.url = tabs[i].url}.restorable()) {
      out[i] = "not an address a tab can be opened again from";
      continue;
    }
    const auto context =
        tabs[i].profile ? contextOf.find(tabs[i].profile->directory) : contextOf.end();
    const auto opened =
        connection->openTab(tabs[i].url, !windowOpened, /*background=*/windowOpened && newWindow,
                            context == contextOf.end() ? std::string() : context->second);
    if (!opened) {
      out[i] = opened.error();
      continue;
    }
    windowOpened = true;
  }
  return out;
}

}  // namespace kelvane
