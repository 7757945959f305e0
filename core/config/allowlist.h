#pragma once
// Allowlist: what the sweep never touches (applications, processes, sites) and
// what the disk cleanup leaves alone (paths).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/config/keep_kind.h"
#include "core/model/browser_tab.h"
#include "core/model/proc.h"
#include "core/model/running_app.h"

namespace kelvane {

// Lists what is never swept; entries compare exactly unless said otherwise.
struct Allowlist {
  std::vector<std::string> apps;       // Bundle identifiers or application names.
  std::vector<std::string> processes;  // Process names or executable paths.
  std::vector<std::string> sites;      // Hosts; their subdomains are kept too.
  std::vector<std::string> paths;      // Files and folders the disk cleanup leaves alone.
  bool decodeIssues = false;           // Set while reading when anything was repaired.
  bool operator==(const Allowlist&) const = default;

  // Tells whether an entry of `apps` equals the application's bundle identifier or name.
  bool has(const RunningApp& app) const;
  // Tells whether an entry of `processes` equals the process's name or its
  // non-empty executable path.
  bool has(const Proc& proc) const;
  // Tells whether the tab's host equals an entry of `sites` or is a subdomain
  // of one, ignoring case. False when the address has no host.
  bool has(const BrowserTab& tab) const;
  // Appends `value` to the list of `kind` unless that list already holds it exactly.
  void add(KeepKind kind, std::string value);
  // Turns what a user typed as a site ("  .Example.com", "https://a.test/x")
  // into a lower-case host; nullopt when nothing is left.
  [[nodiscard]] static std::optional<std::string> siteHost(std::string_view text);
};

// Writes the four lists (never decodeIssues).
void to_json(nlohmann::json& j, const Allowlist& allowlist);
// Reads leniently and never throws: a missing list is empty, a damaged one is
// empty plus decodeIssues, and non-text elements are dropped with decodeIssues.
// A value that is not an object gives empty lists plus decodeIssues.
void from_json(const nlohmann::json& j, Allowlist& allowlist);

}  // namespace kelvane
