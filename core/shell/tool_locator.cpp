#include "core/shell/tool_locator.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_set>

namespace kelvane {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kWhitespace = " \t\n\r\v\f";
constexpr double kSelectTimeoutSeconds = 5;

// Tools that "/usr/bin" may hold only as stand-ins that work once developer tools are set up.
constexpr std::string_view kStandIns[] = {"git", "pip3", "python3", "xcrun"};

std::string_view trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kWhitespace);
  return text.substr(first, last - first + 1);
}

std::vector<std::string_view> piecesOf(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const size_t at = std::min(text.find(separator), text.size());
    if (at > 0) pieces.push_back(text.substr(0, at));
    text.remove_prefix(std::min(at + 1, text.size()));
  }
  return pieces;
}

int64_t integerOf(std::string_view piece) {
  if (piece.size() > 1 && piece[0] == '+' && piece[1] != '-') piece.remove_prefix(1);
  int64_t value = 0;
  const auto* end = piece.data() + piece.size();
  const auto [ptr, ec] = std::from_chars(piece.data(), end, value);
  return ec == std::errc() && ptr == end ? value : 0;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The bin folder of the highest node version under `home`; among equal versions the
// first name in sorted order wins, so the choice does not depend on the listing order.
std::optional<std::string> nvmBin(std::string_view home) {
  const std::string root = std::string(home) + "/.nvm/versions/node";
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error))
    names.push_back(it->path().filename().string());
  if (error || names.empty()) return std::nullopt;
  std::sort(names.begin(), names.end());
  const auto best = std::max_element(names.begin(), names.end(), [](const auto& a, const auto& b) {
    return ToolLocator::versionKey(a) < ToolLocator::versionKey(b);
  });
  return root + "/" + *best + "/bin";
}

// Whether a candidate found in "/usr/bin" is a working tool rather than a stand-in.
bool usableInUsrBin(std::string_view name,
                    const std::function<std::optional<std::string>()>& developerDir) {
  if (std::find(std::begin(kStandIns), std::end(kStandIns), name) == std::end(kStandIns))
    return true;
  const auto dir = developerDir ? developerDir() : std::nullopt;
  if (!dir) return false;
  return name != "xcrun" || dir->find(".app/") != std::string::npos;
}

std::string folderOf(std::string_view tool) {
  while (tool.size() > 1 && tool.back() == '/') tool.remove_suffix(1);
  const size_t slash = tool.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(slash == 0 ? tool.substr(0, 1) : tool.substr(0, slash));
}

}  // namespace

std::optional<std::string> ToolLocator::developerDirFrom(const std::string& selectTool) {
  const auto result = Shell::run({selectTool, "-p"}, std::nullopt, kSelectTimeoutSeconds);
  if (!result || result->status != 0 || result->timedOut) return std::nullopt;
  const std::string dir(trimmed(result->out));
  std::error_code error;
  if (dir.empty() || !fs::exists(dir, error)) return std::nullopt;
  return dir;
}

std::optional<std::string> ToolLocator::developerDir() {
  return developerDirFrom("/usr/bin/xcode-select");
}

std::vector<std::string> ToolLocator::dirs(std::string_view home,
                                           std::optional<std::string_view> path) {
  std::vector<std::string> all;
  for (const auto piece : piecesOf(path.value_or(""), ':')) all.emplace_back(piece);
  const std::string h(home);
  for (std::string dir :
       {std::string("/opt/homebrew/bin"), std::string("/usr/local/bin"), h + "/.bun/bin",
        h + "/.cargo/bin", h + "/.local/bin", h + "/.docker/bin"})
    all.push_back(std::move(dir));
  if (auto nvm = nvmBin(home)) all.push_back(std::move(*nvm));
  std::vector<std::string> unique;
  std::unordered_set<std::string> seen;
  for (auto& dir : all)
    if (seen.insert(dir).second) unique.push_back(std::move(dir));
  return unique;
}

std::optional<std::string> ToolLocator::find(
    std::string_view name, std::string_view home, std::optional<std::string_view> path,
    const std::function<std::optional<std::string>()>& developerDir) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  for (const auto& dir : dirs(home, path)) {
    std::string candidate = dir + "/" + std::string(name);
    if (!isExecutableFile(candidate)) continue;
    if (dir != "/usr/bin" || usableInUsrBin(name, developerDir)) return candidate;
  }
  return std::nullopt;
}

ShellEnv ToolLocator::environment(std::string_view tool, std::string_view home) {
  std::string path = folderOf(tool);
  // A tool given without a folder adds none: an empty PATH piece would mean the current one.
  if (!path.empty()) path += ":";
  path += "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  return {{"PATH", path}, {"HOME", std::string(home)}, {"LANG", "en_US.UTF-8"}};
}

std::vector<int64_t> ToolLocator::versionKey(std::string_view name) {
  name.remove_prefix(std::min(name.find_first_not_of('v'), name.size()));
  std::vector<int64_t> key;
  for (const auto piece : piecesOf(name, '.')) key.push_back(integerOf(piece));
  return key;
}

}  // namespace kelvane
