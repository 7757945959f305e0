// The road of one sweep on real processes: the agent, as the test user, finds
// a development server, a background process and a terminal session idle and
// stops them at its slot; another user's process and an allowlisted one in the
// same state are left running.
#include <csignal>
#include <fcntl.h>
#include <map>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/testing/agent_rig.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

class AgentLiveSweep : public AgentRig {};

// A pseudo-terminal whose other end belongs to the test user, as a terminal
// window gives its user one.
struct Terminal {
  int master = -1;
  std::string device;
  explicit Terminal(const TestUser& user) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
    device = ::ptsname(master);
    if (::chown(device.c_str(), user.uid, user.gid) != 0) device.clear();
  }
  ~Terminal() {
    if (master >= 0) ::close(master);
  }
};

TEST_F(AgentLiveSweep, StopsIdleProcessesAtItsSlotAndRecordsTheRun) {
  const std::string helper = program("helper"), keeper = program("keeper");
  prepare({{"limits", {{"sessionIdle", 60}, {"devServerIdle", 60}, {"backgroundIdle", 60}}},
           {"allowlist", {{"processes", {keeper}}}}});

  Child& server = startAs({helper, "listen"});
  const std::string port = server.readLine(10s);
  ASSERT_FALSE(port.empty());
  Child& background = startAs({helper, "idle"});
  Child& kept = startAs({keeper, "idle"});
  Child& others = startAs({helper, "listen"}, /*asRoot=*/true);
  ASSERT_FALSE(others.readLine(10s).empty());
  Terminal terminal(user_);
  ASSERT_FALSE(terminal.device.empty());
  Child& session = startAs({helper, "idle"}, false, terminal.device);

  // A minute of the agent's clock passes in three seconds.
  startAgent({"--tick", "0.25", "--no-disk-scan", "--test-clock-speed", "20"});
  ASSERT_TRUE(waitUntil(
      [&] { return !server.running() && !background.running() && !session.running(); }, 120s))
      << log();
  EXPECT_TRUE(kept.running());
  EXPECT_TRUE(others.running());

  // Each was stopped by the rule that found it idle, and the run says so once
  // it has finished (it is recorded after its last action).
  std::map<int32_t, std::pair<std::string, std::string>> outcome;  // pid: rule, result
  const auto recorded = [&] {
    outcome.clear();
    for (const auto& run : runs())
      if (run.mode == RunMode::live)
        for (const auto& r : run.actions)
          outcome[r.action.pid] = {std::string(rawValue(r.action.rule)), r.result};
    return outcome.contains(server.pid()) && outcome.contains(background.pid()) &&
           outcome.contains(session.pid());
  };
  EXPECT_TRUE(waitUntil(recorded, 30s)) << log();
  using Outcome = std::pair<std::string, std::string>;
  EXPECT_EQ(outcome[server.pid()], Outcome("devServer", "done")) << log();
  EXPECT_EQ(outcome[background.pid()], Outcome("background", "done"));
  EXPECT_EQ(outcome[session.pid()], Outcome("session", "done"));
  EXPECT_FALSE(outcome.contains(kept.pid()));
  EXPECT_FALSE(outcome.contains(others.pid()));

  const auto listed = kelvane({"runs"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("port " + port), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("live"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("done"), std::string::npos) << listed.out;

  EXPECT_EQ(stopAgent(), 0) << log();
  EXPECT_EQ(brokenDataFile(), std::nullopt);
}

}  // namespace
}  // namespace kelvane
