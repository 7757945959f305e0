#include "core/proxy/flow.h"

namespace kelvane {

std::optional<int64_t> Flow::status() const {
  if (!response) return std::nullopt;
  return response->status;
}

std::optional<double> Flow::duration() const {
  if (!response) return std::nullopt;
  return response->at - started;
}

int64_t Flow::size() const {
  return (request ? request->bodyLength : 0) + (response ? response->bodyLength : 0) +
         messageLength;
}

int64_t Flow::bodyBytes() const {
  return int64_t(request ? request->body.size() : 0) +
         int64_t(response ? response->body.size() : 0) + messageBytes;
}

void Flow::append(ProxyWSMessage message) {
  if (bodiesDropped) std::vector<uint8_t>().swap(message.data);  // Frees the bytes too.
  messageBytes += int64_t(message.data.size());
  messageLength += message.length;
  messages.push_back(std::move(message));
}

std::string_view kindName(Flow::Kind kind) {
  switch (kind) {
    case Flow::Kind::http:
      return "http";
    case Flow::Kind::tunnel:
      return "tunnel";
    case Flow::Kind::websocket:
      return "websocket";
  }
  return "http";
}

}  // namespace kelvane
