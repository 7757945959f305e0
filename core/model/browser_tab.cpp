#include "core/model/browser_tab.h"

#include <algorithm>
#include <array>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"
#include "core/support/text.h"
#include "core/support/url.h"

namespace kelvane {
namespace {

// New-tab and blank pages: closing one loses nothing.
constexpr std::array<std::string_view, 5> kBlankPages{
    "about:blank", "about:newtab", "chrome://newtab/", "chrome://new-tab-page/", "favorites://"};

}  // namespace

std::string BrowserTab::key() const {
  // Built in one buffer: the planners ask for the key of every tab on every tick.
  const std::string window = tabID ? std::string() : std::to_string(windowID);
  const std::string& middle = tabID ? *tabID : window;
  std::string key;
  key.reserve(browser.size() + middle.size() + url.size() + 2);
  key.append(browser).append(1, ':').append(middle).append(1, ':').append(url);
  return key;
}

bool BrowserTab::restorable() const {
  const std::string lower = Text::lowercased(url);
  if (std::find(kBlankPages.begin(), kBlankPages.end(), lower) != kBlankPages.end()) return true;
  const auto parsed = Url::parse(url);
  if (!parsed) return false;
  const std::string scheme = Text::asciiLowercased(parsed->scheme);
  return scheme == "http" || scheme == "https" || scheme == "file";
}

void to_json(nlohmann::json& j, const BrowserProfile& profile) {
  j = {{"directory", profile.directory}, {"name", profile.name}};
}

void from_json(const nlohmann::json& j, BrowserProfile& profile) {
  profile.directory = Fields::required<std::string>(j, "directory");
  profile.name = Fields::required<std::string>(j, "name");
}

void to_json(nlohmann::json& j, const BrowserTab& tab) {
  j = {{"browser", tab.browser}, {"windowID", tab.windowID}, {"index", tab.index}, {"url", tab.url},
       {"title", tab.title},     {"active", tab.active},     {"front", tab.front}};
  putOptional(j, "tabID", tab.tabID);
  putOptional(j, "profile", tab.profile);
}

void from_json(const nlohmann::json& j, BrowserTab& tab) {
  tab.browser = Fields::required<std::string>(j, "browser");
  tab.windowID = Fields::required<int64_t>(j, "windowID");
  tab.tabID = Fields::optional<std::string>(j, "tabID");
  tab.index = Fields::required<int64_t>(j, "index");
  tab.url = Fields::required<std::string>(j, "url");
  tab.title = Fields::required<std::string>(j, "title");
  tab.active = Fields::required<bool>(j, "active");
  // Older producers did not write `front`; a null reads the same way.
  tab.front = Fields::optional<bool>(j, "front").value_or(false);
  tab.profile = Fields::optional<BrowserProfile>(j, "profile");
}

}  // namespace kelvane

size_t std::hash<kelvane::BrowserProfile>::operator()(
    const kelvane::BrowserProfile& profile) const noexcept {
  return kelvane::hashValues(profile.directory, profile.name);
}

size_t std::hash<kelvane::BrowserTab>::operator()(const kelvane::BrowserTab& tab) const noexcept {
  return kelvane::hashValues(tab.browser, tab.windowID, tab.tabID, tab.index, tab.url, tab.title,
                             tab.active, tab.front, tab.profile);
}
