#include "platform/linux/devtools_socket.h"

#include <deque>
#include <utility>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

namespace kelvane {
namespace {

using Client = websocketpp::client<websocketpp::config::asio_client>;

// A browser's full tab listing stays far below this; anything larger is not
// an answer we want to hold.
constexpr size_t kMaxMessageBytes = size_t{64} << 20;

}  // namespace

// The io_context is declared first so that it outlives the client and the
// connection, whose sockets and timers are registered with it.
struct DevToolsSocket::State {
  asio::io_context io;
  Client client;
  Client::connection_ptr connection;
  std::deque<std::string> inbox;
  bool opened = false;
  bool closed = false;
  std::string error;

  // Runs handlers until `done` holds, the deadline passes or nothing is left
  // to wait for. Returns `done()`.
  template <class Done>
  bool runUntil(Clock::time_point deadline, Done done) {
    while (!done()) {
      const auto now = Clock::now();
      if (now >= deadline) return false;
      if (io.stopped()) io.restart();
      if (io.run_one_for(deadline - now) == 0 && io.stopped()) {
        closed = true;  // No pending read: the connection is gone.
        return done();
      }
    }
    return true;
  }
};

DevToolsSocket::DevToolsSocket(std::unique_ptr<State> state) : state_(std::move(state)) {}

DevToolsSocket::Opened DevToolsSocket::open(uint16_t port, const std::string& path,
                                            Clock::time_point deadline) {
  auto state = std::make_unique<State>();
  State* s = state.get();
  websocketpp::lib::error_code ec;
  s->client.clear_access_channels(websocketpp::log::alevel::all);
  s->client.clear_error_channels(websocketpp::log::elevel::all);
  s->client.init_asio(&s->io, ec);
  if (ec) return {nullptr, "cannot start the connection: " + ec.message()};
  s->client.set_open_handler([s](websocketpp::connection_hdl) { s->opened = true; });
  s->client.set_fail_handler([s](websocketpp::connection_hdl) {
    s->closed = true;
    s->error = s->connection->get_ec().message();
  });
  s->client.set_close_handler([s](websocketpp::connection_hdl) { s->closed = true; });
  s->client.set_message_handler([s](websocketpp::connection_hdl, Client::message_ptr message) {
    if (message->get_opcode() == websocketpp::frame::opcode::text)
      s->inbox.push_back(std::move(message->get_raw_payload()));
  });
  // Only the loopback address is ever dialled; the path comes from the caller.
  const std::string uri = "ws://127.0.0.1:" + std::to_string(port) + path;
  s->connection = s->client.get_connection(uri, ec);
  if (ec) return {nullptr, "bad endpoint address: " + ec.message()};
  s->connection->set_max_message_size(kMaxMessageBytes);
  s->client.connect(s->connection);
  std::unique_ptr<DevToolsSocket> socket(new DevToolsSocket(std::move(state)));
  if (!s->runUntil(deadline, [s] { return s->opened || s->closed; }))
    return {nullptr, "no answer in time"};
  if (!s->opened) return {nullptr, s->error.empty() ? "the connection was refused" : s->error};
  return {std::move(socket), ""};
}

DevToolsSocket::~DevToolsSocket() {
  // Drop the connection without a closing handshake and let the aborted
  // reads, writes and timers finish, so that no handler outlives the client.
  if (state_->connection && !state_->closed) {
    websocketpp::lib::error_code ec;
    state_->connection->terminate(ec);
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(200);
  state_->io.restart();
  while (Clock::now() < deadline && state_->io.run_one_for(deadline - Clock::now()) > 0) {
  }
  state_->io.stop();
  state_->connection.reset();
}

bool DevToolsSocket::send(const std::string& text) {
  if (state_->closed) return false;
  return !state_->connection->send(text, websocketpp::frame::opcode::text);
}

std::optional<std::string> DevToolsSocket::receive(Clock::time_point deadline) {
  State* s = state_.get();
  if (!s->runUntil(deadline, [s] { return !s->inbox.empty() || s->closed; }) || s->inbox.empty())
    return std::nullopt;
  std::string message = std::move(s->inbox.front());
  s->inbox.pop_front();
  return message;
}

bool DevToolsSocket::isOpen() const { return !state_->closed; }

}  // namespace kelvane
