#pragma once
// LiveMachine: this machine as the engine's desktop. It takes snapshots (the
// process table, the X server's windows when there is a display, the browsers'
// tabs through their DevTools endpoints) and carries out actions (stopping
// processes, closing windows and quitting applications through the X server,
// closing tabs through the browsers, the disk cleanup into the freedesktop
// Trash). The agent and `kelvane sweep` build the engine on it.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/disk/disk_run_control.h"
#include "core/engine/executor.h"
#include "core/model/snapshot.h"
#include "core/support/calendar.h"
#include "core/support/date.h"

namespace kelvane {

class LinuxSampler;

class LiveMachine final {
 public:
  struct Options {
    std::function<Date()> now;           // The engine's clock.
    std::optional<std::string> display;  // The X display; none: windows are unknown.
    std::string home;                    // The user's home folder.
    Calendar calendar = Calendar::utc();
  };

  explicit LiveMachine(Options options);
  ~LiveMachine();
  LiveMachine(const LiveMachine&) = delete;
  LiveMachine& operator=(const LiveMachine&) = delete;

  // Takes one snapshot. Main thread only (the X connection it keeps is not
  // shared); an X server that went away is looked for again at most every 30 s.
  Snapshot sample();

  // The engine's execute function: every action through this machine's system
  // actions, the disk cleanup under `control()`. Safe on the run's threads.
  Execute execute();

  // The control the engine and the disk cleanup share.
  const std::shared_ptr<DiskRunControl>& control() const { return control_; }

  // Tells the cleanup which paths the user keeps (the allowlist's paths), from
  // any thread; read when each cleanup job starts.
  void setKeptPaths(std::vector<std::string> paths);

  // Whether the last look at the X server worked.
  bool seesWindows() const { return seesWindows_; }

 private:
  struct Desktop;
  Options options_;
  std::unique_ptr<Desktop> desktop_;
  std::unique_ptr<LinuxSampler> sampler_;
  std::shared_ptr<DiskRunControl> control_ = std::make_shared<DiskRunControl>();
  std::shared_ptr<std::mutex> keptMutex_ = std::make_shared<std::mutex>();
  std::shared_ptr<std::vector<std::string>> kept_ = std::make_shared<std::vector<std::string>>();
  bool seesWindows_ = false;
};

}  // namespace kelvane
