#include "core/proxy/flow_log.h"

#include <functional>
#include <random>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

std::vector<uint8_t> body(size_t n) { return std::vector<uint8_t>(n, 'x'); }

ProxyEvent request(uint64_t id, std::string url = "http://h/", size_t size = 0,
                   std::vector<ProxyHeader> headers = {}) {
  return {ProxyRequest{id, std::nullopt, "", "POST", std::move(url), "HTTP/1.1", std::move(headers),
                       body(size), int64_t(size), false, Date(100)}};
}

ProxyEvent response(uint64_t id, size_t size = 0, int64_t status = 200) {
  return {ProxyResponse{id, status, "HTTP/1.1", {}, body(size), int64_t(size), false, Date(102.5)}};
}

ProxyEvent message(uint64_t id, size_t size) {
  return {ProxyWSMessage{id, true, "text", body(size), int64_t(size), Date(103)}};
}

FlowLog makeLog(int64_t maxFlows, int64_t maxBodyBytes) {
  return FlowLog(maxFlows, maxBodyBytes, [] { return Date(5000); });
}

std::vector<uint64_t> ids(const FlowLog& log) {
  std::vector<uint64_t> out;
  for (const auto& f : log.flows()) out.push_back(f.id);
  return out;
}

TEST(FlowLog, ResponseBeforeRequestFillsThePlaceholder) {
  auto log = makeLog(10, 1000);
  const Flow placeholder = *log.apply(response(4, 3, 201));
  EXPECT_EQ(placeholder.method, "GET");
  EXPECT_EQ(placeholder.url, "");
  EXPECT_EQ(placeholder.started, Date(102.5));
  EXPECT_FALSE(placeholder.complete());  // A response alone is not an exchange.
  const Flow& flow = *log.apply(request(4, "http://api.example.com/a%20b?x=1&y", 2));
  EXPECT_EQ(flow.id, placeholder.id);
  EXPECT_TRUE(flow.complete());
  EXPECT_EQ(flow.method, "POST");
  EXPECT_EQ(flow.host, "api.example.com");
  EXPECT_EQ(flow.path, "/a%20b?x=1&y");
  EXPECT_EQ(flow.status(), 201);
  EXPECT_EQ(flow.duration(), 2.5);
  EXPECT_EQ(flow.size(), 5);
  EXPECT_EQ(log.bodyBytes(), 5);
  // An error for an unseen flow: dated now.
  const Flow* refused = log.apply({ProxyEvent::Error{8, "refused"}});
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->started, Date(5000));
  EXPECT_EQ(refused->error, "refused");
}

TEST(FlowLog, RequestDerivesHostPathAndKind) {
  auto log = makeLog(10, 1000);
  log.apply(request(1, "not a url"));
  log.apply(request(2, "http://h?"));
  log.apply(request(3, "ws://h/chat", 0, {{"Host", "h"}, {"UPGRADE", "WebSocket"}}));
  log.apply(request(4, "http://h/", 0, {{"Upgrade", "h2c"}}));
  log.apply({ProxyTunnel{5, 77, "app", "h", 443, Date(9)}});
  EXPECT_EQ(log.flow(1)->host, "");
  EXPECT_EQ(log.flow(1)->path, "");
  EXPECT_EQ(log.flow(2)->path, "?");  // An empty query still shows its "?".
  EXPECT_EQ(log.flow(3)->kind, Flow::Kind::websocket);
  EXPECT_EQ(log.flow(4)->kind, Flow::Kind::http);
  EXPECT_EQ(log.flow(5)->kind, Flow::Kind::tunnel);
  EXPECT_EQ(log.flow(5)->method, "CONNECT");
  EXPECT_EQ(log.flow(5)->url, "h:443");
}

TEST(FlowLog, EvictsOldestAndIgnoresTheirLateEvents) {
  auto log = makeLog(2, 1000);
  log.apply({request(1, "http://h/", 10), request(2), request(3)});
  EXPECT_EQ(ids(log), (std::vector<uint64_t>{2, 3}));
  EXPECT_EQ(log.bodyBytes(), 0);
  EXPECT_EQ(log.apply(response(1)), nullptr);
  EXPECT_EQ(log.apply({ProxyEvent::Error{1, "late"}}), nullptr);
  EXPECT_EQ(log.apply(message(1, 4)), nullptr);
  EXPECT_EQ(log.flow(1), nullptr);
  EXPECT_EQ(ids(log), (std::vector<uint64_t>{2, 3}));
  // A response for a flow never seen, above every evicted ID, gets a placeholder
  // (which evicts 2 in turn) under the next ID.
  log.apply(response(9));
  EXPECT_EQ(ids(log), (std::vector<uint64_t>{3, 4}));
  // An old ID that comes back as a new request is a new flow.
  log.apply(request(1));
  EXPECT_EQ(ids(log), (std::vector<uint64_t>{4, 5}));
}

