#pragma once
// RootFileStore: the saved copy of the user's proxy settings, one root-owned
// file in a folder only root may enter.
#include <string>

#include "core/proxyswitch/prefs_store.h"

namespace kelvane {

// Main thread only.
class RootFileStore final : public SaveFileStore {
 public:
  explicit RootFileStore(std::string filePath) : path(std::move(filePath)) {}

  // Returns the file's bytes; nullopt when it is missing or unreadable.
  std::optional<std::vector<uint8_t>> load() override;
  // Creates the folder (mode 0700, also tightening one that exists) and
  // replaces the file atomically with mode 0600. False when any step fails, and
  // for a relative path or one directly in "/" or a sticky shared folder.
  bool store(const std::vector<uint8_t>& bytes) override;
  // Deletes the file; errors are ignored.
  void remove() override;

  const std::string path;
};

}  // namespace kelvane
