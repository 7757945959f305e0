#include "core/support/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kelvane {
namespace {

constexpr std::string_view kTemporaryMarker = ".tmp-";
constexpr std::string_view kTemporaryXs = "XXXXXX";
constexpr std::size_t kReadChunk = 64 << 10;

FileError failure(std::string_view what, const std::filesystem::path& path, int code) {
  return FileError{code, std::string(what) + " " + path.string() + ": " + std::strerror(code)};
}

// The folder a file is created in; "." for a bare name.
std::filesystem::path folderOf(const std::filesystem::path& path) {
  const auto parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

// Makes a rename in `folder` durable; a failure here does not undo the rename.
void syncFolder(const std::filesystem::path& folder) {
  const FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

// Writes, owns and flushes the temporary file; 0 or the errno of the first step
// that failed.
int fill(FileDescriptor& fd, std::string_view bytes, const FileOwnership& ownership) {
  if (!writeAll(fd.get(), bytes)) return errno ? errno : EIO;
  if (::fchmod(fd.get(), ownership.mode) != 0) return errno;
  if ((ownership.uid || ownership.gid) &&
      ::fchown(fd.get(), ownership.uid.value_or(uid_t(-1)), ownership.gid.value_or(gid_t(-1))) != 0)
    return errno;
  if (::fsync(fd.get()) != 0) return errno;
  if (!fd.close()) return errno ? errno : EIO;
  return 0;
}

}  // namespace

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void FileDescriptor::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FileDescriptor::close() {
  // Never retried on EINTR: Linux has released the descriptor either way.
  return fd_ >= 0 && ::close(std::exchange(fd_, -1)) == 0;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::size_t maxBytes) {
  // Non-blocking, so that opening a FIFO does not wait for a writer; readDescriptor
  // refuses it anyway, and reads of a regular file never block.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  return readDescriptor(fd.get(), maxBytes);
}

std::optional<std::string> readDescriptor(int fd, std::size_t maxBytes) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string out;
  std::vector<char> chunk(kReadChunk);
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return out;
    if (static_cast<std::size_t>(n) > maxBytes - out.size()) return std::nullopt;
    out.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

std::optional<FileOwnership> ownershipOf(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileOwnership{info.st_mode & 07777, info.st_uid, info.st_gid};
}

std::string temporaryPattern(std::string_view targetName) {
  std::string pattern = ".";
  pattern += targetName;
  pattern += kTemporaryMarker;
  pattern += kTemporaryXs;
  return pattern;
}

bool isTemporaryName(std::string_view fileName) {
  const std::size_t tail = kTemporaryMarker.size() + kTemporaryXs.size();
  if (fileName.size() <= tail + 1 || fileName.front() != '.') return false;
  const auto random = fileName.substr(fileName.size() - kTemporaryXs.size());
  return fileName.substr(fileName.size() - tail, kTemporaryMarker.size()) == kTemporaryMarker &&
         std::all_of(random.begin(), random.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
         });
}

FileResult replaceFile(const std::filesystem::path& path, std::string_view bytes,
                       const FileOwnership& ownership) {
  const auto folder = folderOf(path);
  std::string temporary = (folder / temporaryPattern(path.filename().native())).native();
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));  // created with mode 0600
  if (!fd.valid()) return Unexpected(failure("cannot create a temporary file for", path, errno));
  int error = fill(fd, bytes, ownership);
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    ::unlink(temporary.c_str());
    return Unexpected(failure("cannot write", path, error));
  }
  syncFolder(folder);
  return {};
}

}  // namespace kelvane
