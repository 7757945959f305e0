#include "core/disk_records/disk_records.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"
#include "core/support/text.h"

namespace kelvane {
namespace {

using nlohmann::json;
using Commands = std::vector<std::vector<std::string>>;

// Paths are bytes, and JSON text is UTF-8. A path that is not valid UTF-8 is written twice:
// under its own key as display text (each invalid sequence as U+FFFD, which no longer names
// the file and may name another), and under the key + "Escaped" with every byte outside
// printable ASCII, and "%", as %XX, which names it exactly. Readers take the escaped form
// when it is there.
constexpr std::string_view kEscapedSuffix = "Escaped";
constexpr char kHex[] = "0123456789ABCDEF";

std::string percentEscaped(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f && byte != '%') {
      text.push_back(c);
    } else {
      text += {'%', kHex[byte >> 4], kHex[byte & 0xf]};
    }
  }
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes an escaped path names; throws (failing the record) on a broken escape.
std::string percentUnescaped(const std::string& text, const json& at) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      bytes.push_back(text[i]);
      continue;
    }
    const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
    if (low < 0) throw json::type_error::create(302, "a broken escape in a path", &at);
    bytes.push_back(static_cast<char>(high << 4 | low));
    i += 2;
  }
  return bytes;
}

std::string escapedKey(std::string_view key) {
  return std::string(key) + std::string(kEscapedSuffix);
}

void putPath(json& j, std::string_view key, const std::string& path) {
  if (Text::isValidUtf8(path)) {
    j[std::string(key)] = path;
    return;
  }
  j[std::string(key)] = Text::validUtf8(path);
  j[escapedKey(key)] = percentEscaped(path);
}

void putPath(json& j, std::string_view key, const std::optional<std::string>& path) {
  if (path) putPath(j, key, *path);
}

std::optional<std::string> getOptionalPath(const json& j, std::string_view key) {
  const auto escaped = j.find(escapedKey(key));
  if (escaped != j.end() && !escaped->is_null())
    return percentUnescaped(Fields::value<std::string>(*escaped), *escaped);
  return Fields::optional<std::string>(j, std::string(key).c_str());
}

std::string getPath(const json& j, std::string_view key) {
  if (auto path = getOptionalPath(j, key)) return std::move(*path);
  return Fields::required<std::string>(j, std::string(key).c_str());  // throws: missing or mistyped
}

// Commands name tools and toolchains by path, so they are kept exact the same way.
void putCommands(json& j, const Commands& commands) {
  j["commands"] = json::array();
  bool exact = true;
  for (const auto& command : commands) {
    json words = json::array();
    for (const auto& word : command) {
      exact = exact && Text::isValidUtf8(word);
      words.push_back(Text::validUtf8(word));
    }
    j["commands"].push_back(std::move(words));
  }
  if (exact) return;
  json escaped = json::array();
  for (const auto& command : commands) {
    json words = json::array();
    for (const auto& word : command) words.push_back(percentEscaped(word));
    escaped.push_back(std::move(words));
  }
  j[escapedKey("commands")] = std::move(escaped);
}

Commands getCommands(const json& j) {
  const auto escaped = j.find(escapedKey("commands"));
  if (escaped == j.end() || escaped->is_null()) return Fields::required<Commands>(j, "commands");
  Commands commands;
  for (const auto& words : Fields::value<Commands>(*escaped)) {
    auto& command = commands.emplace_back();
    for (const auto& word : words) command.push_back(percentUnescaped(word, *escaped));
  }
  return commands;
}

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
  j = {{"bytes", item.bytes}};
  putPath(j, "path", item.path);
  putPath(j, "root", item.root);
  putPath(j, "gitRepo", item.gitRepo);
  putPath(j, "project", item.project);
}

void from_json(const json& j, DiskItem& item) {
  item.path = getPath(j, "path");
  item.root = getPath(j, "root");
  item.bytes = Fields::required<int64_t>(j, "bytes");
  item.gitRepo = getOptionalPath(j, "gitRepo");
  item.project = getOptionalPath(j, "project");
}

void to_json(json& j, const DiskRuleScan& scan) {
  j = {{"items", scan.items}, {"bytes", scan.bytes}};
  putCommands(j, scan.commands);
  putOptional(j, "note", scan.note);
}

void from_json(const json& j, DiskRuleScan& scan) {
  scan.items = Fields::required<std::vector<DiskItem>>(j, "items");
  scan.commands = getCommands(j);
  scan.bytes = Fields::required<int64_t>(j, "bytes");
  scan.note = Fields::optional<std::string>(j, "note");
}

void to_json(json& j, const Suggestion& suggestion) {
  j = {{"bytes", suggestion.bytes}};
  putPath(j, "path", suggestion.path);
  putOptional(j, "lastUsed", suggestion.lastUsed);
}

void from_json(const json& j, Suggestion& suggestion) {
  suggestion.path = getPath(j, "path");
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
       {"rules", std::move(pairs)},
       {"suggestions", scan.suggestions},
       {"fullDiskAccess", scan.fullDiskAccess},
       {"downloadsAccess", scan.downloadsAccess}};
  putPath(j, "home", scan.home);
}

void from_json(const json& j, DiskScan& scan) {
  scan.at = Fields::required<Date>(j, "at");
  scan.home = getPath(j, "home");
  scan.rules = rulesFromPairs(j.at("rules"));
  scan.suggestions = Fields::required<std::vector<Suggestion>>(j, "suggestions");
  scan.fullDiskAccess = Fields::required<bool>(j, "fullDiskAccess");
  scan.downloadsAccess = Fields::required<bool>(j, "downloadsAccess");
}

void to_json(json& j, const DiskJob& job) {
  j = {{"items", job.items}, {"bytes", job.bytes}, {"count", job.count}, {"trash", job.trash}};
  putCommands(j, job.commands);
  putOptional(j, "rule", job.rule);
}

void from_json(const json& j, DiskJob& job) {
  job.rule = Fields::optional<DiskRule>(j, "rule");
  job.items = Fields::required<std::vector<DiskItem>>(j, "items");
  job.commands = getCommands(j);
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
