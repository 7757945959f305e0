#include "cli/control_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace kelvane {

Result<SupportLock, LockError> SupportLock::take(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec)
    return Unexpected(LockError{
        false, "cannot make the support folder " + folder.string() + ": " + ec.message()});
  const std::string path = (folder / kFileName).string();
  // O_NONBLOCK: a FIFO put where the lock file belongs is opened without waiting
  // for a writer, and then refused below.
  FileDescriptor fd(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  if (!fd.valid())
    return Unexpected(LockError{false, "cannot open " + path + ": " + std::strerror(errno)});
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return Unexpected(LockError{false, path + " is not a plain file"});
  int rc = 0;
  do {
    rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) return Unexpected(LockError{true, path + " is held"});
    return Unexpected(LockError{false, "cannot lock " + path + ": " + std::strerror(errno)});
  }
  return SupportLock(std::move(fd));
}

}  // namespace kelvane
