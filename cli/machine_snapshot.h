#pragma once
// This machine as the views that show processes the way the sweep sees them
// (owners of listening ports, traffic per application, usage) look at it.
#include "core/model/snapshot.h"
#include "platform/linux/sampler.h"

namespace kelvane::cli {

// The sampler's setup for the user running the tool, with the X server's view
// when a display is there (its windows make their owners applications).
LinuxSamplerSetup machineSetup();

// Takes one snapshot of this machine with a sampler of machineSetup().
Snapshot machineSnapshot();

}  // namespace kelvane::cli
