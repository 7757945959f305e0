#pragma once
// HttpThrottle: a small HTTP/1.1 speed server on loopback for tests, serving
// what a speed test asks at a fixed rate: GET /__down?bytes=N sends N bytes,
// POST /__up reads the body; both at `bytesPerSecond` (0: as fast as it can).
// Each connection has a thread; the destructor closes everything and joins.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvane::testing {

class HttpThrottle final {
 public:
  // Listens on 127.0.0.1 at a port the kernel picks.
  explicit HttpThrottle(double bytesPerSecond);
  ~HttpThrottle();
  HttpThrottle(const HttpThrottle&) = delete;
  HttpThrottle& operator=(const HttpThrottle&) = delete;

  // "127.0.0.1:port", the server's host as a server list names it.
  std::string host() const;
  uint16_t port() const { return port_; }
  // Requests answered so far, and body bytes sent and received.
  uint64_t requests() const { return requests_; }
  uint64_t sent() const { return sent_; }
  uint64_t received() const { return received_; }
  // Makes every later answer a 503, as a broken server would.
  void fail(bool failing) { failing_ = failing; }

 private:
  void acceptLoop();
  void serve(int fd);
  bool paced(int fd, uint64_t count, bool sending);

  double rate_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failing_{false};
  std::atomic<uint64_t> requests_{0}, sent_{0}, received_{0};
  std::mutex mutex_;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace kelvane::testing
