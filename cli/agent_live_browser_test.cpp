// The agent on a real headless browser of the test user: an idle tab is
// closed, and a whole idle window of two tabs, logged as one group that
// `kelvane tabs reopen` brings back as a window; a tab the user brought to the
// front since the last look stays open, while its idle neighbour is closed.
#include <algorithm>
#include <map>
#include <set>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/testing/agent_rig.h"
#include "core/store/store.h"
#include "platform/linux/testing/browser_process.h"
#include "platform/linux/testing/http_server.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Urls = std::vector<std::string>;  // One tab's address, or a window's, sorted.

class AgentLiveBrowser : public AgentRig {
 protected:
  void SetUp() override {
    AgentRig::SetUp();
    if (IsSkipped()) return;
    if (::access(testing::TestBrowser::kExecutable, X_OK) != 0)
      GTEST_SKIP() << "chromium is not installed";
    // The agent only talks to browsers of its own user, and sweeps only the
    // browsers a user started, not those a program runs headless.
    browser_ = std::make_unique<testing::TestBrowser>(testing::TestBrowser::Options{
        .user = testing::TestBrowser::Options::User{.uid = user_.uid, .gid = user_.gid},
        .userBrowser = true});
    ASSERT_TRUE(browser_->error().empty()) << browser_->error();
  }
  void TearDown() override {
    agent_.reset();
    browser_.reset();
  }

  std::string page(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + "/" + name;
  }

  // The addresses of the open tabs, per window.
  std::set<Urls> windows() const {
    std::map<int64_t, Urls> byWindow;
    for (const TabTarget& tab : browser_->tabs()) byWindow[tab.windowID].push_back(tab.url);
    std::set<Urls> out;
    for (auto& [id, urls] : byWindow) {
      std::sort(urls.begin(), urls.end());
      out.insert(std::move(urls));
    }
    return out;
  }

  // What the agent plans to close: a tab's address, or the addresses of a window.
  std::set<Urls> planned() const {
    std::set<Urls> out;
    const json s = state();
    if (!s.is_object()) return out;
    for (const json& action : s.value("plan", json::array())) {
      const std::string kind = action.value("kind", "");
      Urls urls;
      if (kind == "closeTab") urls.push_back(action.at("tab").value("url", ""));
      if (kind == "closeBrowserWindow")
        for (const json& tab : action.at("windowTabs")) urls.push_back(tab.value("url", ""));
      std::sort(urls.begin(), urls.end());
      if (!urls.empty()) out.insert(std::move(urls));
    }
    return out;
  }

  testing::HttpServer server_{[](const std::string& path) {
    const std::string title = path.empty() ? path : path.substr(1);
    return testing::HttpReply::html("<html><head><title>" + title + "</title></head></html>");
  }};
  std::unique_ptr<testing::TestBrowser> browser_;
};

