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
         int64_t(response ? response->body.size() : 0) + messageBytes +
         int64_t(messages.size()) * kMessageRecordBytes;
}

bool Flow::complete() const { return kind == Kind::tunnel || (request && (response || error)); }

void Flow::append(ProxyWSMessage message) {
  messageLength += message.length;
  if (bodiesDropped) {
    ++messagesDropped;
    return;
  }
  messageBytes += int64_t(message.data.size());
  messages.push_back(std::move(message));
}

void Flow::dropOldestMessage() {
  if (messages.empty()) return;
  messageBytes -= int64_t(messages.front().data.size());
  messages.pop_front();
  ++messagesDropped;
}

// Swapping with empty vectors hands the memory back; assigning {} would keep
// the capacity and so the bytes the limit is meant to free.
void Flow::dropBodies() {
  if (request) std::vector<uint8_t>().swap(request->body);
  if (response) std::vector<uint8_t>().swap(response->body);
  messagesDropped += messages.size();
  messages.clear();
  messageBytes = 0;
  bodiesDropped = true;
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
