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
//
// The log numbers flows itself, 1, 2, 3, ... in the order they first appear;
// within an engine session the engine's ID finds the flow, and a new session
// (the engine restarted and numbers afresh) never reaches an earlier
// session's flows, whatever IDs either session used.
class FlowLog {
 public:
  using Clock = std::function<Date()>;

  // Keeps at most `maxFlows` flows and about `maxBodyBytes` held bytes (the
  // newest flow keeps its bodies and its latest WebSocket message even when
  // they alone exceed the limit). A limit of 0 or below keeps no flows or no
  // bodies. `clock` dates errors whose request was never seen.
  FlowLog(int64_t maxFlows, int64_t maxBodyBytes, Clock clock = &Date::now);

  int64_t maxFlows() const { return maxFlows_; }
  int64_t maxBodyBytes() const { return maxBodyBytes_; }
  // Returns the flows by their ID.
  const std::unordered_map<uint64_t, Flow>& byID() const { return byID_; }
  // Returns the bytes held by all flows together (see Flow::bodyBytes).
  int64_t bodyBytes() const { return bodyBytes_; }

  // Folds one event into the log and returns the flow it changed, valid until
  // the next change; nullptr when it changed none: events that cannot be
  // placed (a WebSocket message for an unknown flow, a late response or error
  // for an evicted or cleared flow) and ca, ready, device and stopped.
  const Flow* apply(ProxyEvent event);
  // Applies each event in order.
  void apply(std::vector<ProxyEvent> events);

  // Returns copies of the flows, oldest first.
  std::vector<Flow> flows() const;
  // Calls `visit` with each flow, oldest first, without copying them.
  void forEach(const std::function<void(const Flow&)>& visit) const;
  // Returns the flow with this ID, or nullptr; valid until the next change.
  const Flow* flow(uint64_t id) const;
  // Returns the ID of the flow a request, response, error, tunnel or
  // WebSocket message belongs to now, or else the ID a new flow would get;
  // nullopt for the other events.
  std::optional<uint64_t> flowID(const ProxyEvent& event) const;

  // Starts a new engine session: the engine's IDs from now on name new flows.
  void newSession();
  // Drops every flow; late responses and errors for them are then ignored,
  // while IDs keep counting on.
  void clear();

  // Checks the bookkeeping: order and byID hold the same flows, order is
  // sorted by seq, bodyBytes is their sum, nothing before the strip cursor
  // holds body bytes, and the session's engine IDs name flows of the log.
  // For tests and the fuzzer.
  bool invariantsHold() const;

 private:
  // A flow's place in the order, with the engine session and ID that name it.
  struct Placed {
    uint64_t id;
    uint64_t session;
    uint64_t engineID;
  };
  struct Slot {
    Flow& flow;
    int64_t before;  // The flow's held bytes before the change.
    bool inserted;
  };
  Flow* existing(uint64_t engineID);
  bool isLate(uint64_t engineID) const;
  Slot slot(uint64_t engineID, Date started, Flow* found);
  Flow* applyRequest(ProxyRequest&& request);
  Flow* applyResponse(ProxyResponse&& response);
  Flow* applyError(ProxyEvent::Error&& error);
  Flow* applyTunnel(const ProxyTunnel& tunnel);
  Flow* applyMessage(ProxyWSMessage&& message);
  void settle(Flow& flow, int64_t before);
  void trim();
  void evictOldest(size_t count);
  void forget(const Placed& placed);
  std::unordered_map<uint64_t, Flow>::node_type recycleOldest(uint64_t id);

  int64_t maxFlows_;
  int64_t maxBodyBytes_;
  Clock clock_;
  std::unordered_map<uint64_t, Flow> byID_;
  int64_t bodyBytes_ = 0;
  std::deque<Placed> order_;  // First-insertion order, oldest first.
  int64_t stripFrom_ = 0;     // Index in order_ of the next flow whose bodies may go.
  uint64_t passedSeq_ = 0;    // Flows with a seq below this have been stripped.
  uint64_t nextSeq_ = 0;
  uint64_t lastID_ = 0;  // The ID handed to the newest flow.
  uint64_t session_ = 0;
  // This session's engine IDs and their flows, which map nodes keep in place.
  std::unordered_map<uint64_t, Flow*> sessionIDs_;
  std::unordered_map<uint64_t, Flow*>::node_type spareID_;  // An entry to reuse.
  std::optional<uint64_t> highestEngineID_;  // The highest engine ID of this session.
  std::optional<uint64_t> highestEvicted_;   // The same, of flows evicted or cleared.
};

}  // namespace kelvane
