#pragma once
// LinuxDiskHost: builds the disk scanner's environment on this machine: running
// programs and what they hold (open files, bound sockets, working folders) from /proc,
// tools found by ToolLocator and run by Shell with a time-out, large files from a
// bounded walk, added dates from the file system.
#include <optional>
#include <string>

#include "core/config/config.h"
#include "core/disk/disk_environment.h"

namespace kelvane::LinuxDiskHost {

// How long one tool run may take before its process tree is ended.
inline constexpr double kToolTimeoutSeconds = 60;

// Returns the developer directory on this platform. Here the system's package manager
// puts working git, pip3 and python3 into /usr/bin (there are no stand-ins waiting for
// developer tools), so the answer is "/usr", where they live; nullopt without /usr/bin.
[[nodiscard]] std::optional<std::string> developerDir();

// Returns the environment for scanning `home` at `now` under the user's `config`: its
// project roots (with "~" expanded), kept paths and ignored files. The Trash is the
// freedesktop home Trash, its items dated by their deletion. Tools are looked up once
// per name with this process's PATH; nothing here deletes anything.
DiskEnvironment environment(const std::string& home, const Config& config, Date now);

}  // namespace kelvane::LinuxDiskHost
