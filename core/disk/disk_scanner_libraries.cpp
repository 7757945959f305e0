// The scanner's rule for old libraries: nvm Node versions, device support and rustup
// toolchains, keeping whatever the user's settings and projects still name. Everything
// is read from the folders and files themselves: rustup writes its settings file when
// it runs, and a scan must change nothing.
#include <algorithm>
#include <array>

#include "core/disk/disk_scanner.h"
#include "core/disk/scan_helpers.h"
#include "core/disk_records/disk_paths.h"
#include "core/shell/tool_locator.h"
#include "core/support/text.h"

namespace kelvane::DiskScanner {
namespace {

using namespace ScanHelpers;

// The files through which a project pins its versions, as the tools look for them in a
// folder and its parents.
constexpr std::array<std::string_view, 2> kNodePins = {".nvmrc", ".node-version"};
constexpr std::array<std::string_view, 2> kToolchainPins = {"rust-toolchain",
                                                            "rust-toolchain.toml"};

// A version file found in a project or one of its parents up to the project root; its
// text is nullopt when it is there but cannot be read as a small regular file.
struct PinFile {
  std::string path;
  std::optional<std::string> text;
};

struct PinFiles {
  std::vector<PinFile> node;
  std::vector<PinFile> toolchains;
};

// The folders from `project` up to the root that holds it, each once over all projects.
void foldersUp(const std::string& project, const std::vector<std::string>& roots,
               std::set<std::string>& seen, std::vector<std::string>& out) {
  const auto root = std::find_if(roots.begin(), roots.end(), [&](const std::string& r) {
    return project == r || project.starts_with(r + "/");
  });
  std::string dir = project;
  while (seen.insert(dir).second) {
    out.push_back(dir);
    const size_t slash = dir.rfind('/');
    if (root == roots.end() || dir == *root || slash == std::string::npos || slash == 0) break;
    dir.resize(slash);
  }
}

// The version files of every project under the project roots and of their parents.
PinFiles pinFiles(const DiskEnvironment& env) {
  std::vector<std::string> roots;
  for (const auto& root : env.projectRoots) roots.push_back(DiskPaths::expand(root, env.home));
  std::set<std::string> seen;
  std::vector<std::string> folders;
  for (const auto& project : projectsUnderRoots(env).found)
    foldersUp(project, roots, seen, folders);
  PinFiles pins;
  const auto look = [](const std::string& dir, const auto& names, std::vector<PinFile>& into) {
    for (const auto name : names) {
      const std::string path = dir + "/" + std::string(name);
      if (DiskPaths::exists(path)) into.push_back({path, smallFile(path)});
    }
  };
  for (const auto& dir : folders) {
    look(dir, kNodePins, pins.node);
    look(dir, kToolchainPins, pins.toolchains);
  }
  return pins;
}

// The sub-folders of `dir`, by name.
std::vector<std::string> subFolders(const std::string& dir) {
  auto all = entries(dir);
  std::erase_if(all, [](const std::string& path) { return !isDir(path); });
  return all;
}

// The text of an nvm alias file: nullopt when it is missing or cannot be read as a
// small regular UTF-8 file.
std::optional<std::string> aliasText(const std::string& path) {
  auto text = smallFile(path, 4096);
  if (!text || !Text::isValidUtf8(*text)) return std::nullopt;
  return text;
}

// The Node versions to keep; nullopt to keep all of them, said in the note.
std::optional<std::set<std::string>> nodeKeep(const DiskEnvironment& env,
                                              const std::vector<std::string>& versions,
                                              const std::vector<PinFile>& pins, LeftOut& leftOut) {
  const std::string alias = env.home + "/.nvm/alias/default";
  auto keep = nvmKeep(versions, aliasText(alias));
  if (!keep) {
    // No default alias is nvm's own silence; one that is there but says nothing usable
    // is worth a word.
    if (DiskPaths::exists(alias))
      leftOut.say("Node versions all kept: cannot tell which one " + leftOut.shown(alias) +
                  " names");
    return keep;
  }
  for (const auto& pin : pins) {
    const auto target = pin.text ? nodeTarget(versions, *pin.text) : NodeTarget{};
    if (!target.known) {
      leftOut.say("Node versions all kept: cannot tell which one " + leftOut.shown(pin.path) +
                  " names");
      return std::nullopt;
    }
    if (target.version) keep->insert(*target.version);
  }
  return keep;
}

void addNodeVersions(const DiskEnvironment& env, const PinFiles& pins, RuleItems& items) {
  const std::string root = env.home + "/.nvm/versions/node";
  std::vector<std::string> versions;
  for (const auto& path : subFolders(root)) versions.emplace_back(lastName(path));
  std::stable_sort(versions.begin(), versions.end(), [](const auto& a, const auto& b) {
    return ToolLocator::versionKey(a) < ToolLocator::versionKey(b);
  });
  const auto keep = nodeKeep(env, versions, pins.node, items.leftOut());
  if (!keep) return;
  for (const auto& version : versions)
    if (!keep->contains(version)) items.offer(root + "/" + version, root);
}

void addDeviceSupport(const DiskEnvironment& env, RuleItems& items) {
  const std::string root = env.home + "/Library/Developer/Xcode/iOS DeviceSupport";
  std::vector<std::pair<Date, std::string>> dated;
  for (auto& path : subFolders(root))
    dated.emplace_back(modified(path).value_or(Date::distantPast()), std::move(path));
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (size_t i = 2; i < dated.size(); ++i) items.offer(dated[i].second, root);
}

// A toolchain of a released stable version ("1.75.0-x86_64-..."): its version key.
std::optional<std::vector<int64_t>> releaseKey(std::string_view folder) {
  const auto channel = folder.substr(0, folder.find('-'));
  if (channel.empty() || channel.find_first_not_of("0123456789.") != std::string_view::npos ||
      channel.front() == '.')
    return std::nullopt;
  return ToolLocator::versionKey(channel);
}

// The newest stable toolchains: those that follow the stable channel, or else the highest
// released version.
std::set<std::string> newestStable(const std::vector<std::string>& folders) {
  std::set<std::string> stable;
  for (const auto& folder : folders)
    if (namesToolchain("stable", folder)) stable.insert(folder);
  if (!stable.empty()) return stable;
  const std::string* best = nullptr;
  for (const auto& folder : folders)
    if (const auto key = releaseKey(folder); key && (!best || *releaseKey(*best) < *key))
      best = &folder;
  if (best) stable.insert(*best);
  return stable;
}

// The names of toolchains to keep: rustup's default and overrides, the projects' pins.
// nullopt to keep every toolchain, said in the note.
std::optional<std::vector<std::string>> toolchainNamesKept(const DiskEnvironment& env,
                                                           const std::vector<PinFile>& pins,
                                                           LeftOut& leftOut) {
  std::vector<std::string> names;
  const std::string settings = env.home + "/.rustup/settings.toml";
  std::vector<PinFile> read = pins;
  if (DiskPaths::exists(settings)) read.insert(read.begin(), {settings, smallFile(settings)});
  for (const auto& file : read) {
    if (!file.text) {
      leftOut.say("rustup toolchains all kept: cannot read " + leftOut.shown(file.path));
      return std::nullopt;
    }
    if (file.path == settings) {
      for (auto& name : rustupKept(*file.text)) names.push_back(std::move(name));
    } else if (auto name = toolchainPin(*file.text)) {
      names.push_back(std::move(*name));
    }
  }
  return names;
}

void addToolchains(const DiskEnvironment& env, const PinFiles& pins, RuleItems& items,
                   std::vector<std::vector<std::string>>& commands) {
  const auto rustup = tool(env, "rustup");
  if (!rustup) return;
  const std::string root = env.home + "/.rustup/toolchains";
  std::vector<std::string> folders;
  for (const auto& path : subFolders(root)) folders.emplace_back(lastName(path));
  if (folders.empty()) return;
  const auto named = toolchainNamesKept(env, pins.toolchains, items.leftOut());
  if (!named) return;
  const auto stable = newestStable(folders);
  for (const auto& folder : folders) {
    const bool kept = stable.contains(folder) ||
                      std::any_of(named->begin(), named->end(),
                                  [&](const auto& n) { return namesToolchain(n, folder); });
    const std::string path = root + "/" + folder;
    if (kept || !items.admitted(path, root)) continue;
    const auto bytes = items.measured(path);
    if (!bytes) continue;
    commands.push_back({*rustup, "toolchain", "uninstall", folder});
    items.addBytes(*bytes);
  }
}

// The value of a TOML line `key = "value"` (or 'value'), when the line is one.
std::optional<std::pair<std::string, std::string>> keyAndText(std::string_view line) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  auto key = Text::trimmed(line.substr(0, eq));
  auto value = Text::trimmed(line.substr(eq + 1));
  if (key.size() >= 2 && (key.front() == '"' || key.front() == '\'') && key.back() == key.front())
    key = key.substr(1, key.size() - 2);
  if (value.size() < 2 || (value.front() != '"' && value.front() != '\'')) return std::nullopt;
  const size_t close = value.find(value.front(), 1);
  if (close == std::string_view::npos) return std::nullopt;
  return std::pair{std::string(key), std::string(value.substr(1, close - 1))};
}

}  // namespace

