// Feeds arbitrary bytes to the event-line parser and the flow log: the whole
// input as one line, then its lines one by one into a small log whose limits
// come from the first bytes. Aborts when the log's bookkeeping breaks or
// Base64 does not decode what it encoded.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "core/proxy/flow_log.h"
#include "core/proxy/proxy_event.h"
#include "core/support/base64.h"

using kelvane::Date;
using kelvane::FlowLog;
using kelvane::ProxyEvent;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (const auto event = ProxyEvent::fromLine(input)) (void)event->description();
  const std::span<const uint8_t> bytes(data, size);
  if (kelvane::Base64::decode(kelvane::Base64::encode(bytes)) !=
      std::vector<uint8_t>(bytes.begin(), bytes.end()))
    std::abort();
  if (const auto decoded = kelvane::Base64::decode(input))
    if (kelvane::Base64::encode(*decoded).size() != input.size()) std::abort();

  const int64_t maxFlows = size > 0 ? data[0] % 8 : 4;
  const int64_t maxBodyBytes = size > 1 ? data[1] * 4 : 256;
  FlowLog log(maxFlows, maxBodyBytes, [] { return Date(0); });
  std::string_view rest = input;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line == "session") log.newSession();
    if (line == "clear") log.clear();
    auto event = ProxyEvent::fromLine(line);
    if (!event) continue;
    log.apply(std::move(*event));
    if (!log.invariantsHold()) std::abort();
    for (const auto& flow : log.flows()) (void)flow.size();
  }
  return 0;
}
