#include "platform/linux/browser_source.h"

#include <algorithm>
#include <chrono>
#include <future>

#include "platform/linux/browser_profiles.h"
#include "platform/linux/browser_windows.h"

namespace kelvane {
namespace {

// One browser's part of the view, or nothing when its tabs cannot be read.
struct BrowserPart {
  std::vector<BrowserTab> tabs;
  std::map<uint32_t, BrowserWindow> browserWindowOf;
};

// The browser's windows, each named by the title of the tab it shows.
std::vector<BrowserWindow> browserWindows(const RunningBrowser& browser, const BrowserTabs& read) {
  std::vector<BrowserWindow> out;
  for (const auto& [id, frame] : read.windows) {
    const TabTarget* shown = nullptr;
    for (const TabTarget& tab : read.tabs)
      if (tab.windowID == id && (!shown || tab.active)) shown = &tab;
    out.push_back({browser.kind.bundleID, id, frame, shown ? shown->title : std::string()});
  }
  return out;
}

// The window the user saw last: the matched system window nearest the front
// of the stacking order, else the one the endpoint says showed a tab last.
std::optional<int64_t> frontWindow(const std::map<uint32_t, BrowserWindow>& matched,
                                   const std::vector<WindowInfo>& windows,
                                   std::optional<int64_t> lastShown) {
  for (const WindowInfo& w : windows)
    if (const auto it = matched.find(w.id); it != matched.end()) return it->second.windowID;
  return lastShown;
}

// Profile names from the titles of matched windows, by the context of the tab
// each window shows.
std::map<std::string, std::string> titleNames(const std::map<uint32_t, BrowserWindow>& matched,
                                              const std::vector<WindowInfo>& windows,
                                              const BrowserTabs& read) {
  std::map<std::string, std::string> out;
  for (const WindowInfo& w : windows) {
    const auto it = matched.find(w.id);
    if (it == matched.end()) continue;
    const auto name = BrowserProfiles::nameInTitle(w.title, it->second.name);
    const auto tab = std::find_if(read.tabs.begin(), read.tabs.end(), [&](const TabTarget& t) {
      return t.windowID == it->second.windowID;
    });
    if (name && tab != read.tabs.end()) out.emplace(tab->context, *name);
  }
  return out;
}

std::optional<BrowserPart> readBrowser(const RunningBrowser& browser, const BrowserAccess& access,
                                       const std::vector<WindowInfo>& windows) {
  const auto deadline = BrowserConnection::Clock::now() +
                        std::chrono::duration_cast<BrowserConnection::Clock::duration>(
                            std::chrono::duration<double>(access.timeout));
  auto connection = BrowserConnection::open(browser, access, deadline);
  if (!connection) return std::nullopt;
  auto read = connection.value().tabs(/*front=*/true);
  if (!read) return std::nullopt;
  BrowserPart part;
  part.browserWindowOf =
      BrowserWindows::match(browserWindows(browser, *read), windows, browser.proc.pid);
  const auto front = frontWindow(part.browserWindowOf, windows, read->frontWindow);
  const auto profiles =
      connection.value().profiles(*read, titleNames(part.browserWindowOf, windows, *read));
  for (const TabTarget& t : read->tabs) {
    const auto profile = profiles.find(t.context);
    part.tabs.push_back({.browser = browser.kind.bundleID,
                         .windowID = t.windowID,
                         .tabID = t.id,
                         .index = t.index,
                         .url = t.url,
                         .title = t.title,
                         .active = t.active,
                         .front = front == t.windowID,
                         .profile = profile == profiles.end()
                                        ? std::nullopt
                                        : std::optional<BrowserProfile>(profile->second)});
  }
  return part;
}

}  // namespace

BrowserView BrowserSource::read(const std::vector<Proc>& procs,
                                const std::vector<WindowInfo>& windows) const {
  const auto browsers = runningBrowsers(procs, access_);
  std::vector<std::future<std::optional<BrowserPart>>> parts;
  for (const RunningBrowser& browser : browsers)
    parts.push_back(std::async(std::launch::async | std::launch::deferred,
                               [&] { return readBrowser(browser, access_, windows); }));
  BrowserView view;
  for (size_t i = 0; i < parts.size(); ++i) {
    auto part = parts[i].get();
    if (!part) {
      const std::string& id = browsers[i].kind.bundleID;
      if (std::find(view.automationDenied.begin(), view.automationDenied.end(), id) ==
          view.automationDenied.end())
        view.automationDenied.push_back(id);
      continue;
    }
    std::move(part->tabs.begin(), part->tabs.end(), std::back_inserter(view.tabs));
    view.browserWindowOf.merge(part->browserWindowOf);
  }
  return view;
}

}  // namespace kelvane
