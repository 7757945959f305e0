#pragma once
// ControlClient: the commands' side of the agent's control socket. One
// connection, one request line at a time, each waited for with a time-out.
#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/support/file_io.h"
#include "core/support/result.h"

namespace kelvane {

// Blocking; one thread at a time.
class ControlClient final {
 public:
  // Connects to the agent listening at `path`; nullopt when none does (no
  // socket there, or nobody accepts on it).
  [[nodiscard]] static std::optional<ControlClient> connect(const std::string& path);

  // Sends `request` and waits up to `timeout` for its reply line. Fails with
  // a reason when the agent goes away, does not answer in time, or answers
  // something that is not a JSON object.
  [[nodiscard]] Result<nlohmann::json, std::string> request(const nlohmann::json& request,
                                                            std::chrono::milliseconds timeout);

  // Sends raw bytes as they are (for tests of the agent's framing).
  [[nodiscard]] bool sendRaw(std::string_view bytes);
  // Reads the next reply line as it is, up to `timeout`.
  [[nodiscard]] Result<std::string, std::string> readLine(std::chrono::milliseconds timeout);

 private:
  explicit ControlClient(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;
  std::string buffered_;  // Bytes read past the last line.
};

}  // namespace kelvane
