#include "platform/linux/browser_windows.h"

#include <gtest/gtest.h>

#include "platform/linux/testing/browser_printers.h"

namespace kelvane {
namespace {

using Matched = std::map<uint32_t, BrowserWindow>;

const ScreenFrame kLeft{0, 0, 800, 600}, kRight{800, 0, 800, 600};

BrowserWindow window(int64_t id, std::string name, ScreenFrame frame) {
  return {"com.google.Chrome", id, frame, std::move(name)};
}

TEST(BrowserWindows, TitlesMatchFirstAndFramesTellTwinsApart) {
  const auto inbox = window(1, "Inbox", kLeft), news = window(2, "News", kRight);
  const std::vector<WindowInfo> system{
      {.id = 100, .pid = 7, .title = "News - Chromium", .frame = kLeft},
      {.id = 101, .pid = 7, .title = "Inbox - Chromium", .frame = kRight},  // moved: title wins
      {.id = 102, .pid = 8, .title = "Inbox - Chromium", .frame = kLeft},   // another process
  };
  EXPECT_EQ(BrowserWindows::match({inbox, news}, system, 7), (Matched{{101, inbox}, {100, news}}));
  // Two windows showing the same page: the frames decide.
  const auto left = window(1, "Inbox", kLeft), right = window(2, "Inbox", kRight);
  const std::vector<WindowInfo> twins{
      {.id = 100, .pid = 7, .title = "Inbox - Chromium", .frame = ScreenFrame{800.4, 0, 800, 600}},
      {.id = 101, .pid = 7, .title = "Inbox - Chromium", .frame = kLeft},
  };
  EXPECT_EQ(BrowserWindows::match({left, right}, twins, 7), (Matched{{101, left}, {100, right}}));
}

TEST(BrowserWindows, AmbiguousOrUntitledWindowsStayUnmatched) {
  const auto inbox = window(1, "Inbox", kLeft);
  // Same title, same frame, twice: which one cannot be told.
  const std::vector<WindowInfo> same{
      {.id = 100, .pid = 7, .title = "Inbox - Chromium", .frame = kLeft},
      {.id = 101, .pid = 7, .title = "Inbox - Chromium", .frame = kLeft}};
  EXPECT_EQ(BrowserWindows::match({inbox}, same, 7), Matched{});
  // No title to go by: the one window with the same frame.
  const std::vector<WindowInfo> untitled{{.id = 100, .pid = 7, .title = "", .frame = kRight},
                                         {.id = 101, .pid = 7, .title = "", .frame = kLeft},
                                         {.id = 102, .pid = 7, .title = ""}};
  EXPECT_EQ(BrowserWindows::match({inbox}, untitled, 7), (Matched{{101, inbox}}));
  // An empty tab title matches no title, and a system window serves one browser window.
  const auto blank = window(2, "", kLeft);
  EXPECT_EQ(BrowserWindows::match({inbox, blank}, untitled, 7), (Matched{{101, inbox}}));
  // A title that merely begins like the tab's is no match.
  EXPECT_EQ(
      BrowserWindows::match(
          {inbox}, {{.id = 100, .pid = 7, .title = "Inboxes - Chromium", .frame = kRight}}, 7),
      Matched{});
}

}  // namespace
}  // namespace kelvane
