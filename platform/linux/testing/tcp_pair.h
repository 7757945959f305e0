#pragma once
// Loopback TCP sockets a test makes for itself: listeners on a free port, a
// client connected to one, and blocking transfers of a known number of bytes.
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane::testing {

// Opens a listener on `address` ("127.0.0.1", "::1", "0.0.0.0", "::") at a port the
// kernel picks; -1 when that fails (no IPv6 on this machine, for example).
inline int listenOn(const char* address, bool closeOnExec = true) {
  const bool v6 = std::strchr(address, ':') != nullptr;
  const int fd =
      ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | (closeOnExec ? SOCK_CLOEXEC : 0), 0);
  if (fd < 0) return -1;
  sockaddr_storage storage{};
  socklen_t size = 0;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, address, &in6->sin6_addr);
    const int only = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    size = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in4->sin_addr);
    size = sizeof *in4;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The local port of a bound socket; 0 when unknown.
inline uint16_t portOf(int fd) {
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size) != 0) return 0;
  if (storage.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

// The socket's inode, as "socket:[inode]" names it among a process's descriptors.
inline uint64_t inodeOf(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// Connects to 127.0.0.1:`port`; -1 on failure. Only async-signal-safe calls, so a
// forked child may use it. The socket survives exec unless `closeOnExec`.
inline int connectTo(uint16_t port, bool closeOnExec = false) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | (closeOnExec ? SOCK_CLOEXEC : 0), 0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Writes `count` bytes of filler; false when the peer went away first.
// Async-signal-safe.
inline bool sendBytes(int fd, uint64_t count) {
  char block[16384];
  std::memset(block, 'k', sizeof block);
  while (count > 0) {
    const size_t chunk = count < sizeof block ? size_t(count) : sizeof block;
    const ssize_t sent = ::send(fd, block, chunk, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    count -= uint64_t(sent);
  }
  return true;
}

// Reads exactly `count` bytes; false when the peer closed first.
inline bool receiveBytes(int fd, uint64_t count) {
  char block[16384];
  while (count > 0) {
    const size_t chunk = count < sizeof block ? size_t(count) : sizeof block;
    const ssize_t got = ::recv(fd, block, chunk, 0);
    if (got <= 0) return false;
    count -= uint64_t(got);
  }
  return true;
}

}  // namespace kelvane::testing
