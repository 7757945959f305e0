#pragma once
// BrowserSource: the snapshot's browser part on this machine. It reads the tabs
// and windows of every running Chromium-family browser of the user through its
// DevTools endpoint, and lists the browsers whose tabs could not be read.
#include <vector>

#include "core/model/proc.h"
#include "core/model/window_info.h"
#include "platform/linux/browser_connection.h"
#include "platform/linux/desktop_view.h"

namespace kelvane {

// How a user lets a browser listed in automationDenied be read: its DevTools
// endpoint on loopback, which browsers open only for a user-data folder of its
// own.
inline constexpr const char* kRemoteDebuggingHint =
    "start the browser with --remote-debugging-address=127.0.0.1 --remote-debugging-port=0 "
    "and a --user-data-dir of its own";

// Thread-safe: read() keeps no state between calls.
class BrowserSource final {
 public:
  explicit BrowserSource(BrowserAccess access) : access_(std::move(access)) {}

  // Reads every browser among `procs` (the snapshot's processes), each in its
  // own thread and within `access.timeout`: its tabs with window, position,
  // whether shown, front window and profile; and `windows` (the snapshot's
  // system windows, front to back; empty when unknown) matched to browser
  // windows. A browser whose endpoint is off, refused, gone, hanging or
  // answering nonsense adds nothing but its identifier to automationDenied.
  BrowserView read(const std::vector<Proc>& procs, const std::vector<WindowInfo>& windows) const;

 private:
  BrowserAccess access_;
};

}  // namespace kelvane
