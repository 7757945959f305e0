#pragma once
// Small file helpers for the daemon's stores: whole-file reads and atomic
// replacement, so a reader never sees half a file.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kelvane {

// Returns the whole file; nullopt when it cannot be opened or read, is not a
// regular file, or is larger than `maxBytes`.
[[nodiscard]] std::optional<std::string> readWholeFile(const std::string& path,
                                                       std::size_t maxBytes = 64 << 20);

// Returns the rest of an open regular file; nullopt when it is not one, cannot be
// read, or is larger than `maxBytes`. The descriptor stays open.
[[nodiscard]] std::optional<std::string> readDescriptor(int fd, std::size_t maxBytes = 64 << 20);

// Owner and permission bits a replaced file keeps.
struct FileOwnership {
  mode_t mode = 0600;
  std::optional<uid_t> uid;  // unchanged when unset
  std::optional<gid_t> gid;
};

// Writes `bytes` to a temporary file beside `path`, gives it `ownership`, syncs
// it and renames it over `path`. Returns false on any failure; the temporary
// file is removed and `path` is untouched.
[[nodiscard]] bool writeFileAtomically(const std::string& path, std::string_view bytes,
                                       const FileOwnership& ownership);

}  // namespace kelvane
