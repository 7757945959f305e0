#include "platform/linux/browser_profiles.h"

#include <algorithm>
#include <set>

#include <nlohmann/json.hpp>

namespace kelvane::BrowserProfiles {
namespace {

std::string text(const nlohmann::json& entry, const char* key) {
  const auto it = entry.find(key);
  return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string displayName(const std::string& folder, const nlohmann::json& entry) {
  const auto usingDefault = entry.find("is_using_default_name");
  if (usingDefault != entry.end() && usingDefault->is_boolean() && usingDefault->get<bool>()) {
    for (const char* key : {"gaia_given_name", "gaia_name"})
      if (auto name = text(entry, key); !name.empty()) return name;
  }
  auto name = text(entry, "name");
  return name.empty() ? folder : name;
}

// The folder whose display name is `name`, when exactly one has it.
std::optional<std::string> folderNamed(const LocalStateProfiles& profiles, std::string_view name) {
  std::optional<std::string> found;
  for (const auto& [folder, display] : profiles.names) {
    if (display != name) continue;
    if (found) return std::nullopt;
    found = folder;
  }
  return found;
}

}  // namespace

std::optional<LocalStateProfiles> parseLocalState(std::string_view text) {
  const auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  LocalStateProfiles out;
  const auto profile = j.find("profile");
  if (profile == j.end() || !profile->is_object()) return out;
  if (const auto cache = profile->find("info_cache"); cache != profile->end() && cache->is_object())
    for (const auto& [folder, entry] : cache->items())
      if (entry.is_object()) out.names.emplace(folder, displayName(folder, entry));
  if (const auto open = profile->find("last_active_profiles");
      open != profile->end() && open->is_array())
    for (const auto& folder : *open)
      if (folder.is_string()) out.open.push_back(folder.get<std::string>());
  return out;
}

std::optional<std::string> nameInTitle(std::string_view windowTitle, std::string_view tabTitle) {
  constexpr std::string_view kSeparator = " - ";
  if (!windowTitle.starts_with(tabTitle)) return std::nullopt;
  std::string_view rest = windowTitle.substr(tabTitle.size());
  if (!rest.starts_with(kSeparator)) return std::nullopt;
  rest.remove_prefix(kSeparator.size());  // The browser's name, which holds no separator.
  const auto at = rest.find(kSeparator);
  if (at == std::string_view::npos || at + kSeparator.size() == rest.size()) return std::nullopt;
  return std::string(rest.substr(at + kSeparator.size()));
}

std::map<std::string, BrowserProfile> assign(const std::vector<std::string>& contexts,
                                             const LocalStateProfiles& profiles,
                                             const std::optional<std::string>& profileSwitch,
                                             const std::map<std::string, std::string>& titleNames) {
  std::map<std::string, BrowserProfile> out;
  std::set<std::string> taken;
  const auto give = [&](const std::string& context, const std::string& folder) {
    const auto name = profiles.names.find(folder);
    out[context] = {folder, name == profiles.names.end() ? folder : name->second};
    taken.insert(folder);
  };
  for (const auto& context : contexts) {
    const auto name = titleNames.find(context);
    if (name == titleNames.end()) continue;
    if (const auto folder = folderNamed(profiles, name->second); folder && !taken.contains(*folder))
      give(context, *folder);
  }
  std::vector<std::string> leftContexts;
  for (const auto& context : contexts)
    if (!out.contains(context)) leftContexts.push_back(context);
  std::vector<std::string> leftOpen;
  for (const auto& folder : profiles.open)
    if (profiles.names.contains(folder) && !taken.contains(folder)) leftOpen.push_back(folder);
  if (profiles.open.empty() && profileSwitch) leftOpen.push_back(*profileSwitch);
  if (profiles.open.empty() && !profileSwitch && profiles.names.size() == 1)
    leftOpen.push_back(profiles.names.begin()->first);
  if (leftContexts.size() == 1 && leftOpen.size() == 1)
    give(leftContexts.front(), leftOpen.front());
  return out;
}

}  // namespace kelvane::BrowserProfiles
