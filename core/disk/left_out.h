#pragma once
// LeftOut: what one rule of a scan could not look at or chose not to offer although it
// qualified, turned into the note of the rule's row, so that nothing goes missing
// without a word. Internal to the disk scanner.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/disk/file_walk.h"

namespace kelvane {

class LeftOut final {
 public:
  // Paths under `home` are shown as "~/...".
  explicit LeftOut(std::string home) : home_(std::move(home)) {}

  // An item a running program holds, with the holder ("open in node (pid 42)").
  void inUse(const std::string& path, const std::string& reason);
  // An item whose size could not be read in full: what measuring it left unread.
  void unmeasured(const std::string& path, const FileWalk::Gaps& gaps);
  // Folders the rule could not look into while searching.
  void unlooked(const FileWalk::Gaps& gaps);
  // A build folder of `project` that git could not judge (`why`: "git not found",
  // "git failed (fatal: ...)").
  void unjudged(const std::string& project, std::string_view why, int64_t bytes);
  // A sentence of the rule's own ("Node versions all kept: ...").
  void say(std::string sentence);

  // Returns `own` (the rule's fixed note) followed by what was left out, each part
  // separated by "; "; nullopt when there is neither.
  [[nodiscard]] std::optional<std::string> note(const std::optional<std::string>& own) const;

  // Returns `path` as the user reads it: "~" for the home, valid UTF-8.
  std::string shown(std::string_view path) const;

 private:
  // Several left out for one reason: how many, and the first as an example.
  struct Group {
    size_t count = 0;
    std::string example;
  };
  static void add(Group& group, size_t count, std::string example);

  std::string home_;
  Group inUse_;
  Group unreadableItems_;
  Group deepItems_;
  Group unreadableFolders_;
  Group deepFolders_;
  Group unjudged_;
  std::vector<std::string> projects_;  // The projects git could not judge, each once.
  int64_t unjudgedBytes_ = 0;
  std::vector<std::string> sentences_;
};

}  // namespace kelvane
