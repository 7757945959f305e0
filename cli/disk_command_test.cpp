#include "cli/disk_command.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/config/format.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane::cli {
namespace {

namespace fs = std::filesystem;

// Runs the built tool with KELVANE_DATA set to `data` and returns its standard output.
std::string runTool(const std::string& args, const fs::path& data, int& status) {
  const std::string command =
      "KELVANE_DATA='" + data.string() + "' " + KELVANE_CLI_PATH + " " + args + " 2>/dev/null";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
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

TEST(DiskCommand, ReportsTheScanAndThePlanAndDeletesNothing) {
  TempDir home;
  TempDir data;
  const auto at = [&](const std::string& rel) { return (home.path() / rel).string(); };
  for (const char* rel :
       {"Library/Logs/old.log", "Code/web/package.json", "Code/web/node_modules/x"})
    oldFile(at(rel));
  std::ofstream(data.path() / "config.json") << R"({"projectRoots": ["~/Code"]})";
  const std::string args = "disk --home '" + home.path().string() + "'";
  int status = -1;
  const auto j =
      nlohmann::json::parse(runTool(args + " --json", data.path(), status), nullptr, false);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(j.is_object());
  const auto scan = j.at("scan").get<DiskScan>();
  EXPECT_EQ(scan.home, home.path().string());
  EXPECT_EQ(scan.rules.at(DiskRule::logs).items.at(0).path, at("Library/Logs/old.log"));
  std::set<std::string> targets;  // tools found on this machine may add more
  for (const auto& action : j.at("plan")) targets.insert(action.at("target").get<std::string>());
  EXPECT_TRUE(targets.contains("Logs and crash reports"));
  EXPECT_TRUE(targets.contains("Stale project builds"));

  const std::string text = runTool(args, data.path(), status);
  for (const std::string& part : std::vector<std::string>{
           "Rule                      Items       Size  Note\n", "Unavailable simulators",
           "Xcode is not installed", "Stale project builds: 1 item",
           "    remove: " + at("Code/web/node_modules") + "\n", "Large items to review",
           "Nothing was deleted.\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  EXPECT_TRUE(fs::exists(at("Library/Logs/old.log")));
  EXPECT_TRUE(fs::exists(at("Code/web/node_modules/x")));
  // Without settings the project root is ~/Projects, so ~/Code is not searched.
  const std::string plain = runTool(args + " --json", data.path() / "none", status);
  EXPECT_EQ(plain.find("node_modules"), std::string::npos);
}

TEST(DiskCommand, JsonNamesEveryFileExactlyWhateverItsBytes) {
  TempDir home;
  TempDir data;
  const fs::path app = home.path() / "Library/Caches/app";
  const std::vector<std::string> names = {"bad\xff", "bad\xfe", "caf\xc3\xa9", "100%"};
  for (const auto& name : names) oldFile(app / name);
  const timespec t{::time(nullptr) - 7200, 0};
  const timespec times[2] = {t, t};
  ::utimensat(AT_FDCWD, app.c_str(), times, 0);
  int status = -1;
  const auto j = nlohmann::json::parse(
      runTool("disk --json --home '" + home.path().string() + "'", data.path(), status), nullptr,
      false);
  ASSERT_TRUE(j.is_object());
  const auto scan = j.at("scan").get<DiskScan>();
  std::set<std::string> found;
  for (const auto& item : scan.rules.at(DiskRule::caches).items) found.insert(item.path);
  std::set<std::string> expected;
  for (const auto& name : names) expected.insert((app / name).string());
  EXPECT_EQ(found, expected);  // four distinct names, each the file's own bytes
  for (const auto& path : found) EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << path;
}

TEST(DiskCommand, TheReportReadsWellForANewUser) {
  TempDir home;
  TempDir data;
  oldFile(home.path() / "Library/Logs/old.log");
  oldFile(home.path() / "Library/Logs/older.log");
  int status = -1;
  const std::string args = "disk --home '" + home.path().string() + "'";
  const auto j = nlohmann::json::parse(runTool(args + " --json", data.path(), status));
  int64_t bytes = 0;
  for (size_t i = 1; i < j.at("scan").at("rules").size(); i += 2)
    bytes += j.at("scan").at("rules")[i].at("bytes").get<int64_t>();
  const std::string text = runTool(args, data.path(), status);
  const std::string logs = Format::fileSize(bytes);  // the logs are all there is
  for (const std::string& line :
       {"Logs and crash reports        2" + std::string(11 - logs.size(), ' ') + logs + "\n",
        "Total                         2" + std::string(11 - logs.size(), ' ') + logs + "\n",
        "  Logs and crash reports: 2 items · " + logs + "\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

  const std::string help = runTool("disk --help", data.path(), status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const DiskRule rule : DiskRules::allCases)
    EXPECT_NE(help.find("  " + std::string(DiskRules::title(rule)) + "  "), std::string::npos)
        << DiskRules::title(rule);
  for (const char* part :
       {"older than 7 days", "untouched for 30 days", "untouched for an hour", "180 days",
        "the only tool it runs is\n\"git ls-files\"", "Nothing is deleted"})
    EXPECT_NE(help.find(part), std::string::npos) << part;
  EXPECT_EQ(progressText({"Stale project builds", 1234, 5'670'000'000}),
            "Scanning Stale project builds… 1234 items, 5.67 GB");
}

TEST(DiskCommand, AMissingHomeIsRefused) {
  TempDir data;
  int status = -1;
  EXPECT_EQ(runTool("disk --home /nonexistent/home", data.path(), status), "");
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
}  // namespace kelvane::cli
