#pragma once
// HttpServer: a small HTTP server on 127.0.0.1 for tests. It serves pages to a
// test browser and plays DevTools endpoints that answer, never answer, or
// hang up. A thread per connection, so that a browser's idle preconnections
// hold nothing up; all are stopped and joined by the destructor.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kelvane::testing {

// What the server does with one request.
struct HttpReply {
  enum class Kind { answer, hang, drop };
  Kind kind = Kind::answer;
  int status = 200;
  std::string body;
  std::string contentType = "application/json";

  static HttpReply json(std::string body) { return {.body = std::move(body)}; }
  static HttpReply html(std::string body) {
    return {.body = std::move(body), .contentType = "text/html"};
  }
  // Reads the request and never answers; the connection stays open until the
  // server stops.
  static HttpReply hang() { return {.kind = Kind::hang}; }
  // Closes the connection without a word, like a program that died.
  static HttpReply drop() { return {.kind = Kind::drop}; }
};

class HttpServer {
 public:
  // Listens on 127.0.0.1 at a free port; `handler` answers each request by its
  // path, from several threads at once. port() is 0 when the socket could not be set up.
  explicit HttpServer(std::function<HttpReply(const std::string& path)> handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  uint16_t port() const { return port_; }
  // How many connections were accepted so far.
  int connections() const { return connections_.load(); }

 private:
  void serve();
  void handle(int fd) const;

  std::function<HttpReply(const std::string&)> handler_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::vector<std::thread> connectionThreads_;  // Touched by the serving thread only.
};

}  // namespace kelvane::testing
