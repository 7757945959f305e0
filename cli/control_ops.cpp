#include "cli/control_ops.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>

#include "core/config/keep_kind.h"
#include "core/config/schedule.h"
#include "core/disk_records/disk_rule.h"
#include "core/planning/manual_planner.h"
#include "core/support/uuid.h"

namespace kelvane::ControlOps {
namespace {

using nlohmann::json;
using Op = std::function<void(Engine&, const json&, const Host&, const Control::Reply&)>;

// The longest pause a request may ask for: ten years.
constexpr double kLongestPause = 10 * 365 * 86400.0;

constexpr std::string_view kRunning = "a sweep is running; try again when it has finished";

template <class T>
using Arg = Result<T, std::string>;

Arg<std::string> textArg(const json& body, const char* key) {
  const auto it = body.find(key);
  if (it == body.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
    return Unexpected("\"" + std::string(key) + "\" must be a text");
  return it->get<std::string>();
}

// A list of texts; a single text counts as a list of one.
Arg<std::vector<std::string>> textsArg(const json& body, const char* key) {
  const auto it = body.find(key);
  const std::string wrong = "\"" + std::string(key) + "\" must be a list of texts";
  if (it == body.end()) return Unexpected(wrong);
  if (it->is_string()) return std::vector<std::string>{it->get<std::string>()};
  if (!it->is_array() || it->empty()) return Unexpected(wrong);
  std::vector<std::string> out;
  for (const auto& item : *it) {
    if (!item.is_string()) return Unexpected(wrong);
    out.push_back(item.get<std::string>());
  }
  return out;
}

// The planned action `id` names: exactly, or as the only one whose ID starts with it.
Arg<Action> plannedAction(const Engine& engine, const std::string& id) {
  std::vector<const Action*> matches;
  for (const Action& action : engine.plan()) {
    const std::string actionID = action.id();
    if (actionID == id) return action;
    if (actionID.starts_with(id)) matches.push_back(&action);
  }
  if (matches.size() == 1) return *matches.front();
  if (matches.empty())
    return Unexpected("no action with the ID " + id + " is planned (kelvane sweep lists them)");
  std::string names;
  for (const Action* a : matches) names += (names.empty() ? "" : ", ") + a->id();
  return Unexpected("the ID " + id + " names " + std::to_string(matches.size()) +
                    " planned actions: " + names);
}

Arg<std::vector<Pick>> picksArg(const Engine& engine, const json& body) {
  const auto texts = textsArg(body, "picks");
  if (!texts) return Unexpected(texts.error());
  if (!engine.snapshot())
    return Unexpected<std::string>("no look at the machine has been taken yet");
  std::vector<Pick> picks;
  for (const auto& text : *texts) {
    auto pick = parsePick(text, *engine.snapshot());
    if (!pick) return Unexpected(pick.error());
    picks.push_back(std::move(pick.value()));
  }
  return picks;
}

json refusedJson(const std::vector<ManualPlanner::Refused>& refused) {
  json out = json::array();
  for (const auto& r : refused) out.push_back({{"pick", pickText(r.pick)}, {"reason", r.reason}});
  return out;
}

const char* keepKindText(KeepKind kind) {
  switch (kind) {
    case KeepKind::app:
      return "app";
    case KeepKind::process:
      return "process";
    case KeepKind::site:
      return "site";
    case KeepKind::path:
      return "path";
  }
  return "";
}

Engine::ResultsHandler resultsReply(const Control::Reply& reply) {
  return [reply](const std::vector<ActionResult>& results) {
    reply(Control::okReply({{"results", results}}));
  };
}

void pause(Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
  std::optional<Date> until;
  if (const auto at = body.find("until"); at != body.end()) {
    until = at->is_string() ? Date::fromISO8601(at->get<std::string>()) : std::nullopt;
    if (!until) return reply(Control::errorReply("\"until\" must be a date"));
    if (*until <= engine.now()) return reply(Control::errorReply("that moment has passed"));
  } else if (const auto span = body.find("for"); span != body.end()) {
    const double seconds = span->is_number() ? span->get<double>() : NAN;
    if (!(seconds > 0 && seconds <= kLongestPause))
      return reply(Control::errorReply("\"for\" must be a number of seconds, up to ten years"));
    until = engine.now() + seconds;
  }
  engine.pause(until);
  reply(Control::okReply({{"pausedUntil", engine.schedule().pausedUntil.value_or(Date())}}));
}

void skip(Engine& engine, const json& body, bool on, const Control::Reply& reply) {
  const auto id = textArg(body, "id");
  if (!id) return reply(Control::errorReply(id.error()));
  const auto action = plannedAction(engine, *id);
  if (!action) return reply(Control::errorReply(action.error()));
  on ? engine.skip(*action) : engine.unskip(*action);
  reply(Control::okReply({{"id", action->id()}, {"target", action->target}}));
}

void queue(Engine& engine, const json& body, bool on, const Control::Reply& reply) {
  const auto picks = picksArg(engine, body);
  if (!picks) return reply(Control::errorReply(picks.error()));
  if (!on) {
    engine.unqueue(*picks);
    return reply(Control::okReply());
  }
  // Picks that can never become actions (gone, protected) are said so, not queued.
  std::vector<Pick> accepted;
  std::vector<ManualPlanner::Refused> refused;
  const auto reasons =
      ManualPlanner::refusalsOf(*picks, *engine.snapshot(), engine.config(), engine.diskScan());
  for (size_t i = 0; i < picks->size(); ++i) {
    if (reasons[i]) {
      refused.push_back({(*picks)[i], *reasons[i]});
    } else {
      accepted.push_back((*picks)[i]);
    }
  }
  if (!accepted.empty()) engine.queue(accepted);
  json queued = json::array();
  for (const Pick& pick : accepted) queued.push_back(pickText(pick));
  reply(Control::okReply({{"queued", queued}, {"refused", refusedJson(refused)}}));
}

void keep(Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
  if (body.contains("id")) {
    const auto id = textArg(body, "id");
    if (!id) return reply(Control::errorReply(id.error()));
    const auto action = plannedAction(engine, *id);
    if (!action) return reply(Control::errorReply(action.error()));
    const auto entry = engine.keepEntry(*action);
    if (!entry)
      return reply(Control::errorReply("there is nothing to keep for " + action->target +
                                       " (browser windows and disk cleanups cannot be kept)"));
    engine.keep(*action);
    return reply(Control::okReply(
        {{"kept", {{"kind", keepKindText(entry->kind)}, {"value", entry->value}}}}));
  }
  const auto picks = picksArg(engine, body);
  if (!picks) return reply(Control::errorReply(picks.error()));
  reply(Control::okReply({{"added", engine.keep(*picks)}}));
}

void actNow(Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
  if (engine.running()) return reply(Control::errorReply(kRunning));
  const auto picks = picksArg(engine, body);
  if (!picks) return reply(Control::errorReply(picks.error()));
  const auto quitNow = body.find("quitNow");
  if (quitNow != body.end() && !quitNow->is_boolean())
    return reply(Control::errorReply("\"quitNow\" must be true or false"));
  engine.actNow(
      *picks, quitNow != body.end() && quitNow->get<bool>(),
      [reply](const std::vector<ActionResult>& results,
              const std::vector<ManualPlanner::Refused>& refused) {
        reply(Control::okReply({{"results", results}, {"refused", refusedJson(refused)}}));
      });
}

void runNow(Engine& engine, const json&, const Host&, const Control::Reply& reply) {
  if (engine.running()) return reply(Control::errorReply(kRunning));
  engine.runNow([reply](const std::vector<RunRecord>& runs) {
    reply(Control::okReply({{"runs", runs}}));
  });
}

void confirmHeld(Engine& engine, const json&, const Host&, const Control::Reply& reply) {
  if (!engine.held()) return reply(Control::errorReply("no run is held"));
  if (engine.running()) return reply(Control::errorReply(kRunning));
  engine.confirmHeld(resultsReply(reply));
}

void discardHeld(Engine& engine, const json&, const Host&, const Control::Reply& reply) {
  if (!engine.held()) return reply(Control::errorReply("no run is held"));
  engine.discardHeld();
  reply(Control::okReply());
}

// Pause, resume or stop the disk cleanup of the run in flight.
Op diskControl(void (*act)(Engine&)) {
  return [act](Engine& engine, const json&, const Host&, const Control::Reply& reply) {
    if (!engine.diskRun()) return reply(Control::errorReply("no disk cleanup is running"));
    act(engine);
    reply(Control::okReply());
  };
}

// Only files the disk scan offered for review may be moved to the Trash from
// here: a request cannot aim the cleanup at any file of the user.
void trashFiles(Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
  if (engine.running()) return reply(Control::errorReply(kRunning));
  const auto paths = textsArg(body, "paths");
  if (!paths) return reply(Control::errorReply(paths.error()));
  std::set<std::string> offered;
  if (engine.diskScan())
    for (const auto& suggestion : engine.diskScan()->suggestions) offered.insert(suggestion.path);
  for (const auto& path : *paths)
    if (!offered.contains(path))
      return reply(Control::errorReply("not among the disk scan's suggestions: " + path));
  engine.trashFiles(std::set<std::string>(paths->begin(), paths->end()), resultsReply(reply));
}

void ignoreFiles(Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
  const auto paths = textsArg(body, "paths");
  if (!paths) return reply(Control::errorReply(paths.error()));
  for (const auto& path : *paths)
    if (!path.starts_with('/') && !path.starts_with('~'))
      return reply(Control::errorReply("not an absolute path: " + path));
  engine.ignoreFiles(std::set<std::string>(paths->begin(), paths->end()));
  reply(Control::okReply());
}

void setDiskRules(Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
  const auto texts = textsArg(body, "rules");
  if (!texts) return reply(Control::errorReply(texts.error()));
  const auto on = body.find("on");
  if (on == body.end() || !on->is_boolean())
    return reply(Control::errorReply("\"on\" must be true or false"));
  std::set<DiskRule> rules;
  for (const auto& text : *texts) {
    const auto rule = DiskRules::fromRawValue(text);
    if (!rule) return reply(Control::errorReply("not a disk rule: " + text));
    rules.insert(*rule);
  }
  engine.setDiskRules(rules, on->get<bool>());
  reply(Control::okReply({{"diskOff", engine.config().diskOff}}));
}

void forgetClosedTabs(Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
  const auto texts = textsArg(body, "ids");
  if (!texts) return reply(Control::errorReply(texts.error()));
  std::set<Uuid> ids;
  for (const auto& text : *texts) {
    const auto id = Uuid::parse(text);
    if (!id) return reply(Control::errorReply("not a closed tab's ID: " + text));
    ids.insert(*id);
  }
  const auto before = engine.closedTabs().size();
  engine.forgetClosedTabs(ids);
  reply(Control::okReply({{"forgotten", before - engine.closedTabs().size()}}));
}

// An operation with one text argument.
Op withText(const char* key, void (Engine::*act)(const std::string&)) {
  return [key, act](Engine& engine, const json& body, const Host&, const Control::Reply& reply) {
    const auto text = textArg(body, key);
    if (!text) return reply(Control::errorReply(text.error()));
    (engine.*act)(*text);
    reply(Control::okReply());
  };
}

// An operation without arguments that cannot fail.
Op plain(void (Engine::*act)()) {
  return [act](Engine& engine, const json&, const Host&, const Control::Reply& reply) {
    (engine.*act)();
    reply(Control::okReply());
  };
}

const std::map<std::string, Op, std::less<>>& operations() {
  static const std::map<std::string, Op, std::less<>> ops = {
      {"state", [](Engine& e, const json&, const Host& h,
                   const Control::Reply& r) { r(Control::okReply(state(e, h))); }},
      {"runs",
       [](Engine& e, const json&, const Host&, const Control::Reply& r) {
         r(Control::okReply({{"runs", e.runs()}}));
       }},
      {"runNow", runNow},
      {"pause", pause},
      {"resume", plain(&Engine::resume)},
      {"cancelNextRun",
       [](Engine& e, const json&, const Host&, const Control::Reply& r) {
         e.cancelNextRun();
         r(Control::okReply({{"cancelledRunAt", e.nextRunAt()}}));
       }},
      {"undoCancel", plain(&Engine::undoCancel)},
      {"endLearning", plain(&Engine::endLearning)},
      {"skip",
       [](Engine& e, const json& b, const Host&, const Control::Reply& r) { skip(e, b, true, r); }},
      {"unskip", [](Engine& e, const json& b, const Host&,
                    const Control::Reply& r) { skip(e, b, false, r); }},
      {"queue", [](Engine& e, const json& b, const Host&,
                   const Control::Reply& r) { queue(e, b, true, r); }},
      {"unqueue", [](Engine& e, const json& b, const Host&,
                     const Control::Reply& r) { queue(e, b, false, r); }},
      {"keep", keep},
      {"actNow", actNow},
      {"confirmHeld", confirmHeld},
      {"discardHeld", discardHeld},
      {"pauseDisk", diskControl([](Engine& e) { e.pauseDisk(); })},
      {"resumeDisk", diskControl([](Engine& e) { e.resumeDisk(); })},
      {"stopDisk", diskControl([](Engine& e) { e.stopDisk(); })},
      {"trashFiles", trashFiles},
      {"ignoreFiles", ignoreFiles},
      {"setDiskRules", setDiskRules},
      {"forgetClosedTabs", forgetClosedTabs},
      {"quietForToday", withText("key", &Engine::quietForToday)},
      {"neverAlert", withText("app", &Engine::neverAlert)},
      {"alertAgain", withText("app", &Engine::alertAgain)},
      {"rescanDisk",
       [](Engine&, const json&, const Host& h, const Control::Reply& r) {
         if (!h.rescanDisk)
           return r(Control::errorReply(
               h.agent.is_null() ? "disk scans need the agent"
                                 : "this agent does not scan the disk (--no-disk-scan)"));
         h.rescanDisk();
         r(Control::okReply());
       }},
  };
  return ops;
}

// Reads a whole decimal number of type T; nullopt for anything else.
template <class T>
std::optional<T> number(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

void handle(Engine& engine, const Control::Request& request, const Host& host,
            Control::Reply reply) {
  const auto& ops = operations();
  const auto op = ops.find(request.op);
  if (op == ops.end()) return reply(Control::errorReply("unknown operation: " + request.op));
  op->second(engine, request.body, host, reply);
}

bool needsAgent(std::string_view op) {
  static const std::set<std::string_view> ops = {
      "skip",        "unskip",    "queue",      "unqueue",  "actNow",     "confirmHeld",
      "discardHeld", "pauseDisk", "resumeDisk", "stopDisk", "trashFiles", "rescanDisk"};
  return ops.contains(op);
}

bool needsSnapshot(std::string_view op) { return op == "state" || op == "keep"; }

Result<Pick, std::string> parsePick(std::string_view text, const Snapshot& snapshot) {
  const size_t colon = text.find(':');
  const std::string_view kind = text.substr(0, colon);
  const std::string_view value = colon == std::string_view::npos ? "" : text.substr(colon + 1);
  const std::string bad = "not a pick: " + std::string(text) +
                          " (window:ID, app:PID, process:PID, tab:KEY or disk:RULE)";
  if (kind == "window") {
    if (const auto id = number<uint32_t>(value)) return Pick::window(*id);
  } else if (kind == "app" || kind == "process") {
    if (const auto pid = number<int32_t>(value); pid && *pid > 0)
      return kind == "app" ? Pick::app(*pid) : Pick::process(*pid);
  } else if (kind == "disk") {
    if (const auto rule = DiskRules::fromRawValue(value)) return Pick::diskRule(*rule);
  } else if (kind == "tab") {
    for (const auto& tab : snapshot.tabs)
      if (tab.key() == value) return Pick::tab(tab);
    return Unexpected("no open tab has the key " + std::string(value));
  }
  return Unexpected(bad);
}

std::string pickText(const Pick& pick) {
  if (const auto* w = pick.as<Pick::Window>()) return "window:" + std::to_string(w->id);
  if (const auto* t = pick.as<Pick::Tab>()) return "tab:" + t->tab.key();
  if (const auto* a = pick.as<Pick::App>()) return "app:" + std::to_string(a->pid);
  if (const auto* p = pick.as<Pick::Process>()) return "process:" + std::to_string(p->pid);
  if (const auto* d = pick.as<Pick::Disk>())
    return "disk:" + std::string(DiskRules::rawValue(d->rule));
  return "";
}

}  // namespace kelvane::ControlOps
