#include "platform/linux/testing/http_throttle.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvane::testing {
namespace {

constexpr size_t kMaxHeader = 16 * 1024;
constexpr size_t kChunk = 16 * 1024;

uint64_t numberAfter(std::string_view text, std::string_view key) {
  const auto at = text.find(key);
  if (at == std::string_view::npos) return 0;
  uint64_t value = 0;
  const auto start = text.data() + at + key.size();
  std::from_chars(start, text.data() + text.size(), value);
  return value;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(size_t(n));
  }
  return true;
}

}  // namespace

HttpThrottle::HttpThrottle(double bytesPerSecond) : rate_(bytesPerSecond) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // A small receive buffer, inherited by accepted sockets: the client's kernel
  // then sees acknowledgements at the pace this server reads.
  const int buffer = 64 * 1024;
  ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::listen(listener_, 16) == 0 &&
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpThrottle::~HttpThrottle() {
  stopping_ = true;
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (const int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& worker : workers_) worker.join();
  for (const int fd : open_) ::close(fd);
  ::close(listener_);
}

std::string HttpThrottle::host() const { return "127.0.0.1:" + std::to_string(port_); }

void HttpThrottle::acceptLoop() {
  while (!stopping_) {
    pollfd watched{listener_, POLLIN, 0};
    if (::poll(&watched, 1, 50) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    open_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

// Sends or receives `count` bytes no faster than the rate; false when the peer
// went away or the server stops.
bool HttpThrottle::paced(int fd, uint64_t count, bool sending) {
  static const std::string filler(kChunk, 'k');
  char sink[kChunk];
  const auto start = std::chrono::steady_clock::now();
  uint64_t done = 0;
  while (done < count && !stopping_) {
    uint64_t allowed = count - done;
    if (rate_ > 0) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double due = rate_ * elapsed - double(done);
      if (due < 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      allowed = std::min<uint64_t>(allowed, uint64_t(due));
    }
    const size_t chunk = size_t(std::min<uint64_t>(allowed, kChunk));
    const ssize_t n =
        sending ? ::send(fd, filler.data(), chunk, MSG_NOSIGNAL) : ::recv(fd, sink, chunk, 0);
    if (n <= 0) return false;
    done += uint64_t(n);
    (sending ? sent_ : received_) += uint64_t(n);
  }
  return done == count;
}

void HttpThrottle::serve(int fd) {
  std::string buffer;
  char block[4096];
  while (!stopping_) {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (buffer.size() > kMaxHeader) return;
      const ssize_t n = ::recv(fd, block, sizeof block, 0);
      if (n <= 0) return;
      buffer.append(block, size_t(n));
    }
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    ++requests_;
    uint64_t body = numberAfter(head, "Content-Length: ");
    const uint64_t early = std::min<uint64_t>(body, buffer.size());
    received_ += early;
    buffer.erase(0, size_t(early));
    body -= early;
    if (failing_) {
      if (!sendAll(fd, "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")) return;
      if (body > 0 && !paced(fd, body, false)) return;
      continue;
    }
    if (head.starts_with("POST ")) {
      if (body > 0 && !paced(fd, body, false)) return;
      if (!sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")) return;
    } else {
      const uint64_t size = numberAfter(head, "bytes=");
      if (!sendAll(fd,
                   "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                   "Content-Length: " +
                       std::to_string(size) + "\r\n\r\n") ||
          !paced(fd, size, true))
        return;
    }
  }
}

}  // namespace kelvane::testing
