#pragma once
// The daemon's configuration file: who may connect and how the live system
// is brought in line after a change. Read only when root owns it and nobody
// else may write it, since it decides who may change the system proxy.
//   {"teamID": "K3LV4N3T34", "adminGroup": "sudo",
//    "clientPaths": ["/usr/lib/kelvane/kelvane-app"],
//    "applyCommand": ["/usr/local/sbin/kelvane-apply-proxies", "--now"]}
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kelvane {

struct HelperConfig {
  // The team clients must belong to; without one every connection is refused.
  std::optional<std::string> teamID;
  // Members of this group (and root) count as administrators.
  std::string adminGroup = "sudo";
  // The executables a client may be, as absolute paths.
  std::vector<std::string> clientPaths;
  // Run after each commit of the network preferences; absolute program first.
  std::vector<std::string> applyCommand;
  bool operator==(const HelperConfig&) const = default;
};

struct LoadedConfig {
  HelperConfig config;
  // One line per thing ignored and why, for the system log.
  std::vector<std::string> notes;
};

// Reads the file at `path` key by key. A missing or unreadable file, one not
// owned by `trustedOwner` (root for the daemon), one writable by group or
// others, or one that is not a JSON object gives the defaults (no Team ID); a
// damaged key gives its default. Each gets a note.
LoadedConfig loadHelperConfig(const std::string& path, uid_t trustedOwner = 0);

}  // namespace kelvane
