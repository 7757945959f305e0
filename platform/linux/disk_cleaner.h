#pragma once
// DiskCleaner: the cleanup worker. It carries out one disk job (one row of the
// cleanup) item by item, moving each to the Trash or removing it, then runs the
// job's commands; between items it honours the run control (a pause holds, a stop
// ends the row) and it reports the row's progress. Right before it touches an item
// it checks again that the item lies inside its rule's folder, is not kept, and is
// not in use: time passes between the scan and the cleanup.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/actions/action.h"
#include "core/disk/disk_run_control.h"
#include "core/engine/outcome.h"
#include "core/shell/shell.h"
#include "platform/linux/freedesktop_trash.h"

namespace kelvane {

// What the worker needs from the machine and the user's settings.
struct DiskCleanerSetup {
  FreedesktopTrash trash;
  // The user's kept paths as DiskPaths::keptEntries gives them, read when a job starts.
  std::function<std::vector<std::string>()> kept;
  // Why a path may not be touched now (InUse::reason on a fresh look); nullopt: free.
  std::function<std::optional<std::string>(const std::string& path)> inUse;
  // Runs a command (the tool's path first); nullopt when it could not run.
  std::function<std::optional<ShellResult>(const std::vector<std::string>& args)> run;
  std::function<Date()> now = [] { return Date::now(); };
};

// Calls on several threads are independent; the run control serialises nothing but
// the pause and the stop.
class DiskCleaner final {
 public:
  // `control` is the engine's and must outlive the cleaner.
  DiskCleaner(DiskCleanerSetup setup, DiskRunControl& control);

  // Carries out the action's disk job as one row (the rule's text, "picked" without a
  // rule). "done" when something was cleaned, with a note naming what was left and
  // why; a note starting "stopped" when a stop cut the row short; "skipped: stopped"
  // when the run was stopped before the row began; "skipped: …" when every item was
  // left (in use, kept, gone); "failed: …" when nothing could be cleaned.
  Outcome clean(const Action& action) const;

 private:
  DiskCleanerSetup setup_;
  DiskRunControl& control_;
};

}  // namespace kelvane
