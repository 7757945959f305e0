// The state the control socket reports: ControlOps::state.
#include <algorithm>
#include <set>

#include "cli/control_ops.h"
#include "core/config/schedule.h"

namespace kelvane::ControlOps {
namespace {

using nlohmann::json;

std::set<std::string> idsOf(const std::vector<Action>& actions) {
  std::set<std::string> ids;
  for (const Action& action : actions) ids.insert(action.id());
  return ids;
}

// An action as the state lists it: its record with its ID beside it.
json actionJson(const Action& action) {
  json j = action;
  j["id"] = action.id();
  return j;
}

json planJson(const Engine& engine) {
  const auto held = engine.held() ? idsOf(engine.held()->actions) : std::set<std::string>{};
  json plan = json::array();
  for (const Action& action : engine.plan()) {
    json j = actionJson(action);
    const std::string id = action.id();
    json marks = json::array();
    if (held.contains(id)) marks.push_back("held");
    if (engine.skipped().contains(id)) marks.push_back("skipped");
    if (engine.queuedIDs().contains(id)) marks.push_back("queued");
    j["marks"] = std::move(marks);
    plan.push_back(std::move(j));
  }
  return plan;
}

// What the planners propose but the sweep memory holds back, and why.
json blockedJson(const Engine& engine) {
  json blocked = json::array();
  if (!engine.snapshot()) return blocked;
  const Memory& memory = engine.memory();
  for (const Action& action : engine.rawPlan(*engine.snapshot(), engine.config())) {
    if (!memory.blocks(action)) continue;
    json j = actionJson(action);
    const bool respawning = action.kind == ActionKind::stopProcess && action.path &&
                            memory.respawning.contains(*action.path);
    j["why"] = respawning
                   ? "came back after it was stopped"
                   : "left alone after " + std::to_string(Memory::kFailureLimit) + " failed runs";
    blocked.push_back(std::move(j));
  }
  return blocked;
}

json diskRunJson(const DiskRun& run) {
  json rows = json::object();
  for (const auto& row : run.rows) {
    const auto status = run.status(row);
    if (!status) continue;
    json s;
    switch (status->kind) {
      case DiskRun::Status::Kind::waiting:
        s = {{"status", "waiting"}};
        break;
      case DiskRun::Status::Kind::cleaning:
        s = {{"status", "cleaning"}};
        break;
      case DiskRun::Status::Kind::finished:
        s = {{"status", "finished"},
             {"removed", status->removed},
             {"bytes", status->bytes},
             {"trash", status->trash},
             {"stopped", status->stopped}};
        break;
    }
    rows[row] = std::move(s);
  }
  json j = {{"rows", rows},
            {"paused", run.paused},
            {"holding", run.holding},
            {"stopping", run.stopping},
            {"freed", run.freed()}};
  if (run.current) j["current"] = *run.current;
  if (run.pausedUntil) j["pausedUntil"] = *run.pausedUntil;
  return j;
}

json snapshotJson(const Snapshot& s) {
  return {{"at", s.at},
          {"processes", s.procs.size()},
          {"windows", s.windows.size()},
          {"windowsKnown", s.axTrusted},
          {"tabs", s.tabs.size()},
          {"automationDenied", s.automationDenied}};
}

}  // namespace

json state(const Engine& engine, const Host& host) {
  const Config& config = engine.config();
  const ScheduleState& schedule = engine.schedule();
  json j = {
      {"now", engine.now()},
      {"folder", engine.store().dir.string()},
      {"agent", host.agent},
      {"learning", engine.learning()},
      {"learningUntil", config.learningUntil},
      {"paused", engine.paused()},
      {"scheduleMinutes", config.scheduleMinutes},
      {"nextRunAt", engine.nextRunAt()},
      {"nextRunMode", rawValue(Schedule::mode(engine.nextRunAt(), schedule, config.learningUntil))},
      {"running", engine.running()},
      {"configReadOnly", engine.configReadOnly()},
      {"plan", planJson(engine)},
      {"blocked", blockedJson(engine)},
      {"needsYou", engine.needsYou()},
      {"lastResults", engine.lastResults()},
      {"runs", engine.runs()},
      {"closedTabs", engine.closedTabs()},
      {"skipped", engine.skipped()}};
  if (schedule.pausedUntil && engine.paused()) j["pausedUntil"] = *schedule.pausedUntil;
  if (engine.nextRunCancelled()) j["cancelledRunAt"] = engine.nextRunAt();
  json queued = json::array();
  for (const Pick& pick : engine.queued()) queued.push_back(pickText(pick));
  j["queued"] = std::move(queued);
  if (engine.snapshot()) j["snapshot"] = snapshotJson(*engine.snapshot());
  if (const auto& held = engine.held()) {
    json actions = json::array();
    for (const Action& action : held->actions) actions.push_back(actionJson(action));
    j["held"] = {{"at", held->at},
                 {"reason", held->reason},
                 {"weekly", held->weekly},
                 {"actions", std::move(actions)}};
  }
  if (engine.diskRun()) j["diskRun"] = diskRunJson(*engine.diskRun());
  if (const auto& scan = engine.diskScan()) j["diskScan"] = {{"at", scan->at}};
  j["focus"] = {{"apps", json::array()}, {"windows", json::array()}};
  for (const auto& [pid, at] : engine.focus().apps) j["focus"]["apps"].push_back(pid);
  for (const auto& [window, at] : engine.focus().windows) j["focus"]["windows"].push_back(window);
  return j;
}

}  // namespace kelvane::ControlOps
