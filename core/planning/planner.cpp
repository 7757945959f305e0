#include "core/planning/planner.h"

#include <algorithm>

#include "core/config/format.h"
#include "core/planning/planner_context.h"

namespace kelvane::Planner {
namespace detail {

Context::Context(const Snapshot& snapshot, const Activity& activity_, const Config& config_)
    : s(snapshot),
      activity(activity_),
      config(config_),
      limits(config_.limits),
      guard_(snapshot, config_.allowlist),
      blockedProcess_(snapshot.procs.size()),
      blockedWindow_(snapshot.procs.size()) {
  procs.reserve(snapshot.procs.size());
  index_.reserve(snapshot.procs.size());
  for (const Proc& p : snapshot.procs)
    if (index_.emplace(p.pid, procs.size()).second) procs.push_back(&p);
  parent.reserve(procs.size());
  regularAt.reserve(procs.size());
  ttyAt.reserve(procs.size());
  listensAt.reserve(procs.size());
  for (const Proc* p : procs) {
    const size_t at = indexOf(p->ppid);
    parent.push_back(at == procs.size() ? -1 : static_cast<int>(at));
    regularAt.push_back(guard_.isRegularApp(p->pid));
    ttyAt.push_back(p->tty.has_value());
    listensAt.push_back(!p->listenPorts.empty());
  }
  takenAt.resize(procs.size());
  // Every process's history is looked up once, so that the rules reach it by position.
  history_.reserve(procs.size());
  for (const Proc* p : procs) {
    const auto it = activity.cpu.find(p->pid);
    history_.push_back(it == activity.cpu.end() ? nullptr : &it->second);
  }
  for (const RunningApp& app : snapshot.apps) {
    if (app.policy == AppPolicy::regular) regular.emplace(app.pid, &app);
    if (app.policy == AppPolicy::accessory) accessory.emplace(app.pid, &app);
    if (app.bundleID && std::find(Planner::browsers.begin(), Planner::browsers.end(),
                                  *app.bundleID) != Planner::browsers.end())
      browsers.emplace(*app.bundleID, &app);
  }
}

size_t Context::indexOf(int32_t pid) const {
  const auto it = index_.find(pid);
  return it == index_.end() ? procs.size() : it->second;
}

const Proc* Context::proc(int32_t pid) const {
  const size_t at = indexOf(pid);
  return at == procs.size() ? nullptr : procs[at];
}

const std::optional<std::string>& Context::blocked(const Proc& p, bool window) {
  auto& cache = window ? blockedWindow_ : blockedProcess_;
  Verdict& verdict = cache[static_cast<size_t>(&p - s.procs.data())];
  if (!verdict.known) {
    verdict.reason = guard_.block(p, window);
    verdict.known = true;
  }
  return verdict.reason;
}

std::optional<double> Context::cpuUsed(size_t index, double window) const {
  if (!history_[index]) return std::nullopt;
  return Activity::cpuUsed(*history_[index], window, s.at);
}

Action Context::processAction(Rule rule, ActionKind kind, const Proc& p, std::string target,
                              std::string reason) const {
  return Action{.rule = rule,
                .kind = kind,
                .pid = p.pid,
                .target = std::move(target),
                .reason = std::move(reason),
                .memory = p.rss,
                .path = p.path,
                .started = p.started};
}

}  // namespace detail

namespace {

using detail::clockOf;
using detail::Context;

// True when `elapsed` seconds reach `limit`; never for missing or NaN clocks.
bool reached(double elapsed, double limit) { return elapsed >= limit; }

// Applications are quit for having no windows or no use only where the window list
// is complete (axTrusted): a snapshot taken without a display, or in a session whose
// windows are only partly visible, says nothing about either.
void planApps(Context& c) {
  if (!c.s.axTrusted) return;
  for (const auto& [pid, app] : c.regular) {
    const Proc* p = c.proc(pid);
    if (!p || c.blocked(*p, false)) continue;
    const auto noWindows = clockOf(c.activity.appNoWindowsSince, pid);
    const auto active = clockOf(c.activity.appActive, pid);
    if (noWindows && reached(c.since(*noWindows), c.limits.appNoWindows)) {
      c.actions.push_back(
          c.processAction(Rule::appNoWindows, ActionKind::quitApp, *p, app->name,
                          "no windows for " + Format::duration(c.since(*noWindows))));
    } else if (active && reached(c.since(*active), c.limits.appUnused)) {
      c.actions.push_back(c.processAction(Rule::appUnused, ActionKind::quitApp, *p, app->name,
                                          "not used for " + Format::duration(c.since(*active))));
    } else {
      continue;
    }
    c.takenAt[c.indexOf(pid)] = 1;
  }
}

bool isPlannerBrowser(const std::optional<std::string>& bundleID) {
  return bundleID && std::find(Planner::browsers.begin(), Planner::browsers.end(), *bundleID) !=
                         Planner::browsers.end();
}

void planWindows(Context& c) {
  std::unordered_set<uint32_t> planned;
  for (const WindowInfo& w : c.s.windows) {
    if (!w.axSeen || c.s.focusedWindow == w.id || c.taken(w.pid)) continue;
    const auto app = c.regular.find(w.pid);
    const Proc* p = c.proc(w.pid);
    if (!p || app == c.regular.end() || isPlannerBrowser(app->second->bundleID)) continue;
    if (c.blocked(*p, true) || planned.contains(w.id)) continue;
    const auto focused = clockOf(c.activity.windowFocused, w.id);
    if (!focused || !reached(c.since(*focused), c.limits.windowIdle)) continue;
    std::string target = w.app;
    if (!w.title.empty() && w.title != w.app) target += " · " + w.title;
    c.actions.push_back(Action{.rule = Rule::window,
                               .kind = ActionKind::closeWindow,
                               .pid = w.pid,
                               .windowID = w.id,
                               .target = std::move(target),
                               .reason = "idle " + Format::duration(c.since(*focused))});
    planned.insert(w.id);
  }
}

// Per tab of the snapshot, what the tab rules need more than once.
struct TabFacts {
  std::string key;
  std::string window;            // "browser:windowID"
  std::optional<bool> closable;  // Restorable and not kept; worked out when first needed.
};

class TabRules {
 public:
  explicit TabRules(Context& c) : c_(c) {
    facts_.reserve(c.s.tabs.size());
    for (const BrowserTab& tab : c.s.tabs) {
      std::string window = tab.browser;
      window.append(1, ':').append(std::to_string(tab.windowID));
      facts_.push_back({tab.key(), std::move(window), std::nullopt});
    }
  }

