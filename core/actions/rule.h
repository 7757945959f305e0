#pragma once
// Rule and ActionKind: why something is swept and what is done to it.
#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

enum class Rule {
  window,
  session,
  devServer,
  appNoWindows,
  appUnused,
  background,
  cpuHog,
  tab,
  browserWindow,
  disk,
};

enum class ActionKind {
  closeWindow,
  quitApp,
  stopProcess,
  closeTab,
  closeBrowserWindow,
  cleanDisk
};

namespace Rules {
// Every rule, in the order sweeps report them.
inline constexpr std::array<Rule, 10> allCases = {
    Rule::window,     Rule::session, Rule::devServer, Rule::appNoWindows,  Rule::appUnused,
    Rule::background, Rule::cpuHog,  Rule::tab,       Rule::browserWindow, Rule::disk};
}  // namespace Rules

// The stored text of a rule or kind ("devServer", "closeTab").
std::string_view rawValue(Rule rule);
std::string_view rawValue(ActionKind kind);
// The rule or kind with that exact text; nullopt for any other text.
[[nodiscard]] std::optional<Rule> ruleFromRawValue(std::string_view text);
[[nodiscard]] std::optional<ActionKind> actionKindFromRawValue(std::string_view text);

// JSON as the stored text; from_json throws for non-text and unknown texts.
void to_json(nlohmann::json& j, Rule rule);
void from_json(const nlohmann::json& j, Rule& rule);
void to_json(nlohmann::json& j, ActionKind kind);
void from_json(const nlohmann::json& j, ActionKind& kind);

}  // namespace kelvane
