#pragma once
// ProcOrigin: where a process runs from and what started it, for the process
// and port views: a working folder written relative to "~", and "started by"
// an application or parent, or the simulator the process runs in.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/model/proc.h"
#include "core/model/snapshot.h"

namespace kelvane {

// Where one process comes from, for display; every field may be absent.
struct ProcOrigin {
  // Part of the path of every process that runs inside a simulator.
  static constexpr std::string_view simulatorMark = "/Library/Developer/CoreSimulator/";

  std::optional<std::string> folder;      // Working folder for display, home as "~".
  std::optional<std::string> folderPath;  // The working folder as an absolute path.
  std::optional<std::string> by;          // "started by " + a name, or the simulator.
  bool operator==(const ProcOrigin&) const = default;

  // Describes `proc`: a simulator process gets "<runtime> Simulator" (or just
  // "Simulator") and no folder; any other gets its working folder (none when
  // unknown) and "started by" its responsible application or its parent,
  // whichever is named first in `snapshot` (none when neither is).
  static ProcOrigin of(const Proc& proc, const Snapshot& snapshot, std::string_view home);
  // Returns the name of the running application with that ID, else of the
  // process: its outermost ".app" bundle without the ending, or its own name.
  // nullopt when the snapshot has no such process.
  [[nodiscard]] static std::optional<std::string> name(int32_t pid, const Snapshot& snapshot);
  // Returns the running application behind `proc`: itself, its responsible
  // process, or the first application up its parent chain (each process
  // visited once, stopping at ID 1). nullopt when there is none.
  [[nodiscard]] static std::optional<int32_t> hostApp(const Proc& proc, const Snapshot& snapshot);
};

}  // namespace kelvane