// The flow that takes an evicted flow's place starts empty, whatever the old one held.
TEST(FlowLog, ANewFlowInheritsNothingFromTheOneItReplaces) {
  auto log = makeLog(1, 1000);
  log.apply({request(1, "http://old.example/ws?q=1", 10, {{"Upgrade", "websocket"}}),
             response(1, 5), ProxyEvent{ProxyEvent::Error{1, "reset"}}, message(1, 3)});
  log.apply(request(2, "http://new.example/"));
  ASSERT_EQ(ids(log), (std::vector<uint64_t>{2}));
  Flow expected{.id = 2,
                .method = "POST",
                .url = "http://new.example/",
                .host = "new.example",
                .path = "/",
                .started = Date(100),
                .seq = 1};
  expected.request = std::get<ProxyRequest>(request(2, "http://new.example/").value);
  EXPECT_EQ(*log.flow(2), expected);
  EXPECT_EQ(log.bodyBytes(), 0);
  EXPECT_TRUE(log.invariantsHold());
}

TEST(FlowLog, StripsOldBodiesButNeverTheNewestAndKeepsSizes) {
  auto log = makeLog(10, 100);
  log.apply({request(1, "http://h/", 60), response(1, 30), request(2, "http://h/", 50)});
  // 140 bytes: the oldest loses its bodies, and their memory.
  EXPECT_TRUE(log.flow(1)->bodiesDropped);
  EXPECT_EQ(log.flow(1)->request->body.capacity() + log.flow(1)->response->body.capacity(), 0u);
  EXPECT_EQ(log.flow(1)->size(), 90);
  EXPECT_EQ(log.bodyBytes(), 50);
  log.apply(request(3, "http://h/", 500));  // Alone above the limit, but the newest.
  EXPECT_FALSE(log.flow(3)->bodiesDropped);
  EXPECT_EQ(log.flow(3)->request->body.size(), 500u);
  EXPECT_TRUE(log.flow(2)->bodiesDropped);
  EXPECT_EQ(log.bodyBytes(), 500);
  // A response for a flow the cursor already passed loses its body at once.
  log.apply(response(2, 40));
  EXPECT_TRUE(log.flow(2)->response->body.empty());
  EXPECT_EQ(log.flow(2)->size(), 90);
  EXPECT_EQ(log.bodyBytes(), 500);
  EXPECT_TRUE(log.invariantsHold());
}

TEST(FlowLog, WebSocketMessagesOnAStrippedFlowCountOnlyTheirLength) {
  constexpr int64_t kRecord = Flow::kMessageRecordBytes;
  auto log = makeLog(10, 15 + kRecord);
  log.apply({request(1, "ws://h/", 0, {{"upgrade", "websocket"}}), message(1, 8),
             request(2, "http://h/", 5)});
  EXPECT_EQ(log.apply(message(7, 3)), nullptr);  // No such flow: dropped.
  EXPECT_EQ(log.flow(1)->messageBytes, 8);
  log.apply(message(1, 6));  // 19 bytes and two records: flow 1 is stripped.
  EXPECT_TRUE(log.flow(1)->bodiesDropped);
  log.apply(message(1, 4));
  EXPECT_EQ(log.flow(1)->messageBytes, 0);
  EXPECT_EQ(log.flow(1)->messageLength, 18);
  EXPECT_EQ(log.flow(1)->messages.size(), 0u);  // The records went with the bodies,
  EXPECT_EQ(log.flow(1)->messagesDropped, 3u);  // and are counted.
  EXPECT_EQ(log.bodyBytes(), 5);
}

// Message records count against the byte limit: a long-lived socket, newest or
// not, holds no more than the limit, dropping its oldest messages first.
TEST(FlowLog, ALongLivedWebSocketStaysWithinTheLimit) {
  constexpr int64_t kLimit = 64 * 1024;
  auto log = makeLog(10, kLimit);
  log.apply(request(1, "ws://h/", 0, {{"Upgrade", "websocket"}}));
  for (int i = 0; i < 20000; ++i) log.apply(message(1, 100));
  const Flow& socket = *log.flow(1);
  EXPECT_LE(log.bodyBytes(), kLimit);
  EXPECT_EQ(socket.messages.size() + socket.messagesDropped, 20000u);
  EXPECT_GT(socket.messages.size(), 100u);   // The latest ones are kept,
  EXPECT_EQ(socket.messageLength, 2000000);  // and the length of all of them.
  EXPECT_FALSE(socket.bodiesDropped);
  // A message larger than the limit alone is kept, as the newest flow's body is.
  log.apply(message(1, size_t(kLimit) * 2));
  EXPECT_EQ(log.flow(1)->messages.size(), 1u);
  // Once a newer flow comes, the socket is stripped and holds no records at all.
  log.apply(request(2, "http://h/", 10));
  for (int i = 0; i < 1000; ++i) log.apply(message(1, 1));
  EXPECT_EQ(log.flow(1)->messages.size(), 0u);
  EXPECT_EQ(log.flow(1)->messagesDropped, 21001u);
  EXPECT_EQ(log.bodyBytes(), 10);
  EXPECT_TRUE(log.invariantsHold());
}

