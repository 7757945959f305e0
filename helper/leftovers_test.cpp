#include "helper/leftovers.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/file_io.h"
#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using testing::writeText;

TEST(Leftovers, RemovesOnlyTheTargetsOwnTemporaryFiles) {
  testing::TempFolder tmp;
  const std::string target = tmp / "network-services.json";
  writeText(target, "{}");
  // Whatever replaceFile itself leaves is recognised, not only hand-made names.
  const std::string pattern = tmp / temporaryPattern("network-services.json");
  std::string made = pattern;
  const int fd = ::mkstemp(made.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  const std::vector<std::string> ours = {made, tmp / ".network-services.json.tmp-Ab3dE9"};
  writeText(ours[1], "a copy of the settings");

  const std::vector<std::string> kept = {
      target,
      tmp / "network-services.json.lock",
      tmp / ".proxy-saved.plist.tmp-Ab3dE9",       // another target's
      tmp / ".network-services.json.tmp-Ab3dE",    // too short
      tmp / ".network-services.json.tmp-Ab3dE9x",  // too long
      tmp / "network-services.json.tmp-Ab3dE9",    // no leading dot
      tmp / ".network-services.json.tmp-Ab3d_9",   // not a letter or digit
      tmp / ".xnetwork-services.json.tmp-Ab3dE9"   // a target ending like ours
  };
  for (const auto& path : kept) writeText(path, "keep");
  const std::string outside = tmp / "outside";
  writeText(outside, "keep");
  fs::create_symlink(outside, tmp / ".network-services.json.tmp-Link01");
  fs::create_directory(tmp / ".network-services.json.tmp-Dir001");
  ASSERT_EQ(::mkfifo((tmp / ".network-services.json.tmp-Fifo01").c_str(), 0600), 0);
  const std::string foreign = tmp / ".network-services.json.tmp-Other1";
  writeText(foreign, "keep");
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(foreign.c_str(), 12345, 12345), 0);  // another user's
  }

  auto removed = removeLeftoverTemporaries(target);
  std::sort(removed.begin(), removed.end());
  auto expected = ours;
  if (!root) expected.push_back(foreign);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(removed, expected);
  for (const auto& path : ours) EXPECT_FALSE(fs::exists(path)) << path;
  for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_TRUE(fs::exists(outside));
  for (const char* name : {".network-services.json.tmp-Link01", ".network-services.json.tmp-Dir001",
                           ".network-services.json.tmp-Fifo01"})
    EXPECT_TRUE(fs::exists(fs::symlink_status(tmp / name))) << name;
  EXPECT_EQ(fs::exists(foreign), root);

  EXPECT_TRUE(removeLeftoverTemporaries(tmp / "missing/network-services.json").empty());
}

}  // namespace
}  // namespace kelvane
