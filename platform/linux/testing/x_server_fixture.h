#pragma once
// XServerTest: a test fixture with a private X server and window manager, and
// helpers to run the test window program on it and wait for what it shows.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/desktop_view.h"
#include "platform/linux/testing/x_server.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_desktop.h"

namespace kelvane {

class XServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XServer::installed())
      GTEST_SKIP() << "Xvfb or openbox is not installed (scripts/setup.sh installs them)";
    auto server = XServer::start();
    ASSERT_TRUE(server) << server.error();
    server_ = std::move(server.value());
  }

  // Runs the test window program; fails the test when it does not come up.
  TestApp& launch(const std::vector<std::string>& args) {
    auto app = TestApp::start(*server_, args);
    EXPECT_TRUE(app) << (app ? "" : app.error());
    if (!app) throw std::runtime_error("no test app");
    apps_.push_back(std::move(app.value()));
    return *apps_.back();
  }

  // Looks until `ready` says the view is what the test waits for (the window
  // manager takes a moment to list a new window), then returns that view.
  template <class Ready>
  DesktopView viewWhen(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      auto view = X11Desktop::look(server_->display());
      if (view && ready(*view)) return *view;
      if (std::chrono::steady_clock::now() >= deadline) {
        ADD_FAILURE() << "the desktop never showed what the test waited for";
        return view ? *view : DesktopView{};
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Waits until every window of `windows` is listed.
  DesktopView viewWith(const std::vector<uint32_t>& windows) {
    return viewWhen([&](const DesktopView& view) {
      for (const uint32_t id : windows)
        if (std::none_of(view.windows.begin(), view.windows.end(),
                         [&](const WindowInfo& w) { return w.id == id; }))
          return false;
      return true;
    });
  }

  // Asks the window manager to activate `window`, as a pager does.
  void activate(uint32_t window) {
    auto x = X11Connection::open(server_->display());
    ASSERT_TRUE(x) << x.error();
    xcb_ewmh_request_change_active_window(&(*x)->ewmh(), (*x)->screenNumber(), window,
                                          XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, XCB_CURRENT_TIME,
                                          XCB_NONE);
    ASSERT_TRUE((*x)->sync());
  }

  std::unique_ptr<XServer> server_;
  std::vector<std::unique_ptr<TestApp>> apps_;  // Ended before the server.
};

}  // namespace kelvane
