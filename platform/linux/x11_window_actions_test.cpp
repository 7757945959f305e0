#include "platform/linux/x11_window_actions.h"

#include <signal.h>

#include <gtest/gtest.h>

#include "platform/linux/testing/x_server_fixture.h"

namespace kelvane {
namespace {

// Each test's stop function counts its calls and ends only the test's own app.
class X11WindowActionsTest : public XServerTest {
 protected:
  X11WindowActions actions(StopFunction stop = nullptr) {
    return X11WindowActions(server_->display(), std::move(stop),
                            {.roundTrip = std::chrono::milliseconds(2000),
                             .closeWait = std::chrono::milliseconds(3000)});
  }

  static Action closing(const TestApp& app, uint32_t window) {
    return {.rule = Rule::window,
            .kind = ActionKind::closeWindow,
            .pid = app.pid(),
            .windowID = window};
  }
  static Action quitting(const TestApp& app) {
    return {.rule = Rule::appUnused, .kind = ActionKind::quitApp, .pid = app.pid()};
  }

  bool listed(uint32_t window) {
    const auto view = X11Desktop::look(server_->display());
    return view && std::any_of(view->windows.begin(), view->windows.end(),
                               [&](const WindowInfo& w) { return w.id == window; });
  }
};

TEST_F(X11WindowActionsTest, ClosesOneWindowAndLeavesTheOther) {
  auto& app = launch({"--window", "keep", "--window", "close me"});
  viewWith(app.windows());
  EXPECT_EQ(actions().closeWindow(closing(app, app.windows()[1])), Outcome::done());
  EXPECT_FALSE(listed(app.windows()[1]));
  EXPECT_TRUE(listed(app.windows()[0]));
  // Once gone, a second request finds nothing to close.
  EXPECT_EQ(actions().closeWindow(closing(app, app.windows()[1])),
            Outcome::skipped("the window is already closed"));
}

TEST_F(X11WindowActionsTest, AsksTheWindowItselfWhenTheManagerCannotClose) {
  auto& app = launch({"--window", "close me"});
  viewWith(app.windows());
  // Take _NET_CLOSE_WINDOW out of what the manager says it supports.
  auto x = X11Connection::open(server_->display());
  ASSERT_TRUE(x) << x.error();
  X11Connection& c = **x;
  const auto cookie = c.askProperty(c.root(), c.ewmh()._NET_SUPPORTED, 65536);
  ASSERT_TRUE(c.sync());
  auto supported = c.property(cookie).value_or(XProperty{}).items32();
  ASSERT_EQ(std::erase(supported, c.ewmh()._NET_CLOSE_WINDOW), 1u);
  xcb_change_property(c.raw(), XCB_PROP_MODE_REPLACE, c.root(), c.ewmh()._NET_SUPPORTED,
                      XCB_ATOM_ATOM, 32, uint32_t(supported.size()), supported.data());
  ASSERT_TRUE(c.sync());
  EXPECT_EQ(actions().closeWindow(closing(app, app.windows()[0])), Outcome::done());
  EXPECT_FALSE(listed(app.windows()[0]));
}

TEST_F(X11WindowActionsTest, AWindowThatStaysNeedsYou) {
  auto& app = launch({"--refuse-close", "--window", "unsaved draft"});
  viewWith(app.windows());
  EXPECT_EQ(actions().closeWindow(closing(app, app.windows()[0])),
            Outcome::needsYou("the window is still open (it may be asking to save changes)"));
  EXPECT_TRUE(listed(app.windows()[0]));
}

TEST_F(X11WindowActionsTest, RefusesWindowsItMustNotTouch) {
  auto& app = launch({"--window", "mine", "--no-delete", "--window", "old style"});
  auto& other = launch({"--window", "someone else's"});
  viewWith({app.windows()[0], app.windows()[1], other.windows()[0]});
  const auto x = actions();
  // A window ID whose owner is not the planned process: the ID may have been reused.
  Action wrongOwner = closing(app, other.windows()[0]);
  EXPECT_EQ(x.closeWindow(wrongOwner), Outcome::skipped("the window belongs to another process"));
  EXPECT_EQ(x.closeWindow(closing(app, app.windows()[1])),
            Outcome::skipped("the window cannot be asked to close"));
  Action noWindow = closing(app, 0);
  noWindow.windowID.reset();
  EXPECT_EQ(x.closeWindow(noWindow), Outcome::failed("no window given"));
  EXPECT_TRUE(listed(other.windows()[0]));
  EXPECT_TRUE(listed(app.windows()[1]));
}

TEST_F(X11WindowActionsTest, QuitsAnApplicationWithTwoWindows) {
  auto& app = launch({"--window", "one", "--window", "two"});
  auto& bystander = launch({"--window", "not this one"});
  viewWith({app.windows()[0], app.windows()[1], bystander.windows()[0]});
  std::vector<Action> stopped;
  const auto x = actions([&](const Action& action) {
    stopped.push_back(action);
    // The program leaves once its last window is closed.
    return app.process().waitExit(std::chrono::seconds(5)) ? Outcome::done()
                                                           : Outcome::failed("still running");
  });
  const Action quit = quitting(app);
  EXPECT_EQ(x.quitApp(quit), Outcome::done());
  EXPECT_EQ(stopped, std::vector<Action>{quit});
  EXPECT_FALSE(listed(app.windows()[0]));
  EXPECT_FALSE(listed(app.windows()[1]));
  EXPECT_TRUE(listed(bystander.windows()[0]));
}

TEST_F(X11WindowActionsTest, QuitLeavesTheProcessWhenAWindowStays) {
  auto& app = launch({"--refuse-close", "--window", "draft a", "--window", "draft b"});
  viewWith(app.windows());
  int stops = 0;
  const auto x = actions([&](const Action&) {
    ++stops;
    return Outcome::done();
  });
  EXPECT_EQ(
      x.quitApp(quitting(app)),
      Outcome::needsYou("2 of 2 windows are still open (they may be asking to save changes)"));
  EXPECT_EQ(stops, 0);
  EXPECT_EQ(::kill(app.pid(), 0), 0);  // Still running.

  // A window that cannot even be asked: nothing is closed and nothing stopped.
  auto& legacy = launch({"--window", "fine", "--no-delete", "--window", "old"});
  viewWith(legacy.windows());
  EXPECT_EQ(x.quitApp(quitting(legacy)),
            Outcome::needsYou("a window of it cannot be asked to close"));
  EXPECT_EQ(stops, 0);
  EXPECT_TRUE(listed(legacy.windows()[0]));
}

TEST(X11WindowActions, WithoutAnXServerNothingIsStopped) {
  int stops = 0;
  const X11WindowActions x(":7391", [&](const Action&) {
    ++stops;
    return Outcome::done();
  });
  const Action quit{.rule = Rule::appUnused, .kind = ActionKind::quitApp, .pid = 4242};
  EXPECT_EQ(x.quitApp(quit),
            Outcome::failed("cannot reach the X server to close its windows: cannot connect to "
                            "the X server at :7391"));
  EXPECT_EQ(x.closeWindow({.kind = ActionKind::closeWindow, .pid = 4242, .windowID = 7}),
            Outcome::failed("cannot reach the X server: cannot connect to the X server at :7391"));
  EXPECT_EQ(stops, 0);
}

}  // namespace
}  // namespace kelvane
