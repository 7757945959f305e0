#pragma once
// RuleItems: gathers the items of one rule of a scan, each checked the same way whatever
// the rule: it lies inside the rule's folder and is not kept (else it is passed over in
// silence), no running program holds it and its size could be read in full (else it is
// left out with a word in the rule's note). Internal to the disk scanner.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/disk/disk_environment.h"
#include "core/disk/disk_files.h"
#include "core/disk/left_out.h"
#include "core/disk_records/disk_records.h"

namespace kelvane {

class RuleItems final {
 public:
  // `env` and `tally` must outlive the gatherer.
  RuleItems(const DiskEnvironment& env, Tally& tally)
      : env_(env), tally_(tally), leftOut_(env.home) {}

  // Whether `path`, found under `root`, may be proposed at all: inside it and not kept.
  bool admitted(const std::string& path, const std::string& root) const;
  // Whether no running program holds `path` or anything inside it; notes the holder when
  // one does.
  bool free(const std::string& path);
  // Measures `path` when it is free; its bytes, or nullopt (noted) when it is held or part
  // of it could not be read, and when it is gone.
  std::optional<int64_t> measured(const std::string& path);
  // Proposes `path`, found under `root`: the new item when it is admitted, free and
  // measured in full; nullptr otherwise.
  DiskItem* offer(const std::string& path, const std::string& root);
  // Adds bytes freed by a command (a tool's cache folder), to the rule's total only.
  void addBytes(int64_t bytes);

  bool empty() const { return items_.empty(); }
  LeftOut& leftOut() { return leftOut_; }
  Tally& tally() { return tally_; }

  // Returns the rule's scan: the items in the order offered, their bytes summed with those
  // added, `commands`, and the note: `own` followed by what was left out.
  DiskRuleScan scan(std::vector<std::vector<std::string>> commands = {},
                    const std::optional<std::string>& own = std::nullopt) &&;

 private:
  const DiskEnvironment& env_;
  Tally& tally_;
  LeftOut leftOut_;
  std::vector<DiskItem> items_;
  int64_t bytes_ = 0;
};

}  // namespace kelvane
