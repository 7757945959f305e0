#pragma once
// SafeRemove: deletes one item of a folder and, for a folder, everything inside it,
// without ever following a link: every folder is opened relative to its parent with
// O_NOFOLLOW and entries are unlinked by name, so a link is removed as a link and
// never leads the removal elsewhere. File systems mounted inside are left alone.
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::SafeRemove {

// Removes entry `name` of the open folder `folder`. Folders of ours that forbid
// writing (read-only caches) are made writable first. Returns nullopt when it is
// gone, else why not ("a file system is mounted inside", or the system's reason);
// a folder may then be partly emptied.
[[nodiscard]] std::optional<std::string> at(int folder, std::string_view name);

}  // namespace kelvane::SafeRemove
