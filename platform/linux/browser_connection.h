#pragma once
// BrowserConnection: a talk with one of the user's running Chromium-family
// browsers through its DevTools endpoint, found and checked as
// DevToolsEndpoints says: its tabs with their windows, closing tabs, opening
// new ones. Used by the snapshot's browser source and by the browser actions.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/model/browser_tab.h"
#include "core/model/proc.h"
#include "core/model/screen_frame.h"
#include "core/support/result.h"
#include "platform/linux/browser_identity.h"
#include "platform/linux/devtools_client.h"

namespace kelvane {

// How the user's browsers are reached; the same for reading and for acting.
struct BrowserAccess {
  uint32_t me = 0;                        // Only this user's browsers are used.
  std::filesystem::path configHome;       // ~/.config, holding the browsers' default folders.
  std::map<std::string, uint16_t> ports;  // A DevTools port the configuration names, by identifier.
  double timeout = 2;                     // Seconds one browser may take to answer.
  // A process's arguments; empty when they cannot be read. /proc when unset.
  std::function<std::vector<std::string>(int32_t pid)> args;

  // This process's user, with ~/.config from XDG_CONFIG_HOME or HOME.
  static BrowserAccess forThisUser();
};

// Why a browser cannot be reached when it has no DevTools endpoint at all.
inline constexpr std::string_view kRemoteDebuggingOff = "remote debugging is off";

// One running browser of the user.
struct RunningBrowser {
  Proc proc;  // The browser process itself, not a helper.
  ChromiumBrowser kind;
  std::vector<std::string> args;
};

// Returns the browsers among `procs`: `access.me`'s processes that carry an
// identifier, run a Chromium-family executable and are the browser itself, not
// a helper. A browser whose arguments cannot be read (it is quitting) is kept.
std::vector<RunningBrowser> runningBrowsers(const std::vector<Proc>& procs,
                                            const BrowserAccess& access);

// One tab as the endpoint lists it.
struct TabTarget {
  std::string id;  // The browser's ID for the tab, stable while it is open.
  std::string url;
  std::string title;
  std::string context;  // The browser context (profile) it belongs to; may be empty.
  int64_t windowID = 0;
  int64_t index = 0;    // Position in its window's tab strip.
  bool active = false;  // The tab its window shows.
  bool operator==(const TabTarget&) const = default;
};

// Reads a Target.getTargets answer: the "tab" targets with their position and
// whether they are shown (windowID is left 0). An error when the answer is not
// of that shape or a tab lacks its position, as browsers too old to say it do.
Result<std::vector<TabTarget>, std::string> parseTabTargets(const nlohmann::json& answer);

// What a browser's endpoint says about its tabs and windows.
struct BrowserTabs {
  std::vector<TabTarget> tabs;             // Front window first, then by window ID and position.
  std::map<int64_t, ScreenFrame> windows;  // Bounds by the browser's window ID.
  std::optional<int64_t> frontWindow;      // The window of the tab shown last, when asked for.
};

class BrowserConnection final {
 public:
  using Clock = DevToolsClient::Clock;

  // Opens `browser`'s endpoint: the port the configuration names for its
  // identifier, else the one in the DevToolsActivePort file of its user-data
  // folder. The port must pass DevToolsEndpoints::refusal; the error says why
  // it does not, or why nothing answers. Every later call ends by `deadline`.
  static Result<BrowserConnection, std::string> open(const RunningBrowser& browser,
                                                     const BrowserAccess& access,
                                                     Clock::time_point deadline);

  // Reads every tab with its window; with `front`, also which window showed a
  // tab last (through the HTTP listing). Tabs that close meanwhile are left
  // out. An error when the endpoint fails, drops, runs out of time or answers
  // in an unexpected shape.
  Result<BrowserTabs, std::string> tabs(bool front);

  // Closes the tabs and waits until none of them is listed. An error when the
  // browser refuses or some are still open at the deadline.
  Result<void, std::string> close(const std::vector<std::string>& ids);

  // Opens `url` in a new tab: in a new window with `newWindow`, else in the
  // window used last; behind the shown tab with `background`; in the browser
  // context `context` when not empty. Returns the new target's ID.
  Result<std::string, std::string> openTab(const std::string& url, bool newWindow, bool background,
                                           const std::string& context);

  // Tells the profile of each browser context of `tabs`, from the browser's
  // Local State file and the profile names read from its window titles
  // (context to name). Contexts that cannot be told are left out.
  std::map<std::string, BrowserProfile> profiles(
      const BrowserTabs& tabs, const std::map<std::string, std::string>& titleNames) const;

 private:
  BrowserConnection(std::unique_ptr<DevToolsClient> client,
                    std::optional<std::filesystem::path> userDataDir,
                    std::optional<std::string> profileSwitch);
  Result<std::vector<TabTarget>, std::string> listTabs();

  std::unique_ptr<DevToolsClient> client_;
  std::optional<std::filesystem::path> userDataDir_;
  std::optional<std::string> profileSwitch_;
};

}  // namespace kelvane
