#pragma once
// The disk cleanup's records: what a rule found (DiskItem, DiskRuleScan), a whole
// scan (DiskScan), folders shown for manual review (Suggestion), and the job a
// planned cleanup action carries (DiskJob). Plain values with JSON coding.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/disk_records/disk_rule.h"
#include "core/support/date.h"

namespace kelvane {

// One path a rule would remove.
struct DiskItem {
  std::string path;                    // Absolute path of the file or folder.
  std::string root;                    // The containment root the rule scanned.
  int64_t bytes = 0;                   // Allocated size on disk; 0 when unknown.
  std::optional<std::string> gitRepo;  // Build folders: the repository the scanner found.
  std::optional<std::string> project;  // Build folders: the project the folder belongs to.
  bool operator==(const DiskItem&) const = default;
};

// What one rule found: items to remove, tool invocations to run, and why it may
// have found nothing.
struct DiskRuleScan {
  std::vector<DiskItem> items;
  // Each invocation starts with the tool's absolute path.
  std::vector<std::vector<std::string>> commands;
  int64_t bytes = 0;                // Estimated bytes freed; 0 when unknown.
  std::optional<std::string> note;  // Why the rule found nothing or could not look.
  bool operator==(const DiskRuleScan&) const = default;
};

// A large folder shown to the user for review; never cleaned automatically.
struct Suggestion {
  std::string path;
  int64_t bytes = 0;
  std::optional<Date> lastUsed;  // Absent when the host's metadata does not know.
  bool operator==(const Suggestion&) const = default;
};

// The result of one full scan of the home folder.
struct DiskScan {
  Date at;
  std::string home;
  std::map<DiskRule, DiskRuleScan> rules;
  std::vector<Suggestion> suggestions;
  bool fullDiskAccess = true;   // False when the Trash could not be listed.
  bool downloadsAccess = true;  // False when Downloads exists but could not be listed.
  bool operator==(const DiskScan&) const = default;
};

// The cleanup a planned action carries.
struct DiskJob {
  std::optional<DiskRule> rule;
  std::vector<DiskItem> items;  // Paths to remove, after the planner's filtering.
  std::vector<std::vector<std::string>> commands;
  int64_t bytes = 0;   // Bytes the job is expected to free.
  int64_t count = 0;   // Number of items, as shown in the action's text.
  bool trash = false;  // True when items go to the Trash instead of being deleted.
  bool operator==(const DiskJob&) const = default;
};

// JSON coding, found by nlohmann through ADL; keys are the field names. Optional
// fields are omitted when absent and read as absent when missing or null. A path (and
// the words of the commands) that is not valid UTF-8 is written as display text, each
// invalid sequence as U+FFFD, and exactly beside it under the key + "Escaped"
// ("pathEscaped", "commandsEscaped"): every byte outside printable ASCII, and "%", as
// %XX. Reading prefers the escaped form, so paths round-trip byte for byte. from_json
// throws nlohmann::json::exception when a required key is missing or mistyped (an
// integer must be a whole number in range) or an escape is broken; callers use decodeJson.
void to_json(nlohmann::json& j, const DiskItem& item);
void from_json(const nlohmann::json& j, DiskItem& item);
void to_json(nlohmann::json& j, const DiskRuleScan& scan);
void from_json(const nlohmann::json& j, DiskRuleScan& scan);
void to_json(nlohmann::json& j, const Suggestion& suggestion);
void from_json(const nlohmann::json& j, Suggestion& suggestion);
// `rules` is written as a flat array alternating a rule's text and its scan. Reading
// fails on an odd length or on a pair that is not (known rule text, object); a
// repeated rule keeps its last scan.
void to_json(nlohmann::json& j, const DiskScan& scan);
void from_json(const nlohmann::json& j, DiskScan& scan);
void to_json(nlohmann::json& j, const DiskJob& job);
void from_json(const nlohmann::json& j, DiskJob& job);

}  // namespace kelvane

// Hashes over all fields, for sets of items, suggestions and jobs.
template <>
struct std::hash<kelvane::DiskItem> {
  size_t operator()(const kelvane::DiskItem& item) const noexcept;
};
template <>
struct std::hash<kelvane::Suggestion> {
  size_t operator()(const kelvane::Suggestion& suggestion) const noexcept;
};
template <>
struct std::hash<kelvane::DiskJob> {
  size_t operator()(const kelvane::DiskJob& job) const noexcept;
};
