#include "helper/file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kelvane {
namespace {

// Closes a descriptor on every path.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (it can report a late write error).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(std::size_t(n));
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const auto parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// Makes the rename itself durable; a failure here does not undo the write.
void syncFolder(const std::string& folder) {
  Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

bool fillTemporary(int fd, std::string_view bytes, const FileOwnership& ownership) {
  if (!writeAll(fd, bytes)) return false;
  if (::fchmod(fd, ownership.mode) != 0) return false;
  if ((ownership.uid || ownership.gid) &&
      ::fchown(fd, ownership.uid.value_or(uid_t(-1)), ownership.gid.value_or(gid_t(-1))) != 0)
    return false;
  return ::fsync(fd) == 0;
}

}  // namespace

std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxBytes) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  return readDescriptor(fd.get(), maxBytes);
}

std::optional<std::string> readDescriptor(int fd, std::size_t maxBytes) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string out;
  std::vector<char> chunk(64 << 10);
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    if (out.size() + std::size_t(n) > maxBytes) return std::nullopt;
    out.append(chunk.data(), std::size_t(n));
  }
}

bool writeFileAtomically(const std::string& path, std::string_view bytes,
                         const FileOwnership& ownership) {
  std::string temporary = path + ".XXXXXX";
  Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));  // created with mode 0600
  if (fd.get() < 0) return false;
  const bool written = fillTemporary(fd.get(), bytes, ownership);
  if (!fd.close() || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  syncFolder(folderOf(path));
  return true;
}

}  // namespace kelvane
