#pragma once
// ServicesFileStore: the system's network proxy preferences kept as one JSON
// document of network services, the daemon's stand-in for the platform's
// preferences database:
//   {"services": [{"id": "…", "name": "Wi-Fi", "enabled": true,
//                  "proxies": {"HTTPEnable": 0, …}}, …], …}
// A service without a "proxies" key has no proxies protocol and is skipped;
// one whose "proxies" is not an object counts as having an empty configuration.
// Every other key of the document and of each service is kept on writing.
#include <string>
#include <vector>

#include "core/proxyswitch/prefs_store.h"

namespace kelvane {

// Main thread only. Writers of the document are serialised by an exclusive
// lock on `lockPath`, which every writer must take too.
class ServicesFileStore final : public ProxyPrefsStore {
 public:
  // `applyCommand` (program and arguments) is run after each commit to bring the
  // live system in line; an empty one means committing is all there is to do.
  ServicesFileStore(std::string path, std::string lockPath, std::vector<std::string> applyCommand);

  // Returns each service's proxy configuration (on a repeated ID the first
  // wins); nullopt when the document cannot be read, is not a JSON object, or
  // holds a value a configuration cannot carry (null, an integer past 64 bits).
  std::optional<SettingsSet> read() override;
  // Takes the lock (waiting for it), re-reads the document, replaces the proxies
  // of the services it shares with `settings`, replaces the file atomically
  // (keeping its mode and owner) and runs the apply command. notCommitted when
  // the lock or the replacement fails or read() could not open the document; committedNotApplied
  // when the apply command fails, cannot start or runs past its time limit.
  PrefsWrite write(const SettingsSet& settings) override;
  // Takes the lock (waiting for it), so that no writer is midway, and removes
  // the temporary files of the document that writes cut short left beside it.
  // Returns their paths; none when the lock cannot be taken.
  std::vector<std::string> removeLeftovers();

 private:
  std::string path_;
  std::string lockPath_;
  std::vector<std::string> applyCommand_;
};

// Runs `argv` (an absolute program path and its arguments) with stdin from
// /dev/null and waits up to `timeoutMs`; true only when it exits with status 0.
// A command that outlives the limit is killed.
bool runCommand(const std::vector<std::string>& argv, int timeoutMs);

}  // namespace kelvane
