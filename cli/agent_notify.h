#pragma once
// Notifier: desktop notifications for the agent (usage alerts, held runs,
// processes stopped while the user was away), through the freedesktop
// notification service's command-line client when it is installed and the
// user's session bus is there. The agent logs every notice anyway.
#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kelvane {

// Main thread only. Ends and reaps the programs it started, and only those.
class Notifier final {
 public:
  // The client (notify-send) found on `path` (a PATH value) and the session
  // bus: `busAddress` (DBUS_SESSION_BUS_ADDRESS), else the socket "bus" in
  // `runtimeDir` when there is one. Unavailable when either is missing.
  static Notifier find(std::string_view path, std::string_view busAddress,
                       std::string_view runtimeDir);
  // Unavailable.
  Notifier() = default;
  ~Notifier();
  Notifier(Notifier&&) = default;
  Notifier& operator=(Notifier&&) = default;

  bool available() const { return !program_.empty(); }
  const std::string& program() const { return program_; }

  // Starts the client for one notification and returns at once; false when
  // none is available or it could not be started.
  bool show(std::string_view summary, std::string_view body);
  // Reaps the clients that ended; ends those that ran longer than `patience`.
  void reap(std::chrono::seconds patience = std::chrono::seconds(30));
  // True when no client it started is left running.
  bool idle() const { return running_.empty(); }

 private:
  std::string program_;
  std::string busAddress_;
  std::map<pid_t, std::chrono::steady_clock::time_point> running_;
};

}  // namespace kelvane
