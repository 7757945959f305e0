#include "cli/tabs_command.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/browser_process.h"
#include "platform/linux/testing/http_server.h"

namespace kelvane {
void PrintTo(const ClosedTab& tab, std::ostream* out) { *out << nlohmann::json(tab).dump(); }
}  // namespace kelvane

namespace kelvane::cli {
namespace {

constexpr double kDay = 86400;
const Date kNow = Date::fromUnix(1'780'000'000);

Uuid uuid(int n) {
  std::array<uint8_t, 16> bytes{};
  bytes[15] = static_cast<uint8_t>(n);
  return Uuid(bytes);
}

ClosedTab tab(int id, double daysAgo, std::optional<int> group, std::string title = "",
              std::string url = "https://example.com/") {
  return {.id = uuid(id),
          .at = kNow - daysAgo * kDay,
          .browser = "com.google.Chrome",
          .url = std::move(url),
          .title = std::move(title),
          .group = group ? std::optional<Uuid>(uuid(*group)) : std::nullopt};
}

// The IDs of each group's tabs, in order.
std::vector<std::vector<Uuid>> ids(const std::vector<ClosedTabGroup>& groups) {
  std::vector<std::vector<Uuid>> out;
  for (const auto& group : groups) {
    out.emplace_back();
    for (const auto& t : group.tabs) out.back().push_back(t.id);
  }
  return out;
}

TEST(ClosedTabGroups, NewestFirstWithEachWindowTogetherForThirtyDays) {
  const std::vector<ClosedTab> log{
      tab(1, 31, 90),            // too old, though its group has a newer tab
      tab(2, 30, std::nullopt),  // exactly 30 days: kept
      tab(3, 2, 91),             // a window of two, logged apart
      tab(4, 1, std::nullopt),
      tab(5, 2, 91),
      tab(6, 0.5, 90),
  };
  EXPECT_EQ(ids(closedTabGroups(log, kNow)),
            (std::vector<std::vector<Uuid>>{{uuid(6)}, {uuid(4)}, {uuid(3), uuid(5)}, {uuid(2)}}));
  EXPECT_TRUE(closedTabGroups({}, kNow).empty());
}

TEST(ClosedTabGroups, SearchIgnoresCaseAndAccentsInTitlesAndAddresses) {
  const auto groups = closedTabGroups({tab(1, 1, 9, "Café Menu"), tab(2, 1, 9, "Résumé draft"),
                                       tab(3, 2, std::nullopt, "Docs", "https://x.example/CAFE"),
                                       tab(4, 3, std::nullopt, "Straße")},
                                      kNow);
  EXPECT_EQ(ids(searchClosedTabs(groups, "cafe")),
            (std::vector<std::vector<Uuid>>{{uuid(1)}, {uuid(3)}}));
  EXPECT_EQ(ids(searchClosedTabs(groups, "RESUME")), (std::vector<std::vector<Uuid>>{{uuid(2)}}));
  EXPECT_EQ(ids(searchClosedTabs(groups, "STRASSE")), (std::vector<std::vector<Uuid>>{{uuid(4)}}));
  EXPECT_TRUE(searchClosedTabs(groups, "menus").empty());
  EXPECT_EQ(searchClosedTabs(groups, ""), groups);
  // Invalid UTF-8, in the log or the query, is searched as replacement characters.
  const auto broken = closedTabGroups({tab(5, 1, 1, "Caf\xe9 \xff", "https://x.example/")}, kNow);
  EXPECT_EQ(ids(searchClosedTabs(broken, "caf")), (std::vector<std::vector<Uuid>>{{uuid(5)}}));
  EXPECT_TRUE(searchClosedTabs(broken, "cafe").empty());
  EXPECT_TRUE(searchClosedTabs(broken, "\xfe\xfe").empty());
}

TEST(ClosedTabGroups, PrintsEachWindowWithItsTabs) {
  ClosedTab work = tab(2, 1, 7, "Inbox", "https://mail.example/");
  work.profile = BrowserProfile{"Profile 1", "Work"};
  const auto groups = closedTabGroups(
      {tab(1, 1, 7, "", "https://a.example/"), work, tab(3, 2, std::nullopt, "Bell\a")}, kNow);
  std::ostringstream out;
  printClosedTabs(groups, out);
  const std::string day = (kNow - kDay).iso8601(), twoDays = (kNow - 2 * kDay).iso8601();
  EXPECT_EQ(out.str(), day + "  com.google.Chrome  window " + uuid(7).text() + "  (2 tabs)\n" +
                           "  " + uuid(1).text() + "  https://a.example/\n" +
                           "      https://a.example/\n" + "  " + uuid(2).text() +
                           "  Inbox  [Work]\n" + "      https://mail.example/\n" + twoDays +
                           "  com.google.Chrome  (1 tab)\n" + "  " + uuid(3).text() + "  Bell?\n" +
                           "      https://example.com/\n");
  std::ostringstream none;
  printClosedTabs({}, none);
  EXPECT_EQ(none.str(), "No closed tabs in the last 30 days.\n");
}

TEST(ClosedTabGroups, IDsNameATabOrAWholeGroupAndForgettingKeepsTheRest) {
  const std::vector<ClosedTab> log{tab(1, 1, 9), tab(2, 1, 9), tab(3, 1, std::nullopt)};
  EXPECT_EQ(namedClosedTabs(log, uuid(2).text()), (std::vector<ClosedTab>{log[1]}));
  EXPECT_EQ(namedClosedTabs(log, uuid(9).text()), (std::vector<ClosedTab>{log[0], log[1]}));
  std::string lower = uuid(9).text();
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  EXPECT_EQ(namedClosedTabs(log, lower).size(), 2u);
  EXPECT_TRUE(namedClosedTabs(log, uuid(8).text()).empty());
  EXPECT_TRUE(namedClosedTabs(log, "9").empty());

  TempDir dir;
  const Store store(dir.path());
  ASSERT_TRUE(store.appendLines(log, kClosedTabsFile));
  ASSERT_TRUE(store.appendBytes(kClosedTabsFile, "{\"cut\n"));
  const auto before = store.read(kClosedTabsFile);
  ASSERT_TRUE(forgetClosedTabs(store, {}));  // nothing to forget: the file is not rewritten
  EXPECT_EQ(store.read(kClosedTabsFile), before);
  ASSERT_TRUE(forgetClosedTabs(store, {uuid(1), uuid(3)}));
  EXPECT_EQ(store.lines<ClosedTab>(kClosedTabsFile), (std::vector<ClosedTab>{log[1]}));
}

// Runs the built tool and returns its standard output; `status` gets its exit code.
std::string runTool(const std::string& args, int& status) {
  const std::string command = std::string(KELVANE_CLI_PATH) + " " + args + " 2>/dev/null";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int raw = ::pclose(pipe);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

TEST(TabsCommand, ReopensAGroupAsAWindowAndForgetsOnlyWhatOpened) {
  testing::HttpServer server([](const std::string& path) {
    return testing::HttpReply::html("<title>Page" + path + "</title>");
  });
  const testing::TestBrowser browser;
  ASSERT_TRUE(browser.error().empty()) << browser.error();
  const auto page = [&](int n) {
    return "http://127.0.0.1:" + std::to_string(server.port()) + "/" + std::to_string(n);
  };
  TempDir data;
  const Store store(data.path());
  const Date now(std::floor(Date::now().timeIntervalSinceReferenceDate()));  // as the log keeps it
  ClosedTab one = tab(1, 0, 9, "One", page(1)), two = tab(2, 0, 9, "Two", page(2));
  ClosedTab script = tab(3, 0, std::nullopt, "Script", "javascript:alert(1)");
  for (ClosedTab* t : {&one, &two, &script}) t->at = now - 60;
  ASSERT_TRUE(store.appendLines(std::vector<ClosedTab>{one, two, script}, kClosedTabsFile));
  const std::string options = " --data '" + data.path().string() + "'";

  int status = -1;
  const auto listed =
      nlohmann::json::parse(runTool("tabs --json" + options, status), nullptr, false);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(listed, closedTabsJson(closedTabGroups({one, two, script}, now)));

  const auto before = store.read(kClosedTabsFile);
  runTool("tabs forget 00000000-0000-0000-0000-00000000000F" + options, status);
  EXPECT_EQ(status, 1);  // names nothing: nothing changes
  EXPECT_EQ(store.read(kClosedTabsFile), before);

  const std::string pid = " --pid " + std::to_string(browser.pid());
  EXPECT_EQ(runTool("tabs" + options + " reopen " + uuid(9).text() + pid, status),
            "Reopened 2 of 2 tabs\n");
  EXPECT_EQ(status, 0);
  std::map<int64_t, std::vector<std::string>> windows;
  for (const TabTarget& t : browser.tabs()) windows[t.windowID].push_back(t.url);
  EXPECT_EQ(windows.size(), 2u);  // the blank window it started with, and the reopened one
  EXPECT_EQ(windows.rbegin()->second, (std::vector<std::string>{page(1), page(2)}));
  EXPECT_EQ(store.lines<ClosedTab>(kClosedTabsFile), (std::vector<ClosedTab>{script}));

  EXPECT_EQ(runTool("tabs" + options + " reopen " + uuid(3).text() + pid, status),
            "Reopened 0 of 1 tab\n");
  EXPECT_EQ(status, 1);  // an address no tab is opened from stays in the log
  EXPECT_EQ(store.lines<ClosedTab>(kClosedTabsFile), (std::vector<ClosedTab>{script}));
  EXPECT_EQ(runTool("tabs" + options + " forget " + uuid(3).text(), status), "Forgot 1 tab\n");
  EXPECT_TRUE(store.lines<ClosedTab>(kClosedTabsFile).empty());
}

}  // namespace
}  // namespace kelvane::cli
