#include "core/actions/rule.h"

#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

constexpr std::array<std::string_view, 10> kRuleTexts = {
    "window",     "session", "devServer", "appNoWindows",  "appUnused",
    "background", "cpuHog",  "tab",       "browserWindow", "disk"};
constexpr std::array<std::string_view, 6> kKindTexts = {
    "closeWindow", "quitApp", "stopProcess", "closeTab", "closeBrowserWindow", "cleanDisk"};

template <class E, size_t N>
std::optional<E> lookup(const std::array<std::string_view, N>& texts, std::string_view text) {
  for (size_t i = 0; i < N; ++i)
    if (texts[i] == text) return static_cast<E>(i);
  return std::nullopt;
}

template <class E, size_t N>
E decode(const std::array<std::string_view, N>& texts, const nlohmann::json& j) {
  if (j.is_string())
    if (const auto value = lookup<E>(texts, j.get_ref<const std::string&>())) return *value;
  throw nlohmann::json::type_error::create(302, "unknown text " + j.dump(), &j);
}

}  // namespace

std::string_view rawValue(Rule rule) {
  const auto i = static_cast<size_t>(rule);
  return i < kRuleTexts.size() ? kRuleTexts[i] : std::string_view();
}

std::string_view rawValue(ActionKind kind) {
  const auto i = static_cast<size_t>(kind);
  return i < kKindTexts.size() ? kKindTexts[i] : std::string_view();
}

std::optional<Rule> ruleFromRawValue(std::string_view text) {
  return lookup<Rule>(kRuleTexts, text);
}

std::optional<ActionKind> actionKindFromRawValue(std::string_view text) {
  return lookup<ActionKind>(kKindTexts, text);
}

void to_json(nlohmann::json& j, Rule rule) { j = rawValue(rule); }
void from_json(const nlohmann::json& j, Rule& rule) { rule = decode<Rule>(kRuleTexts, j); }
void to_json(nlohmann::json& j, ActionKind kind) { j = rawValue(kind); }
void from_json(const nlohmann::json& j, ActionKind& kind) {
  kind = decode<ActionKind>(kKindTexts, j);
}

}  // namespace kelvane