TEST(FlowLog, NewSessionOffsetsEngineIDs) {
  auto log = makeLog(10, 1000);
  log.apply({request(1), request(2)});
  log.newSession();
  EXPECT_EQ(log.flowID(request(1)), 3u);
  EXPECT_EQ(log.flowID(ProxyEvent{ProxyEvent::Stopped{}}), std::nullopt);
  log.apply({request(1, "http://new/"), response(1)});
  EXPECT_EQ(ids(log), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(log.flow(3)->host, "new");
  EXPECT_FALSE(log.flow(1)->response);
}

// Whatever IDs an engine sends, even one near 2^64 that the next session's
// IDs would wrap past, flows of two sessions stay apart and keep small IDs.
TEST(FlowLog, SessionsNeverMergeWhateverTheirIDs) {
  auto log = makeLog(10, 1000);
  log.apply({request(1), response(1, 0, 204)});
  log.apply({ProxyEvent::Error{UINT64_MAX, "unknown"}});
  log.newSession();
  const Flow* second = log.apply(request(2, "http://two/"));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->id, 3u);
  EXPECT_FALSE(second->response);
  const Flow* again = log.apply(request(1, "http://again/"));  // Session 1's engine ID.
  EXPECT_EQ(again->id, 4u);
  EXPECT_EQ(log.flow(1)->status(), 204);
  EXPECT_EQ(log.flow(1)->host, "h");
  // A late event of the old session's IDs now names this session's flow or none.
  EXPECT_EQ(log.apply({ProxyEvent::Error{UINT64_MAX, "again"}})->id, 5u);
  EXPECT_EQ(log.flow(2)->error, "unknown");
  EXPECT_EQ(ids(log), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(log.invariantsHold());
}

TEST(FlowLog, ClearIgnoresLateEventsOfClearedFlows) {
  auto log = makeLog(10, 1000);
  log.apply({request(1, "http://h/", 5), request(2)});
  log.clear();
  EXPECT_TRUE(log.flows().empty());
  log.apply({response(1), ProxyEvent{ProxyEvent::Error{2, "x"}}, message(2, 1)});
  EXPECT_TRUE(log.flows().empty());
  EXPECT_FALSE(log.apply(request(2))->error);  // A new flow, under a new ID.
  log.apply(response(3));                      // Above every cleared ID: a placeholder.
  EXPECT_EQ(ids(log), (std::vector<uint64_t>{3, 4}));
}

TEST(FlowLog, LimitsAtOrBelowZeroKeepNothing) {
  for (const int64_t limit : {int64_t(-3), INT64_MIN + 1, INT64_MIN}) {
    auto none = makeLog(limit, 1000);
    EXPECT_EQ(none.apply(request(1)), nullptr);
    none.apply({response(1), request(2)});
    EXPECT_TRUE(none.flows().empty());
    EXPECT_TRUE(none.invariantsHold());
  }
  auto noBodies = makeLog(5, 0);
  noBodies.apply({request(1, "http://h/", 3), request(2, "http://h/", 3)});
  EXPECT_EQ(noBodies.bodyBytes(), 3);
  EXPECT_TRUE(noBodies.flow(1)->bodiesDropped);
}

// Random mixes of every kind of event, with small limits so that eviction,
// stripping, late events and sessions all happen many times.
TEST(FlowLog, InvariantsHoldAfterEveryOperation) {
  std::mt19937_64 rng(20240517);
  auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
  for (int round = 0; round < 20; ++round) {
    auto log = makeLog(int64_t(pick(12)), int64_t(pick(400)));
    const std::function<void(uint64_t)> ops[] = {
        [&](uint64_t id) { log.apply(request(id, "http://h/p", pick(120))); },
        [&](uint64_t id) { log.apply(response(id, pick(120))); },
        [&](uint64_t id) {
          log.apply(ProxyEvent{ProxyEvent::Error{id, "e"}});
        },
        [&](uint64_t id) {
          log.apply(ProxyEvent{ProxyTunnel{id, 1, "", "h", 443, Date()}});
        },
        [&](uint64_t id) { log.apply(message(id, pick(50))); },
        [&](uint64_t) { pick(3) == 0 ? log.clear() : log.newSession(); }};
    const size_t weights[] = {0, 0, 0, 1, 1, 1, 2, 3, 4, 5};  // Mostly requests and responses.
    for (int step = 0; step < 400; ++step) {
      const size_t op = weights[pick(10)];
      ops[op](1 + pick(30));
      ASSERT_TRUE(log.invariantsHold()) << "round " << round << " step " << step;
      ASSERT_LE(log.flows().size(), size_t(std::max<int64_t>(0, log.maxFlows())));
    }
  }
}

}  // namespace
}  // namespace kelvane