DiskRuleScan libraries(const DiskEnvironment& env, Tally& tally) {
  RuleItems items(env, tally);
  const PinFiles pins = pinFiles(env);
  addNodeVersions(env, pins, items);
  addDeviceSupport(env, items);
  std::vector<std::vector<std::string>> commands;
  addToolchains(env, pins, items, commands);
  return std::move(items).scan(std::move(commands));
}

NodeTarget nodeTarget(const std::vector<std::string>& versions, std::string_view text) {
  std::string_view wanted = Text::trimmed(text.substr(0, text.find('\n')));
  if (wanted == "system") return {.known = true};
  if (wanted == "node" || wanted == "stable") {
    if (versions.empty()) return {.known = true};
    return {.known = true, .version = versions.back()};
  }
  if (wanted.starts_with('v')) wanted.remove_prefix(1);
  if (wanted.empty() || wanted.find_first_not_of("0123456789.") != std::string_view::npos)
    return {};
  const std::string needle = "v" + std::string(wanted);
  for (auto it = versions.rbegin(); it != versions.rend(); ++it)
    if (*it == needle || it->starts_with(needle + ".")) return {.known = true, .version = *it};
  return {.known = true};
}

std::optional<std::set<std::string>> nvmKeep(const std::vector<std::string>& versions,
                                             const std::optional<std::string>& alias) {
  if (versions.empty()) return std::set<std::string>{};
  if (!alias || Text::trimmed(*alias).empty()) return std::nullopt;
  const NodeTarget target = nodeTarget(versions, Text::trimmed(*alias));
  if (!target.version) return std::nullopt;
  return std::set<std::string>{*target.version, versions.back()};
}

