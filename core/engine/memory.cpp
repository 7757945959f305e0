#include "core/engine/memory.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "core/planning/safety.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

std::string Memory::identity(const Action& action) { return Safety::actionKey(action); }

std::string Memory::itemKey(const Action& action) {
  std::string key = identity(action) + ":";
  switch (action.kind) {
    case ActionKind::closeWindow:
      return key + std::to_string(action.windowID.value_or(0));
    case ActionKind::quitApp:
    case ActionKind::stopProcess:
      return key + std::to_string(action.pid);
    case ActionKind::closeTab:
      return key + (action.tab ? action.tab->key() : action.target);
    case ActionKind::closeBrowserWindow:
      return key + (action.windowTabs && !action.windowTabs->empty()
                        ? action.windowTabs->front().key()
                        : action.target);
    case ActionKind::cleanDisk:
      return key + (action.disk && action.disk->rule
                        ? std::string(DiskRules::rawValue(*action.disk->rule))
                        : std::string("picked"));
  }
  return key;
}

void Memory::record(const std::vector<ActionResult>& results, Date at) {
  std::vector<std::string> succeeded;
  std::vector<std::string> failed;
  for (const ActionResult& result : results) {
    const Action& action = result.action;
    if (result.done()) {
      succeeded.push_back(itemKey(action));
      known.insert(identity(action));
      const bool cutShort = result.note && result.note->starts_with("stopped");
      if (action.kind == ActionKind::cleanDisk && action.disk && action.disk->rule && !cutShort)
        cleaned[std::string(DiskRules::rawValue(*action.disk->rule))] = at;
      if (action.kind == ActionKind::stopProcess && action.rule != Rule::session && action.path)
        kills[*action.path] = at;
    } else if (result.needsAttention()) {
      const std::string key = itemKey(action);
      failureTargets[key] = action.target;
      failed.push_back(key);
    }
  }
  for (const std::string& key : succeeded) {
    failures.erase(key);
    failureTargets.erase(key);
  }
  for (const std::string& key : failed) {
    int64_t& count = failures[key];
    if (count < std::numeric_limits<int64_t>::max()) ++count;  // a damaged file may hold any count
  }
}

bool Memory::blocks(const Action& action) const {
  if (action.kind == ActionKind::stopProcess && action.path && respawning.contains(*action.path))
    return true;
  if (failures.empty()) return false;
  const auto it = failures.find(itemKey(action));
  return it != failures.end() && it->second >= kFailureLimit;
}

void Memory::observe(const Snapshot& snapshot) {
  if (kills.empty()) return;
  std::erase_if(kills,
                [&](const auto& kill) { return snapshot.at - kill.second > kRespawnWindow; });
  for (const Proc& proc : snapshot.procs) {
    if (proc.path.empty() || !proc.started) continue;
    const auto kill = kills.find(proc.path);
    if (kill == kills.end() || *proc.started <= kill->second) continue;
    respawning.insert(proc.path);
    kills.erase(kill);
  }
}

void Memory::forget(const std::unordered_set<std::string>& keys) {
  std::erase_if(failures, [&](const auto& entry) { return !keys.contains(entry.first); });
  std::erase_if(failureTargets, [&](const auto& entry) { return !keys.contains(entry.first); });
}

void to_json(nlohmann::json& j, const Memory& memory) {
  j = {{"known", memory.known},
       {"failures", memory.failures},
       {"failureTargets", memory.failureTargets},
       {"kills", memory.kills},
       {"respawning", memory.respawning},
       {"cleaned", memory.cleaned}};
}

void from_json(const nlohmann::json& j, Memory& memory) {
  memory = Memory{};
  if (!j.is_object()) throw nlohmann::json::type_error::create(302, "memory is not an object", &j);
  memory.known = Fields::optional<std::set<std::string>>(j, "known").value_or(memory.known);
  memory.failures =
      Fields::optional<std::map<std::string, int64_t>>(j, "failures").value_or(memory.failures);
  memory.failureTargets = Fields::optional<std::map<std::string, std::string>>(j, "failureTargets")
                              .value_or(memory.failureTargets);
  memory.kills = Fields::optional<std::map<std::string, Date>>(j, "kills").value_or(memory.kills);
  memory.respawning =
      Fields::optional<std::set<std::string>>(j, "respawning").value_or(memory.respawning);
  memory.cleaned =
      Fields::optional<std::map<std::string, Date>>(j, "cleaned").value_or(memory.cleaned);
}

}  // namespace kelvane
