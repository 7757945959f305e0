#pragma once
// In-memory stores for tests of the proxy switch and of the daemon's service.
#include <deque>
#include <optional>
#include <vector>

#include "core/proxyswitch/prefs_store.h"

namespace kelvane::testing {

// The system's proxy settings as a map. A write that is not `notCommitted`
// updates the services the set names and the system has.
class MemoryPrefs final : public ProxyPrefsStore {
 public:
  std::optional<SettingsSet> services;  // nullopt: the preferences cannot be opened
  PrefsWrite result = PrefsWrite::applied;
  std::deque<PrefsWrite> nextResults;  // used up first, one per write
  int writes = 0;

  std::optional<SettingsSet> read() override { return services; }
  PrefsWrite write(const SettingsSet& settings) override {
    ++writes;
    const PrefsWrite outcome = takeResult();
    if (outcome == PrefsWrite::notCommitted || !services) return PrefsWrite::notCommitted;
    for (const auto& [id, config] : settings)
      if (services->contains(id)) (*services)[id] = config;
    return outcome;
  }

 private:
  PrefsWrite takeResult() {
    if (nextResults.empty()) return result;
    const PrefsWrite next = nextResults.front();
    nextResults.pop_front();
    return next;
  }
};

// The saved-settings file as an optional byte string.
class MemoryFile final : public SaveFileStore {
 public:
  std::optional<std::vector<uint8_t>> bytes;
  bool storeFails = false;

  std::optional<std::vector<uint8_t>> load() override { return bytes; }
  bool store(const std::vector<uint8_t>& data) override {
    if (storeFails) return false;
    bytes = data;
    return true;
  }
  void remove() override { bytes.reset(); }
};

}  // namespace kelvane::testing
