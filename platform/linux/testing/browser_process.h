#pragma once
// TestBrowser: a headless Chromium of the test's own, with a fresh profile and
// home in a temporary folder and its DevTools endpoint on 127.0.0.1 at a port
// of its choosing. It runs in a process group of its own, which the destructor
// ends; nothing else is ever signalled.
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "core/model/proc.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/browser_connection.h"

namespace kelvane::testing {

class TestBrowser {
 public:
  // The executable the tests run (Debian's chromium package).
  static constexpr const char* kExecutable = "/usr/lib/chromium/chromium";

  struct Options {
    // Written as the profile's Local State file first, when not empty.
    std::string localState;
    // Runs it as this user instead of the test's own, and gives that user the
    // temporary folder.
    struct User {
      uid_t uid = 0;
      gid_t gid = 0;
    };
    std::optional<User> user;
    // Runs it as a user starts a browser, without the --headless switch that
    // marks a browser some program runs (still drawing on no display).
    bool userBrowser = false;
  };

  // Starts the browser and waits up to 60 s for its endpoint. error() says
  // what went wrong when it did not come up.
  explicit TestBrowser(Options options);
  explicit TestBrowser(const std::string& localState = "")
      : TestBrowser(Options{.localState = localState}) {}
  ~TestBrowser();
  TestBrowser(const TestBrowser&) = delete;
  TestBrowser& operator=(const TestBrowser&) = delete;

  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }
  uint16_t port() const { return port_; }
  const std::filesystem::path& dataDir() const { return dataDir_; }

  // The browser process as a snapshot's producer lists it.
  Proc proc() const;
  // This user's access to browsers, with the given time-out per browser.
  BrowserAccess access(double timeout = 10) const;
  // A connection to the browser, for a test to look and act with.
  Result<BrowserConnection, std::string> connect() const;

  // Opens `url` in a new tab (in a new window with `newWindow`, behind the
  // shown tab with `background`) and returns the tab once the browser lists it
  // with that address; an empty tab when it did not.
  TabTarget open(const std::string& url, bool newWindow, bool background = false) const;
  // Brings the page at `url` to the front, as a user switching to it does.
  bool activate(const std::string& url) const;
  // Sends one protocol command to the browser.
  DevToolsResult call(const std::string& method, nlohmann::json params) const;
  // Every tab now, front window first.
  std::vector<TabTarget> tabs() const;
  // Kills the browser's process group at once and reaps the browser.
  void kill();

 private:
  TempDir dir_;
  std::filesystem::path dataDir_;
  pid_t pid_ = -1;
  uid_t uid_ = 0;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace kelvane::testing
