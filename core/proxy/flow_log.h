#pragma once
// FlowLog: folds the proxy engine's events into a bounded, ordered list of
// flows. Two limits bound memory: a flow count (the oldest flows are evicted
// whole) and a body byte count (the oldest flows lose their bodies but stay
// listed). Late events of evicted or cleared flows never bring them back.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/proxy/flow.h"
#include "core/proxy/proxy_event.h"
#include "core/support/date.h"

namespace kelvane {

// A plain value: the owner serialises access (the application applies events
// on its main thread).
class FlowLog {
 public:
  using Clock = std::function<Date()>;

  // Keeps at most `maxFlows` flows and about `maxBodyBytes` body bytes (the
  // newest flow keeps its bodies even when they alone exceed the limit). A
  // limit of 0 or below keeps no flows or no bodies. `clock` dates errors
  // whose request was never seen.
  FlowLog(int64_t maxFlows, int64_t maxBodyBytes, Clock clock = &Date::now);

  int64_t maxFlows() const { return maxFlows_; }
  int64_t maxBodyBytes() const { return maxBodyBytes_; }
  // Returns the flows by their offset ID.
  const std::unordered_map<uint64_t, Flow>& byID() const { return byID_; }
  // Returns the body bytes held by all flows together.
  int64_t bodyBytes() const { return bodyBytes_; }

  // Folds one event into the log. Events that cannot be placed (a WebSocket
  // message for an unknown flow, a late response or error for an evicted or
  // cleared flow) are dropped; ca, ready, device and stopped change nothing.
  void apply(ProxyEvent event);
  // Applies each event in order.
  void apply(std::vector<ProxyEvent> events);

  // Returns copies of the flows, oldest first.
  std::vector<Flow> flows() const;
  // Returns the flow with this offset ID, or nullptr; valid until the next change.
  const Flow* flow(uint64_t id) const;
  // Returns the offset ID a request, response, error, tunnel or WebSocket
  // message would have now; nullopt for the other events.
  std::optional<uint64_t> flowID(const ProxyEvent& event) const;

  // Starts a new engine session: its IDs are offset past every ID seen so far.
  void newSession();
  // Drops every flow; late responses and errors for them are then ignored,
  // while IDs keep counting on.
  void clear();

  // Checks the bookkeeping: order and byID hold the same flows, order is
  // sorted by seq, bodyBytes is their sum, and nothing before the strip
  // cursor holds body bytes. For tests and the fuzzer.
  bool invariantsHold() const;

 private:
  struct Slot {
    Flow& flow;
    int64_t before;  // The flow's body bytes before the change.
    bool inserted;
  };
  Slot slot(uint64_t id, Date started);
  void applyRequest(ProxyRequest&& request);
  void applyResponse(ProxyResponse&& response);
  void applyError(ProxyEvent::Error&& error);
  void applyTunnel(const ProxyTunnel& tunnel);
  void applyMessage(ProxyWSMessage&& message);
  bool isLate(const ProxyEvent& event) const;
  void settle(Flow& flow, int64_t before);
  void trim();
  void evictOldest(size_t count);
  std::unordered_map<uint64_t, Flow>::node_type recycleOldest(uint64_t id);
  static void strip(Flow& flow);

  int64_t maxFlows_;
  int64_t maxBodyBytes_;
  Clock clock_;
  std::unordered_map<uint64_t, Flow> byID_;
  int64_t bodyBytes_ = 0;
  std::deque<uint64_t> order_;  // First-insertion order, oldest first.
  int64_t stripFrom_ = 0;       // Index in order_ of the next flow whose bodies may go.
  uint64_t passedSeq_ = 0;      // Flows with a seq below this have been stripped.
  uint64_t nextSeq_ = 0;
  uint64_t base_ = 0;  // Offset added to engine IDs in the current session.
  uint64_t highestID_ = 0;
  std::optional<uint64_t> highestEvicted_;  // Highest ID evicted or cleared.
};

}  // namespace kelvane
