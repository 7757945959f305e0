#include "cli/control_server.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

namespace kelvane {
namespace {

using Protocol = asio::local::stream_protocol;

class Session;

}  // namespace

struct ControlServer::State : std::enable_shared_from_this<ControlServer::State> {
  State(asio::io_context& context, Handler h, Notice n, Options o)
      : io(context),
        acceptor(context),
        retry(context),
        handler(std::move(h)),
        notice(std::move(n)),
        options(o) {}

  void accept();
  void tell(const std::string& text) const {
    if (notice) notice(text);
  }
  size_t open() {
    std::erase_if(sessions, [](const std::weak_ptr<Session>& s) { return s.expired(); });
    return sessions.size();
  }

  asio::io_context& io;
  Protocol::acceptor acceptor;
  asio::steady_timer retry;  // Paces accepting again after an error (no descriptors left).
  Handler handler;
  Notice notice;
  Options options;
  std::vector<std::weak_ptr<Session>> sessions;
  bool closed = false;
};

namespace {

// One client connection: reads lines, answers them one at a time in order,
// and reads no further while a request waits for its reply, so a client that
// sends much and reads nothing holds at most one buffer of it.
class Session final : public std::enable_shared_from_this<Session> {
 public:
  Session(Protocol::socket socket, std::shared_ptr<ControlServer::State> server)
      : socket_(std::move(socket)),
        timer_(server->io),
        reader_(server->options.maxRequestBytes),
        server_(std::move(server)) {}

  void start(bool admit, const std::string& refusal) {
    touch();
    if (!admit) {
      closeAfterWrite_ = true;
      send(Control::errorReply(refusal));
      return;
    }
    read();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    std::error_code ec;
    socket_.shutdown(Protocol::socket::shutdown_both, ec);
    socket_.close(ec);
    timer_.cancel();
  }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](std::error_code ec, size_t n) {
                              if (ec) return self->close();
                              self->touch();
                              for (auto& line : self->reader_.feed({self->buffer_.data(), n}))
                                self->pending_.push_back(std::move(line));
                              self->next();
                            });
  }

  void next() {
    if (closed_ || waiting_ || writing_) return;
    if (pending_.empty()) return read();
    const auto line = std::move(pending_.front());
    pending_.pop_front();
    if (!line) {
      send(Control::errorReply("request too long: the limit is " +
                               std::to_string(server_->options.maxRequestBytes) + " bytes"));
      return;
    }
    auto request = Control::parseRequest(*line);
    if (!request) {
      send(Control::errorReply(request.error()));
      return;
    }
    waiting_ = true;
    server_->handler(*request, reply());
  }

  // The reply function for the request being handled: once only, always on
  // the server's thread, and nothing when the connection was closed meanwhile.
  // It keeps the connection until it is called or dropped.
  ControlServer::Reply reply() {
    auto answered = std::make_shared<bool>(false);
    return [self = shared_from_this(), answered](nlohmann::json value) {
      if (*answered) return;
      *answered = true;
      asio::post(self->server_->io, [self, value = std::move(value)]() mutable {
        if (self->closed_) return;
        self->waiting_ = false;
        self->send(std::move(value));
      });
    };
  }

  void send(const nlohmann::json& value) {
    writing_ = true;
    outgoing_ = Control::line(value);
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self = shared_from_this()](std::error_code ec, size_t) {
                        self->writing_ = false;
                        if (ec || self->closeAfterWrite_) return self->close();
                        self->touch();
                        self->next();
                      });
  }

  // Restarts the idle clock.
  void touch() {
    if (closed_) return;
    timer_.expires_after(server_->options.idleTimeout);
    timer_.async_wait([weak = weak_from_this()](std::error_code ec) {
      if (ec) return;  // Restarted or closed.
      const auto self = weak.lock();
      if (!self) return;
      if (self->waiting_) return self->touch();
      self->close();
    });
  }

  Protocol::socket socket_;
  asio::steady_timer timer_;
  Control::LineReader reader_;
  std::shared_ptr<ControlServer::State> server_;
  std::array<char, 4096> buffer_{};
  std::deque<std::optional<std::string>> pending_;
  std::string outgoing_;
  bool waiting_ = false;  // A request is with the handler.
  bool writing_ = false;
  bool closeAfterWrite_ = false;
  bool closed_ = false;
};

