#pragma once
// File I/O shared by the store, the daemon's stores and the shell: an owned
// descriptor, whole-file reads, complete writes and atomic replacement (a reader
// sees the old file or the new one, never half of either). POSIX only.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "core/support/result.h"

namespace kelvane {

// Owns one file descriptor and closes it when it goes; moves, never copies. A
// negative value means none.
class FileDescriptor final {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; a close error is ignored, as nothing can be done about it.
  void reset();
  // Closes now and says whether the close succeeded: after writes, a failed
  // close can be the first report of a lost write. False when there was none.
  [[nodiscard]] bool close();

 private:
  int fd_ = -1;
};

// Writes every byte, retrying short writes and interruptions. False on the
// first failure, with errno set (EIO when a write wrote nothing).
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);

// The largest file readWholeFile reads unless told otherwise.
inline constexpr std::size_t kMaxReadBytes = std::size_t{64} << 20;

// Returns the whole file; nullopt when it is missing, cannot be opened or read,
// is not a regular file (a FIFO is refused without waiting for a writer), or is
// larger than `maxBytes`. Follows symbolic links.
[[nodiscard]] std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                                       std::size_t maxBytes = kMaxReadBytes);

// Returns the rest of an open regular file; nullopt when it is not one, cannot
// be read, or is larger than `maxBytes`. The descriptor stays open.
[[nodiscard]] std::optional<std::string> readDescriptor(int fd,
                                                        std::size_t maxBytes = kMaxReadBytes);

// The permission bits and owner a replaced file gets.
struct FileOwnership {
  mode_t mode = 0600;
  std::optional<uid_t> uid;  // The writer's when unset.
  std::optional<gid_t> gid;  // The writer's when unset.
  bool operator==(const FileOwnership&) const = default;
};

// The permission bits, owner and group of the file at `path` (links
// followed); nullopt when there is no such file.
[[nodiscard]] std::optional<FileOwnership> ownershipOf(const std::filesystem::path& path);

// A failed file operation: errno and a message naming what failed and where.
struct FileError {
  int code = 0;
  std::string message;  // "cannot write /a/b: No space left on device"
  bool operator==(const FileError&) const = default;
};
using FileResult = Result<void, FileError>;

// The name of replaceFile's temporary file beside the file named `targetName`:
// "." + targetName + ".tmp-" + six random letters or digits (the Xs of this
// pattern). A crash between creating it and renaming it leaves it behind.
std::string temporaryPattern(std::string_view targetName);
// Whether a folder entry named `fileName` is such a temporary file, of any target.
bool isTemporaryName(std::string_view fileName);

// Writes `bytes` to a temporary file in the target's folder, gives it
// `ownership`, flushes it to disk, renames it over `path` and flushes the
// folder. On failure the temporary file is removed and `path` is untouched.
// The folder must exist. A symbolic link at `path` is replaced, not followed.
FileResult replaceFile(const std::filesystem::path& path, std::string_view bytes,
                       const FileOwnership& ownership);

}  // namespace kelvane
