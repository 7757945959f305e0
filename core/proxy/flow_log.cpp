#include "core/proxy/flow_log.h"

#include <algorithm>
#include <string_view>

#include "core/support/text.h"
#include "core/support/url.h"

namespace kelvane {
namespace {

// The engine ID of events that belong to a flow.
std::optional<uint64_t> engineID(const ProxyEvent& event) {
  if (const auto* r = event.as<ProxyRequest>()) return r->id;
  if (const auto* r = event.as<ProxyResponse>()) return r->id;
  if (const auto* e = event.as<ProxyEvent::Error>()) return e->id;
  if (const auto* t = event.as<ProxyTunnel>()) return t->id;
  if (const auto* m = event.as<ProxyWSMessage>()) return m->id;
  return std::nullopt;
}

void rebase(ProxyEvent& event, uint64_t base) {
  std::visit(
      [base](auto& payload) {
        if constexpr (requires { payload.id; }) payload.id += base;  // IDs wrap, never trap.
      },
      event.value);
}

bool upgradesToWebSocket(const std::vector<ProxyHeader>& headers) {
  return std::any_of(headers.begin(), headers.end(), [](const ProxyHeader& h) {
    return Text::equalsIgnoringASCIICase(h.name, "upgrade") &&
           Text::equalsIgnoringASCIICase(h.value, "websocket");
  });
}

// Fetches the heap blocks a flow's destruction will free. The oldest flow has
// long left the caches, and freeing its dozen or so blocks one cold miss after
// another dominated the cost of a full log. Reading the first byte of every
// block up front lets the misses overlap (and fills the address translation
// cache, without which a prefetch alone is often dropped); the allocator's
// size word just before the block is prefetched as well.
class Warmer {
 public:
  void block(const void* data) {
    const auto* p = static_cast<const unsigned char*>(data);
    __builtin_prefetch(p - sizeof(size_t), 1);
    sum_ += *static_cast<const volatile unsigned char*>(p);
  }
  void text(const std::string& text) {
    if (text.capacity() > 15) block(text.data());  // Longer texts live on the heap.
  }
  template <class Message>
  void message(const std::optional<Message>& message) {
    if (!message) return;
    if (!message->headers.empty()) block(message->headers.data());
    for (const auto& header : message->headers) {
      text(header.name);
      text(header.value);
    }
    if (!message->body.empty()) block(message->body.data());
  }
  void flow(const Flow& flow) {
    for (const auto* t : {&flow.client, &flow.method, &flow.url, &flow.host, &flow.path}) text(*t);
    message(flow.request);
    message(flow.response);
    if (!flow.messages.empty()) block(flow.messages.data());
  }

