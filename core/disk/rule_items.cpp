#include "core/disk/rule_items.h"

#include "core/disk/scan_helpers.h"
#include "core/disk_records/disk_paths.h"

namespace kelvane {

bool RuleItems::admitted(const std::string& path, const std::string& root) const {
  return DiskPaths::inside(path, root) && !DiskPaths::kept(path, env_.kept);
}

bool RuleItems::free(const std::string& path) {
  const auto holder = env_.inUse ? env_.inUse(path) : std::nullopt;
  if (holder) leftOut_.inUse(path, *holder);
  return !holder;
}

std::optional<int64_t> RuleItems::measured(const std::string& path) {
  if (!free(path)) return std::nullopt;
  const Measured measured = DiskScanner::measure(path, tally_);
  if (!measured.found) return std::nullopt;
  if (!measured.gaps.none()) {
    leftOut_.unmeasured(path, measured.gaps);
    return std::nullopt;
  }
  return measured.bytes;
}

DiskItem* RuleItems::offer(const std::string& path, const std::string& root) {
  if (!admitted(path, root)) return nullptr;
  const auto bytes = measured(path);
  if (!bytes) return nullptr;
  ScanHelpers::addBytes(bytes_, *bytes);
  return &items_.emplace_back(DiskItem{.path = path, .root = root, .bytes = *bytes});
}

void RuleItems::addBytes(int64_t bytes) { ScanHelpers::addBytes(bytes_, bytes); }

DiskRuleScan RuleItems::scan(std::vector<std::vector<std::string>> commands,
                             const std::optional<std::string>& own) && {
  return DiskRuleScan{.items = std::move(items_),
                      .commands = std::move(commands),
                      .bytes = bytes_,
                      .note = leftOut_.note(own)};
}

}  // namespace kelvane
