#include "platform/linux/browser_procs.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unordered_map>

#include "core/support/text.h"
#include "platform/linux/browser_files.h"
#include "platform/linux/browser_identity.h"

namespace kelvane::BrowserProcs {
namespace {

namespace fs = std::filesystem;

struct Listener {
  uint16_t port = 0;
  bool loopback = false;
};

std::optional<std::string> readLink(const fs::path& path) {
  std::error_code ec;
  auto target = fs::read_symlink(path, ec);
  if (ec) return std::nullopt;
  return target.string();
}

template <class T>
std::optional<T> hexNumber(std::string_view text) {
  T value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The kernel prints an address as its 32-bit words in the machine's byte
// order, so the words are stored back the same way to get the bytes.
std::optional<std::vector<uint8_t>> addressBytes(std::string_view hex) {
  if (hex.size() != 8 && hex.size() != 32) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t at = 0; at < hex.size(); at += 8) {
    const auto word = hexNumber<uint32_t>(hex.substr(at, 8));
    if (!word) return std::nullopt;
    uint8_t four[4];
    std::memcpy(four, &*word, 4);
    bytes.insert(bytes.end(), four, four + 4);
  }
  return bytes;
}

// 127.0.0.0/8, ::1 and 127.0.0.0/8 mapped into IPv6.
bool isLoopback(const std::vector<uint8_t>& b) {
  if (b.size() == 4) return b[0] == 127;
  const bool zeros80 = std::all_of(b.begin(), b.begin() + 10, [](uint8_t x) { return x == 0; });
  if (zeros80 && b[10] == 0xff && b[11] == 0xff) return b[12] == 127;
  return zeros80 && std::all_of(b.begin() + 10, b.end() - 1, [](uint8_t x) { return x == 0; }) &&
         b.back() == 1;
}

// Listening TCP sockets by inode, from one /proc/net/tcp-style table.
void addListeners(std::string_view table, std::unordered_map<uint64_t, Listener>& out) {
  constexpr std::string_view kListen = "0A";
  for (const auto line : Text::split(table, '\n')) {
    std::vector<std::string_view> fields;
    for (const auto field : Text::split(line, ' '))
      if (!field.empty()) fields.push_back(field);
    if (fields.size() < 10 || fields[3] != kListen) continue;  // The header, or not listening.
    const auto colon = fields[1].find(':');
    if (colon == std::string_view::npos) continue;
    const auto bytes = addressBytes(fields[1].substr(0, colon));
    const auto port = hexNumber<uint16_t>(fields[1].substr(colon + 1));
    uint64_t inode = 0;
    const auto [end, ec] =
        std::from_chars(fields[9].data(), fields[9].data() + fields[9].size(), inode);
    if (!bytes || !port || ec != std::errc()) continue;
    out[inode] = Listener{*port, isLoopback(*bytes)};
  }
}

void addPorts(const fs::path& fdDir, const std::unordered_map<uint64_t, Listener>& listeners,
              Proc& proc) {
  std::error_code ec;
  for (fs::directory_iterator it(fdDir, ec), end; !ec && it != end; it.increment(ec)) {
    const auto target = readLink(it->path());
    if (!target || !target->starts_with("socket:[")) continue;
    uint64_t inode = 0;
    const char* digits = target->data() + 8;
    std::from_chars(digits, target->data() + target->size(), inode);
    const auto found = listeners.find(inode);
    if (found == listeners.end()) continue;
    proc.listenPorts.push_back(found->second.port);
    if (!found->second.loopback) {
      if (!proc.exposedPorts) proc.exposedPorts.emplace();
      proc.exposedPorts->push_back(found->second.port);
    }
  }
}

// Ascending, each once (a socket may be held by several descriptors).
void sortPorts(std::vector<uint16_t>& ports) {
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
}

// Parent process ID from /proc/<pid>/stat, after the name in parentheses.
int32_t parentOf(const std::string& stat) {
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat.substr(close + 1));
  std::string state;
  int32_t ppid = 0;
  in >> state >> ppid;
  return ppid;
}

}  // namespace

std::vector<std::string> args(int32_t pid, const std::string& procRoot) {
  std::vector<std::string> out;
  const auto text = readBrowserFile(fs::path(procRoot) / std::to_string(pid) / "cmdline");
  if (!text) return out;
  for (const auto arg : Text::split(*text, '\0')) out.emplace_back(arg);
  if (!out.empty() && out.back().empty()) out.pop_back();  // After the final NUL.
  return out;
}

std::vector<Proc> running(uint32_t me, const std::string& procRoot) {
  std::vector<Proc> family;
  std::error_code ec;
  for (fs::directory_iterator it(procRoot, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    int32_t pid = 0;
    const auto [endOfName, bad] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (bad != std::errc() || endOfName != name.data() + name.size()) continue;
    struct stat info {};
    if (::stat(it->path().c_str(), &info) != 0 || info.st_uid != me) continue;
    const auto exe = readLink(it->path() / "exe");
    const auto kind = exe ? chromiumBrowser(*exe) : std::nullopt;
    const auto stat = kind ? readBrowserFile(it->path() / "stat") : std::nullopt;
    if (!stat) continue;  // Another program, or gone meanwhile.
    family.push_back(
        Proc{.pid = pid,
             .ppid = parentOf(*stat),
             .uid = me,
             .name = std::string(Text::trimmed(readBrowserFile(it->path() / "comm").value_or(""))),
             .path = *exe,
             .bundleID = kind->bundleID,
             .cwd = readLink(it->path() / "cwd")});
  }
  std::vector<Proc> out;
  std::unordered_map<uint64_t, Listener> listeners;
  for (const Proc* proc : browserProcesses(family)) {
    if (!isBrowserProcess(args(proc->pid, procRoot))) continue;
    if (listeners.empty())  // The socket tables are read once a browser is found.
      for (const char* table : {"net/tcp", "net/tcp6"})
        if (const auto text = readBrowserFile(fs::path(procRoot) / table))
          addListeners(*text, listeners);
    out.push_back(*proc);
    addPorts(fs::path(procRoot) / std::to_string(proc->pid) / "fd", listeners, out.back());
    sortPorts(out.back().listenPorts);
    if (out.back().exposedPorts) sortPorts(*out.back().exposedPorts);
  }
  return out;
}

}  // namespace kelvane::BrowserProcs
