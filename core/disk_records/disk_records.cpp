#include "core/disk_records/disk_records.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {
namespace {

using nlohmann::json;
using Commands = std::vector<std::vector<std::string>>;

// Reads the scan's rules from their flat (rule text, scan object) array.
std::map<DiskRule, DiskRuleScan> rulesFromPairs(const json& pairs) {
  if (!pairs.is_array() || pairs.size() % 2 != 0)
    throw json::type_error::create(302, "rules must alternate rule and scan", &pairs);
  std::map<DiskRule, DiskRuleScan> rules;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    if (!pairs[i + 1].is_object())
      throw json::type_error::create(302, "a rule's scan must be an object", &pairs[i + 1]);
    rules[Fields::value<DiskRule>(pairs[i])] = Fields::value<DiskRuleScan>(pairs[i + 1]);
  }
  return rules;
}

}  // namespace

void to_json(json& j, const DiskItem& item) {
  j = {{"path", item.path}, {"root", item.root}, {"bytes", item.bytes}};
  putOptional(j, "gitRepo", item.gitRepo);
  putOptional(j, "project", item.project);
}

void from_json(const json& j, DiskItem& item) {
  item.path = Fields::required<std::string>(j, "path");
  item.root = Fields::required<std::string>(j, "root");
  item.bytes = Fields::required<int64_t>(j, "bytes");
  item.gitRepo = Fields::optional<std::string>(j, "gitRepo");
  item.project = Fields::optional<std::string>(j, "project");
}

void to_json(json& j, const DiskRuleScan& scan) {
  j = {{"items", scan.items}, {"commands", scan.commands}, {"bytes", scan.bytes}};
  putOptional(j, "note", scan.note);
}

void from_json(const json& j, DiskRuleScan& scan) {
  scan.items = Fields::required<std::vector<DiskItem>>(j, "items");
  scan.commands = Fields::required<Commands>(j, "commands");
  scan.bytes = Fields::required<int64_t>(j, "bytes");
  scan.note = Fields::optional<std::string>(j, "note");
}

void to_json(json& j, const Suggestion& suggestion) {
  j = {{"path", suggestion.path}, {"bytes", suggestion.bytes}};
  putOptional(j, "lastUsed", suggestion.lastUsed);
}

void from_json(const json& j, Suggestion& suggestion) {
  suggestion.path = Fields::required<std::string>(j, "path");
  suggestion.bytes = Fields::required<int64_t>(j, "bytes");
  suggestion.lastUsed = Fields::optional<Date>(j, "lastUsed");
}

void to_json(json& j, const DiskScan& scan) {
  json pairs = json::array();
  for (const auto& [rule, ruleScan] : scan.rules) {
    pairs.push_back(rule);
    pairs.push_back(ruleScan);
  }
  j = {{"at", scan.at},
       {"home", scan.home},
       {"rules", std::move(pairs)},
       {"suggestions", scan.suggestions},
       {"fullDiskAccess", scan.fullDiskAccess},
       {"downloadsAccess", scan.downloadsAccess}};
}

void from_json(const json& j, DiskScan& scan) {
  scan.at = Fields::required<Date>(j, "at");
  scan.home = Fields::required<std::string>(j, "home");
  scan.rules = rulesFromPairs(j.at("rules"));
  scan.suggestions = Fields::required<std::vector<Suggestion>>(j, "suggestions");
  scan.fullDiskAccess = Fields::required<bool>(j, "fullDiskAccess");
  scan.downloadsAccess = Fields::required<bool>(j, "downloadsAccess");
}

void to_json(json& j, const DiskJob& job) {
  j = {{"items", job.items},
       {"commands", job.commands},
       {"bytes", job.bytes},
       {"count", job.count},
       {"trash", job.trash}};
  putOptional(j, "rule", job.rule);
}

void from_json(const json& j, DiskJob& job) {
  job.rule = Fields::optional<DiskRule>(j, "rule");
  job.items = Fields::required<std::vector<DiskItem>>(j, "items");
  job.commands = Fields::required<Commands>(j, "commands");
  job.bytes = Fields::required<int64_t>(j, "bytes");
  job.count = Fields::required<int64_t>(j, "count");
  job.trash = Fields::required<bool>(j, "trash");
}

}  // namespace kelvane

size_t std::hash<kelvane::DiskItem>::operator()(const kelvane::DiskItem& item) const noexcept {
  return kelvane::hashValues(item.path, item.root, item.bytes, item.gitRepo, item.project);
}

size_t std::hash<kelvane::Suggestion>::operator()(const kelvane::Suggestion& s) const noexcept {
  return kelvane::hashValues(s.path, s.bytes, s.lastUsed);
}

size_t std::hash<kelvane::DiskJob>::operator()(const kelvane::DiskJob& job) const noexcept {
  return kelvane::hashValues(job.rule, job.items, job.commands, job.bytes, job.count, job.trash);
}
