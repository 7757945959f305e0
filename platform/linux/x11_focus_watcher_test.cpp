#include "platform/linux/x11_focus_watcher.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/linux/testing/x_server_fixture.h"

namespace kelvane {

// Shows a note in failures.
void PrintTo(const FocusNote& note, std::ostream* out) {
  *out << "{window " << (note.window ? std::to_string(*note.window) : "none") << ", pid "
       << (note.pid ? std::to_string(*note.pid) : "none")
       << (note.active ? ", active}" : ", idle}");
}

namespace {

class X11FocusWatcherTest : public XServerTest {
 protected:
  std::unique_ptr<X11FocusWatcher> watch(std::chrono::milliseconds idleThreshold) {
    auto watcher = X11FocusWatcher::start(server_->display(),
                                          [this](const FocusNote& note) {
                                            // Openbox names no window for a moment while focus
                                            // moves; only windows matter here.
                                            if (note.window) notes_.push_back(note);
                                          },
                                          {.idleThreshold = idleThreshold});
    EXPECT_TRUE(watcher) << (watcher ? "" : watcher.error());
    return watcher ? std::move(watcher.value()) : nullptr;
  }

  // Dispatches until `count` notes have come, or five seconds passed.
  void dispatchUntil(X11FocusWatcher& watcher, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (notes_.size() < count && std::chrono::steady_clock::now() < deadline)
      ASSERT_TRUE(watcher.waitAndDispatch(std::chrono::milliseconds(100)));
  }

  std::vector<FocusNote> notes_;
};

TEST_F(X11FocusWatcherTest, ReportsEachChangeOfTheActiveWindow) {
  auto& alpha = launch({"--window", "alpha"});
  auto& beta = launch({"--window", "beta"});
  viewWith({alpha.windows()[0], beta.windows()[0]});
  activate(beta.windows()[0]);
  viewWhen([&](const DesktopView& v) { return v.focusedWindow == beta.windows()[0]; });
  const auto watcher = watch(std::chrono::hours(1));
  ASSERT_NE(watcher, nullptr);

  activate(alpha.windows()[0]);
  dispatchUntil(*watcher, 1);
  activate(beta.windows()[0]);
  dispatchUntil(*watcher, 2);
  // A fresh server has had no input for less than an hour: the person counts as there.
  EXPECT_EQ(notes_, (std::vector<FocusNote>{{alpha.windows()[0], alpha.pid(), true},
                                            {beta.windows()[0], beta.pid(), true}}));
  EXPECT_EQ(watcher->current(), (FocusNote{beta.windows()[0], beta.pid(), true}));

  // With no idle time allowed, nobody is at the machine.
  const auto strict = watch(std::chrono::milliseconds(0));
  ASSERT_NE(strict, nullptr);
  EXPECT_EQ(strict->current(), (FocusNote{beta.windows()[0], beta.pid(), false}));
}

TEST_F(X11FocusWatcherTest, ALostServerEndsTheWatch) {
  const auto watcher = watch(std::chrono::hours(1));
  ASSERT_NE(watcher, nullptr);
  apps_.clear();
  server_.reset();
  EXPECT_FALSE(watcher->waitAndDispatch(std::chrono::seconds(2)));
  EXPECT_EQ(watcher->current(), std::nullopt);

  const auto none = X11FocusWatcher::start(":7391", [](const FocusNote&) {}, {});
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(), "cannot connect to the X server at :7391");
}

}  // namespace
}  // namespace kelvane
