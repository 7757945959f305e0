#include "helper/helper_server.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

#include <asio.hpp>

namespace kelvane {
namespace {

using Socket = asio::local::stream_protocol::socket;

// Bytes taken from the socket at a time.
constexpr std::size_t kReadChunk = 16 << 10;

// The process that wrote what a read returned, from the credentials the kernel
// attaches once the listener asks for them; nullopt when none came.
std::optional<int32_t> writerOf(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS ||
        c->cmsg_len < CMSG_LEN(sizeof(ucred)))
      continue;
    ucred credentials{};
    std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
    if (credentials.pid > 0) return credentials.pid;
  }
  return std::nullopt;
}

// One admitted client connection: greets the client, then reads request lines
// and answers each in turn. Its closing is the connection's invalidation,
// reported to the service once.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Socket socket, HelperService& service, HelperLog& log, ConnectionID id, PeerIdentity peer,
          std::chrono::milliseconds idleTimeout)
      : socket_(std::move(socket)),
        service_(service),
        log_(log),
        id_(id),
        peer_(peer),
        idleTimeout_(idleTimeout),
        idle_(socket_.get_executor()) {}

  // Greets the client, or refuses it when it has written already. Bytes waiting
  // now were written before the admission checks looked at the process, which
  // may have run another program then: a request must come from the program
  // admitted, so it may only write once greeted.
  void start() {
    char byte = 0;
    const ssize_t n = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return refuse(Admission::kSpokeFirst);
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return close();  // gone already
    armIdle();
    write(HelperProtocol::greeting(), /*thenClose=*/false);
  }

 private:
  void awaitBytes() {
    socket_.async_wait(Socket::wait_read, [self = shared_from_this()](asio::error_code ec) {
      if (ec) return self->close();
      self->readBytes();
    });
  }

  // Takes what one writer wrote (the kernel never joins two writers' bytes in
  // one read) and refuses it unless the admitted process wrote it, not a child
  // or another process the connection was handed to.
  void readBytes() {
    char chunk[kReadChunk];
    // Room for the credentials only: descriptors a client passes are never installed.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec data{chunk, sizeof chunk};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return awaitBytes();
    if (n <= 0) return close();
    if (writerOf(message) != peer_.pid) return refuse(Admission::kOtherWriter);
    pending_.append(chunk, std::size_t(n));
    serveLines();
  }

  // Answers the next complete line, or waits for more bytes.
  void serveLines() {
    const std::size_t end = pending_.find('\n');
    if (end > HelperProtocol::kMaxLineBytes) {
      if (pending_.size() <= HelperProtocol::kMaxLineBytes) return awaitBytes();
      return write(HelperProtocol::encodeError(HelperProtocol::kTooLong), /*thenClose=*/true);
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply = service_.answer(id_, line);
    // The idle time counts from the answer: a request that waited long for the
    // network settings' lock is not a silence.
    armIdle();
    write(std::move(reply), /*thenClose=*/false);
  }

  void write(std::string reply, bool thenClose) {
    auto text = std::make_shared<std::string>(std::move(reply) + "\n");
    writing_ = true;
    asio::async_write(
        socket_, asio::buffer(*text),
        [self = shared_from_this(), text, thenClose](asio::error_code ec, std::size_t) {
          self->writing_ = false;
          if (ec || thenClose) return self->close();
          self->serveLines();
        });
  }

  void armIdle() {
    idle_.expires_after(idleTimeout_);
    idle_.async_wait([self = shared_from_this()](asio::error_code ec) {
      if (!ec) self->onIdle();
    });
  }

  // The connection made no request for the idle time: it is closed unless its
  // client holds the switch, whose connection lasts as long as the client wants.
  void onIdle() {
    if (closed_) return;
    if (service_.holdsSwitch(id_)) return armIdle();
    // A client that does not read its replies gets no further line.
    if (writing_) return close();
    write(HelperProtocol::encodeError(HelperProtocol::kIdle), /*thenClose=*/true);
  }

  void refuse(std::string_view line) {
    log_.write(line);
    close();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    idle_.cancel();
    asio::error_code ignored;
    socket_.close(ignored);
    service_.invalidated(id_);
  }

  Socket socket_;
  HelperService& service_;
  HelperLog& log_;
  ConnectionID id_;
  PeerIdentity peer_;
  std::chrono::milliseconds idleTimeout_;
  asio::steady_timer idle_;
  std::string pending_;  // bytes received and not yet answered
  bool writing_ = false;
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
  // Every read then says which process wrote it, also for bytes written before
  // a connection is accepted; accepted sockets inherit the option.
  const int on = 1;
  if (::setsockopt(acceptor_.native_handle(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
    return fail("cannot ask for the credentials of writers");
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
    const ConnectionID id = nextID_++;
    const auto peer = Admission::peerOf(socket.native_handle());
    if (service_.shouldAcceptNewConnection(id, peer))
      std::make_shared<Session>(std::move(socket), service_, log_, id, *peer, options_.idleTimeout)
          ->start();
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
