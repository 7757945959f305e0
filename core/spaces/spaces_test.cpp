#include "core/spaces/spaces.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

// The system's per-display Space description: the built-in display with two
// desktops and a full-screen Space, an external display with two desktops
// (and entries to skip), a display without an identifier, and junk.
const auto kDisplays = nlohmann::json::parse(R"([
  {"Display Identifier": "37D8832A-2D66-02CA-B9F7-8F30A301B230",
   "Current Space": {"ManagedSpaceID": 4, "id64": 4, "type": 0, "uuid": ""},
   "Spaces": [{"ManagedSpaceID": 4, "id64": 4, "type": 0, "uuid": ""},
              {"ManagedSpaceID": 7, "id64": 7, "type": 0, "uuid": "5E7A5C2B-1C0B-4F36"},
              {"ManagedSpaceID": 12, "id64": 12, "type": 4, "uuid": "C1A6", "fs_wid": 8812}]},
  {"Display Identifier": "A1B2C3D4-0000-1111-2222-333344445555",
   "Current Space": {"ManagedSpaceID": 21},
   "Spaces": [{"ManagedSpaceID": 20}, {"uuid": "no id"}, {"ManagedSpaceID": "22"},
              {"ManagedSpaceID": 1.5}, {"ManagedSpaceID": 21, "type": 0}]},
  {"Spaces": [{"ManagedSpaceID": 30, "type": 0}]},
  "not a display", {"Display Identifier": 5, "Spaces": "none"}
])");
const std::string kBuiltIn = "37D8832A-2D66-02CA-B9F7-8F30A301B230";
const std::string kDell = "A1B2C3D4-0000-1111-2222-333344445555";
const ScreenFrame kBuiltInFrame{0, 0, 1512, 982}, kDellFrame{-2560, -300, 2560, 1440};

std::vector<SpaceInfo> spaces() {
  return Spaces::parse(kDisplays, {{kBuiltIn, {"Built-in Retina Display", kBuiltInFrame}},
                                   {kDell, {"DELL U2720Q", kDellFrame}}});
}

// Music (105) is on every Space; 999 is on a Space nobody knows.
const std::vector<WindowInfo> kWindows{{101, 500, "Terminal"}, {102, 501, "Editor"},
                                       {103, 500, "Terminal"}, {104, 502, "Browser"},
                                       {106, 501, "Editor"},   {105, 503, "Music"}};
const std::map<uint32_t, std::vector<int64_t>> kWindowSpaces{
    {101, {4}},  {102, {7}}, {103, {7}}, {104, {20}}, {105, {4, 7, 12, 20, 21, 30}},
    {106, {12}}, {999, {77}}};

TEST(Spaces, ParseDisplaysInOrder) {
  const std::string builtIn = "Built-in Retina Display";
  EXPECT_EQ(spaces(), (std::vector<SpaceInfo>{{4, kBuiltIn, 0, true, builtIn, kBuiltInFrame},
                                              {7, kBuiltIn, 0, false, builtIn, kBuiltInFrame},
                                              {12, kBuiltIn, 4, false, builtIn, kBuiltInFrame},
                                              {20, kDell, 0, false, "DELL U2720Q", kDellFrame},
                                              {21, kDell, 0, true, "DELL U2720Q", kDellFrame},
                                              {30, "Main", 0, false}}));
  EXPECT_TRUE(Spaces::parse(nlohmann::json::object(), {}).empty());
}

TEST(Spaces, ShortNames) {
  EXPECT_EQ(Spaces::shortName("DELL U2720Q"), "U2720Q");
  EXPECT_EQ(Spaces::shortName("LG HDR 4K"), "HDR 4K");
  EXPECT_EQ(Spaces::shortName("Built-in Retina Display"), "Built-in");
  EXPECT_EQ(Spaces::shortName("Studio Display"), "Studio Display");
  EXPECT_EQ(Spaces::shortName("Dell "), "Dell ");
}

