// JSON coding of the activity record. The record is written whole and read
// back leniently: whatever cannot be read is dropped, never the whole record.
#include <charconv>
#include <cmath>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/model/activity.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {
namespace {

using nlohmann::json;

template <class Map>
json idKeyed(const Map& values) {
  json out = json::object();
  for (const auto& [key, value] : values) out[std::to_string(key)] = value;
  return out;
}

// The ID whose decimal text `text` is in full; nullopt for anything else.
template <class K>
std::optional<K> idOf(const std::string& text) {
  K id{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, id);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return id;
}

std::optional<Date> dateOf(const json& v) {
  if (!v.is_string()) return std::nullopt;
  return Date::fromISO8601(v.get_ref<const std::string&>());
}

std::optional<CPUHistory> samplesOf(const json& v) {
  if (!v.is_array()) return std::nullopt;
  CPUHistory samples;
  for (const json& element : v) {
    // Histories are kept in time order; a sample out of order is dropped.
    const auto sample = decodeJsonValue<CPUSample>(element);
    if (sample && std::isfinite(sample->cpu) &&
        (samples.empty() || samples.back().at <= sample->at))
      samples.push_back(*sample);
  }
  if (samples.empty()) return std::nullopt;
  return samples;
}

// Reads the object under `key` entry by entry: `keyOf` reads a key, `valueOf`
// a value, and an entry either cannot read is skipped.
template <class Map, class KeyOf, class ValueOf>
Map entries(const json& j, const char* key, KeyOf keyOf, ValueOf valueOf) {
  Map out;
  const auto it = j.find(key);
  if (it == j.end() || !it->is_object()) return out;
  for (const auto& [text, value] : it->items()) {
    auto k = keyOf(text);
    auto v = valueOf(value);
    if (k && v) out.emplace(std::move(*k), std::move(*v));
  }
  return out;
}

std::optional<std::string> textKey(const std::string& text) { return text; }

std::optional<std::string> textOf(const json& v) {
  if (!v.is_string()) return std::nullopt;
  return v.get<std::string>();
}

std::unordered_set<std::string> textSet(const json& j, const char* key) {
  std::unordered_set<std::string> out;
  const auto it = j.find(key);
  if (it == j.end() || !it->is_array()) return out;
  for (const json& element : *it)
    if (element.is_string()) out.insert(element.get<std::string>());
  return out;
}

std::optional<Date> optionalDate(const json& j, const char* key) {
  const auto it = j.find(key);
  return it == j.end() ? std::nullopt : dateOf(*it);
}

std::optional<int32_t> optionalSession(const json& j) {
  const auto it = j.find("session");
  if (it == j.end()) return std::nullopt;
  try {
    return Fields::value<int32_t>(*it);
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

void to_json(json& j, const CPUSample& sample) { j = {{"at", sample.at}, {"cpu", sample.cpu}}; }

void from_json(const json& j, CPUSample& sample) {
  sample.at = Fields::required<Date>(j, "at");
  sample.cpu = Fields::required<double>(j, "cpu");
}

void to_json(json& j, const Activity& a) {
  j = {{"windowFocused", idKeyed(a.windowFocused)},
       {"appActive", idKeyed(a.appActive)},
       {"appNoWindowsSince", idKeyed(a.appNoWindowsSince)},
       {"connSeen", idKeyed(a.connSeen)},
       {"cpu", idKeyed(a.cpu)},
       {"tabViewed", a.tabViewed},
       {"tabsInView", std::set<std::string>(a.tabsInView.begin(), a.tabsInView.end())},
       {"windowShown", a.windowShown}};
  putOptional(j, "boot", a.boot);
  putOptional(j, "lastSample", a.lastSample);
  putOptional(j, "session", a.session);
}

void from_json(const json& j, Activity& a) {
  a = Activity();
  if (!j.is_object()) return;
  a.windowFocused = entries<WindowClocks>(j, "windowFocused", idOf<uint32_t>, dateOf);
  a.appActive = entries<ProcessClocks>(j, "appActive", idOf<int32_t>, dateOf);
  a.appNoWindowsSince = entries<ProcessClocks>(j, "appNoWindowsSince", idOf<int32_t>, dateOf);
  a.connSeen = entries<ProcessClocks>(j, "connSeen", idOf<int32_t>, dateOf);
  a.cpu = entries<CPUHistories>(j, "cpu", idOf<int32_t>, samplesOf);
  a.boot = optionalDate(j, "boot");
  a.tabViewed = entries<TabClocks>(j, "tabViewed", textKey, dateOf);
  a.tabsInView = textSet(j, "tabsInView");
  a.windowShown =
      entries<std::unordered_map<std::string, std::string>>(j, "windowShown", textKey, textOf);
  a.lastSample = optionalDate(j, "lastSample");
  a.session = optionalSession(j);
}

}  // namespace kelvane
