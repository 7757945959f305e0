#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <map>
#include <mutex>
#include <unistd.h>

#include "platform/linux/owned_fd.h"
#include "platform/linux/proc_reader.h"

namespace kelvane {
namespace {

constexpr size_t kMaxFileBytes = size_t{64} << 20;
constexpr std::string_view kDeleted = " (deleted)";

// A whole decimal number of a folder entry ("123"); nullopt for "self", "1a", "".
std::optional<int32_t> numberOf(const char* name) {
  int32_t value = 0;
  const char* end = name + std::char_traits<char>::length(name);
  const auto [ptr, ec] = std::from_chars(name, end, value);
  if (name == end || ec != std::errc() || ptr != end || value < 0) return std::nullopt;
  return value;
}

std::optional<int32_t> pidOf(const char* name) {
  const auto pid = numberOf(name);
  return pid && *pid > 0 ? pid : std::nullopt;
}

// The rest of an open file. /proc files report no size, so it reads to the end.
std::optional<std::string> readAll(int fd) {
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;  // ESRCH: the process ended
    if (n == 0) return text;
    if (text.size() + static_cast<size_t>(n) > kMaxFileBytes) return std::nullopt;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// A process's stat line. The kernel writes it whole on the first read when the
// buffer holds it, so a short first read is all of it and the read that would
// only say "end" is saved: one system call in six of a look at a process.
std::optional<std::string> readStatLine(int fd) {
  char buffer[2048];
  ssize_t n;
  do n = ::read(fd, buffer, sizeof buffer);
  while (n < 0 && errno == EINTR);
  if (n < 0) return std::nullopt;
  std::string text(buffer, static_cast<size_t>(n));
  if (static_cast<size_t>(n) < sizeof buffer) return text;
  auto rest = readAll(fd);
  if (!rest) return std::nullopt;
  return text + *rest;
}

// The whole of a file below `dir`.
std::optional<std::string> readAt(int dir, const char* name) {
  const OwnedFd fd(::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return std::nullopt;
  return readAll(fd.get());
}

std::optional<std::string> linkAt(int dir, const char* name) {
  char target[PATH_MAX];
  const ssize_t n = ::readlinkat(dir, name, target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(n));
}

std::optional<std::vector<std::string>> descriptorsAt(int dir) {
  std::vector<std::pair<int32_t, std::string>> found;
  const int fdDir = ::openat(dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdDir < 0) return std::nullopt;
  DIR* handle = ::fdopendir(fdDir);
  if (!handle) {
    ::close(fdDir);
    return std::nullopt;
  }
  while (const dirent* entry = ::readdir(handle)) {
    const auto number = numberOf(entry->d_name);
    if (!number) continue;
    if (auto target = linkAt(::dirfd(handle), entry->d_name))
      found.emplace_back(*number, std::move(*target));
  }
  ::closedir(handle);
  std::sort(found.begin(), found.end());
  std::vector<std::string> targets;
  targets.reserve(found.size());
  for (auto& [number, target] : found) targets.push_back(std::move(target));
  return targets;
}

std::optional<std::string> firstArgAt(int dir) {
  auto cmdline = readAt(dir, "cmdline");
  if (!cmdline || cmdline->empty()) return std::nullopt;
  cmdline->resize(std::min(cmdline->find('\0'), cmdline->size()));
  return cmdline;
}

std::optional<std::string> programAt(int dir) {
  if (dir < 0) return std::nullopt;
  auto exe = linkAt(dir, "exe");
  if (exe && exe->ends_with(kDeleted)) exe->resize(exe->size() - kDeleted.size());
  return exe;
}

}  // namespace

std::vector<int32_t> ProcReader::pids() const {
  std::vector<int32_t> found;
  DIR* handle = ::opendir(root_.c_str());
  if (!handle) return found;
  while (const dirent* entry = ::readdir(handle))
    if (const auto pid = pidOf(entry->d_name)) found.push_back(*pid);
  ::closedir(handle);
  std::sort(found.begin(), found.end());
  return found;
}

std::optional<ProcEntry> ProcReader::process(int32_t pid, unsigned parts) const {
  const std::string folder = root_ + "/" + std::to_string(pid);
  // The stat line alone comes straight from its file, whose owner is the process's.
  const OwnedFd dir(parts == 0 ? AT_FDCWD
                               : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parts != 0 && !dir.valid()) return std::nullopt;
  const std::string statPath = parts == 0 ? folder + "/stat" : "stat";
  const OwnedFd statFile(::openat(dir.get(), statPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!statFile.valid()) return std::nullopt;
  struct stat owner {};
  const auto statText = readStatLine(statFile.get());
  auto parsed = statText ? ProcText::stat(*statText) : std::nullopt;
  if (!parsed || parsed->pid != pid || ::fstat(statFile.get(), &owner) != 0) return std::nullopt;
  ProcEntry entry{.stat = std::move(*parsed), .folderUid = owner.st_uid};
  if (parts & kStatus) {
    const auto text = readAt(dir.get(), "status");
    entry.status = text ? ProcText::status(*text) : std::nullopt;
  }
  if (parts & kExe) entry.exe = programAt(dir.get());
  if (parts & kCwd) entry.cwd = linkAt(dir.get(), "cwd");
  if (parts & kFds) entry.fds = descriptorsAt(dir.get());
  if (parts & kCmdline) entry.firstArg = firstArgAt(dir.get());
  // A process that ended while it was read answers nothing more; what came before
  // its end is still its own, and the stat line says it was there.
  return entry;
}

std::optional<std::string> ProcReader::program(int32_t pid) const {
  return programAt(OwnedFd(::open((root_ + "/" + std::to_string(pid)).c_str(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC))
                       .get());
}

std::optional<std::string> ProcReader::workingFolder(int32_t pid) const {
  return linkAt(AT_FDCWD, (root_ + "/" + std::to_string(pid) + "/cwd").c_str());
}

std::optional<std::vector<std::string>> ProcReader::arguments(int32_t pid) const {
  const auto text = read(std::to_string(pid) + "/cmdline");
  if (!text) return std::nullopt;
  std::vector<std::string> words;
  for (size_t at = 0; at < text->size();) {
    const size_t end = std::min(text->find('\0', at), text->size());
    words.emplace_back(*text, at, end - at);
    at = end + 1;
  }
  return words;
}

std::optional<std::vector<std::string>> ProcReader::descriptors(int32_t pid) const {
  const OwnedFd dir(
      ::open((root_ + "/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return std::nullopt;
  return descriptorsAt(dir.get());
}

std::vector<ProcEntry> ProcReader::processes(unsigned parts) const {
  std::vector<ProcEntry> entries;
  for (const int32_t pid : pids())
    if (auto entry = process(pid, parts)) entries.push_back(std::move(*entry));
  return entries;
}

std::vector<std::pair<int32_t, int32_t>> ProcReader::parents() const {
  std::vector<std::pair<int32_t, int32_t>> links;
  for (const int32_t pid : pids()) {
    const auto text = read(std::to_string(pid) + "/stat");
    const auto parsed = text ? ProcText::stat(*text) : std::nullopt;
    if (parsed && parsed->pid == pid) links.emplace_back(pid, parsed->ppid);
  }
  return links;
}

std::optional<std::string> ProcReader::read(std::string_view relative) const {
  return readAt(AT_FDCWD, (root_ + "/" + std::string(relative)).c_str());
}

std::vector<ProcText::InetSocket> ProcReader::tcpSockets() const {
  std::vector<ProcText::InetSocket> sockets;
  for (const bool v6 : {false, true}) {
    const auto text = read(v6 ? "net/tcp6" : "net/tcp");
    if (!text) continue;
    auto table = ProcText::tcpTable(*text, v6);
    sockets.insert(sockets.end(), table.begin(), table.end());
  }
  return sockets;
}

std::vector<ProcText::UnixSocket> ProcReader::unixSockets() const {
  const auto text = read("net/unix");
  return text ? ProcText::unixTable(*text) : std::vector<ProcText::UnixSocket>{};
}

std::optional<int64_t> ProcReader::bootTime() const {
  const auto text = read("stat");
  return text ? ProcText::bootTime(*text) : std::nullopt;
}

std::optional<Date> ProcReader::bootMoment() const {
  static std::mutex mutex;
  static std::map<std::string, std::pair<std::string, int64_t>> seen;  // Root: boot_id, btime.
  const auto btime = bootTime();
  auto id = read("sys/kernel/random/boot_id").value_or("");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  const std::lock_guard lock(mutex);
  auto& [knownID, knownTime] = seen[root_];
  if (id.empty() || knownID != id) {
    if (!btime) return std::nullopt;
    knownID = id;
    knownTime = *btime;
  }
  return Date::fromUnix(static_cast<double>(knownTime));
}

std::optional<Date> ProcReader::startOf(const ProcText::Stat& stat) const {
  static const double ticks = static_cast<double>(std::max(1L, ::sysconf(_SC_CLK_TCK)));
  const auto boot = bootMoment();
  if (!boot) return std::nullopt;
  return *boot + static_cast<double>(stat.startTicks) / ticks;
}

std::optional<struct stat> ProcReader::exeFile(int32_t pid) const {
  struct stat info {};
  if (::stat((root_ + "/" + std::to_string(pid) + "/exe").c_str(), &info) != 0) return std::nullopt;
  return info;
}

}  // namespace kelvane
