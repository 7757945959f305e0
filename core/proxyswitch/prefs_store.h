#pragma once
// The two storage interfaces the proxy switch stands on: the system's proxy
// settings (ProxyPrefsStore) and the saved copy of the user's own settings
// (SaveFileStore). The daemon implements them on the platform; tests use fakes.
#include <cstdint>
#include <optional>
#include <vector>

#include "core/proxyswitch/plist_value.h"

namespace kelvane {

// The outcome of writing settings to the system.
enum class PrefsWrite {
  applied,              // committed and in effect
  notCommitted,         // could not open, lock or commit; nothing changed
  committedNotApplied,  // stored, but the live system was not updated
};

// ProxyPrefsStore: the system's proxy settings, one configuration per network
// service. Main thread only.
class ProxyPrefsStore {
 public:
  virtual ~ProxyPrefsStore() = default;
  // Returns the configuration of every service that has a proxies protocol;
  // nullopt when the preferences cannot be opened. An empty set is valid.
  [[nodiscard]] virtual std::optional<SettingsSet> read() = 0;
  // Replaces the configuration of each service present in both the system and
  // `settings`, leaves the others alone, then commits and applies.
  [[nodiscard]] virtual PrefsWrite write(const SettingsSet& settings) = 0;
};

// SaveFileStore: the one file that holds the user's own settings while ours
// are switched on. Main thread only.
class SaveFileStore {
 public:
  virtual ~SaveFileStore() = default;
  // Returns the file's bytes; nullopt when it is missing or unreadable.
  [[nodiscard]] virtual std::optional<std::vector<uint8_t>> load() = 0;
  // Writes the file whole; false when any step fails.
  [[nodiscard]] virtual bool store(const std::vector<uint8_t>& bytes) = 0;
  // Deletes the file; a missing file and any error are ignored.
  virtual void remove() = 0;
};

}  // namespace kelvane
