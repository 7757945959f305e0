#include "platform/linux/browser_files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane {
namespace {

// The browser's small files (the port file, Local State) are far below this.
constexpr size_t kMaxFileBytes = size_t{16} << 20;

}  // namespace

std::optional<std::string> readBrowserFile(const std::filesystem::path& path) {
  // Opening does not wait, so a FIFO put where a file should be holds nothing up.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> out;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<size_t>(info.st_size) <= kMaxFileBytes) {
    out.emplace();
    char buffer[65536];
    while (out && out->size() <= kMaxFileBytes) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) out.reset();
      if (n <= 0) break;
      out->append(buffer, static_cast<size_t>(n));
    }
    if (out && out->size() > kMaxFileBytes) out.reset();
  }
  ::close(fd);
  return out;
}

}  // namespace kelvane