// Clears the way for a new socket at `path`: nothing there, or a socket of this
// user that nobody answers on any more (an agent that ended without removing
// it). Anything else stays and is reported.
Result<void, std::string> clearStaleSocket(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return {};
    return Unexpected("cannot look at " + path + ": " + std::strerror(errno));
  }
  if (!S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid())
    return Unexpected(path + " is in the way and is not a socket of this user");
  asio::io_context probe;
  Protocol::socket socket(probe);
  std::error_code ec;
  socket.connect(Protocol::endpoint(path), ec);
  if (!ec) return Unexpected("another agent answers at " + path);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    return Unexpected("cannot remove the old socket " + path + ": " + std::strerror(errno));
  return {};
}

}  // namespace

void ControlServer::State::accept() {
  acceptor.async_accept([self = shared_from_this()](std::error_code ec, Protocol::socket socket) {
    if (self->closed) return;
    if (ec) {
      self->tell(std::string("cannot accept a client: ") + ec.message());
      self->retry.expires_after(std::chrono::milliseconds(200));
      self->retry.async_wait([self](std::error_code waited) {
        if (!waited && !self->closed) self->accept();
      });
      return;
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool known =
        ::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    auto session = std::make_shared<Session>(std::move(socket), self);
    if (!known || peer.uid != ::geteuid()) {
      self->tell("refused a client of user " + (known ? std::to_string(peer.uid) : "unknown") +
                 (known ? " (process " + std::to_string(peer.pid) + ")" : ""));
      session->start(false, "refused: this agent answers its own user only");
    } else if (self->open() >= self->options.maxClients) {
      self->tell("refused a client: " + std::to_string(self->options.maxClients) +
                 " connections are open");
      session->start(false, "busy: too many connections, try again");
    } else {
      self->sessions.push_back(session);
      session->start(true, {});
    }
    self->accept();
  });
}

Result<std::unique_ptr<ControlServer>, std::string> ControlServer::listen(
    asio::io_context& io, std::string path, Handler handler, Notice notice, Options options) {
  if (auto cleared = clearStaleSocket(path); !cleared) return Unexpected(cleared.error());
  std::unique_ptr<ControlServer> server(new ControlServer(path));
  server->state_ =
      std::make_shared<State>(io, std::move(handler), std::move(notice), std::move(options));
  auto& acceptor = server->state_->acceptor;
  std::error_code ec;
  acceptor.open(Protocol(), ec);
  if (!ec) {
    // The socket is born with mode 0600: nobody else may connect even for the
    // moment before its mode is set.
    const mode_t mask = ::umask(0177);
    acceptor.bind(Protocol::endpoint(path), ec);
    ::umask(mask);
  }
  if (ec) return Unexpected("cannot listen at " + path + ": " + ec.message());
  if (::chmod(path.c_str(), 0600) != 0 || (acceptor.listen(64, ec), ec)) {
    const std::string why = ec ? ec.message() : std::strerror(errno);
    ::unlink(path.c_str());
    return Unexpected("cannot listen at " + path + ": " + why);
  }
  server->state_->accept();
  return server;
}

ControlServer::~ControlServer() {
  if (!state_) return;
  state_->closed = true;
  std::error_code ec;
  state_->acceptor.close(ec);
  state_->retry.cancel();
  for (const auto& weak : state_->sessions)
    if (const auto session = weak.lock()) session->close();
  ::unlink(path_.c_str());
}

size_t ControlServer::clients() const { return state_ ? state_->open() : 0; }

}  // namespace kelvane