  void planWindows();
  void planTabs();

 private:
  // The running browser of `browser` when its windows and tabs may be closed.
  const Proc* browserProc(const std::string& browser, const RunningApp** app);
  const Proc* runningBrowser(const std::string& browser, const RunningApp** app);
  bool closable(size_t i);
  std::optional<Date> viewed(size_t i) const {
    return clockOf(c_.activity.tabViewed, facts_[i].key);
  }
  void planWindow(const std::vector<size_t>& group);

  Context& c_;
  std::vector<TabFacts> facts_;
  // Answers of browserProc by browser; they cannot change while tabs are planned.
  std::unordered_map<std::string_view, std::pair<const Proc*, const RunningApp*>> browsers_;
};

const Proc* TabRules::browserProc(const std::string& browser, const RunningApp** app) {
  auto [it, added] = browsers_.try_emplace(browser);
  if (added) it->second.first = runningBrowser(browser, &it->second.second);
  *app = it->second.second;
  return it->second.first;
}

const Proc* TabRules::runningBrowser(const std::string& browser, const RunningApp** app) {
  const auto& swept = c_.config.browsers;
  if (std::find(swept.begin(), swept.end(), browser) == swept.end()) return nullptr;
  const auto running = c_.browsers.find(browser);
  if (running == c_.browsers.end() || c_.taken(running->second->pid)) return nullptr;
  const Proc* p = c_.proc(running->second->pid);
  if (!p || c_.blocked(*p, true)) return nullptr;
  *app = running->second;
  return p;
}

bool TabRules::closable(size_t i) {
  if (!facts_[i].closable) {
    const BrowserTab& tab = c_.s.tabs[i];
    facts_[i].closable = tab.restorable() && !c_.config.allowlist.has(tab);
  }
  return *facts_[i].closable;
}

void TabRules::planWindow(const std::vector<size_t>& group) {
  const BrowserTab& first = c_.s.tabs[group.front()];
  const RunningApp* app = nullptr;
  const Proc* p = browserProc(first.browser, &app);
  if (!p) return;
  std::optional<Date> latest;
  for (const size_t i : group) {
    const auto seen = viewed(i);
    if (!seen) return;
    if (!latest || *latest < *seen) latest = seen;
  }
  if (!reached(c_.since(*latest), c_.limits.tabIdle)) return;
  if (!std::all_of(group.begin(), group.end(), [&](size_t i) { return closable(i); })) return;
  std::vector<BrowserTab> tabs;
  const BrowserTab* shown = nullptr;
  for (const size_t i : group) {
    tabs.push_back(c_.s.tabs[i]);
    if (!shown && c_.s.tabs[i].active) shown = &c_.s.tabs[i];
  }
  if (!shown) shown = &first;
  c_.actions.push_back(Action{.rule = Rule::browserWindow,
                              .kind = ActionKind::closeBrowserWindow,
                              .pid = p->pid,
                              .target = app->name + " · " + std::to_string(group.size()) +
                                        " tabs · " +
                                        (shown->title.empty() ? shown->url : shown->title),
                              .reason = "no tab viewed for " + Format::duration(c_.since(*latest)),
                              .path = p->path,
                              .started = p->started,
                              .windowTabs = std::move(tabs)});
  c_.closedWindows.insert(facts_[group.front()].window);
}

void TabRules::planWindows() {
  std::map<std::string, std::vector<size_t>> groups;  // Ordered by window key.
  for (size_t i = 0; i < c_.s.tabs.size(); ++i) groups[facts_[i].window].push_back(i);
  for (const auto& [key, group] : groups) planWindow(group);
}

void TabRules::planTabs() {
  std::unordered_set<std::string> planned;
  for (size_t i = 0; i < c_.s.tabs.size(); ++i) {
    const BrowserTab& tab = c_.s.tabs[i];
    if (tab.active || planned.contains(facts_[i].key)) continue;
    if (c_.closedWindows.contains(facts_[i].window)) continue;
    const auto seen = viewed(i);
    if (!seen || !reached(c_.since(*seen), c_.limits.tabIdle)) continue;
    const RunningApp* app = nullptr;
    const Proc* p = browserProc(tab.browser, &app);
    if (!p || !closable(i)) continue;
    c_.actions.push_back(Action{.rule = Rule::tab,
                                .kind = ActionKind::closeTab,
                                .pid = p->pid,
                                .target = app->name + " · " + tab.title,
                                .reason = "not viewed for " + Format::duration(c_.since(*seen)),
                                .path = p->path,
                                .started = p->started,
                                .tab = tab});
    planned.insert(facts_[i].key);
  }
}

}  // namespace

std::vector<Action> plan(const Snapshot& snapshot, const Activity& activity, const Config& config) {
  Context c(snapshot, activity, config);
  planApps(c);
  planWindows(c);
  TabRules tabs(c);
  tabs.planWindows();
  tabs.planTabs();
  detail::planSessions(c);
  detail::planDevServers(c);
  detail::planBackground(c);
  detail::planCpuHogs(c);
  return std::move(c.actions);
}

}  // namespace kelvane::Planner
