#include "core/config/allowlist.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/config/string_or_nil.h"
#include "core/support/text.h"
#include "core/support/url.h"

namespace kelvane {
namespace {

bool contains(const std::vector<std::string>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

std::optional<std::string> hostOf(std::string_view address) {
  const auto url = Url::parse(address);
  return url ? url->host : std::nullopt;
}

}  // namespace

bool Allowlist::has(const RunningApp& app) const {
  return (app.bundleID && contains(apps, *app.bundleID)) || contains(apps, app.name);
}

bool Allowlist::has(const Proc& proc) const {
  return contains(processes, proc.name) || (!proc.path.empty() && contains(processes, proc.path));
}

bool Allowlist::has(const BrowserTab& tab) const {
  const auto host = hostOf(tab.url);
  if (!host) return false;
  const std::string lower = Text::lowercased(*host);
  return std::any_of(sites.begin(), sites.end(), [&](const std::string& site) {
    const std::string entry = Text::lowercased(site);
    return lower == entry || lower.ends_with("." + entry);
  });
}

void Allowlist::add(KeepKind kind, std::string value) {
  std::vector<std::string>* list = &apps;
  switch (kind) {
    case KeepKind::app:
      break;
    case KeepKind::process:
      list = &processes;
      break;
    case KeepKind::site:
      list = &sites;
      break;
    case KeepKind::path:
      list = &paths;
      break;
  }
  if (!contains(*list, value)) list->push_back(std::move(value));
}

std::optional<std::string> Allowlist::siteHost(std::string_view text) {
  std::string_view typed = Text::trimmed(text);
  if (typed.starts_with('.')) typed.remove_prefix(1);
  std::string host(typed);
  if (const auto parsed = hostOf(typed)) {
    host = *parsed;
  } else if (typed.find("://") == std::string_view::npos) {
    // A bare "example.com/path" is a relative reference; read it as a web address.
    if (const auto guessed = hostOf("https://" + std::string(typed))) host = *guessed;
  }
  host = Text::lowercased(host);
  if (host.empty()) return std::nullopt;
  return host;
}

void to_json(nlohmann::json& j, const Allowlist& allowlist) {
  j = {{"apps", allowlist.apps},
       {"processes", allowlist.processes},
       {"sites", allowlist.sites},
       {"paths", allowlist.paths}};
}

void from_json(const nlohmann::json& j, Allowlist& allowlist) {
  allowlist = Allowlist();
  if (!j.is_object()) {
    allowlist.decodeIssues = true;
    return;
  }
  bool issue = false;
  allowlist.apps = readTextList(j, "apps", {}, {}, issue);
  allowlist.processes = readTextList(j, "processes", {}, {}, issue);
  allowlist.sites = readTextList(j, "sites", {}, {}, issue);
  allowlist.paths = readTextList(j, "paths", {}, {}, issue);
  allowlist.decodeIssues = issue;
}

}  // namespace kelvane
