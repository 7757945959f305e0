#pragma once
// One snapshot of this machine for the views that show processes the way the
// sweep sees them (applications with their helpers, owners of listening ports).
#include <optional>

#include "core/model/snapshot.h"

namespace kelvane::cli {

// Returns a snapshot of this machine for the user running the tool; nullopt when
// none can be taken here, and the views then show processes unfolded.
[[nodiscard]] std::optional<Snapshot> machineSnapshot();

}  // namespace kelvane::cli
