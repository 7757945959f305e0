// Parsing plus applying generated event lines to a flow log of 10,000 flows
// and a 64 MB body limit. The mix: 45% requests, 45% responses, the rest
// errors, tunnels and WebSocket messages; bodies mostly small text, a few
// binary ones up to 64 KB, so that lines average about 1.8 KB. Reports events
// per second and the heap held by the log at the end; a second run with an
// 8 MB limit shows the held bodies staying under the limit once flows are stripped.
// Like the command-line tool, the program allocates through jemalloc unless
// configured with -DKELVANE_JEMALLOC=OFF.
#include <cstdint>
#include <malloc.h>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "core/proxy/flow_log.h"
#include "core/proxy/proxy_event.h"
#include "core/support/base64.h"

#ifdef KELVANE_JEMALLOC
#include <jemalloc/jemalloc.h>
#endif

namespace {

using kelvane::FlowLog;
using kelvane::ProxyEvent;

constexpr int64_t kMaxFlows = 10000;

std::string requestHeaders() {
  return R"x([["Host","api.example.com"],["User-Agent","Mozilla/5.0 (Macintosh; Intel Mac OS X 14_2)"],)x"
         R"(["Accept","application/json, text/plain, */*"],["Accept-Encoding","gzip, deflate, br"],)"
         R"(["Accept-Language","en-US,en;q=0.9"],["Cookie","session=4f1c2a9b8e7d6c5b; theme=dark"],)"
         R"(["Content-Type","application/json"],["Connection","keep-alive"]])";
}

std::string responseHeaders() {
  return R"([["Content-Type","application/json; charset=utf-8"],["Cache-Control","no-cache"],)"
         R"(["Date","Tue, 02 Jan 2026 03:04:05 GMT"],["Server","nginx"],)"
         R"(["Set-Cookie","sid=abc123; Path=/; HttpOnly"],["Vary","Accept-Encoding"]])";
}

// Mostly JSON-like text of 0..1200 bytes; one body in 65 is binary, 1..64 KB.
std::string bodyB64(std::mt19937_64& rng) {
  std::vector<uint8_t> body;
  if (rng() % 65 == 0) {
    body.resize(1024 + rng() % (63 * 1024));
    for (auto& b : body) b = uint8_t(rng());
  } else {
    const std::string text =
        R"({"id":12345,"name":"example item","tags":["a","b","c"],"ok":true},)";
    body.resize(rng() % 1200);
    for (size_t i = 0; i < body.size(); ++i) body[i] = uint8_t(text[i % text.size()]);
  }
  return kelvane::Base64::encode(body);
}

std::vector<std::string> generateLines(size_t count) {
  std::mt19937_64 rng(7);
  std::vector<std::string> lines;
  uint64_t nextID = 1;
  std::vector<uint64_t> open;  // Requests still waiting for their response.
  while (lines.size() < count) {
    const uint64_t roll = rng() % 100;
    const std::string at = std::to_string(1767323045 + lines.size() / 100) + ".25";
    if (roll < 45 || open.empty()) {
      const uint64_t id = nextID++;
      open.push_back(id);
      lines.push_back(
          R"({"type":"request","id":)" + std::to_string(id) +
          R"(,"pid":4242,"client":"Safari","method":"POST","url":"https://api.example.com/v2/items/)" +
          std::to_string(id) + R"(?page=2&sort=desc","version":"HTTP/1.1","headers":)" +
          requestHeaders() + R"(,"body_b64":")" + bodyB64(rng) +
          R"(","body_len":1200,"truncated":false,"at":)" + at + "}");
      continue;
    }
    // Answer one of the last few open requests, slightly out of order.
    const size_t pick = open.size() - 1 - rng() % std::min<size_t>(open.size(), 4);
    const uint64_t id = open[pick];
    open.erase(open.begin() + std::ptrdiff_t(pick));
    if (roll < 90) {
      lines.push_back(R"({"type":"response","id":)" + std::to_string(id) +
                      R"(,"status":200,"version":"HTTP/1.1","headers":)" + responseHeaders() +
                      R"(,"body_b64":")" + bodyB64(rng) + R"(","body_len":900,"at":)" + at + "}");
    } else if (roll < 94) {
      lines.push_back(R"({"type":"error","id":)" + std::to_string(id) +
                      R"(,"message":"connection reset by peer"})");
    } else if (roll < 97) {
      lines.push_back(R"({"type":"tunnel","id":)" + std::to_string(nextID++) +
                      R"(,"pid":4242,"client":"Safari","host":"cdn.example.net","port":443,"at":)" +
                      at + "}");
    } else {
      lines.push_back(R"({"type":"ws","id":)" + std::to_string(id) +
                      R"(,"dir":"in","opcode":"text","data_b64":")" + bodyB64(rng) +
                      R"(","len":300,"at":)" + at + "}");
    }
  }
  return lines;
}

const std::vector<std::string>& lines() {
  static const auto generated = generateLines(100000);
  return generated;
}

double averageLength() {
  double total = 0;
  for (const auto& line : lines()) total += double(line.size());
  return total / double(lines().size());
}

#ifdef KELVANE_JEMALLOC
// Bytes handed out by the allocator.
size_t heapInUse() {
  uint64_t epoch = 1;  // Stats are a snapshot, refreshed by advancing the epoch.
  size_t size = sizeof epoch;
  mallctl("epoch", &epoch, &size, &epoch, size);
  size_t value = 0;
  size = sizeof value;
  return mallctl("stats.allocated", &value, &size, nullptr, 0) == 0 ? value : 0;
}
#else
size_t heapInUse() { return mallinfo2().uordblks; }
#endif

void BM_ParseAndApply(benchmark::State& state) {
  const auto& input = lines();
  const size_t heapBefore = heapInUse();
  // The body limit in MB is the argument: 64 as asked, 8 to see stripping at work.
  FlowLog log(kMaxFlows, state.range(0) << 20);
  size_t i = 0, bytes = 0;
  for (auto _ : state) {
    if (i == input.size()) {
      i = 0;
      log.newSession();  // The next pass gets fresh IDs, as after an engine restart.
    }
    const auto& line = input[i++];
    bytes += line.size();
    if (auto event = ProxyEvent::fromLine(line)) log.apply(std::move(*event));
  }
  const double held = double(heapInUse() - heapBefore);
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["avgLineBytes"] = averageLength();
  state.counters["flows"] = double(log.byID().size());
  state.counters["bodyMB"] = double(log.bodyBytes()) / (1 << 20);
  state.counters["heldMB"] = held / (1 << 20);
  state.counters["bookkeepingMB"] = (held - double(log.bodyBytes())) / (1 << 20);
}
BENCHMARK(BM_ParseAndApply)->Arg(64)->Arg(8)->Iterations(1000000)->Unit(benchmark::kMicrosecond);

void BM_ParseOnly(benchmark::State& state) {
  const auto& input = lines();
  size_t i = 0;
  for (auto _ : state) {
    auto event = ProxyEvent::fromLine(input[i++ % input.size()]);
    benchmark::DoNotOptimize(event);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ParseOnly);

// For comparison: a general-purpose DOM parser on the same lines.
void BM_NlohmannParseOnly(benchmark::State& state) {
  const auto& input = lines();
  size_t i = 0;
  for (auto _ : state) {
    auto j = nlohmann::json::parse(input[i++ % input.size()], nullptr, false);
    benchmark::DoNotOptimize(j);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_NlohmannParseOnly);

}  // namespace
