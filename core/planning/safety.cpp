#include "core/planning/safety.h"

#include <unordered_set>
#include <utility>

namespace kelvane::Safety {
namespace {

constexpr size_t kMaxUnfamiliar = 20;

// Held only when something would close and it is more than half of what is open.
std::optional<std::string> share(size_t count, size_t total, const char* what) {
  if (count == 0 || static_cast<double>(count) <= static_cast<double>(total) * 0.5)
    return std::nullopt;
  return "would close " + std::to_string(count) + " of " + std::to_string(total) + " open " + what;
}

std::optional<std::string> windowShare(const std::vector<Action>& actions,
                                       const std::vector<WindowInfo>& windows) {
  size_t count = 0;
  std::unordered_set<int32_t> quitting;
  for (const Action& action : actions) {
    if (action.kind == ActionKind::closeWindow) ++count;
    if (action.kind == ActionKind::quitApp) quitting.insert(action.pid);
  }
  size_t total = 0;
  for (const WindowInfo& window : windows) {
    if (!window.axSeen) continue;
    ++total;
    if (quitting.contains(window.pid)) ++count;
  }
  return share(count, total, "windows");
}

std::optional<std::string> browserWindowShare(const std::vector<Action>& actions,
                                              const std::vector<BrowserTab>& tabs) {
  std::set<std::pair<std::string, int64_t>> open;
  for (const BrowserTab& tab : tabs) open.emplace(tab.browser, tab.windowID);
  size_t count = 0;
  for (const Action& action : actions)
    if (action.kind == ActionKind::closeBrowserWindow) ++count;
  return share(count, open.size(), "browser windows");
}

std::optional<std::string> tabShare(const std::vector<Action>& actions,
                                    const std::vector<BrowserTab>& tabs) {
  size_t count = 0;
  for (const Action& action : actions) {
    if (action.kind == ActionKind::closeTab) {
      ++count;
    } else if (action.windowTabs) {
      count += action.windowTabs->size();
    }
  }
  return share(count, tabs.size(), "tabs");
}

}  // namespace

std::string actionKey(const Action& action) {
  return std::string(rawValue(action.kind)) + ":" + (action.path ? *action.path : action.target);
}

std::optional<std::string> holdReason(const std::vector<Action>& actions,
                                      const std::vector<WindowInfo>& windows,
                                      const std::vector<BrowserTab>& tabs,
                                      const std::set<std::string>& known) {
  if (auto reason = windowShare(actions, windows)) return reason;
  if (auto reason = browserWindowShare(actions, tabs)) return reason;
  if (auto reason = tabShare(actions, tabs)) return reason;
  size_t unfamiliar = 0;
  for (const Action& action : actions)
    if (!known.contains(actionKey(action))) ++unfamiliar;
  if (unfamiliar > kMaxUnfamiliar)
    return std::to_string(unfamiliar) + " items Kelvane has never acted on";
  return std::nullopt;
}

}  // namespace kelvane::Safety
