#include "platform/linux/system_actions_linux.h"

#include <cmath>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/testing/sleeper.h"

namespace kelvane {
namespace {

constexpr double kGrace = 0.3;

// The start time the sampler gives the sleeper.
Date startOf(const Sleeper& sleeper) {
  const ProcReader reader;
  const auto process = reader.process(sleeper.pid(), 0);
  return process ? reader.startOf(process->stat).value_or(Date()) : Date();
}

bool running(Sleeper& sleeper) { return !sleeper.reapIfEnded() && ::kill(sleeper.pid(), 0) == 0; }

Action stopAction(const Sleeper& sleeper, Rule rule = Rule::devServer) {
  return Action{.rule = rule,
                .kind = ActionKind::stopProcess,
                .pid = sleeper.pid(),
                .started = startOf(sleeper)};
}

TEST(ProcessStopper, StopsAndReapsASleeper) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.ready());
  LinuxSystemActions actions(ProcessStopper(::geteuid(), kGrace), {});
  EXPECT_EQ(actions.stopProcess(stopAction(sleeper)), Outcome::done());
  EXPECT_TRUE(sleeper.reapIfEnded());  // it had ended when "done" came
  // Gone now: nothing is signalled.
  Action gone = stopAction(sleeper);
  gone.started = Date(1);
  EXPECT_EQ(actions.stopProcess(gone), Outcome::skipped("no longer running"));
}

TEST(ProcessStopper, AnotherStartTimeIsNeverSignalled) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.ready());
  const ProcessStopper stopper(::geteuid(), kGrace);
  const Date started = startOf(sleeper);
  for (const double off : {-1.0, 0.02, 3600.0})
    EXPECT_EQ(stopper.stop(sleeper.pid(), started + off),
              Outcome::skipped("no longer running (its process ID was reused)"))
        << off;
  EXPECT_TRUE(running(sleeper));
  EXPECT_EQ(stopper.stop(sleeper.pid(), std::nullopt).result.rfind("failed: ", 0), 0u);
  EXPECT_TRUE(running(sleeper));
  // A start time stored in a file keeps whole seconds; it still names the process.
  const Date whole(std::floor(started.timeIntervalSinceReferenceDate()));
  EXPECT_EQ(stopper.stop(sleeper.pid(), whole), Outcome::done());
}

TEST(ProcessStopper, SameStartTable) {
  const Date at(800'000'000.25);
  EXPECT_TRUE(ProcessStopper::sameStart(at, at));
  EXPECT_TRUE(ProcessStopper::sameStart(at, at + 0.001));
  EXPECT_FALSE(ProcessStopper::sameStart(at, at + 0.01));
  EXPECT_TRUE(ProcessStopper::sameStart(Date(800'000'000), at));  // a whole-second copy
  EXPECT_FALSE(ProcessStopper::sameStart(Date(800'000'000), at + 1));
  EXPECT_FALSE(ProcessStopper::sameStart(Date(800'000'001), at));
}

TEST(ProcessStopper, OneThatIgnoresTheRequestIsKilledAfterTheGrace) {
  Sleeper stubborn([] { ::signal(SIGTERM, SIG_IGN); });
  ASSERT_TRUE(stubborn.ready());
  LinuxSystemActions actions(ProcessStopper(::geteuid(), kGrace), {});
  const Outcome outcome = actions.stopProcess(stopAction(stubborn));
  EXPECT_EQ(outcome.result, "done");
  EXPECT_EQ(outcome.note, "did not end when asked; killed");
  EXPECT_TRUE(stubborn.reapIfEnded());
}

TEST(ProcessStopper, ATerminalSessionHearsAHangUp) {
  Sleeper shell([] { ::signal(SIGTERM, SIG_IGN); });  // as an interactive shell does
  ASSERT_TRUE(shell.ready());
  LinuxSystemActions actions(ProcessStopper(::geteuid(), 30), {});
  EXPECT_EQ(actions.stopProcess(stopAction(shell, Rule::session)), Outcome::done());  // no wait
  EXPECT_TRUE(shell.reapIfEnded());
}

TEST(ProcessStopper, AnotherUsersProcessIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
  const passwd* nobody = ::getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody here";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  Sleeper theirs([uid, gid] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(1);
  });
  ASSERT_TRUE(theirs.ready());
  LinuxSystemActions actions(ProcessStopper(::geteuid(), kGrace), {});
  EXPECT_EQ(actions.stopProcess(stopAction(theirs)), Outcome::failed("it belongs to another user"));
  EXPECT_TRUE(running(theirs));
}

TEST(ProcessStopper, NeverTheSystemsFirstProcessesOrItself) {
  const ProcessStopper stopper(::geteuid(), kGrace);
  for (const int32_t pid : {-1, 0, 1, static_cast<int32_t>(::getpid())})
    EXPECT_EQ(stopper.stop(pid, Date(1)), Outcome::failed("not a process that may be stopped"))
        << pid;
}

TEST(LinuxSystemActions, WindowsAppsAndTabsGoToTheirLayers) {
  LinuxSystemActions bare(ProcessStopper(::geteuid(), kGrace), {});
  const Action window{.kind = ActionKind::closeWindow, .windowID = 5};
  EXPECT_EQ(bare.closeWindow(window), Outcome::skipped("no display"));
  EXPECT_EQ(bare.quitApp(window), Outcome::skipped("no display"));
  EXPECT_EQ(bare.closeTab(window), Outcome::skipped("tabs not supported"));
  EXPECT_EQ(bare.closeBrowserWindow(window), Outcome::skipped("browser windows not supported"));

  // The X server's layer quits an application and ends its process with our stopper.
  Sleeper app;
  ASSERT_TRUE(app.ready());
  std::vector<std::string> asked;
  LinuxActionLayers layers{
      .closeWindow = [&](const Action&) { return Outcome::needsYou("unsaved changes"); },
      .quitApp =
          [&](const Action& action, const LinuxActionLayers::Deed& endProcess) {
            asked.push_back("close windows");
            return endProcess(action);
          },
      .closeTab = [](const Action&) { return Outcome::done(); }};
  LinuxSystemActions actions(ProcessStopper(::geteuid(), kGrace), layers);
  EXPECT_EQ(actions.closeWindow(window), Outcome::needsYou("unsaved changes"));
  EXPECT_EQ(actions.closeTab(window), Outcome::done());
  EXPECT_EQ(actions.closeBrowserWindow(window), Outcome::skipped("browser windows not supported"));
  Action quit = stopAction(app, Rule::appNoWindows);
  quit.kind = ActionKind::quitApp;
  EXPECT_EQ(actions.quitApp(quit), Outcome::done());
  EXPECT_EQ(asked, std::vector<std::string>{"close windows"});
  EXPECT_TRUE(app.reapIfEnded());
}

}  // namespace
}  // namespace kelvane
