// The agent on a real X server (a private Xvfb with openbox): windows of the
// test user that sat idle are closed, a window the user focused since the last
// look is left alone by a run started by hand, and a run that would close more
// than half of what is open waits for `kelvane held confirm`.
#include <algorithm>

#include <gtest/gtest.h>

#include "cli/testing/agent_rig.h"
#include "platform/linux/testing/x_server.h"
#include "platform/linux/x11_connection.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class AgentLiveDesktop : public AgentRig {
 protected:
  void SetUp() override {
    AgentRig::SetUp();
    if (IsSkipped()) return;
    if (!XServer::installed()) GTEST_SKIP() << "Xvfb or openbox is not installed";
    auto server = XServer::start();
    ASSERT_TRUE(server) << server.error();
    x_ = std::move(server.value());
  }
  void TearDown() override {
    children_.clear();  // The windows go before their server.
    agent_.reset();
  }

  std::vector<std::string> display() const { return {"DISPLAY=" + x_->display()}; }

  // Starts the test window program as the test user with one window per
  // title; returns the window IDs once the window manager has taken them.
  std::pair<Child*, std::vector<uint32_t>> windows(const std::string& program,
                                                   const std::vector<std::string>& titles) {
    std::vector<std::string> argv = {AgentRig::program(program)};
    for (const auto& title : titles) argv.insert(argv.end(), {"--window", title});
    Child& child = startAs(argv, false, std::nullopt, display());
    std::vector<uint32_t> ids;
    for (std::string line = child.readLine(15s); !line.empty() && line != "ready";
         line = child.readLine(15s))
      ids.push_back(static_cast<uint32_t>(std::stoul(line)));
    EXPECT_EQ(ids.size(), titles.size()) << "the test windows did not come up";
    return {&child, ids};
  }

  // The IDs of the windows the X server lists now.
  std::vector<uint32_t> listed() const {
    auto x = X11Connection::open(x_->display());
    if (!x) return {};
    std::vector<uint32_t> ids;
    xcb_ewmh_get_windows_reply_t list;
    if (xcb_ewmh_get_client_list_reply(
            &(*x)->ewmh(), xcb_ewmh_get_client_list(&(*x)->ewmh(), (*x)->screenNumber()), &list,
            nullptr)) {
      ids.assign(list.windows, list.windows + list.windows_len);
      xcb_ewmh_get_windows_reply_wipe(&list);
    }
    return ids;
  }
  bool open(uint32_t window) const {
    const auto ids = listed();
    return std::find(ids.begin(), ids.end(), window) != ids.end();
  }

  void activate(uint32_t window) const {
    auto x = X11Connection::open(x_->display());
    ASSERT_TRUE(x) << x.error();
    xcb_ewmh_request_change_active_window(&(*x)->ewmh(), (*x)->screenNumber(), window,
                                          XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, XCB_CURRENT_TIME,
                                          XCB_NONE);
    ASSERT_TRUE((*x)->sync());
  }

  // The window IDs the agent plans to close.
  std::set<uint32_t> planned() const {
    std::set<uint32_t> ids;
    const json s = state();
    for (const auto& action : s.value("plan", json::array()))
      if (action.value("kind", "") == "closeWindow" && action.contains("windowID"))
        ids.insert(action["windowID"].get<uint32_t>());
    return ids;
  }

  std::unique_ptr<XServer> x_;
};

TEST_F(AgentLiveDesktop, ClosesTheIdleWindowAndLeavesTheOneFocusedSinceTheLastLook) {
  prepare({{"limits", {{"windowIdle", 60}}},
           {"allowlist", {{"processes", {program("keeper-window")}}}}});
  // Scheduled runs paused: only the run started by hand acts here.
  ASSERT_EQ(kelvane({"pause"}).status, 0);
  const auto [idleApp, idle] = windows("window", {"Idle notes"});
  const auto [usedApp, used] = windows("other-window", {"Draft"});
  const auto [keptApp, kept] = windows("keeper-window", {"Kept one"});

  // A look every two seconds, forty seconds of the agent's clock each.
  startAgent({"--tick", "2", "--no-disk-scan", "--test-clock-speed", "20"}, display());
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto ids = planned();
        return ids.contains(idle[0]) && ids.contains(used[0]);
      },
      60s))
      << state().dump(1) << log();
  EXPECT_FALSE(planned().contains(kept[0]));

  // The user comes back to the draft just before the run.
  activate(used[0]);
  const auto ran = kelvane({"sweep", "--now"}, display());
  EXPECT_EQ(ran.status, 0) << ran.out << ran.err << log();
  EXPECT_NE(ran.out.find("Idle notes"), std::string::npos) << ran.out;
  EXPECT_EQ(ran.out.find("Draft"), std::string::npos) << ran.out;

  EXPECT_TRUE(waitUntil([&] { return !open(idle[0]); }, 20s)) << log();
  EXPECT_TRUE(open(used[0]));
  EXPECT_TRUE(open(kept[0]));
  EXPECT_EQ(stopAgent(), 0) << log();
  EXPECT_EQ(brokenDataFile(), std::nullopt);
}

TEST_F(AgentLiveDesktop, ARunClosingMoreThanHalfTheWindowsWaitsForConfirmation) {
  prepare({{"limits", {{"windowIdle", 60}}},
           {"allowlist", {{"processes", {program("keeper-window")}}}}});
  const auto [one, first] = windows("window", {"First"});
  const auto [two, second] = windows("other-window", {"Second"});
  const auto [kept, keptIDs] = windows("keeper-window", {"Kept one"});

  startAgent({"--tick", "0.5", "--no-disk-scan", "--test-clock-speed", "20"}, display());
  json held;
  ASSERT_TRUE(waitUntil(
      [&] {
        held = state().value("held", json());
        return held.is_object();
      },
      90s))
      << state().dump(1) << log();
  EXPECT_NE(held.value("reason", "").find("2 of 3"), std::string::npos) << held;
  EXPECT_TRUE(open(first[0]) && open(second[0])) << "a held run closed windows";

  const auto confirmed = kelvane({"held", "confirm"}, display());
  EXPECT_EQ(confirmed.status, 0) << confirmed.out << confirmed.err << log();
  EXPECT_TRUE(waitUntil([&] { return !open(first[0]) && !open(second[0]); }, 20s)) << log();
  EXPECT_TRUE(open(keptIDs[0]));
  EXPECT_FALSE(state().contains("held"));
  EXPECT_EQ(stopAgent(), 0) << log();
}

}  // namespace
}  // namespace kelvane
