#pragma once
// SpeedServer: one server a speed test can run against, as read from the
// server list the host fetches.
#include <string>
#include <string_view>
#include <vector>

#include "core/support/result.h"

namespace kelvane {

struct SpeedServer {
  std::string host;  // The server's address, with its port when it has one.
  bool operator==(const SpeedServer&) const = default;

  // Reads a JSON array of objects with a "host" text and keeps, in order, the
  // servers whose host is neither empty nor starts with ":". Text that is not
  // such an array gives an error message instead; nothing throws.
  [[nodiscard]] static Result<std::vector<SpeedServer>, std::string> decode(std::string_view data);
};

}  // namespace kelvane
