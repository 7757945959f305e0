#pragma once
// LinuxSampler: a Snapshot of this machine, the engine's `sample`. Processes,
// terminals, memory, disk, boot and session come from /proc, /dev and the file
// system; applications from the desktop entries and window owners; windows and
// desktops from the X server's layer and tabs from the browsers' layer, each
// through a function given at construction (none, or nullopt from it: unknown).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/model/snapshot.h"
#include "platform/linux/desktop_view.h"
#include "platform/linux/proc_text.h"

namespace kelvane {

// Where the sampler looks. forThisMachine() fills it for the user running it.
struct LinuxSamplerSetup {
  std::string procRoot = "/proc";
  std::string devRoot = "/dev";       // Terminal devices, for their idle times.
  std::string home;                   // Disk figures are those of its file system.
  std::string trash;                  // The home Trash, looked at for trashReadable.
  std::vector<std::string> dataDirs;  // Their "applications" folders hold desktop entries.
  uint32_t me = 0;                    // The user the snapshot is for.
  // The X server shows every window of the session. False in a Wayland session,
  // where it shows only the windows of X programs.
  bool wholeSession = true;
  // Processes are read in parts at once, one part per this many processes, up to
  // four parts and no more than the machine's cores.
  size_t processesPerPart = 512;
  std::function<Date()> now = [] { return Date::now(); };
  // The X server's view; empty, or nullopt from it, when there is no display.
  std::function<std::optional<DesktopView>()> desktop;
  // The browsers' view, from the snapshot's processes and its windows (front to
  // back; empty when unknown); empty, or nullopt from it, when there is none.
  std::function<std::optional<BrowserView>(const std::vector<Proc>& procs,
                                           const std::vector<WindowInfo>& windows)>
      browsers;

  // The sources of this machine for the user running the program: $HOME, the XDG
  // folders, getuid(), and wholeSession false when WAYLAND_DISPLAY is set.
  static LinuxSamplerSetup forThisMachine();
};

// Not thread-safe: one caller (the engine's tick) at a time.
class LinuxSampler final {
 public:
  // Reads the desktop entries once; they are read again when a folder of them changes.
  explicit LinuxSampler(LinuxSamplerSetup setup);
  ~LinuxSampler();
  LinuxSampler(const LinuxSampler&) = delete;
  LinuxSampler& operator=(const LinuxSampler&) = delete;

  // Takes one snapshot; every figure is read right after its `at`. Without a display
  // `windows` is empty and `axTrusted` false, which the planner reads as "windows
  // unknown", never as "no windows". Without the browsers' view, running browsers of
  // the Chrome family are listed in `automationDenied`. Never fails: what cannot be
  // read is left empty or zero.
  Snapshot sample();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The pressure level reported in Health: 1 normal, 2 warning, 4 critical. From the
// kernel's stall figures when it has them: critical when some task waited for memory
// 40% of the last ten seconds or all tasks 10%, warning at 10% and 2%. Without them,
// from the memory left: critical below 5%, warning below 10% of the total.
int64_t memoryPressureLevel(const std::optional<ProcText::Pressure>& stalls,
                            const std::optional<ProcText::MemInfo>& memory);

}  // namespace kelvane
