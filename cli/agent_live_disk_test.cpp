// SIGTERM while the agent's disk cleanup is under way: it stops the cleanup,
// saves and exits 0; every old download is either still in Downloads or whole
// in the Trash with its description, and the weekly rules, which did not get
// their turn, are due again.
#include <fstream>

#include <gtest/gtest.h>

#include "cli/control_client.h"
#include "cli/control_protocol.h"
#include "cli/testing/agent_rig.h"
#include "core/support/file_io.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

class AgentLiveDisk : public AgentRig {
 protected:
  // Makes a file, or a folder of `files` files, owned by the test user.
  void make(const fs::path& path, int files = 0) const {
    fs::create_directories(path.parent_path());
    if (files == 0) {
      std::ofstream(path) << "old bytes\n";
    } else {
      fs::create_directories(path);
      for (int i = 0; i < files; ++i) std::ofstream(path / ("f" + std::to_string(i))) << i;
    }
    for (fs::path p = path; p != home_.parent_path(); p = p.parent_path())
      (void)!::chown(p.c_str(), user_.uid, user_.gid);
    if (files)
      for (const auto& entry : fs::recursive_directory_iterator(path))
        (void)!::chown(entry.path().c_str(), user_.uid, user_.gid);
  }
  size_t count(const fs::path& folder) const {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); ++it)
      ++n;
    return n;
  }
};

TEST_F(AgentLiveDisk, SigtermStopsTheCleanupWholeAndRollsTheWeeklyMarkBack) {
  // The agent's clock runs forty days ahead, so that what the test makes now
  // is old to it: downloads untouched for a month, two projects' stale builds.
  clockStart_ = Date::now() + 40 * 86400;
  const Date lastWeekly = clockStart_ - 8 * 86400;
  constexpr int kDownloads = 3000;
  for (int i = 0; i < kDownloads; ++i) make(home_ / "Downloads" / ("old-" + std::to_string(i)));
  for (const std::string project : {"shop", "site"}) {
    make(home_ / "Projects" / project / "package.json");
    make(home_ / "Projects" / project / "node_modules" / "lib", 8000);
  }
  prepare({}, 8 * 86400);

  startAgent(
      {"--tick", "0.25", "--test-clock-start", clockStart_.iso8601(), "--test-clock-speed", "20"});
  // Hold the cleanup as soon as it has begun: it stops after the item at hand,
  // with a project's build still there; then stop the agent in the middle of it.
  {
    const AsUser as(user_.uid, user_.gid);
    auto client =
        ControlClient::connect(Control::socketPath(runtime_.string(), data_, user_.uid).value());
    ASSERT_TRUE(client);
    ASSERT_TRUE(waitUntil(
        [&] {
          const auto s = client->request({{"op", "state"}}, 30s);
          return s && s->contains("diskRun");
        },
        90s))
        << log();
    const auto paused = client->request({{"op", "pauseDisk"}}, 30s);
    ASSERT_TRUE(paused && paused->value("ok", false)) << (paused ? paused->dump() : paused.error());
  }
  const int builds = fs::exists(home_ / "Projects/shop/node_modules/lib/f0") +
                     fs::exists(home_ / "Projects/site/node_modules/lib/f0");
  ASSERT_GT(builds, 0) << "the cleanup finished before it could be stopped";

  EXPECT_EQ(stopAgent(), 0) << log();
  EXPECT_NE(log().find("stopping the disk cleanup"), std::string::npos) << log();

  // Every download is in one piece in one place: the Trash holds a description
  // for each item it holds, and nothing else.
  const fs::path trash = home_ / ".local/share/Trash";
  const size_t trashed = count(trash / "files");
  EXPECT_EQ(count(home_ / "Downloads") + trashed, size_t{kDownloads});
  EXPECT_EQ(count(trash / "info"), trashed);
  std::error_code ec;
  for (auto it = fs::directory_iterator(trash / "files", ec); !ec && it != fs::directory_iterator();
       ++it)
    EXPECT_TRUE(fs::exists(trash / "info" / (it->path().filename().string() + ".trashinfo")))
        << it->path();
  // The weekly rules did not complete: the weekly run is due as before.
  const auto schedule =
      json::parse(readWholeFile(data_ / "schedule.json").value_or(""), nullptr, false);
  const auto weekly = Date::fromISO8601(schedule.value("lastWeeklyRun", ""));
  ASSERT_TRUE(weekly) << schedule;
  EXPECT_LT(std::abs(*weekly - lastWeekly), 1.0) << schedule << log();
  EXPECT_EQ(brokenDataFile(), std::nullopt);
}

}  // namespace
}  // namespace kelvane
