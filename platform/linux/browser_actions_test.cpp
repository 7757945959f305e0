#include "platform/linux/browser_actions.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/linux/testing/browser_printers.h"
#include "platform/linux/testing/browser_process.h"
#include "platform/linux/testing/http_server.h"

namespace kelvane {
namespace {

using testing::HttpReply;
using testing::HttpServer;
using testing::TestBrowser;

constexpr const char* kChrome = "com.google.Chrome";

class BrowserActionsTest : public ::testing::Test {
 protected:
  BrowserActionsTest()
      : server_([](const std::string& path) {
          return HttpReply::html("<title>Page " + path.substr(path.empty() ? 0 : 1) + "</title>");
        }) {}
  void SetUp() override { ASSERT_TRUE(browser_.error().empty()) << browser_.error(); }

  std::string page(int n) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + "/" + std::to_string(n);
  }
  BrowserActions actions(std::vector<Proc> procs) const {
    return BrowserActions(browser_.access(), [procs] { return procs; });
  }
  BrowserActions actions() const { return actions({browser_.proc()}); }
  // The tab as a snapshot showed it.
  static BrowserTab seen(const TabTarget& t) {
    return {.browser = kChrome,
            .windowID = t.windowID,
            .tabID = t.id,
            .index = t.index,
            .url = t.url,
            .title = t.title,
            .active = t.active};
  }
  Action closeTab(const BrowserTab& tab) const {
    return {.rule = Rule::tab, .kind = ActionKind::closeTab, .pid = browser_.pid(), .tab = tab};
  }
  Action closeWindow(std::vector<BrowserTab> tabs) const {
    return {.rule = Rule::browserWindow,
            .kind = ActionKind::closeBrowserWindow,
            .pid = browser_.pid(),
            .windowTabs = std::move(tabs)};
  }
  // The addresses open now, by window, front window first.
  std::vector<std::vector<std::string>> windows() const {
    std::vector<std::vector<std::string>> out;
    std::optional<int64_t> last;
    for (const TabTarget& t : browser_.tabs()) {
      if (last != t.windowID) out.emplace_back();
      out.back().push_back(t.url);
      last = t.windowID;
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  HttpServer server_;
  TestBrowser browser_;
};

TEST_F(BrowserActionsTest, ClosesAnIdleTabOnceAndLeavesTheOthers) {
  const TabTarget one = browser_.open(page(1), /*newWindow=*/true);
  const TabTarget two = browser_.open(page(2), false, /*background=*/true);
  ASSERT_FALSE(one.id.empty() || two.id.empty());
  EXPECT_EQ(actions().closeTab(closeTab(seen(two))), Outcome::done());
  EXPECT_EQ(windows(), (std::vector<std::vector<std::string>>{{"about:blank"}, {page(1)}}));
  EXPECT_EQ(actions().closeTab(closeTab(seen(two))), Outcome::skipped("the tab is already closed"));
}

TEST_F(BrowserActionsTest, KeepsATabThatMovedOnOrCameToTheFront) {
  const TabTarget one = browser_.open(page(1), /*newWindow=*/true);
  const TabTarget two = browser_.open(page(2), false, /*background=*/true);
  ASSERT_FALSE(one.id.empty() || two.id.empty());
  BrowserTab elsewhere = seen(two);
  elsewhere.url = page(9);  // What the snapshot saw before the user went on.
  EXPECT_EQ(actions().closeTab(closeTab(elsewhere)),
            Outcome::skipped("the tab shows another address now"));
  ASSERT_TRUE(browser_.activate(page(2)));
  EXPECT_EQ(actions().closeTab(closeTab(seen(two))),
            Outcome::skipped("the tab is the one its window shows now"));
  EXPECT_EQ(windows().size(), 2u);
  Action picked = closeTab(seen(two));
  picked.closeShown = true;  // The user picked it: closed even when shown.
  EXPECT_EQ(actions().closeTab(picked), Outcome::done());
  EXPECT_EQ(windows(), (std::vector<std::vector<std::string>>{{"about:blank"}, {page(1)}}));
}

TEST_F(BrowserActionsTest, ClosesAWholeWindowThatReopensWithBothAddresses) {
  const TabTarget three = browser_.open(page(3), /*newWindow=*/true);
  const TabTarget four = browser_.open(page(4), false, /*background=*/true);
  ASSERT_FALSE(three.id.empty() || four.id.empty());
  ASSERT_EQ(three.windowID, four.windowID);
  EXPECT_EQ(actions().closeBrowserWindow(closeWindow({seen(three), seen(four)})), Outcome::done());
  EXPECT_EQ(windows(), (std::vector<std::vector<std::string>>{{"about:blank"}}));
  EXPECT_EQ(actions().closeBrowserWindow(closeWindow({seen(three), seen(four)})),
            Outcome::skipped("the window is already closed"));

  const auto reopened = actions().reopen(kChrome, {{page(3)}, {page(4)}}, /*newWindow=*/true);
  EXPECT_EQ(reopened, (std::vector<std::optional<std::string>>{std::nullopt, std::nullopt}));
  EXPECT_EQ(windows(),
            (std::vector<std::vector<std::string>>{{"about:blank"}, {page(3), page(4)}}));
}

TEST_F(BrowserActionsTest, AWindowWithATabNotSeenIsLeftOpen) {
  const TabTarget five = browser_.open(page(5), /*newWindow=*/true);
  const TabTarget six = browser_.open(page(6), false, /*background=*/true);
  ASSERT_FALSE(five.id.empty() || six.id.empty());
  EXPECT_EQ(actions().closeBrowserWindow(closeWindow({seen(five)})),
            Outcome::skipped("the window has a tab that was not seen"));
  BrowserTab moved = seen(six);
  moved.url = page(7);
  EXPECT_EQ(actions().closeBrowserWindow(closeWindow({seen(five), moved})),
            Outcome::skipped("a tab of the window shows another address now"));
  EXPECT_EQ(windows(),
            (std::vector<std::vector<std::string>>{{"about:blank"}, {page(5), page(6)}}));
}

TEST_F(BrowserActionsTest, ABrowserThatCannotBeReachedIsReportedAndNothingOpens) {
  const TabTarget one = browser_.open(page(1), /*newWindow=*/true);
  ASSERT_FALSE(one.id.empty());
  const Action action = closeTab(seen(one));
  EXPECT_EQ(actions({}).closeTab(action), Outcome::skipped("the browser is not running"));
  Proc deaf = browser_.proc();
  deaf.listenPorts.clear();
  const std::string unreachable =
      "cannot reach the browser: port " + std::to_string(browser_.port()) + " is not the browser's";
  EXPECT_EQ(actions({deaf}).closeTab(action), Outcome::failed(unreachable));
  EXPECT_EQ(actions({deaf}).closeBrowserWindow(closeWindow({seen(one)})),
            Outcome::failed(unreachable));
  EXPECT_EQ(actions().closeTab(closeTab(BrowserTab{.url = page(1)})),
            Outcome::failed("the tab has no ID"));
  EXPECT_EQ(actions().closeBrowserWindow(closeWindow({})),
            Outcome::failed("the window has no tabs"));

  EXPECT_EQ(actions({deaf}).reopen(kChrome, {{page(2)}}, false),
            (std::vector<std::optional<std::string>>{unreachable}));
  EXPECT_EQ(actions().reopen("com.apple.Safari", {{page(2)}}, false),
            (std::vector<std::optional<std::string>>{"no running browser has that identifier"}));
  EXPECT_EQ(actions().reopen(kChrome, {{"javascript:alert(1)"}, {"chrome://settings/"}}, true),
            (std::vector<std::optional<std::string>>(
                2, "not an address a tab can be opened again from")));
  EXPECT_EQ(windows(), (std::vector<std::vector<std::string>>{{"about:blank"}, {page(1)}}));
}

}  // namespace
}  // namespace kelvane