TEST_F(AgentLiveBrowser, ClosesIdleTabsAndWindowsAndTheLoggedWindowReopens) {
  prepare({{"limits", {{"tabIdle", 60}}}, {"browsers", {"com.google.Chrome"}}});
  // Scheduled runs paused: only the run started by hand acts here.
  ASSERT_EQ(kelvane({"pause"}).status, 0);

  // The window the browser started with: its blank tab in front, an idle page
  // behind it, and notes whose addresses cannot be opened again, so neither
  // they nor their window are ever closed. They also keep the run's share of
  // closed tabs at half, below what would hold it for confirmation.
  const std::string idle = page("idle"), one = page("one"), two = page("two"), news = page("news"),
                    mail = page("mail");
  const Urls notes = {"data:text/html,<title>Note1</title>", "data:text/html,<title>Note2</title>",
                      "data:text/html,<title>Note3</title>"};
  ASSERT_FALSE(browser_->open(idle, false, /*background=*/true).id.empty());
  for (const std::string& note : notes)
    ASSERT_FALSE(browser_->open(note, false, /*background=*/true).id.empty());
  // A window of two idle pages, and one showing the news with mail behind it.
  ASSERT_FALSE(browser_->open(one, /*newWindow=*/true).id.empty());
  ASSERT_FALSE(browser_->open(two, false, /*background=*/true).id.empty());
  ASSERT_FALSE(browser_->open(news, /*newWindow=*/true).id.empty());
  ASSERT_FALSE(browser_->open(mail, false, /*background=*/true).id.empty());
  Urls kept = {"about:blank"};  // What stays of the first window.
  kept.insert(kept.end(), notes.begin(), notes.end());
  std::sort(kept.begin(), kept.end());
  Urls first = kept;
  first.push_back(idle);
  std::sort(first.begin(), first.end());
  ASSERT_EQ(windows(), (std::set<Urls>{first, {one, two}, {mail, news}}));

  // A look twice a second, ten seconds of the agent's clock each.
  startAgent({"--tick", "0.5", "--no-disk-scan", "--test-clock-speed", "20"});
  const std::set<Urls> idleBefore = {{idle}, {one, two}, {mail, news}};
  ASSERT_TRUE(waitUntil([&] { return planned() == idleBefore; }, 90s)) << state().dump(1) << log();

  // The user switches to the mail; the agent's next look sees it, and only
  // the news, now behind it, is left to close in that window.
  ASSERT_TRUE(browser_->activate(mail));
  const std::set<Urls> idleAfter = {{idle}, {one, two}, {news}};
  ASSERT_TRUE(waitUntil([&] { return planned() == idleAfter; }, 30s)) << state().dump(1) << log();

  const auto ran = kelvane({"sweep", "--now"});
  EXPECT_EQ(ran.status, 0) << ran.out << ran.err << log();
  EXPECT_TRUE(waitUntil([&] { return windows() == std::set<Urls>{kept, {mail}}; }, 30s)) << log();

  std::map<std::string, std::string> results;  // "kind target": result, of the run's actions
  for (const RunRecord& run : runs())
    for (const ActionResult& r : run.actions)
      results[std::string(rawValue(r.action.kind)) + " " + r.action.target] = r.result;
  EXPECT_EQ(results.size(), 3u) << ::testing::PrintToString(results);
  for (const auto& [action, result] : results) EXPECT_EQ(result, "done") << action;

  // Every closed tab was logged; the window's two as one group, which no tab
  // of another window shares.
  const Store store(data_);
  std::map<std::string, std::optional<Uuid>> logged;  // address: group
  for (const ClosedTab& tab : store.lines<ClosedTab>(kClosedTabsFile)) logged[tab.url] = tab.group;
  ASSERT_EQ(logged.size(), 4u) << ::testing::PrintToString(logged);
  ASSERT_TRUE(logged.contains(one) && logged.contains(two) && logged.contains(idle) &&
              logged.contains(news));
  ASSERT_TRUE(logged[one].has_value());
  EXPECT_EQ(logged[one], logged[two]);
  EXPECT_EQ(std::set({logged[one], logged[idle], logged[news]}).size(), 3u);

  // The user finds the window's group among the closed tabs, and reopens it.
  const auto listed = kelvane({"tabs", "--json"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const json groups = json::parse(listed.out, nullptr, false);
  ASSERT_TRUE(groups.is_array()) << listed.out;
  std::string group;
  for (const json& entry : groups) {
    std::set<std::string> urls;
    for (const json& tab : entry.value("tabs", json::array())) urls.insert(tab.value("url", ""));
    if (urls == std::set<std::string>{one, two}) group = entry.value("group", "");
  }
  EXPECT_EQ(group, logged[one]->text()) << listed.out;
  const auto reopened =
      kelvane({"tabs", "reopen", group, "--pid", std::to_string(browser_->pid())});
  EXPECT_EQ(reopened.status, 0) << reopened.out << reopened.err << log();
  EXPECT_EQ(reopened.out, "Reopened 2 of 2 tabs\n");
  EXPECT_TRUE(waitUntil(
      [&] {
        return windows() == std::set<Urls>{kept, {mail}, {one, two}};
      },
      30s))
      << ::testing::PrintToString(windows());
  // What opened again is forgotten; the rest stays in the log.
  std::set<std::string> left;
  for (const ClosedTab& tab : store.lines<ClosedTab>(kClosedTabsFile)) left.insert(tab.url);
  EXPECT_EQ(left, (std::set<std::string>{idle, news}));

  EXPECT_EQ(stopAgent(), 0) << log();
  EXPECT_EQ(brokenDataFile(), std::nullopt);
}

}  // namespace
}  // namespace kelvane
