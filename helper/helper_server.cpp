#include "helper/helper_server.h"

#include <filesystem>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

#include <asio.hpp>

namespace kelvane {
namespace {

using Socket = asio::local::stream_protocol::socket;

// One client connection: reads request lines and answers each in turn. Its
// closing is the connection's invalidation, reported to the service once.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Socket socket, HelperService& service, ConnectionID id)
      : socket_(std::move(socket)), service_(service), id_(id) {}

  void read() {
    asio::async_read_until(
        socket_, buffer_, '\n',
        [self = shared_from_this()](asio::error_code ec, std::size_t n) { self->onRead(ec, n); });
  }

 private:
  void onRead(asio::error_code ec, std::size_t n) {
    if (ec == asio::error::not_found) {  // the buffer filled up before a newline came
      write(HelperProtocol::encodeError(HelperProtocol::kTooLong), /*thenClose=*/true);
      return;
    }
    if (ec) return close();
    std::string line(asio::buffers_begin(buffer_.data()),
                     asio::buffers_begin(buffer_.data()) + std::ptrdiff_t(n - 1));
    buffer_.consume(n);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    write(service_.answer(id_, line), /*thenClose=*/false);
  }

  void write(std::string reply, bool thenClose) {
    auto text = std::make_shared<std::string>(std::move(reply) + "\n");
    asio::async_write(
        socket_, asio::buffer(*text),
        [self = shared_from_this(), text, thenClose](asio::error_code ec, std::size_t) {
          if (ec || thenClose) return self->close();
          self->read();
        });
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ignored;
    socket_.close(ignored);
    service_.invalidated(id_);
  }

  Socket socket_;
  HelperService& service_;
  ConnectionID id_;
  asio::streambuf buffer_{HelperProtocol::kMaxLineBytes + 1};  // the line and its newline
  bool closed_ = false;
};

class Server {
 public:
  Server(asio::io_context& io, HelperService& service, const ServerOptions& options, HelperLog& log)
      : io_(io), service_(service), options_(options), log_(log) {}

  void startTimer() {
    timer_.expires_after(options_.tickInterval);
    timer_.async_wait([this](asio::error_code ec) {
      if (ec) return;
      service_.tick();
      startTimer();
    });
  }

  bool listen();

  void handleTermination() {
    asio::error_code ignored;
    signals_.add(SIGTERM, ignored);
    signals_.async_wait([this](asio::error_code ec, int) {
      if (ec) return;
      exitStatus_ = service_.terminate();
      io_.stop();
    });
  }

  int exitStatus() const { return exitStatus_; }

  ~Server() {
    if (listening_) ::unlink(options_.socketPath.c_str());
  }

 private:
  void accept();
  bool fail(const std::string& why) {
    log_.write("KelvaneProxyHelper: cannot listen on " + options_.socketPath + ": " + why);
    return false;
  }

  asio::io_context& io_;
  HelperService& service_;
  const ServerOptions& options_;
  HelperLog& log_;
  asio::steady_timer timer_{io_};
  asio::steady_timer acceptRetry_{io_};
  asio::local::stream_protocol::acceptor acceptor_{io_};
  asio::signal_set signals_{io_};
  ConnectionID nextID_ = 1;
  bool listening_ = false;
  int exitStatus_ = 0;
};

bool Server::listen() {
  const std::string& path = options_.socketPath;
  std::error_code fsError;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, fsError);
  struct stat info {};
  // Only a socket left by an earlier run is removed; anything else is a mistake to report.
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) return fail("the path exists and is not a socket");
    ::unlink(path.c_str());
  }
  asio::error_code ec;
  if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path))
    return fail("the path is empty or too long");
  const asio::local::stream_protocol::endpoint endpoint(path);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (ec) return fail(ec.message());
  listening_ = true;
  // Anyone may connect; the admission checks decide who is served.
  if (::chmod(path.c_str(), 0666) != 0) return fail("cannot set the socket's permissions");
  acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return fail(ec.message());
  accept();
  return true;
}

void Server::accept() {
  acceptor_.async_accept([this](asio::error_code ec, Socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {  // out of descriptors, say: try again shortly instead of spinning
      acceptRetry_.expires_after(std::chrono::seconds(1));
      acceptRetry_.async_wait([this](asio::error_code waitError) {
        if (!waitError) accept();
      });
      return;
    }
    if (service_.shouldAcceptNewConnection(Admission::peerOf(socket.native_handle())))
      std::make_shared<Session>(std::move(socket), service_, nextID_++)->read();
    accept();
  });
}

}  // namespace

int runHelperServer(HelperService& service, const ServerOptions& options, HelperLog& log) {
  asio::io_context io(1);
  Server server(io, service, options, log);
  service.restoreLeftover();
  server.startTimer();
  if (!server.listen()) return 1;
  ::signal(SIGTERM, SIG_IGN);  // until the handler below takes over
  server.handleTermination();
  io.run();
  return server.exitStatus();
}

}  // namespace kelvane
