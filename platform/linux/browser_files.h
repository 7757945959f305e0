#pragma once
// Reading the small files browsers and the process table keep (a port file,
// Local State, /proc entries) without ever waiting on something odd in their
// place.
#include <filesystem>
#include <optional>
#include <string>

namespace kelvane {

// Returns a regular file whole; nullopt when it is missing, unreadable, not a
// regular file (a FIFO is not even waited for) or larger than 16 MiB.
std::optional<std::string> readBrowserFile(const std::filesystem::path& path);

}  // namespace kelvane