std::optional<std::string> toolchainPin(std::string_view text) {
  std::string_view table;
  bool anyKey = false;
  for (const auto raw : Text::split(text, '\n')) {
    const auto line = Text::trimmed(raw.substr(0, raw.find('#')));
    if (line.starts_with('[')) {
      table = line;
    } else if (const auto pair = keyAndText(line)) {
      anyKey = true;
      if (table == "[toolchain]" && pair->first == "channel") return pair->second;
    } else if (line.find('=') != std::string_view::npos) {
      anyKey = true;
    }
  }
  // The older form: the file holds nothing but the toolchain's name.
  const auto whole = Text::trimmed(text);
  if (anyKey || !table.empty() || whole.empty() ||
      whole.find_first_of(" \t\r\n") != std::string_view::npos)
    return std::nullopt;
  return std::string(whole);
}

std::vector<std::string> rustupKept(std::string_view settings) {
  std::vector<std::string> kept;
  std::string_view table;
  for (const auto raw : Text::split(settings, '\n')) {
    const auto line = Text::trimmed(raw);
    if (line.starts_with('[')) {
      table = line;
      continue;
    }
    const auto pair = keyAndText(line);
    if (!pair || pair->second.empty()) continue;
    if ((table.empty() && pair->first == "default_toolchain") || table == "[overrides]")
      kept.push_back(pair->second);
  }
  return kept;
}

bool namesToolchain(std::string_view name, std::string_view folder) {
  if (name.empty()) return false;
  if (folder == name) return true;
  // "nightly" names "nightly-x86_64-unknown-linux-gnu", not a dated "nightly-2024-01-01-...".
  return folder.size() > name.size() + 1 && folder.starts_with(name) &&
         folder[name.size()] == '-' &&
         !(folder[name.size() + 1] >= '0' && folder[name.size() + 1] <= '9');
}

}  // namespace kelvane::DiskScanner
