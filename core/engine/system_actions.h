#pragma once
// SystemActions: the platform's hands. The engine never touches windows,
// applications, processes, tabs or files itself; it asks an object of this kind,
// one call per planned action, and records the Outcome it answers.
#include "core/engine/outcome.h"
#include "core/actions/action.h"

namespace kelvane {

// Each call blocks until the deed is done or given up, and never throws: every
// failure is an Outcome ("failed: …", "needs you: …", "skipped: …"). The executor
// calls these concurrently from worker threads, one thread per action of a run,
// so implementations must tolerate concurrent calls.
class SystemActions {
 public:
  virtual ~SystemActions() = default;

  // Closes the action's window (`windowID`).
  virtual Outcome closeWindow(const Action& action) = 0;
  // Quits the application whose process is `pid`.
  virtual Outcome quitApp(const Action& action) = 0;
  // Stops the process `pid`, started at `started`.
  virtual Outcome stopProcess(const Action& action) = 0;
  // Closes the browser tab `tab`. Without an implementation: "skipped: tabs not
  // supported".
  virtual Outcome closeTab(const Action& action);
  // Closes the browser window of `windowTabs`. Without an implementation:
  // "skipped: browser windows not supported".
  virtual Outcome closeBrowserWindow(const Action& action);
  // Carries out the disk job `disk`, reporting through the shared DiskRunControl.
  // Without an implementation: "skipped: disk cleanup not supported".
  virtual Outcome cleanDisk(const Action& action);
};

}  // namespace kelvane
