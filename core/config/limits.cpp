#include "core/config/limits.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "core/config/format.h"
#include "core/support/json_coding.h"

namespace kelvane {
namespace {

struct FieldInfo {
  LimitField field;
  const char* key;
  double Limits::*member;
  double low;
  double high;
};

// Durations read back within one minute ... 30 days.
constexpr double kMinute = 60, kMaxStored = 2'592'000;
constexpr std::array<FieldInfo, 9> kFields{{
    {LimitField::windowIdle, "windowIdle", &Limits::windowIdle, kMinute, kMaxStored},
    {LimitField::tabIdle, "tabIdle", &Limits::tabIdle, kMinute, kMaxStored},
    {LimitField::sessionIdle, "sessionIdle", &Limits::sessionIdle, kMinute, kMaxStored},
    {LimitField::devServerIdle, "devServerIdle", &Limits::devServerIdle, kMinute, kMaxStored},
    {LimitField::appNoWindows, "appNoWindows", &Limits::appNoWindows, kMinute, kMaxStored},
    {LimitField::appUnused, "appUnused", &Limits::appUnused, kMinute, kMaxStored},
    {LimitField::backgroundIdle, "backgroundIdle", &Limits::backgroundIdle, kMinute, kMaxStored},
    {LimitField::cpuHogWindow, "cpuHogWindow", &Limits::cpuHogWindow, kMinute, kMaxStored},
    {LimitField::cpuHogShare, "cpuHogShare", &Limits::cpuHogShare, 0.05, 64.0},
}};

constexpr bool inFieldOrder() {
  for (size_t i = 0; i < kFields.size(); ++i)
    if (static_cast<size_t>(kFields[i].field) != i || Limits::allFields[i] != kFields[i].field)
      return false;
  return true;
}
static_assert(inFieldOrder(), "kFields is indexed by LimitField");

const FieldInfo& info(LimitField field) { return kFields[static_cast<size_t>(field)]; }

std::string counted(int64_t count, const char* unit) {
  return std::to_string(count) + " " + unit + (count >= 2 ? "s" : "");
}

}  // namespace

double& Limits::at(LimitField field) { return this->*info(field).member; }
double Limits::at(LimitField field) const { return this->*info(field).member; }

std::vector<double> Limits::steps(LimitField field) {
  switch (field) {
    case LimitField::windowIdle:
      return {1800, 3600, 7200, 14400, 28800, 86400, 604800};
    case LimitField::tabIdle:
      return {3600, 7200, 14400, 28800, 86400, 259200, 604800};
    case LimitField::sessionIdle:
      return {900, 1800, 3600, 7200, 14400, 28800};
    case LimitField::devServerIdle:
    case LimitField::appNoWindows:
    case LimitField::backgroundIdle:
      return {900, 1800, 3600, 7200, 14400};
    case LimitField::appUnused:
      return {3600, 7200, 14400, 28800, 86400};
    case LimitField::cpuHogWindow:
      return {300, 600, 900, 1800, 3600};
    case LimitField::cpuHogShare:
      break;
  }
  return {};
}

std::vector<double> Limits::items(LimitField field, double current) {
  auto out = steps(field);
  if (std::find(out.begin(), out.end(), current) == out.end()) {
    out.insert(std::upper_bound(out.begin(), out.end(), current), current);
  }
  return out;
}

double Limits::clamped(double seconds) {
  if (std::isnan(seconds)) return kMinute;
  return std::clamp(seconds, kMinute, 604800.0);
}

std::string Limits::label(double seconds) {
  // Only positive whole seconds get a unit; 0 would otherwise read "0 week".
  if (!(seconds > 0 && seconds <= 1e15) || seconds != std::trunc(seconds))
    return Format::duration(seconds);
  const auto s = static_cast<int64_t>(seconds);
  if (s % 604800 == 0) return counted(s / 604800, "week");
  if (s % 86400 == 0) return counted(s / 86400, "day");
  if (s % 3600 == 0) return counted(s / 3600, "hour");
  if (s < 3600 && s % 60 == 0) return counted(s / 60, "minute");
  return Format::duration(seconds);
}

void to_json(nlohmann::json& j, const Limits& limits) {
  j = nlohmann::json::object();
  for (const auto& field : kFields) j[field.key] = limits.*field.member;
}

void from_json(const nlohmann::json& j, Limits& limits) {
  limits = Limits();
  if (!j.is_object()) {
    limits.decodeIssues = true;
    return;
  }
  bool issue = false;
  for (const auto& field : kFields) {
    limits.*field.member =
        Lenient::clamped(j, field.key, limits.*field.member, {field.low, field.high}, issue);
  }
  limits.decodeIssues = issue;
}

}  // namespace kelvane
