#include "core/planning/safety.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

Action act(ActionKind kind, int32_t pid, std::string target = "t") {
  return Action{.kind = kind, .pid = pid, .target = std::move(target)};
}

std::vector<WindowInfo> windows(int count, int32_t pid, bool axSeen = true) {
  std::vector<WindowInfo> out;
  for (int i = 0; i < count; ++i)
    out.push_back({.id = static_cast<uint32_t>(100 * pid + i), .pid = pid, .axSeen = axSeen});
  return out;
}

std::vector<BrowserTab> tabs(int perWindow, int windowCount) {
  std::vector<BrowserTab> out;
  for (int w = 0; w < windowCount; ++w)
    for (int i = 0; i < perWindow; ++i) out.push_back({.browser = "b", .windowID = w, .index = i});
  return out;
}

TEST(Safety, WindowShareCountsClosesAndQuitsAboveHalf) {
  auto open = windows(4, 1);
  auto more = windows(2, 2);
  open.insert(open.end(), more.begin(), more.end());
  auto hidden = windows(5, 3, false);  // not closable, so not counted at all
  open.insert(open.end(), hidden.begin(), hidden.end());
  const std::vector<Action> three = {act(ActionKind::closeWindow, 1), act(ActionKind::quitApp, 2)};
  EXPECT_EQ(Safety::holdReason(three, open, {}, {}), std::nullopt);
  const std::vector<Action> four = {act(ActionKind::closeWindow, 1),
                                    act(ActionKind::closeWindow, 1), act(ActionKind::quitApp, 2)};
  EXPECT_EQ(Safety::holdReason(four, open, {}, {}), "would close 4 of 6 open windows");
  EXPECT_EQ(Safety::holdReason({act(ActionKind::quitApp, 3)}, {}, {}, {}), std::nullopt);
}

TEST(Safety, BrowserWindowsThenTabs) {
  const auto open = tabs(2, 5);  // 10 tabs in 5 windows
  Action whole = act(ActionKind::closeBrowserWindow, 9);
  whole.windowTabs = tabs(2, 1);
  std::vector<Action> plan = {whole, whole, act(ActionKind::closeTab, 9)};
  EXPECT_EQ(Safety::holdReason(plan, {}, open, {}), std::nullopt);  // 5 of 10 tabs is half
  plan.push_back(act(ActionKind::closeTab, 9));
  EXPECT_EQ(Safety::holdReason(plan, {}, open, {}), "would close 6 of 10 open tabs");
  plan.push_back(whole);
  EXPECT_EQ(Safety::holdReason(plan, {}, open, {}), "would close 3 of 5 open browser windows");
  // Windows come first.
  plan.push_back(act(ActionKind::closeWindow, 1));
  EXPECT_EQ(Safety::holdReason(plan, windows(1, 1), open, {}), "would close 1 of 1 open windows");
}

TEST(Safety, MoreThanTwentyUnfamiliarItemsHold) {
  std::vector<Action> plan;
  for (int i = 0; i < 20; ++i) plan.push_back(act(ActionKind::stopProcess, i, std::to_string(i)));
  EXPECT_EQ(Safety::holdReason(plan, {}, {}, {}), std::nullopt);
  Action known = act(ActionKind::stopProcess, 99, "node");
  known.path = "/opt/node";
  plan.push_back(known);
  EXPECT_EQ(Safety::holdReason(plan, {}, {}, {}), "21 items Kelvane has never acted on");
  EXPECT_EQ(Safety::holdReason(plan, {}, {}, {"stopProcess:/opt/node"}), std::nullopt);
  EXPECT_EQ(Safety::holdReason(plan, {}, {}, {"stopProcess:node"}),
            "21 items Kelvane has never acted on");  // the path, not the name, is its key
}

}  // namespace
}  // namespace kelvane
