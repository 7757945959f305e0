#include "cli/machine_snapshot.h"

namespace kelvane::cli {

std::optional<Snapshot> machineSnapshot() { return std::nullopt; }

}  // namespace kelvane::cli
