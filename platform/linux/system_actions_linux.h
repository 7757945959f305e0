#pragma once
// LinuxSystemActions: the engine's hands on this machine. Processes are stopped
// here (ProcessStopper) and disk jobs carried out by the cleanup worker
// (DiskCleaner); windows and applications go to the X server's layer, tabs and
// browser windows to the browsers' layer, through functions given at construction.
#include <functional>
#include <memory>
#include <optional>

#include "core/engine/system_actions.h"
#include "platform/linux/disk_cleaner.h"
#include "platform/linux/process_stopper.h"

namespace kelvane {

// What the other layers do, each optional.
struct LinuxActionLayers {
  using Deed = std::function<Outcome(const Action&)>;
  // Closes one window (the X server's layer).
  Deed closeWindow;
  // Quits an application (the X server's layer): asks its windows to close, then calls
  // `endProcess` with the action, which ends the process politely (SIGTERM, a grace
  // period, SIGKILL) with the same checks as stopProcess.
  std::function<Outcome(const Action&, const Deed& endProcess)> quitApp;
  // Close tabs and browser windows (the browsers' layer).
  Deed closeTab;
  Deed closeBrowserWindow;
};

// Safe for the executor's concurrent calls: every deed keeps its state to itself.
class LinuxSystemActions final : public SystemActions {
 public:
  // `stopper` ends processes; `cleaner` carries out disk jobs (none: they are skipped
  // as unsupported).
  LinuxSystemActions(ProcessStopper stopper, LinuxActionLayers layers,
                     std::shared_ptr<const DiskCleaner> cleaner = nullptr);

  // "skipped: no display" without the X server's layer.
  Outcome closeWindow(const Action& action) override;
  // "skipped: no display" without the X server's layer: ending the process alone
  // could lose what its windows hold.
  Outcome quitApp(const Action& action) override;
  // Terminal sessions (rule session) hear a hang-up, other processes SIGTERM.
  Outcome stopProcess(const Action& action) override;
  Outcome closeTab(const Action& action) override;
  Outcome closeBrowserWindow(const Action& action) override;
  Outcome cleanDisk(const Action& action) override;

 private:
  ProcessStopper stopper_;
  LinuxActionLayers layers_;
  std::shared_ptr<const DiskCleaner> cleaner_;
};

}  // namespace kelvane
