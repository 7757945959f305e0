#include "cli/control_client.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "cli/control_protocol.h"

namespace kelvane {

std::optional<ControlClient> ControlClient::connect(const std::string& path) {
  sockaddr_un address{.sun_family = AF_UNIX};
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::nullopt;
  int rc = 0;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::nullopt;
  return ControlClient(std::move(fd));
}

bool ControlClient::sendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

Result<std::string, std::string> ControlClient::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    if (buffered_.size() > Control::kMaxReplyBytes)
      return Unexpected<std::string>("the agent's reply is too long");
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Unexpected<std::string>("the agent did not answer in time");
    pollfd p{.fd = fd_.get(), .events = POLLIN};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0)
      return Unexpected(std::string("cannot wait for the agent: ") + std::strerror(errno));
    if (ready == 0) continue;
    char chunk[65536];
    const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Unexpected<std::string>("the agent closed the connection");
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

Result<nlohmann::json, std::string> ControlClient::request(const nlohmann::json& request,
                                                           std::chrono::milliseconds timeout) {
  // An agent that turns a client away says why and closes, maybe before the
  // request is sent: its answer is read all the same.
  const bool sent = sendRaw(Control::line(request));
  const auto text = readLine(sent ? timeout : std::min(timeout, std::chrono::milliseconds(1000)));
  if (!text) return Unexpected(text.error());
  auto reply = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (reply.is_discarded() || !reply.is_object())
    return Unexpected<std::string>("the agent answered something that is not a JSON object");
  return reply;
}

}  // namespace kelvane
