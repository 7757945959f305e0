#include "platform/linux/browser_identity.h"

#include <array>
#include <unordered_map>

namespace kelvane {
namespace {

struct Install {
  std::string_view executable;
  std::string_view bundleID;
  std::string_view configFolder;
};

// Google's packages put each channel in a folder of its own under /opt/google;
// distributions ship Chromium under /usr/lib. The development channel stands in
// for the canary build the configuration names.
constexpr std::array<Install, 6> kInstalls{{
    {"/usr/lib/chromium/chromium", "com.google.Chrome", "chromium"},
    {"/usr/lib/chromium-browser/chromium-browser", "com.google.Chrome", "chromium"},
    {"/opt/google/chrome/chrome", "com.google.Chrome", "google-chrome"},
    {"/opt/google/chrome-beta/chrome", "com.google.Chrome", "google-chrome-beta"},
    {"/opt/google/chrome-unstable/chrome", "com.google.Chrome.canary", "google-chrome-unstable"},
    {"/opt/google/chrome-canary/chrome", "com.google.Chrome.canary", "google-chrome-canary"},
}};

}  // namespace

std::optional<ChromiumBrowser> chromiumBrowser(std::string_view executablePath) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (executablePath.ends_with(kDeleted)) executablePath.remove_suffix(kDeleted.size());
  for (const Install& install : kInstalls)
    if (executablePath == install.executable)
      return ChromiumBrowser{std::string(install.bundleID), std::string(install.configFolder)};
  return std::nullopt;
}

bool isBrowserProcess(const std::vector<std::string>& args) {
  for (const std::string& arg : args)
    if (arg.starts_with("--type=")) return false;
  return true;
}

std::vector<const Proc*> browserProcesses(const std::vector<Proc>& procs) {
  std::unordered_map<int32_t, const Proc*> byPID;
  for (const Proc& proc : procs) byPID.emplace(proc.pid, &proc);
  std::vector<const Proc*> out;
  for (const Proc& proc : procs) {
    if (!chromiumBrowser(proc.path)) continue;
    const auto parent = byPID.find(proc.ppid);
    if (parent == byPID.end() || parent->second->path != proc.path) out.push_back(&proc);
  }
  return out;
}

}  // namespace kelvane
