#include "cli/status_command.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/testing/temp_dir.h"

namespace kelvane::cli {
namespace {

std::string contents(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs the built tool and returns its standard output.
std::string runTool(const std::string& args, int& status) {
  std::string out;
  FILE* pipe = ::popen((std::string(KELVANE_CLI_PATH) + " " + args).c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  status = ::pclose(pipe);
  return out;
}

TEST(StatusRepairedKeys, NamesEachDamagedSettingOnce) {
  const auto j = nlohmann::json::parse(R"({
    "scheduleMinutes": 0, "browsers": ["com.apple.Safari", 3], "speedTestAuto": true,
    "limits": {"windowIdle": "soon", "tabIdle": 7200}, "unknown": 1,
    "learningUntil": "2027-01-01T00:00:00Z"})");
  const auto config = Config::fromJSON(j, Date(0));
  ASSERT_TRUE(config);
  EXPECT_EQ(repairedKeys(j, *config),
            (std::vector<std::string>{"browsers", "limits.windowIdle", "scheduleMinutes"}));
  const auto clean = nlohmann::json::parse(R"({"scheduleMinutes": 30.0})");
  EXPECT_EQ(repairedKeys(clean, *Config::fromJSON(clean, Date(0))),
            std::vector<std::string>{"learningUntil (missing)"});
}

TEST(StatusCommand, ShowsRepairsAndGoodRunsWithoutWriting) {
  TempDir tmp;
  const std::string config = R"({"scheduleMinutes": "often", "diskOff": ["logs", 7]})";
  const auto now = Date::now();
  const std::string goodRun =
      R"({"actions":[{"action":{"kind":"quitApp","memory":0,"pid":4,"reason":"unused for 5h 00m",)"
      R"("rule":"appUnused","target":"Numbers"},"result":"done"}],)"
      R"("at":")" +
      (now - 3600).iso8601() + R"(","id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","mode":"live"})";
  const std::string runs = goodRun + "\nnot a run\n{\"id\":";
  std::ofstream(tmp.path() / "config.json") << config;
  std::ofstream(tmp.path() / "runs.jsonl") << runs;

  int status = -1;
  const std::string out = runTool("status --data '" + tmp.path().string() + "'", status);
  EXPECT_EQ(status, 0);
  for (const char* part :
       {"config.json: repaired diskOff, scheduleMinutes, learningUntil (missing)",
        "  scheduleMinutes: 15\n", "  diskOff: [\"logs\"]\n", "Runs in the last day: 1\n",
        "appUnused  Numbers  unused for 5h 00m  -> done", "Closed tabs in the last 30 days: 0"})
    EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;

  EXPECT_EQ(contents(tmp.path() / "config.json"), config);
  EXPECT_EQ(contents(tmp.path() / "runs.jsonl"), runs);
  const std::filesystem::directory_iterator entries(tmp.path());
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 2);  // nothing new written
}

TEST(StatusCommand, MissingOrUnreadableSettingsShowFirstStartDefaults) {
  TempDir tmp;
  std::ostringstream out;
  printStatus(Store(tmp.path() / "missing"), Date(0), out);
  EXPECT_NE(out.str().find("config.json: none, the defaults"), std::string::npos);
  EXPECT_NE(out.str().find("  learningUntil: \"2001-01-02T00:00:00Z\"\n"), std::string::npos)
      << out.str();
  EXPECT_FALSE(std::filesystem::exists(tmp.path() / "missing"));

  for (const std::string damaged : {"[1, 2]", "{\"limits\": ", "\"text\""}) {
    std::ofstream(tmp.path() / "config.json", std::ios::trunc) << damaged;
    std::ostringstream shown;
    printStatus(Store(tmp.path()), Date(0), shown);
    EXPECT_NE(shown.str().find("config.json: not a JSON object, the defaults"), std::string::npos)
        << damaged;
    EXPECT_NE(shown.str().find("  learningUntil: \"2001-01-02T00:00:00Z\"\n"), std::string::npos);
    EXPECT_EQ(contents(tmp.path() / "config.json"), damaged);
  }
}

}  // namespace
}  // namespace kelvane::cli