 private:
  unsigned sum_ = 0;
};

void fillHostAndPath(Flow& flow) {
  // Assigned, not moved in: a recycled flow's buffers are reused.
  const auto url = Url::parse(flow.url);
  flow.host.assign(url && url->host ? *url->host : std::string_view());
  flow.path.assign(url ? url->path : std::string_view());
  if (url && url->query) flow.path.append("?").append(*url->query);
}

}  // namespace

FlowLog::FlowLog(int64_t maxFlows, int64_t maxBodyBytes, Clock clock)
    : maxFlows_(maxFlows), maxBodyBytes_(maxBodyBytes), clock_(std::move(clock)) {}

void FlowLog::apply(ProxyEvent event) {
  rebase(event, base_);
  if (const auto id = engineID(event)) highestID_ = std::max(highestID_, *id);
  if (isLate(event)) return;
  if (auto* r = std::get_if<ProxyRequest>(&event.value)) return applyRequest(std::move(*r));
  if (auto* r = std::get_if<ProxyResponse>(&event.value)) return applyResponse(std::move(*r));
  if (auto* e = std::get_if<ProxyEvent::Error>(&event.value)) return applyError(std::move(*e));
  if (const auto* t = event.as<ProxyTunnel>()) return applyTunnel(*t);
  if (auto* m = std::get_if<ProxyWSMessage>(&event.value)) return applyMessage(std::move(*m));
}

void FlowLog::apply(std::vector<ProxyEvent> events) {
  for (auto& event : events) apply(std::move(event));
}

bool FlowLog::isLate(const ProxyEvent& event) const {
  if (!highestEvicted_) return false;
  if (!event.as<ProxyResponse>() && !event.as<ProxyEvent::Error>()) return false;
  const uint64_t id = *engineID(event);
  return id <= *highestEvicted_ && !byID_.contains(id);
}

// Finds the flow with this ID, or adds a new one at the end of the order.
FlowLog::Slot FlowLog::slot(uint64_t id, Date started) {
  if (const auto it = byID_.find(id); it != byID_.end()) {
    return {it->second, it->second.bodyBytes(), false};
  }
  const auto it = maxFlows_ >= 1 && int64_t(order_.size()) >= maxFlows_
                      ? byID_.insert(recycleOldest(id)).position
                      : byID_.try_emplace(id).first;
  Flow& flow = it->second;
  flow.id = id;
  flow.started = started;
  flow.seq = nextSeq_++;
  order_.push_back(id);
  return {flow, 0, true};
}

void FlowLog::applyRequest(ProxyRequest&& request) {
  auto [flow, before, inserted] = slot(request.id, request.at);
  flow.pid = request.pid;
  flow.client = request.client;
  flow.method = request.method;
  flow.url = request.url;
  flow.started = request.at;
  fillHostAndPath(flow);
  if (upgradesToWebSocket(request.headers)) flow.kind = Flow::Kind::websocket;
  flow.request = std::move(request);
  settle(flow, before);
  trim();
}

void FlowLog::applyResponse(ProxyResponse&& response) {
  auto [flow, before, inserted] = slot(response.id, response.at);
  if (inserted) flow.method = "GET";  // A placeholder until the request turns up.
  flow.response = std::move(response);
  settle(flow, before);
  trim();
}

void FlowLog::applyError(ProxyEvent::Error&& error) {
  auto [flow, before, inserted] = slot(error.id, Date());
  if (inserted) {
    flow.method = "GET";
    flow.started = clock_();
  }
  flow.error = std::move(error.message);
  settle(flow, before);
  trim();
}

void FlowLog::applyTunnel(const ProxyTunnel& tunnel) {
  auto [flow, before, inserted] = slot(tunnel.id, tunnel.at);
  Flow fresh;
  fresh.id = tunnel.id;
  fresh.kind = Flow::Kind::tunnel;
  fresh.pid = tunnel.pid;
  fresh.client = tunnel.client;
  fresh.method = "CONNECT";
  fresh.url = tunnel.host + ":" + std::to_string(tunnel.port);
  fresh.host = tunnel.host;
  fresh.started = tunnel.at;
  fresh.seq = flow.seq;  // A replaced flow keeps its place.
  flow = std::move(fresh);
  settle(flow, before);
  trim();
}

void FlowLog::applyMessage(ProxyWSMessage&& message) {
  const auto it = byID_.find(message.id);
  if (it == byID_.end()) return;
  const int64_t before = it->second.bodyBytes();
  it->second.append(std::move(message));
  settle(it->second, before);
  trim();
}

// Accounts for a flow's change in held bytes; a flow the strip cursor has
// already passed loses its new bodies at once.
void FlowLog::settle(Flow& flow, int64_t before) {
  if (flow.seq < passedSeq_ && flow.bodyBytes() >= 1) strip(flow);
  bodyBytes_ += flow.bodyBytes() - before;
}

void FlowLog::trim() {
  const auto count = int64_t(order_.size());
  if (count > maxFlows_) evictOldest(size_t(std::min(count - maxFlows_, count)));
  if (count >= maxFlows_ && !order_.empty())  // The next new flow evicts the oldest.
    if (const auto it = byID_.find(order_.front()); it != byID_.end()) Warmer().flow(it->second);
  while (bodyBytes_ > maxBodyBytes_) {
    if (stripFrom_ >= int64_t(order_.size()) - 1) break;  // The newest flow keeps its bodies.
    const auto it = byID_.find(order_[size_t(stripFrom_)]);
    ++stripFrom_;
    passedSeq_ = (it != byID_.end() ? it->second.seq : passedSeq_) + 1;
    if (it != byID_.end() && it->second.bodyBytes() >= 1) {
      bodyBytes_ -= it->second.bodyBytes();
      strip(it->second);
    }
  }
}

// Evicts the oldest flow to make room for flow `id` and hands back its map
// entry, emptied, for the new flow: the entry and its texts' buffers are
// reused rather than freed and allocated again.
std::unordered_map<uint64_t, Flow>::node_type FlowLog::recycleOldest(uint64_t id) {
  const uint64_t oldest = order_.front();
  highestEvicted_ = std::max(highestEvicted_.value_or(oldest), oldest);
  order_.pop_front();
  stripFrom_ = std::max<int64_t>(0, stripFrom_ - 1);
  auto node = byID_.extract(oldest);
  if (node.empty()) return byID_.extract(byID_.try_emplace(id).first);
  Flow& flow = node.mapped();
  bodyBytes_ -= flow.bodyBytes();
  for (auto* text : {&flow.client, &flow.method, &flow.url, &flow.host, &flow.path}) text->clear();
  flow.kind = Flow::Kind::http;
  flow.pid.reset();
  flow.request.reset();
  flow.response.reset();
  flow.error.reset();
  flow.messages.clear();
  flow.bodiesDropped = false;
  flow.messageBytes = flow.messageLength = 0;
  node.key() = id;
  return node;
}

void FlowLog::evictOldest(size_t count) {
  uint64_t largest = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t id = order_[i];
    largest = std::max(largest, id);
    if (const auto it = byID_.find(id); it != byID_.end()) {
      bodyBytes_ -= it->second.bodyBytes();
      byID_.erase(it);
    }
  }
  highestEvicted_ = std::max(highestEvicted_.value_or(largest), largest);
  order_.erase(order_.begin(), order_.begin() + std::ptrdiff_t(count));
  stripFrom_ = std::max<int64_t>(0, stripFrom_ - int64_t(count));
}

