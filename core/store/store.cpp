#include "core/store/store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/support/file_io.h"

extern char** environ;

namespace kelvane {
namespace {

// Store files are read whole whatever their size.
constexpr size_t kNoSizeLimit = std::numeric_limits<size_t>::max();

StoreResult failure(std::string what, const std::filesystem::path& path, int error) {
  return Unexpected(StoreError{what + " " + path.string() + ": " + std::strerror(error)});
}

StoreResult createFolder(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Unexpected(StoreError{"cannot create " + dir.string() + ": " + ec.message()});
  return {};
}

std::string homeFolder(const std::map<std::string, std::string>& environment) {
  if (const auto it = environment.find("HOME"); it != environment.end() && !it->second.empty())
    return it->second;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

}  // namespace

std::filesystem::path Store::dataDir(const std::map<std::string, std::string>& environment) {
  if (const auto it = environment.find("KELVANE_DATA");
      it != environment.end() && !it->second.empty())
    return std::filesystem::path(it->second);
  return std::filesystem::path(homeFolder(environment)) / "Library" / "Application Support" /
         "Kelvane";
}

std::filesystem::path Store::defaultDir() {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const size_t eq = text.find('=');
    if (eq != std::string_view::npos)
      environment.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
  }
  return dataDir(environment);
}

StoreResult Store::append(const RunRecord& record) const {
  return appendLines(std::vector<RunRecord>{record}, kRunsFile);
}

StoreResult Store::prune(Date before) const {
  return rewriteLines<RunRecord>(kRunsFile,
                                 [before](const RunRecord& r) { return r.at >= before; });
}

std::vector<RunRecord> Store::runs(Date since) const {
  auto records = lines<RunRecord>(kRunsFile);
  std::erase_if(records, [since](const RunRecord& r) { return r.at < since; });
  return records;
}

std::optional<std::string> Store::read(std::string_view name) const {
  return readWholeFile(path(name), kNoSizeLimit);
}

bool Store::exists(std::string_view name) const {
  struct stat st;
  return ::lstat(path(name).c_str(), &st) == 0;
}

StoreResult Store::writeAtomically(std::string_view name, std::string_view bytes) const {
  if (auto made = createFolder(dir); !made) return made;
  const auto target = path(name);
  // Keep the mode of the file being replaced; a new file gets rw-r--r--.
  const auto old = ownershipOf(target);
  const auto written = replaceFile(target, bytes, FileOwnership{.mode = old ? old->mode : 0644});
  if (!written) return Unexpected(StoreError{written.error().message});
  return {};
}

StoreResult Store::appendBytes(std::string_view name, std::string_view bytes) const {
  if (auto made = createFolder(dir); !made) return made;
  if (!exists(name)) return writeAtomically(name, bytes);
  const auto target = path(name);
  // Non-blocking, so that a FIFO in the file's place is refused below rather
  // than filled until it blocks; appends to a regular file never block.
  const FileDescriptor fd(::open(target.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return failure("cannot open", target, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return failure("cannot inspect", target, errno);
  if (!S_ISREG(st.st_mode)) return failure("cannot append to", target, EINVAL);
  if (st.st_size > 0) {
    // A last line cut short (a crash mid-write) must not swallow the next record.
    char last = 0;
    if (::pread(fd.get(), &last, 1, st.st_size - 1) != 1 || last != '\n') {
      if (!writeAll(fd.get(), "\n")) return failure("cannot append to", target, errno);
    }
  }
  if (!writeAll(fd.get(), bytes)) return failure("cannot append to", target, errno);
  return {};
}

std::vector<std::string_view> Store::splitLines(std::string_view bytes) {
  std::vector<std::string_view> pieces;
  while (!bytes.empty()) {
    const size_t lf = bytes.find('\n');
    const auto piece = bytes.substr(0, lf);
    if (!piece.empty()) pieces.push_back(piece);
    if (lf == std::string_view::npos) break;
    bytes.remove_prefix(lf + 1);
  }
  return pieces;
}

}  // namespace kelvane
