#include "core/model/running_app.h"

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {
namespace {

constexpr std::array<std::pair<AppPolicy, std::string_view>, 3> kPolicies{{
    {AppPolicy::regular, "regular"},
    {AppPolicy::accessory, "accessory"},
    {AppPolicy::background, "background"},
}};

}  // namespace

std::string_view rawValue(AppPolicy policy) {
  for (const auto& [value, text] : kPolicies)
    if (value == policy) return text;
  return "regular";  // Unreachable for a valid enumerator.
}

std::optional<AppPolicy> appPolicyFromRaw(std::string_view text) {
  for (const auto& [value, raw] : kPolicies)
    if (raw == text) return value;
  return std::nullopt;
}

void to_json(nlohmann::json& j, AppPolicy policy) { j = rawValue(policy); }

void from_json(const nlohmann::json& j, AppPolicy& policy) {
  const auto parsed = appPolicyFromRaw(Fields::value<std::string>(j));
  if (!parsed) throw nlohmann::json::type_error::create(302, "unknown application policy", &j);
  policy = *parsed;
}

void to_json(nlohmann::json& j, const RunningApp& app) {
  j = {{"pid", app.pid}, {"name", app.name}, {"policy", app.policy}};
  putOptional(j, "bundleID", app.bundleID);
  putOptional(j, "bundlePath", app.bundlePath);
}

void from_json(const nlohmann::json& j, RunningApp& app) {
  app.pid = Fields::required<int32_t>(j, "pid");
  app.bundleID = Fields::optional<std::string>(j, "bundleID");
  app.name = Fields::required<std::string>(j, "name");
  app.bundlePath = Fields::optional<std::string>(j, "bundlePath");
  app.policy = Fields::required<AppPolicy>(j, "policy");
}

}  // namespace kelvane

size_t std::hash<kelvane::RunningApp>::operator()(const kelvane::RunningApp& app) const noexcept {
  return kelvane::hashValues(app.pid, app.bundleID, app.name, app.bundlePath, app.policy);
}
