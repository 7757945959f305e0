#include "platform/linux/x11_layout.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using X11Layout::Monitor;

const Monitor kLeft{.name = "DP-1", .model = "DELL U2720Q", .frame = {0, 0, 1920, 1080}};
const Monitor kRight{.name = "HDMI-1", .frame = {1920, 0, 1280, 1024}, .primary = true};

TEST(X11Layout, PrimaryMonitorComesFirst) {
  const Monitor third{.name = "DP-2", .frame = {3200, 0, 800, 600}};
  const auto monitors = X11Layout::ordered({kLeft, kRight, third});
  ASSERT_EQ(monitors.size(), 3u);
  EXPECT_EQ(monitors[0].name, "HDMI-1");
  EXPECT_EQ(monitors[1].name, "DP-1");
  EXPECT_EQ(monitors[2].name, "DP-2");
}

TEST(X11Layout, SpaceIDsNameMonitorAndDesktop) {
  EXPECT_EQ(X11Layout::spaceID(0, 0), 1);
  EXPECT_EQ(X11Layout::spaceID(0, 998), 999);
  EXPECT_EQ(X11Layout::spaceID(2, 3), 2004);
  EXPECT_EQ(X11Layout::desktopOf(1), 0u);
  EXPECT_EQ(X11Layout::desktopOf(2004), 3u);
  EXPECT_EQ(X11Layout::desktopOf(999), 998u);
  for (const int64_t none : {0, 1000, 3000, -5})
    EXPECT_EQ(X11Layout::desktopOf(none), std::nullopt);
}

TEST(X11Layout, EveryMonitorHasEveryDesktop) {
  const auto spaces = X11Layout::spaces({kRight, kLeft}, 2, 1);
  const std::vector<SpaceInfo> expected{
      {.id = 1, .display = "HDMI-1", .displayName = "HDMI-1", .displayFrame = kRight.frame},
      {.id = 2,
       .display = "HDMI-1",
       .current = true,
       .displayName = "HDMI-1",
       .displayFrame = kRight.frame},
      {.id = 1001, .display = "DP-1", .displayName = "DELL U2720Q", .displayFrame = kLeft.frame},
      {.id = 1002,
       .display = "DP-1",
       .current = true,
       .displayName = "DELL U2720Q",
       .displayFrame = kLeft.frame},
  };
  EXPECT_EQ(spaces, expected);
  // No current desktop known: none is current. An absurd count is cut.
  for (const auto& space : X11Layout::spaces({kLeft}, 3, std::nullopt)) EXPECT_FALSE(space.current);
  EXPECT_EQ(X11Layout::spaces({kLeft}, 0xFFFFFFF0u, 0).size(), X11Layout::kMaxDesktops);
  EXPECT_TRUE(X11Layout::spaces({kLeft}, 0, 0).empty());
}

TEST(X11Layout, WindowBelongsToTheMonitorOfItsCentre) {
  const std::vector<Monitor> monitors{kLeft, kRight};
  EXPECT_EQ(X11Layout::monitorOf({100, 100, 400, 300}, monitors), 0u);
  EXPECT_EQ(X11Layout::monitorOf({2000, 100, 400, 300}, monitors), 1u);
  // Centre on the shared edge (x 1920) is the right monitor's first column.
  EXPECT_EQ(X11Layout::monitorOf({1820, 100, 200, 300}, monitors), 1u);
  // Centre below both (the right one is shorter): the one it overlaps most.
  EXPECT_EQ(X11Layout::monitorOf({1700, 1000, 600, 200}, monitors), 0u);
  EXPECT_EQ(X11Layout::monitorOf({1950, 1000, 600, 200}, monitors), 1u);
  // Off every screen: the first monitor.
  EXPECT_EQ(X11Layout::monitorOf({-5000, -5000, 10, 10}, monitors), 0u);
}

TEST(X11Layout, WindowSpacesFollowItsDesktop) {
  EXPECT_EQ(X11Layout::windowSpaces(1, 2, 4), std::vector<int64_t>{1003});
  EXPECT_EQ(X11Layout::windowSpaces(0, X11Layout::kAllDesktops, 3),
            (std::vector<int64_t>{1, 2, 3}));
  EXPECT_TRUE(X11Layout::windowSpaces(0, 4, 4).empty());  // A desktop that is gone.
}

}  // namespace
}  // namespace kelvane
