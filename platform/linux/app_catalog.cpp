#include "platform/linux/app_catalog.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits.h>
#include <set>
#include <stdlib.h>

#include "core/support/text.h"
#include "platform/linux/browser_identity.h"

namespace kelvane {
namespace {

constexpr size_t kMaxEntryBytes = 256 * 1024;

// Programs whose file name differs from the one their desktop entry runs (a
// launcher script starts them), with the entry they belong to.
struct KnownProgram {
  std::string_view pathEnd;  // The end of the program's path.
  std::string_view id;       // Its desktop-file ID.
  std::string_view name;     // Its name when no entry is installed.
};
constexpr KnownProgram kKnownPrograms[] = {
    {"/gnome-terminal-server", "org.gnome.Terminal", "Terminal"},
    {"/konsole", "org.kde.konsole", "Konsole"},
    {"/xfce4-terminal", "xfce4-terminal", "Xfce Terminal"},
    {"/xterm", "xterm", "XTerm"},
    {"/kitty", "kitty", "kitty"},
    {"/alacritty", "Alacritty", "Alacritty"},
    {"/tilix", "com.gexperts.Tilix", "Tilix"},
    {"/terminator", "terminator", "Terminator"},
    {"/foot", "foot", "Foot"},
    {"/wezterm-gui", "org.wezfurlong.wezterm", "WezTerm"},
};

// Programs that run other programs; an entry that starts one names nothing of its own.
constexpr std::string_view kLaunchers[] = {
    "sh",      "bash", "dash", "zsh",  "fish",   "env",     "perl", "ruby",     "python",
    "python3", "node", "java", "sudo", "pkexec", "flatpak", "snap", "xdg-open", "gio"};

std::string_view fileName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The first word of an Exec line, quotes and escapes undone; "env" and the variable
// settings after it are passed over. Empty when that word is a launcher (a shell, an
// interpreter, flatpak), which runs the application under another name.
std::string programOf(std::string_view exec) {
  std::vector<std::string> words(1);
  bool quoted = false;
  for (size_t i = 0; i < exec.size() && words.size() < 16; ++i) {
    const char c = exec[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == '\\' && quoted && i + 1 < exec.size()) {
      words.back() += exec[++i];
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (!words.back().empty()) words.emplace_back();
    } else {
      words.back() += c;
    }
  }
  size_t at = 0;
  if (fileName(words[0]) == "env")
    for (at = 1; at < words.size() && words[at].find('=') != std::string::npos; ++at) {
    }
  if (at >= words.size()) return {};
  for (const auto launcher : kLaunchers)
    if (fileName(words[at]) == launcher) return {};
  return words[at];
}

}  // namespace

namespace DesktopEntries {

std::optional<DesktopEntry> parse(std::string_view text, std::string id) {
  std::map<std::string, std::string, std::less<>> keys;
  bool inEntry = false;
  for (const auto raw : Text::split(text, '\n')) {
    std::string_view line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.starts_with('[')) {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    const size_t equals = line.find('=');
    if (!inEntry || line.starts_with('#') || equals == std::string_view::npos) continue;
    std::string_view key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    std::string_view value = line.substr(equals + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    keys.try_emplace(std::string(key), value);  // the first of a repeated key counts
  }
  const auto get = [&](std::string_view key) {
    const auto it = keys.find(key);
    return it == keys.end() ? std::string() : it->second;
  };
  if (get("Type") != "Application" || get("Name").empty() || get("Exec").empty())
    return std::nullopt;
  const bool shown =
      get("NoDisplay") != "true" && get("Hidden") != "true" && get("Terminal") != "true";
  return DesktopEntry{std::move(id), get("Name"), programOf(get("Exec")), shown};
}

std::vector<DesktopEntry> load(const std::vector<std::string>& dataDirs) {
  namespace fs = std::filesystem;
  std::vector<DesktopEntry> entries;
  std::set<std::string> seen;
  for (const auto& dir : dataDirs) {
    const fs::path root = fs::path(dir) / "applications";
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it.depth() > 4) it.disable_recursion_pending();
      const fs::path& path = it->path();
      if (path.extension() != ".desktop" || !it->is_regular_file(ec)) continue;
      std::string id = path.lexically_relative(root).replace_extension().string();
      std::replace(id.begin(), id.end(), '/', '-');
      if (!seen.insert(id).second) continue;
      std::ifstream file(path, std::ios::binary);
      std::string text(kMaxEntryBytes, '\0');
      file.read(text.data(), static_cast<std::streamsize>(text.size()));
      text.resize(static_cast<size_t>(file.gcount()));
      if (auto entry = parse(text, std::move(id))) entries.push_back(std::move(*entry));
    }
  }
  return entries;
}

std::string identifierOf(std::string_view id) {
  return chromiumIdentifier(id).value_or(std::string(id));
}

}  // namespace DesktopEntries

AppCatalog::AppCatalog(const std::vector<DesktopEntry>& entries,
                       const std::vector<std::string>& pathDirs) {
  for (const auto& entry : entries) {
    byID_.try_emplace(entry.id, entry);
    if (entry.program.empty()) continue;
    std::vector<std::string> paths{entry.program};
    if (!entry.program.starts_with('/'))
      for (const auto& dir : pathDirs) paths.push_back(dir + "/" + entry.program);
    for (const auto& path : paths) {
      char real[PATH_MAX];
      if (path.starts_with('/') && ::realpath(path.c_str(), real))
        byProgram_.try_emplace(std::string(fileName(real)), entry);
    }
    byProgram_.try_emplace(std::string(fileName(entry.program)), entry);
  }
}

std::optional<AppIdentity> AppCatalog::identify(std::string_view exe) const {
  if (exe.empty()) return std::nullopt;
  // A browser's launcher script runs a program of another name.
  if (const auto browser = chromiumBrowser(exe)) {
    const auto entry = byID_.find(browser->desktopID);
    return AppIdentity{browser->bundleID, entry != byID_.end() ? entry->second.name : browser->name,
                       true};
  }
  for (const auto& known : kKnownPrograms) {
    if (!exe.ends_with(known.pathEnd)) continue;
    const auto entry = byID_.find(known.id);
    const std::string name = entry != byID_.end() ? entry->second.name : std::string(known.name);
    return AppIdentity{DesktopEntries::identifierOf(known.id), name, true};
  }
  const auto entry = byProgram_.find(fileName(exe));
  if (entry == byProgram_.end()) return std::nullopt;
  const DesktopEntry& e = entry->second;
  return AppIdentity{DesktopEntries::identifierOf(e.id), e.name, e.shown};
}

}  // namespace kelvane
