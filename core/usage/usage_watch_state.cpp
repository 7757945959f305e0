#include "core/usage/usage_watch_state.h"

#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {
namespace {

std::map<std::string, Date> lenientTimes(const nlohmann::json& j, const char* key) {
  std::map<std::string, Date> out;
  const auto it = j.find(key);
  if (it == j.end() || !it->is_object()) return out;
  for (const auto& [name, value] : it->items())
    if (const auto date = decodeJsonValue<Date>(value)) out.emplace(name, *date);
  return out;
}

std::optional<Date> lenientDate(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  return it == j.end() ? std::nullopt : decodeJsonValue<Date>(*it);
}

std::optional<int64_t> lenientLevel(const nlohmann::json& j, const char* key) {
  try {
    return Fields::optional<int64_t>(j, key);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

void to_json(nlohmann::json& j, const UsageWatchState& state) {
  j = {{"highSince", state.highSince},
       {"lastAlert", state.lastAlert},
       {"quietUntil", state.quietUntil}};
  putOptional(j, "lastEvaluated", state.lastEvaluated);
  putOptional(j, "pressure", state.pressure);
  putOptional(j, "alertedLevel", state.alertedLevel);
  putOptional(j, "quietPressureLevel", state.quietPressureLevel);
}

void from_json(const nlohmann::json& j, UsageWatchState& state) {
  state = UsageWatchState();
  if (!j.is_object()) return;
  state.highSince = lenientTimes(j, "highSince");
  state.lastAlert = lenientTimes(j, "lastAlert");
  state.quietUntil = lenientTimes(j, "quietUntil");
  state.lastEvaluated = lenientDate(j, "lastEvaluated");
  state.pressure = lenientLevel(j, "pressure");
  state.alertedLevel = lenientLevel(j, "alertedLevel");
  state.quietPressureLevel = lenientLevel(j, "quietPressureLevel");
}

}  // namespace kelvane