// Swapping with an empty vector hands the memory back; assigning {} would
// keep the capacity and so the bytes the limit is meant to free.
void FlowLog::strip(Flow& flow) {
  if (flow.request) std::vector<uint8_t>().swap(flow.request->body);
  if (flow.response) std::vector<uint8_t>().swap(flow.response->body);
  for (auto& message : flow.messages) std::vector<uint8_t>().swap(message.data);
  flow.messageBytes = 0;
  flow.bodiesDropped = true;
}

std::vector<Flow> FlowLog::flows() const {
  std::vector<Flow> out;
  out.reserve(order_.size());
  for (const uint64_t id : order_)
    if (const auto it = byID_.find(id); it != byID_.end()) out.push_back(it->second);
  return out;
}

const Flow* FlowLog::flow(uint64_t id) const {
  const auto it = byID_.find(id);
  return it == byID_.end() ? nullptr : &it->second;
}

std::optional<uint64_t> FlowLog::flowID(const ProxyEvent& event) const {
  const auto id = engineID(event);
  if (!id) return std::nullopt;
  return *id + base_;
}

void FlowLog::newSession() { base_ = highestID_; }

void FlowLog::clear() {
  byID_.clear();
  bodyBytes_ = 0;
  order_.clear();
  stripFrom_ = 0;
  passedSeq_ = 0;
  highestEvicted_ = highestID_;
}

bool FlowLog::invariantsHold() const {
  if (order_.size() != byID_.size()) return false;
  int64_t sum = 0;
  for (size_t i = 0; i < order_.size(); ++i) {
    const auto it = byID_.find(order_[i]);
    if (it == byID_.end()) return false;
    // Strictly rising seqs also rule out an ID listed twice.
    if (i > 0 && it->second.seq <= byID_.at(order_[i - 1]).seq) return false;
    if (int64_t(i) < stripFrom_ && it->second.bodyBytes() != 0) return false;
    sum += it->second.bodyBytes();
  }
  return sum == bodyBytes_;
}

}  // namespace kelvane
