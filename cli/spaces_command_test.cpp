#include "cli/spaces_command.h"

#include <cstdio>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/testing/run_tool.h"
#include "platform/linux/testing/x_server_fixture.h"

namespace kelvane::cli {
namespace {

class SpacesCommand : public XServerTest {};

TEST_F(SpacesCommand, FourDesktopsWithWindowsOnTwoAndGoSwitches) {
  auto& app =
      launch({"--class", "Editor", "--desktop", "0", "--window", "notes", "--class", "Player",
              "--desktop", "2", "--window", "song", "--desktop", "all", "--window", "clock"});
  const uint32_t notes = app.windows()[0], song = app.windows()[1], clock = app.windows()[2];
  const DesktopView view = viewWhen([&](const DesktopView& v) {
    return v.windowSpaces.contains(notes) && v.windowSpaces.contains(clock) &&
           v.windowSpaces.contains(song) && v.windowSpaces.at(song) == std::vector<int64_t>{3};
  });
  const auto report = spacesReport(view, {"Desk 1", "Desk 2", "Desk 3", "Desk 4"});
  ASSERT_EQ(report.rows.size(), 4u);
  EXPECT_EQ(report.rows[0].label, "Desktop 1");
  EXPECT_TRUE(report.rows[0].current);
  EXPECT_THAT(report.rows[0].windowIDs, ::testing::UnorderedElementsAre(notes, clock));
  EXPECT_EQ(report.rows[1].windows, 1);  // Only the window on every desktop.
  EXPECT_EQ(report.rows[2].windows, 2);
  EXPECT_EQ(report.labels.at(notes).shortText, "Desktop 1");
  EXPECT_EQ(report.labels.at(song).shortText, "Desktop 3");
  EXPECT_EQ(report.labels.at(clock).shortText, "All Spaces");

  std::ostringstream out;
  printSpaces(report, out);
  EXPECT_NE(out.str().find("Desktop 3  Desk 3"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("song"), std::string::npos);

  int status = -1;
  const std::string listed = runTool("spaces --json --display " + server_->display(), &status);
  ASSERT_EQ(status, 0) << listed;
  const auto j = nlohmann::json::parse(listed);
  EXPECT_EQ(j["spaces"].size(), 4u);
  EXPECT_EQ(j["spaces"][2]["label"], "Desktop 3");

  EXPECT_EQ(runTool("spaces go 3 --display " + server_->display(), &status), "Showing Desktop 3\n");
  EXPECT_EQ(status, 0);
  const auto after = X11Desktop::look(server_->display());
  ASSERT_TRUE(after && after->spaces);
  EXPECT_TRUE((*after->spaces)[2].current);
  EXPECT_FALSE((*after->spaces)[0].current);

  EXPECT_EQ(runTool("spaces go 9 --display " + server_->display(), &status),
            "kelvane spaces: there is no desktop 9 (there are 4)\n");
  EXPECT_EQ(status, 1);
  EXPECT_NE(runTool("spaces go 0 --display " + server_->display(), &status).find("counted from 1"),
            std::string::npos);
}

TEST(SpacesCommandNoDisplay, SaysSoAndFails) {
  int status = -1;
  const std::string out = runTool("spaces --display :4077", &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out.rfind("kelvane spaces: ", 0), 0u) << out;
}

}  // namespace
}  // namespace kelvane::cli
