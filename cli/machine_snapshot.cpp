#include "cli/machine_snapshot.h"

#include <cstdlib>

#include "platform/linux/x11_desktop.h"

namespace kelvane::cli {

LinuxSamplerSetup machineSetup() {
  LinuxSamplerSetup setup = LinuxSamplerSetup::forThisMachine();
  if (const char* display = std::getenv("DISPLAY"); display && *display)
    setup.desktop = []() -> std::optional<DesktopView> {
      auto view = X11Desktop::look();
      return view ? std::optional(*view) : std::nullopt;
    };
  return setup;
}

Snapshot machineSnapshot() { return LinuxSampler(machineSetup()).sample(); }

}  // namespace kelvane::cli
