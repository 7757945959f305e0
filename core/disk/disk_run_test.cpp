#include "core/disk/disk_run.h"

#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using Status = DiskRun::Status;

TEST(DiskRun, RowsGoFromWaitingToCleaningToFinished) {
  DiskRun run({"caches", "logs"});
  EXPECT_EQ(run.status("caches"), Status::waiting());
  EXPECT_EQ(run.status("docker"), std::nullopt);  // not a row of this run

  run.apply(DiskProgress::started("caches"));
  EXPECT_EQ(run.status("caches"), Status::cleaning());
  EXPECT_EQ(run.status("logs"), Status::waiting());

  // A late event for another row leaves the current one alone.
  run.apply(DiskProgress::finished("logs", true, 10, false, false));
  EXPECT_EQ(run.current, "caches");
  run.apply(DiskProgress::finished("caches", false, 0, false, true));
  EXPECT_EQ(run.current, std::nullopt);
  EXPECT_EQ(run.status("caches"), Status::finished(false, 0, false, true));
  EXPECT_EQ(run.status("logs"), Status::finished(true, 10, false, false));

  run.apply(DiskProgress::holdingNow(true));
  EXPECT_TRUE(run.holding);
  run.apply(DiskProgress::holdingNow(false));
  EXPECT_FALSE(run.holding);
}

TEST(DiskRun, FreedCountsOnlyRowsRemovedOutright) {
  DiskRun run({"a", "b", "c", "d"});
  run.apply(DiskProgress::finished("a", true, 1000, false, false));
  run.apply(DiskProgress::finished("b", true, 500, true, false));    // in the Trash
  run.apply(DiskProgress::finished("c", false, 700, false, false));  // not removed
  run.apply(DiskProgress::finished("d", true, 25, false, true));     // stopped after removal
  EXPECT_EQ(run.freed(), 1025);
}

TEST(DiskRun, FreedSaturatesAndIgnoresNegativeCounts) {
  DiskRun run({"a", "b", "c"});
  const int64_t max = std::numeric_limits<int64_t>::max();
  run.apply(DiskProgress::finished("a", true, max, false, false));
  run.apply(DiskProgress::finished("b", true, -5, false, false));
  EXPECT_EQ(run.freed(), max);
  run.apply(DiskProgress::finished("c", true, 1, false, false));
  EXPECT_EQ(run.freed(), max);
}

}  // namespace
}  // namespace kelvane
