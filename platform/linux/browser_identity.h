#pragma once
// Which running programs are Chromium-family browsers: the identifier the
// configuration knows them by, where they keep their data, and which of their
// many processes is the browser itself.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/proc.h"

namespace kelvane {

// A Chromium-family browser as installed on this machine.
struct ChromiumBrowser {
  std::string bundleID;      // "com.google.Chrome" or "com.google.Chrome.canary".
  std::string configFolder;  // Its default user-data folder under ~/.config.
  bool operator==(const ChromiumBrowser&) const = default;
};

// Returns the browser an executable is, by its path (a trailing " (deleted)",
// which the kernel adds after an upgrade, is ignored); nullopt for any other
// program.
std::optional<ChromiumBrowser> chromiumBrowser(std::string_view executablePath);

// Tells whether a process of such a browser, started with `args`, may be the
// browser itself: its helpers (renderers, the GPU process, zygotes) carry a
// "--type=" switch. True when the arguments are unknown (empty).
bool isBrowserProcess(const std::vector<std::string>& args);

// Returns the processes of `procs` that are browsers themselves: they run a
// Chromium-family executable that their parent does not run (helpers are
// started by the browser or by its zygotes). Pointers into `procs`, in order.
std::vector<const Proc*> browserProcesses(const std::vector<Proc>& procs);

}  // namespace kelvane
