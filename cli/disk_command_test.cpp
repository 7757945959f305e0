#include "cli/disk_command.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/testing/temp_dir.h"

namespace kelvane::cli {
namespace {

namespace fs = std::filesystem;

std::string runTool(const std::string& args, int& status) {
  std::string out;
  FILE* pipe = ::popen((std::string(KELVANE_CLI_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  status = ::pclose(pipe);
  return out;
}

// Makes a file modified 60 days ago.
void oldFile(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "old";
  const timespec t{::time(nullptr) - 60 * 86400, 0};
  const timespec times[2] = {t, t};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class DiskCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    oldFile(home_.path() / "Library/Logs/tool/old.log");
    oldFile(home_.path() / "Code/web/package.json");
    oldFile(home_.path() / "Code/web/node_modules/dep/index.js");
    std::ofstream(data_.path() / "config.json") << R"({"projectRoots": ["~/Code"]})";
  }
  std::string run(const std::string& args, int& status) {
    return runTool("disk --home '" + home_.path().string() + "' " + args, status);
  }
  std::string at(const std::string& rel) const { return (home_.path() / rel).string(); }
  void setData() { ::setenv("KELVANE_DATA", data_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("KELVANE_DATA"); }

  TempDir home_;
  TempDir data_;
};

TEST_F(DiskCommand, JsonHoldsTheScanAndThePlanAndNothingIsDeleted) {
  setData();
  int status = -1;
  const auto j = nlohmann::json::parse(run("--json", status), nullptr, false);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(j.is_object());
  const auto scan = j.at("scan").get<DiskScan>();
  EXPECT_EQ(scan.home, home_.path().string());
  EXPECT_EQ(scan.rules.at(DiskRule::logs).items.at(0).path, at("Library/Logs/tool/old.log"));
  EXPECT_EQ(scan.rules.at(DiskRule::builds).items.at(0).path, at("Code/web/node_modules"));
  std::vector<std::string> targets;
  for (const auto& action : j.at("plan")) targets.push_back(action.at("target"));
  EXPECT_NE(std::find(targets.begin(), targets.end(), "Stale project builds"), targets.end());
  EXPECT_TRUE(fs::exists(at("Library/Logs/tool/old.log")));
  EXPECT_TRUE(fs::exists(at("Code/web/node_modules/dep/index.js")));
}

TEST_F(DiskCommand, TextShowsEveryRuleThePlanAndTheSuggestions) {
  setData();
  int status = -1;
  const std::string out = run("", status);
  EXPECT_EQ(status, 0);
  for (const char* part :
       {"Rule                      Items       Size  Note\n", "Logs and crash reports",
        "Unavailable simulators", "Xcode is not installed", "Stale project builds: 1 item",
        "    remove: " /* followed by the node_modules path */, "Large items to review",
        "Nothing was deleted.\n"})
    EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
  EXPECT_NE(out.find(at("Code/web/node_modules")), std::string::npos);
}

TEST_F(DiskCommand, WithoutTheSettingsProjectRootsDefaultAndAMissingHomeIsRefused) {
  int status = -1;
  ::setenv("KELVANE_DATA", (data_.path() / "none").c_str(), 1);
  const auto j = nlohmann::json::parse(run("--json", status), nullptr, false);
  EXPECT_TRUE(j.at("scan").at("rules").is_array());
  // The default root is ~/Projects, so ~/Code is not searched.
  EXPECT_EQ(j.dump().find("node_modules"), std::string::npos);
  runTool("disk --home '" + at("missing") + "'", status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
}  // namespace kelvane::cli
