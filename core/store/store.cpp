#include "core/store/store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace kelvane {
namespace {

StoreResult failure(std::string what, const std::filesystem::path& path, int error) {
  return Unexpected(StoreError{what + " " + path.string() + ": " + std::strerror(error)});
}

// Writes every byte, retrying short writes and interruptions.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Closes a descriptor when it goes out of scope; a close error is ignored.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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
  const FileDescriptor fd(::open(path(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  // Only a regular file is read: a FIFO or a device in its place would block or never end.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;  // A folder, or an I/O error.
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

bool Store::exists(std::string_view name) const {
  struct stat st;
  return ::lstat(path(name).c_str(), &st) == 0;
}

StoreResult Store::writeAtomically(std::string_view name, std::string_view bytes) const {
  if (auto made = createFolder(dir); !made) return made;
  const auto target = path(name);
  std::string temp = (dir / ("." + std::string(name) + ".XXXXXX")).string();
  const FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return failure("cannot create a temporary file for", target, errno);
  // Keep the mode of the file being replaced; a new file gets rw-r--r--.
  struct stat old;
  const mode_t mode = ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  int error = 0;
  if (!writeAll(fd.get(), bytes)) error = errno ? errno : EIO;
  if (!error && ::fchmod(fd.get(), mode) != 0) error = errno;
  if (!error && ::fsync(fd.get()) != 0) error = errno;
  if (!error && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error) {
    ::unlink(temp.c_str());
    return failure("cannot write", target, error);
  }
  // Make the rename itself durable; a failure here loses nothing already written.
  const FileDescriptor folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  return {};
}

StoreResult Store::appendBytes(std::string_view name, std::string_view bytes) const {
  if (auto made = createFolder(dir); !made) return made;
  if (!exists(name)) return writeAtomically(name, bytes);
  const auto target = path(name);
  const FileDescriptor fd(::open(target.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return failure("cannot open", target, errno);
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
