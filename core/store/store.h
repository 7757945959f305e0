#pragma once
// Store: the support folder and its files — small JSON documents replaced
// atomically, and JSON-lines logs appended to and occasionally rewritten.
// Reads never fail (they give nothing); writes report their error.
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/store/records.h"
#include "core/support/json_coding.h"
#include "core/support/result.h"

namespace kelvane {

inline constexpr std::string_view kRunsFile = "runs.jsonl";
inline constexpr std::string_view kClosedTabsFile = "closed-tabs.jsonl";

struct StoreError {
  std::string message;  // What failed and where, for logs.
  bool operator==(const StoreError&) const = default;
};
using StoreResult = Result<void, StoreError>;

// A plain value over one folder; no locks, no shared state. Each file is meant
// to have one writer at a time.
class Store {
 public:
  explicit Store(std::filesystem::path folder) : dir(std::move(folder)) {}

  // The folder named by a non-empty KELVANE_DATA, else
  // "Library/Application Support/Kelvane" under the home folder (HOME when set
  // and not empty, else the password database's entry for this user).
  static std::filesystem::path dataDir(const std::map<std::string, std::string>& environment);
  // dataDir of this process's environment.
  static std::filesystem::path defaultDir();

  // The whole file decoded as one T; nullopt when missing, unreadable or not a T.
  template <class T>
  [[nodiscard]] std::optional<T> load(std::string_view name) const {
    const auto bytes = read(name);
    return bytes ? decodeJson<T>(*bytes) : std::nullopt;
  }

  // Replaces the file with the value's compact, key-sorted JSON, atomically:
  // on failure the old file is left as it was.
  template <class T>
  StoreResult save(const T& value, std::string_view name) const {
    const auto text = encodeValue(value);
    if (!text) return Unexpected(StoreError{"cannot encode " + std::string(name)});
    return writeAtomically(name, *text);
  }

  // Every line of the file that decodes as a T, in file order. Empty and
  // undecodable lines are skipped; a missing or unreadable file gives none.
  template <class T>
  std::vector<T> lines(std::string_view name) const {
    std::vector<T> out;
    const auto bytes = read(name);
    if (!bytes) return out;
    for (const auto line : splitLines(*bytes))
      if (auto value = decodeJson<T>(line)) out.push_back(std::move(*value));
    return out;
  }

  // Appends one line per item. A file that does not end in a line feed gets one
  // first, so that a record never joins a partial last line; a missing file is
  // created whole (empty when there are no items).
  template <class T>
  StoreResult appendLines(const std::vector<T>& items, std::string_view name) const {
    std::string buffer;
    for (const auto& item : items) {
      const auto text = encodeValue(item);
      if (!text) return Unexpected(StoreError{"cannot encode a line of " + std::string(name)});
      buffer += *text;
      buffer += '\n';
    }
    return appendBytes(name, buffer);
  }

  // Rewrites the file keeping the decodable lines for which `keep` is true,
  // each re-encoded; undecodable lines are dropped. A missing file is left
  // missing; when nothing is kept the file becomes empty.
  template <class T>
  StoreResult rewriteLines(std::string_view name, const std::function<bool(const T&)>& keep) const {
    if (!exists(name)) return {};
    const auto bytes = read(name);
    if (!bytes) return Unexpected(StoreError{"cannot read " + std::string(name)});
    std::string buffer;
    for (const auto line : splitLines(*bytes)) {
      const auto value = decodeJson<T>(line);
      if (!value || !keep(*value)) continue;
      const auto text = encodeValue(*value);
      if (!text) return Unexpected(StoreError{"cannot encode a line of " + std::string(name)});
      buffer += *text;
      buffer += '\n';
    }
    return writeAtomically(name, buffer);
  }

  // Appends one run to runs.jsonl.
  StoreResult append(const RunRecord& record) const;
  // Rewrites runs.jsonl keeping the runs at or after `before` (lines that do
  // not decode are dropped). A missing file stays missing.
  StoreResult prune(Date before) const;
  // The runs of runs.jsonl at or after `since`, oldest first.
  std::vector<RunRecord> runs(Date since) const;

  // The file's bytes; nullopt when missing, unreadable or not a regular file.
  [[nodiscard]] std::optional<std::string> read(std::string_view name) const;
  bool exists(std::string_view name) const;
  // Creates the folder, writes a temporary file beside the target, flushes it
  // to disk and renames it over the target. Keeps an existing file's mode.
  StoreResult writeAtomically(std::string_view name, std::string_view bytes) const;
  // The append step of appendLines, on ready-made bytes. Fails for anything but
  // a regular file (a FIFO is refused, not written until it blocks).
  StoreResult appendBytes(std::string_view name, std::string_view bytes) const;
  std::filesystem::path path(std::string_view name) const { return dir / std::string(name); }

  // The pieces of `bytes` between line feeds, empty ones dropped.
  static std::vector<std::string_view> splitLines(std::string_view bytes);

  std::filesystem::path dir;
};

}  // namespace kelvane
