#include "core/planning/manual_planner.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "core/disk/disk_planner.h"
#include "core/planning/guards.h"
#include "core/planning/planner.h"
#include "core/support/text.h"
#include "core/support/url.h"

namespace kelvane::ManualPlanner {
namespace {

constexpr const char* kReason = "you picked it";
const Allowlist kNothingKept;

std::string browserWindowKey(const std::string& browser, int64_t windowID) {
  return browser + ":" + std::to_string(windowID);
}

template <class Map, class Key>
auto lookup(const Map& map, const Key& key) -> typename Map::mapped_type {
  const auto it = map.find(key);
  return it == map.end() ? typename Map::mapped_type{} : it->second;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The snapshot by the keys picks use; of repeated IDs the first record counts.
class Index {
 public:
  explicit Index(const Snapshot& s) : s_(s) {
    for (const Proc& p : s.procs) procs_.emplace(p.pid, &p);
    for (const WindowInfo& w : s.windows) windows_.emplace(w.id, &w);
    for (const RunningApp& a : s.apps) {
      apps_.emplace(a.pid, &a);
      if (a.bundleID) browsers_.emplace(*a.bundleID, &a);
    }
    for (const BrowserTab& t : s.tabs) {
      const std::string window = browserWindowKey(t.browser, t.windowID);
      tabWindow_.emplace(t.key(), window);
      groups_[window].push_back(&t);
    }
  }

  const Snapshot& snapshot() const { return s_; }
  const Proc* proc(int32_t pid) const { return lookup(procs_, pid); }
  const WindowInfo* window(uint32_t id) const { return lookup(windows_, id); }
  const RunningApp* app(int32_t pid) const { return lookup(apps_, pid); }
  // The first running application with that bundle identifier.
  const RunningApp* appWithBundle(const std::string& bundleID) const {
    return lookup(browsers_, bundleID);
  }
  bool hasTab(const std::string& key) const { return tabWindow_.contains(key); }
  // The browser window key of the (first) tab with that key; empty when none.
  std::string windowOfTab(const std::string& key) const { return lookup(tabWindow_, key); }
  const std::map<std::string, std::vector<const BrowserTab*>>& groups() const { return groups_; }
  const std::vector<const BrowserTab*>* tabsOf(const std::string& window) const {
    const auto it = groups_.find(window);
    return it == groups_.end() ? nullptr : &it->second;
  }
  // The browser window matched to system window `id`, when there is one.
  std::optional<std::string> matchedWindow(uint32_t id) const {
    const auto it = s_.browserWindowOf.find(id);
    if (it == s_.browserWindowOf.end()) return std::nullopt;
    return browserWindowKey(it->second.browser, it->second.windowID);
  }

 private:
  const Snapshot& s_;
  std::unordered_map<int32_t, const Proc*> procs_;
  std::unordered_map<uint32_t, const WindowInfo*> windows_;
  std::unordered_map<int32_t, const RunningApp*> apps_;
  std::unordered_map<std::string, const RunningApp*> browsers_;
  std::unordered_map<std::string, std::string> tabWindow_;
  std::map<std::string, std::vector<const BrowserTab*>> groups_;
};

class Planning {
 public:
  Planning(const Snapshot& s, const Config& config, const std::optional<DiskScan>& scan)
      : index_(s),
        config_(config),
        scan_(scan),
        guard_(s, config.allowlist),
        quitGuard_(s, kNothingKept, /*honourFront=*/false) {}

  std::optional<std::string> refusal(const Pick& pick, bool quitNow) const;
  // The browser windows all of whose tabs are among the accepted tab picks.
  std::set<std::string> wholeWindows(const std::vector<const Pick*>& accepted) const;
  std::optional<Action> action(const Pick& pick, const std::set<std::string>& whole,
                               bool quitNow) const;

 private:
  std::optional<std::string> refuseWindow(uint32_t id) const;
  std::optional<std::string> refuseBrowserWindow(uint32_t id, const std::string& bundleID,
                                                 const Proc& proc) const;
  std::optional<std::string> refuseTab(const BrowserTab& tab) const;
  std::optional<std::string> refuseDisk(DiskRule rule) const;
  Action windowAction(const WindowInfo& window) const;
  Action wholeWindowAction(const std::string& window) const;
  Action tabAction(const BrowserTab& tab) const;
  Action quitAction(const Proc& proc, bool quitNow) const;
  Action stopAction(const Proc& proc) const;

  Index index_;
  const Config& config_;
  const std::optional<DiskScan>& scan_;
  Guards::Checker guard_;
  Guards::Checker quitGuard_;
};

std::optional<std::string> Planning::refusal(const Pick& pick, bool quitNow) const {
  if (const auto* w = pick.as<Pick::Window>()) return refuseWindow(w->id);
  if (const auto* t = pick.as<Pick::Tab>()) return refuseTab(t->tab);
  if (const auto* d = pick.as<Pick::Disk>()) return refuseDisk(d->rule);
  const auto* app = pick.as<Pick::App>();
  const int32_t pid = app ? app->pid : pick.as<Pick::Process>()->pid;
  const Proc* p = index_.proc(pid);
  if (!p) return "gone";
  // Quitting at once is the user's explicit request: it overrides the
  // allowlist and the frontmost-application check, but no other guard.
  return quitNow ? quitGuard_.block(*p, false) : guard_.block(*p, false);
}

std::optional<std::string> Planning::refuseWindow(uint32_t id) const {
  const WindowInfo* w = index_.window(id);
  const Proc* p = w ? index_.proc(w->pid) : nullptr;
  if (!p) return "gone";
  if (!index_.snapshot().axTrusted) return "no Accessibility";
  const RunningApp* app = index_.app(w->pid);
  const auto bundleID = app && app->bundleID ? app->bundleID : p->bundleID;
  if (bundleID && contains(config_.browsers, *bundleID))
    return refuseBrowserWindow(id, *bundleID, *p);
  if (!w->axSeen) return "helper window";
  if (p->name == "Kelvane") return "Kelvane";
  return guard_.block(*p, true);
}

// The owner's bundle identifier may come from the process record alone when
// the application list lacks it, so it is passed in rather than looked up.
std::optional<std::string> Planning::refuseBrowserWindow(uint32_t id, const std::string& bundleID,
                                                         const Proc& proc) const {
  if (contains(index_.snapshot().automationDenied, bundleID)) return "no Automation permission";
  const auto window = index_.matchedWindow(id);
  if (!window) return "can't tell which window; visit its Space";
  const auto* tabs = index_.tabsOf(*window);
  if (!tabs) return "its tabs can't be read";
  for (const BrowserTab* t : *tabs)
    if (config_.allowlist.has(*t)) return "allowlisted tab";
  for (const BrowserTab* t : *tabs)
    if (!t->restorable()) return "a tab can't be restored";
  return guard_.block(proc, true);
}

std::optional<std::string> Planning::refuseTab(const BrowserTab& tab) const {
  const RunningApp* browser = index_.appWithBundle(tab.browser);
  const Proc* p = browser ? index_.proc(browser->pid) : nullptr;
  if (!index_.hasTab(tab.key()) || !p) return "gone";
  if (!tab.restorable()) return "cannot be restored";
  if (config_.allowlist.has(tab)) return "allowlisted";
  return guard_.block(*p, true);
}

std::optional<std::string> Planning::refuseDisk(DiskRule rule) const {
  if (!scan_ || !scan_->rules.contains(rule)) return "not measured yet";
  if (!DiskPlanner::action(rule, *scan_, config_)) return "nothing to clean";
  return std::nullopt;
}

std::set<std::string> Planning::wholeWindows(const std::vector<const Pick*>& accepted) const {
  std::set<std::string> picked;
  for (const Pick* pick : accepted)
    if (const auto* t = pick->as<Pick::Tab>()) picked.insert(t->tab.key());
  std::set<std::string> whole;
  for (const auto& [window, tabs] : index_.groups()) {
    if (std::all_of(tabs.begin(), tabs.end(),
                    [&](const BrowserTab* t) { return picked.contains(t->key()); }))
      whole.insert(window);
  }
  return whole;
}

std::optional<Action> Planning::action(const Pick& pick, const std::set<std::string>& whole,
                                       bool quitNow) const {
  if (const auto* w = pick.as<Pick::Window>()) {
    const auto window = index_.matchedWindow(w->id);
    if (window && index_.tabsOf(*window)) return wholeWindowAction(*window);
    return windowAction(*index_.window(w->id));
  }
  if (const auto* t = pick.as<Pick::Tab>()) {
    const std::string window = index_.windowOfTab(t->tab.key());
    return whole.contains(window) ? wholeWindowAction(window) : tabAction(t->tab);
  }
  if (const auto* d = pick.as<Pick::Disk>()) return DiskPlanner::action(d->rule, *scan_, config_);
  const auto* app = pick.as<Pick::App>();
  const Proc& p = *index_.proc(app ? app->pid : pick.as<Pick::Process>()->pid);
  if (app || guard_.isRegularApp(p.pid)) return quitAction(p, quitNow);
  return stopAction(p);
}

Action Planning::windowAction(const WindowInfo& w) const {
  const Proc& p = *index_.proc(w.pid);
  const RunningApp* app = index_.app(w.pid);
  const std::string& name = app ? app->name : w.app;
  return Action{.rule = Rule::window,
                .kind = ActionKind::closeWindow,
                .pid = w.pid,
                .windowID = w.id,
                .target = w.title.empty() ? name : name + " · " + w.title,
                .reason = kReason,
                .path = p.path,
                .started = p.started};
}

Action Planning::wholeWindowAction(const std::string& window) const {
  const auto& tabs = *index_.tabsOf(window);
  const BrowserTab& first = *tabs.front();
  const auto shown = std::find_if(tabs.begin(), tabs.end(), [](auto* t) { return t->active; });
  const BrowserTab& title = shown == tabs.end() ? first : **shown;
  const RunningApp* browser = index_.appWithBundle(first.browser);
  const Proc* p = browser ? index_.proc(browser->pid) : nullptr;
  Action action{.rule = Rule::browserWindow,
                .kind = ActionKind::closeBrowserWindow,
                .pid = browser ? browser->pid : 0,
                .target = (browser ? browser->name : first.browser) + " · " +
                          std::to_string(tabs.size()) + " tabs · " +
                          (title.title.empty() ? title.url : title.title),
                .reason = kReason,
                .windowTabs = std::vector<BrowserTab>{}};
  for (const BrowserTab* t : tabs) action.windowTabs->push_back(*t);
  if (p) {
    action.path = p->path;
    action.started = p->started;
  }
  return action;
}

Action Planning::tabAction(const BrowserTab& tab) const {
  const RunningApp& browser = *index_.appWithBundle(tab.browser);
  const Proc& p = *index_.proc(browser.pid);
  return Action{.rule = Rule::tab,
                .kind = ActionKind::closeTab,
                .pid = browser.pid,
                .target = browser.name + " · " + tab.title,
                .reason = kReason,
                .path = p.path,
                .started = p.started,
                .tab = tab,
                .closeShown = true};
}

Action Planning::quitAction(const Proc& p, bool quitNow) const {
  const RunningApp* app = index_.app(p.pid);
  Action action{.rule = Rule::appUnused,
                .kind = ActionKind::quitApp,
                .pid = p.pid,
                .target = app ? app->name : p.name,
                .reason = kReason,
                .memory = p.rss,
                .path = p.path,
                .started = p.started};
  if (quitNow) action.quitNow = true;
  return action;
}

Action Planning::stopAction(const Proc& p) const {
  return Action{.rule = p.listenPorts.empty() ? Rule::background : Rule::devServer,
                .kind = ActionKind::stopProcess,
                .pid = p.pid,
                .target = p.name,
                .reason = kReason,
                .memory = p.rss,
                .path = p.path,
                .started = p.started};
}

// Two whole browser windows of one browser share an action id; their
// window keeps them apart so that neither is dropped as a repeat.
std::string repeatKey(const Action& action) {
  std::string key = action.id();
  if (action.windowTabs && !action.windowTabs->empty()) {
    const BrowserTab& t = action.windowTabs->front();
    key += "|" + browserWindowKey(t.browser, t.windowID);
  }
  return key;
}

std::optional<KeepEntry> appEntry(const RunningApp* app) {
  if (!app) return std::nullopt;
  return KeepEntry{KeepKind::app, app->bundleID ? *app->bundleID : app->name};
}

}  // namespace

Picked actions(const std::vector<Pick>& picks, const Snapshot& snapshot, const Config& config,
               const std::optional<DiskScan>& scan, bool quitNow) {
  const Planning planning(snapshot, config, scan);
  Picked out;
  std::vector<const Pick*> accepted;
  for (const Pick& pick : picks) {
    if (auto reason = planning.refusal(pick, quitNow)) {
      out.refused.push_back({pick, std::move(*reason)});
    } else {
      accepted.push_back(&pick);
    }
  }
  const auto whole = planning.wholeWindows(accepted);
  std::set<std::string> made;
  for (const Pick* pick : accepted) {
    auto action = planning.action(*pick, whole, quitNow);
    if (action && made.insert(repeatKey(*action)).second) out.actions.push_back(std::move(*action));
  }
  return out;
}

std::optional<std::string> refusal(const Pick& pick, const Snapshot& snapshot, const Config& config,
                                   const std::optional<DiskScan>& scan) {
  return Planning(snapshot, config, scan).refusal(pick, false);
}

std::vector<std::optional<std::string>> refusalsOf(const std::vector<Pick>& picks,
                                                   const Snapshot& snapshot, const Config& config,
                                                   const std::optional<DiskScan>& scan) {
  const Planning planning(snapshot, config, scan);
  std::vector<std::optional<std::string>> out;
  out.reserve(picks.size());
  for (const Pick& pick : picks) out.push_back(planning.refusal(pick, false));
  return out;
}

std::optional<KeepEntry> keepEntry(const Pick& pick, const Snapshot& snapshot) {
  const Index index(snapshot);
  if (const auto* w = pick.as<Pick::Window>()) {
    const WindowInfo* window = index.window(w->id);
    if (!window || index.matchedWindow(w->id)) return std::nullopt;
    const RunningApp* app = index.app(window->pid);
    if (app && app->bundleID &&
        std::find(Planner::browsers.begin(), Planner::browsers.end(), *app->bundleID) !=
            Planner::browsers.end())
      return std::nullopt;
    return appEntry(app);
  }
  if (const auto* t = pick.as<Pick::Tab>()) {
    const auto url = Url::parse(t->tab.url);
    if (!url || !url->host || url->host->empty()) return std::nullopt;
    return KeepEntry{KeepKind::site, Text::asciiLowercased(*url->host)};
  }
  if (const auto* a = pick.as<Pick::App>()) return appEntry(index.app(a->pid));
  if (const auto* p = pick.as<Pick::Process>()) {
    const Proc* proc = index.proc(p->pid);
    if (!proc) return std::nullopt;
    const RunningApp* app = index.app(p->pid);
    if (app && app->policy == AppPolicy::regular) return appEntry(app);
    return KeepEntry{KeepKind::process, proc->path.empty() ? proc->name : proc->path};
  }
  return std::nullopt;
}

}  // namespace kelvane::ManualPlanner
