// Engine: the user's queue and skip marks, keeping targets, and the settings
// the disk cleanup and the closed-tab list offer.
#include <algorithm>
#include <unordered_set>

#include "core/engine/engine.h"
#include "core/support/url.h"

namespace kelvane {
namespace {

std::string browserWindowKey(const std::string& browser, int64_t windowID) {
  return browser + ":" + std::to_string(windowID);
}

// Every tab an action closes: its tab, or the tabs of its browser window.
std::vector<const BrowserTab*> tabsOf(const Action& action) {
  std::vector<const BrowserTab*> tabs;
  if (action.tab) tabs.push_back(&*action.tab);
  if (action.windowTabs)
    for (const BrowserTab& tab : *action.windowTabs) tabs.push_back(&tab);
  return tabs;
}

}  // namespace

void Engine::queue(const std::vector<Pick>& picks) {
  assertMain();
  observers_.change(EngineProperty::queued, queued_, [&](std::vector<Pick>& queued) {
    for (const Pick& pick : picks)
      if (std::find(queued.begin(), queued.end(), pick) == queued.end()) queued.push_back(pick);
  });
  if (snapshot_) replan(*snapshot_);
  const auto covered = covering(picks);
  observers_.change(EngineProperty::skipped, skipped_, [&](std::set<std::string>& ids) {
    for (const Action& action : covered)
      if (queuedIDs_.contains(action.id())) ids.erase(action.id());
  });
}

void Engine::unqueue(const std::vector<Pick>& picks) {
  assertMain();
  std::unordered_set<std::string> tabKeys;
  for (const Pick& pick : picks)
    if (const auto* tab = pick.as<Pick::Tab>()) tabKeys.insert(tab->tab.key());
  observers_.change(EngineProperty::queued, queued_, [&](std::vector<Pick>& queued) {
    std::erase_if(queued, [&](const Pick& queuedPick) {
      // The same tab may have moved since it was queued: its key still matches.
      const auto* tab = queuedPick.as<Pick::Tab>();
      return std::find(picks.begin(), picks.end(), queuedPick) != picks.end() ||
             (tab && tabKeys.contains(tab->tab.key()));
    });
  });
  if (snapshot_) replan(*snapshot_);
  // What the planner still proposes by itself is skipped in the next run.
  const auto covered = covering(picks);
  observers_.change(EngineProperty::skipped, skipped_, [&](std::set<std::string>& ids) {
    for (const Action& action : covered) ids.insert(action.id());
  });
}

std::vector<Action> Engine::covering(const std::vector<Pick>& picks) const {
  std::unordered_set<uint32_t> windows;
  std::unordered_set<std::string> tabKeys;
  std::unordered_set<std::string> browserWindows;
  for (const Pick& pick : picks) {
    if (const auto* window = pick.as<Pick::Window>()) {
      windows.insert(window->id);
      if (!snapshot_) continue;
      const auto matched = snapshot_->browserWindowOf.find(window->id);
      if (matched != snapshot_->browserWindowOf.end())
        browserWindows.insert(browserWindowKey(matched->second.browser, matched->second.windowID));
    } else if (const auto* tab = pick.as<Pick::Tab>()) {
      tabKeys.insert(tab->tab.key());
    }
  }
  std::vector<Action> covered;
  for (const Action& action : plan_) {
    const auto tabs = tabsOf(action);
    const bool byWindow = action.windowID && windows.contains(*action.windowID);
    const bool byTab = std::any_of(tabs.begin(), tabs.end(), [&](const BrowserTab* tab) {
      return tabKeys.contains(tab->key());
    });
    const bool byBrowserWindow =
        action.kind == ActionKind::closeBrowserWindow && !tabs.empty() &&
        browserWindows.contains(browserWindowKey(tabs.front()->browser, tabs.front()->windowID));
    if (byWindow || byTab || byBrowserWindow) covered.push_back(action);
  }
  return covered;
}

std::vector<Action> Engine::withQueue(std::vector<Action> actions, const Snapshot& snapshot) {
  if (queued_.empty()) {
    observers_.assign(EngineProperty::queuedIDs, queuedIDs_, std::set<std::string>());
    return actions;
  }
  // Picks refused now (gone, not allowed) simply add nothing.
  auto picked = ManualPlanner::actions(queued_, snapshot, config_, diskScan_, false);
  std::set<std::string> ids;
  for (const Action& action : picked.actions) ids.insert(action.id());
  observers_.assign(EngineProperty::queuedIDs, queuedIDs_, ids);
  std::unordered_set<std::string> planned;
  for (const Action& action : actions) planned.insert(action.id());
  for (Action& action : picked.actions)
    if (planned.insert(action.id()).second) actions.push_back(std::move(action));
  return actions;
}

std::optional<ManualPlanner::KeepEntry> Engine::keepEntry(const Action& action) const {
  switch (action.kind) {
    case ActionKind::closeTab: {
      if (!action.tab) return std::nullopt;
      const auto url = Url::parse(action.tab->url);
      if (!url || !url->host) return std::nullopt;
      return ManualPlanner::KeepEntry{KeepKind::site, *url->host};
    }
    case ActionKind::closeBrowserWindow:
    case ActionKind::cleanDisk:
      return std::nullopt;
    default:
      break;
  }
  if (!snapshot_) return std::nullopt;
  if (action.rule == Rule::session || action.kind == ActionKind::stopProcess) {
    for (const Proc& proc : snapshot_->procs)
      if (proc.pid == action.pid)
        return ManualPlanner::KeepEntry{KeepKind::process,
                                        proc.path.empty() ? proc.name : proc.path};
    return std::nullopt;
  }
  for (const RunningApp& app : snapshot_->apps)
    if (app.pid == action.pid)
      return ManualPlanner::KeepEntry{KeepKind::app, app.bundleID ? *app.bundleID : app.name};
  return std::nullopt;
}

void Engine::keep(const Action& action) {
  assertMain();
  const auto entry = keepEntry(action);
  if (!entry) return;
  Config config = config_;
  config.allowlist.add(entry->kind, entry->value);
  update(std::move(config));
}

int Engine::keep(const std::vector<Pick>& picks) {
  assertMain();
  if (!snapshot_) return 0;
  Config config = config_;
  const auto entries = [&] {
    const Allowlist& a = config.allowlist;
    return a.apps.size() + a.processes.size() + a.sites.size() + a.paths.size();
  };
  const size_t before = entries();
  for (const Pick& pick : picks)
    if (const auto entry = ManualPlanner::keepEntry(pick, *snapshot_))
      config.allowlist.add(entry->kind, entry->value);  // Only when not listed yet.
  const int added = static_cast<int>(entries() - before);
  if (added > 0) update(std::move(config));
  return added;
}

void Engine::keepRespawning(const std::string& path) {
  assertMain();
  if (!configReadOnly_) {
    observers_.change(EngineProperty::memory, memory_,
                      [&](Memory& memory) { memory.respawning.erase(path); });
    saveMemory();
  }
  Config config = config_;
  auto& processes = config.allowlist.processes;
  if (std::find(processes.begin(), processes.end(), path) == processes.end())
    processes.push_back(path);
  update(std::move(config));
}

void Engine::ignoreFiles(const std::set<std::string>& paths) {
  assertMain();
  Config config = config_;
  auto& ignored = config.ignoredFiles;
  const std::set<std::string> already(ignored.begin(), ignored.end());
  for (const std::string& path : paths)  // A set: in sorted order.
    if (!already.contains(path)) ignored.push_back(path);
  update(std::move(config));
  dropSuggestions([&](const Suggestion& s) { return paths.contains(s.path); });
}

void Engine::setDiskRules(const std::set<DiskRule>& rules, bool on) {
  assertMain();
  Config config = config_;
  auto& off = config.diskOff;
  for (const DiskRule rule : rules) {
    const std::string text(DiskRules::rawValue(rule));
    if (on) {
      std::erase(off, text);
    } else if (std::find(off.begin(), off.end(), text) == off.end()) {
      off.push_back(text);
    }
  }
  if (!on) std::sort(off.begin(), off.end());
  update(std::move(config));
}

void Engine::forgetClosedTabs(const std::set<Uuid>& ids) {
  assertMain();
  (void)store_.rewriteLines<ClosedTab>(kClosedTabsFile,
                                       [&](const ClosedTab& tab) { return !ids.contains(tab.id); });
  observers_.change(EngineProperty::closedTabs, closedTabs_, [&](std::vector<ClosedTab>& tabs) {
    std::erase_if(tabs, [&](const ClosedTab& tab) { return ids.contains(tab.id); });
  });
}

}  // namespace kelvane
