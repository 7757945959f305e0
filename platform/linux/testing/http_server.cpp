#include "platform/linux/testing/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvane::testing {
namespace {

// Waits until `fd` is readable; false when the server is stopping first.
bool waitReadable(int fd, int stopFd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0) {
  }
  return fds[1].revents == 0;
}

// Reads until the end of the request head, the peer's end or the server's stop.
std::string readHead(int fd, int stopFd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    if (!waitReadable(fd, stopFd)) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  return head;
}

// The path of "GET /path HTTP/1.1".
std::string pathOf(const std::string& head) {
  const auto start = head.find(' ');
  if (start == std::string::npos) return "";
  const auto end = head.find(' ', start + 1);
  return head.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

HttpServer::HttpServer(std::function<HttpReply(const std::string& path)> handler)
    : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      ::pipe2(stopPipe_, O_CLOEXEC) != 0)
    return;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

HttpServer::~HttpServer() {
  if (thread_.joinable()) {
    const char stop = 1;
    [[maybe_unused]] const auto n = ::write(stopPipe_[1], &stop, 1);
    thread_.join();
  }
  for (const int fd : {listenFd_, stopPipe_[0], stopPipe_[1]})
    if (fd >= 0) ::close(fd);
}

void HttpServer::serve() {
  while (waitReadable(listenFd_, stopPipe_[0])) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    connectionThreads_.emplace_back([this, fd] { handle(fd); });
  }
  for (auto& thread : connectionThreads_) thread.join();
}

void HttpServer::handle(int fd) const {
  const HttpReply reply = handler_(pathOf(readHead(fd, stopPipe_[0])));
  if (reply.kind == HttpReply::Kind::hang) {
    while (waitReadable(fd, stopPipe_[0])) {  // Until the peer gives up or the server stops.
      char buffer[256];
      if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
    ::close(fd);
    return;
  }
  if (reply.kind == HttpReply::Kind::answer)
    writeAll(fd, "HTTP/1.1 " + std::to_string(reply.status) +
                     " X\r\nContent-Type: " + reply.contentType +
                     "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                     "\r\nConnection: close\r\n\r\n" + reply.body);
  ::close(fd);
}

}  // namespace kelvane::testing