TEST(Spaces, DisplaysLeftToRightWithUniqueNames) {
  EXPECT_EQ(Spaces::displays(spaces()),
            (std::vector<SpaceDisplay>{{kDell, "DELL U2720Q", "U2720Q"},
                                       {kBuiltIn, "Built-in Retina Display", "Built-in"},
                                       {"Main", "Display 1", "Display 1"}}));
  // Two identical monitors side by side with an unnamed one above, and one without a frame.
  const std::vector<SpaceInfo> four{{1, "right", 0, false, "LG UltraFine", {{1920, 0, 1920, 1080}}},
                                    {2, "top", 0, false, std::nullopt, {{1920, -1080, 1920, 1080}}},
                                    {3, "left", 0, false, "LG UltraFine", {{0, 0, 1920, 1080}}},
                                    {4, "nowhere", 0, false}};
  EXPECT_EQ(Spaces::displays(four),
            (std::vector<SpaceDisplay>{{"left", "LG UltraFine 1", "UltraFine 1"},
                                       {"top", "Display 1", "Display 1"},
                                       {"right", "LG UltraFine 2", "UltraFine 2"},
                                       {"nowhere", "Display 2", "Display 2"}}));
}

TEST(Spaces, RowsAndWindowLabels) {
  const auto rows = Spaces::rows(spaces(), kWindowSpaces, kWindows);
  std::vector<std::string> labels;
  for (const auto& row : rows) labels.push_back(row.display.substr(0, 4) + " " + row.label);
  EXPECT_EQ(labels, (std::vector<std::string>{"A1B2 Desktop 1", "A1B2 Desktop 2", "37D8 Desktop 1",
                                              "37D8 Desktop 2", "37D8 Full screen · Editor",
                                              "Main Desktop 1"}));
  EXPECT_EQ(rows[3], (SpaceRow{7,
                               "Desktop 2",
                               false,
                               3,
                               {102, 103, 105},
                               {"Editor", "Terminal", "Music"},
                               false,
                               kBuiltIn}));
  EXPECT_EQ(Spaces::rows({{1, "Main", 4}}, {}, {})[0].label, "Full screen");

  const auto labelled = Spaces::windowLabels(rows, Spaces::displays(spaces()), kWindowSpaces);
  EXPECT_EQ(labelled.at(102),
            (WindowSpaceLabel{"Desktop 2 · Built-in", "Desktop 2 · Built-in Retina Display"}));
  EXPECT_EQ(labelled.at(104), (WindowSpaceLabel{"Desktop 1 · U2720Q", "Desktop 1 · DELL U2720Q"}));
  EXPECT_EQ(labelled.at(105), (WindowSpaceLabel{"All Spaces", "All Spaces"}));
  EXPECT_FALSE(labelled.contains(999));
  const std::vector<SpaceInfo> one{{4, kBuiltIn, 0, true, "Built-in Retina Display"}};
  EXPECT_EQ(Spaces::windowLabels(Spaces::rows(one, kWindowSpaces, kWindows), Spaces::displays(one),
                                 kWindowSpaces)
                .at(101),
            (WindowSpaceLabel{"Desktop 1", "Desktop 1"}));
}

TEST(Spaces, ActionShownMissionControlOrLatestOwnWindow) {
  const std::map<uint32_t, std::vector<int64_t>> windowSpaces{
      {1, {5}}, {2, {5}}, {3, {5, 6}}, {4, {5}}};
  SpaceRow row{.id = 5, .windowIDs = {1, 2, 3, 4}};
  EXPECT_EQ(Spaces::ownWindows(row, windowSpaces), (std::vector<uint32_t>{1, 2, 4}));
  // Window 3 was focused last but lives on two Spaces; 2 and 4 tie after it.
  const Date t(1000);
  EXPECT_EQ(Spaces::action(row, windowSpaces, {{1, t}, {2, t + 5}, {3, t + 9}, {4, t + 5}}),
            SpaceAction::goTo(2));
  EXPECT_EQ(Spaces::action(row, windowSpaces, {}), SpaceAction::goTo(1));  // never focused
  row.current = true;
  EXPECT_EQ(Spaces::action(row, windowSpaces, {}), SpaceAction::shown());
  EXPECT_EQ(Spaces::action({.id = 6, .windowIDs = {3}}, windowSpaces, {}),
            SpaceAction::missionControl());
}

}  // namespace
}  // namespace kelvane
