#pragma once
// HelperCore: the proxy helper's decisions. It saves the user's own proxy
// settings, points every network service at our loopback proxy, puts the saved
// settings back on request, at shutdown, after a crash or when the proxy stops
// answering, and notices when someone else has changed what it set.
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/proxyswitch/prefs_store.h"

namespace kelvane {

// Main thread only. `prefs` and `file` must outlive the core. The saved file's
// presence is the one truth about whether our proxy is switched on; the rest
// of the state is a cache rebuilt from nothing after a restart.
class HelperCore final {
 public:
  // Answers whether the local proxy accepts connections on a port.
  using PortProbe = std::function<bool(int port)>;

  // A dead proxy is given up after this many ticks in a row.
  static constexpr int kDeadTicks = 3;
  // Tampering is looked for on every this-many-th tick.
  static constexpr int kTamperCheckEvery = 3;

  HelperCore(ProxyPrefsStore& prefs, SaveFileStore& file, PortProbe portAlive);
  HelperCore(const HelperCore&) = delete;
  HelperCore& operator=(const HelperCore&) = delete;

  // Saves the user's settings, then points every service at host:port. Returns
  // nullopt on success, else the message for the client; a failed write puts
  // the saved settings back before returning.
  [[nodiscard]] std::optional<std::string> enable(std::string_view host, int64_t port);
  // Writes the saved settings back and deletes the saved file. Returns true when
  // nothing is left to restore; false keeps the file for a later attempt.
  bool restore();
  // Restores settings left switched by an earlier run, if any; failures are
  // left for the watchdog.
  void restoreLeftover();
  // One watchdog step: restores on the third dead tick in a row (and retries on
  // every tick after a failed restore), and checks for tampering every third tick.
  void tick();

  // Returns true while a saved file exists, i.e. our proxy is switched on.
  bool applied() const;
  // Returns true when the last check found a switched service pointing elsewhere.
  bool tampered() const { return tampered_; }

 private:
  void clearState();
  void checkTampering();

  ProxyPrefsStore& prefs_;
  SaveFileStore& file_;
  PortProbe portAlive_;
  std::optional<int> port_;
  std::set<std::string> touched_;
  int64_t ticks_ = 0;
  int64_t deadTicks_ = 0;
  bool tampered_ = false;
};

}  // namespace kelvane
