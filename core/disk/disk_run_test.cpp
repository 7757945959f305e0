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
  // A late event for another row leaves the current one alone.
  run.apply(DiskProgress::finished("logs", true, 10, false, false));
  EXPECT_EQ(run.current, "caches");
  run.apply(DiskProgress::finished("caches", false, 0, false, true));
  EXPECT_EQ(run.current, std::nullopt);
  EXPECT_EQ(run.status("caches"), Status::finished(false, 0, false, true));
  run.apply(DiskProgress::holdingNow(true));
  EXPECT_TRUE(run.holding);
}

TEST(DiskRun, FreedCountsOnlyRowsRemovedOutrightAndSaturates) {
  DiskRun run({"a", "b", "c", "d", "e"});
  run.apply(DiskProgress::finished("a", true, 1000, false, false));
  run.apply(DiskProgress::finished("b", true, 500, true, false));    // in the Trash
  run.apply(DiskProgress::finished("c", false, 700, false, false));  // not removed
  run.apply(DiskProgress::finished("d", true, -5, false, true));     // a bad count
  EXPECT_EQ(run.freed(), 1000);
  run.apply(DiskProgress::finished("e", true, std::numeric_limits<int64_t>::max(), false, false));
  EXPECT_EQ(run.freed(), std::numeric_limits<int64_t>::max());
}

}  // namespace
}  // namespace kelvane
