#include "core/disk/disk_run.h"

#include <algorithm>
#include <limits>

namespace kelvane {

DiskProgress DiskProgress::started(std::string row) {
  return DiskProgress{.kind = Kind::started, .row = std::move(row)};
}

DiskProgress DiskProgress::finished(std::string row, bool removed, int64_t bytes, bool trash,
                                    bool stopped) {
  return DiskProgress{.kind = Kind::finished,
                      .row = std::move(row),
                      .removed = removed,
                      .bytes = bytes,
                      .trash = trash,
                      .stopped = stopped};
}

DiskProgress DiskProgress::holdingNow(bool holding) {
  return DiskProgress{.kind = Kind::holding, .holding = holding};
}

DiskRun::Status DiskRun::Status::finished(bool removed, int64_t bytes, bool trash, bool stopped) {
  return Status{Kind::finished, removed, bytes, trash, stopped};
}

DiskRun::Status DiskRun::Status::waiting() { return Status{.kind = Kind::waiting}; }

DiskRun::Status DiskRun::Status::cleaning() { return Status{.kind = Kind::cleaning}; }

std::optional<DiskRun::Status> DiskRun::status(const std::string& row) const {
  if (!rows.contains(row)) return std::nullopt;
  if (const auto found = finished.find(row); found != finished.end()) return found->second;
  return current == row ? Status::cleaning() : Status::waiting();
}

int64_t DiskRun::freed() const {
  int64_t sum = 0;
  for (const auto& [row, status] : finished) {
    if (status.kind != Status::Kind::finished || !status.removed || status.trash) continue;
    // The worker's counts are not trusted to be sane: a wrapped sum would show nonsense.
    if (__builtin_add_overflow(sum, std::max<int64_t>(status.bytes, 0), &sum))
      return std::numeric_limits<int64_t>::max();
  }
  return sum;
}

void DiskRun::apply(const DiskProgress& progress) {
  switch (progress.kind) {
    case DiskProgress::Kind::started:
      current = progress.row;
      break;
    case DiskProgress::Kind::finished:
      finished[progress.row] =
          Status::finished(progress.removed, progress.bytes, progress.trash, progress.stopped);
      if (current == progress.row) current.reset();
      break;
    case DiskProgress::Kind::holding:
      holding = progress.holding;
      break;
  }
}

}  // namespace kelvane
