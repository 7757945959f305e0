// kelvane flows [FILE|-]: reads the proxy engine's event lines from a file or
// from standard input as they arrive, keeps a bounded flow log, and prints one
// line per flow, or exports flows as HAR, curl, fetch or raw text.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <unordered_set>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "core/proxy/flow_export.h"
#include "core/proxy/flow_log.h"
#include "core/proxy/flow_text.h"

namespace kelvane::cli {
namespace {

constexpr const char* kHarCreatorVersion = "0.1";

struct FlowsOptions {
  std::string file = "-";
  int64_t maxFlows = 10000;
  int64_t maxBodyBytes = 64 << 20;
  std::optional<std::string> har;
  std::optional<uint64_t> curl;
  std::optional<uint64_t> fetch;
  std::optional<uint64_t> raw;
  bool listing() const { return !har && !curl && !fetch && !raw; }
};

// Byte counts in decimal units, one decimal above 1000 bytes: "812 B", "1.2 KB".
std::string sizeText(int64_t bytes) {
  if (bytes < 1000) return std::to_string(std::max<int64_t>(bytes, 0)) + " B";
  const char* units[] = {"KB", "MB", "GB", "TB"};
  double value = double(bytes) / 1000;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(units)) value /= 1000, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string durationText(std::optional<double> seconds) {
  if (!seconds || !std::isfinite(*seconds)) return "-";
  const double s = std::max(*seconds, 0.0);
  char text[32];
  if (s < 1)
    std::snprintf(text, sizeof text, "%.0f ms", s * 1000);
  else
    std::snprintf(text, sizeof text, "%.2f s", s);
  return text;
}

// id, method, status, host, path, size, duration.
std::string flowLine(const Flow& flow) {
  const std::string status = flow.status() ? std::to_string(*flow.status())
                             : flow.error  ? "ERR"
                                           : "-";
  char head[64];
  std::snprintf(head, sizeof head, "%6" PRIu64 "  %-7s  %3s", flow.id, flow.method.c_str(),
                status.c_str());
  return std::string(head) + "  " + (flow.host.empty() ? "-" : flow.host) + "  " +
         (flow.path.empty() ? "-" : flow.path) + "  " + sizeText(flow.size()) + "  " +
         durationText(flow.duration());
}

// Raw text of a request or response, with a hex dump for a binary body.
template <class Message>
std::string rawText(Message message) {
  if (message.body.empty() || FlowText::utf8(message.body)) return FlowText::raw(message);
  const auto body = std::move(message.body);
  message.body = {};
  return FlowText::raw(message) + FlowText::hexDump(body, int64_t(body.size()));
}

std::string rawFlow(const Flow& flow) {
  std::string out;
  if (flow.request) out += rawText(*flow.request) + "\n";
  if (flow.response) out += (out.empty() ? "" : "\n") + rawText(*flow.response) + "\n";
  if (flow.error) out += (out.empty() ? "" : "\n") + ("error: " + *flow.error) + "\n";
  if (flow.bodiesDropped) out += "(bodies were dropped to save memory)\n";
  return out.empty() ? flow.method + " " + flow.url + "\n" : out;
}

// Prints flows as they complete, each once; at the end, whatever is left.
class Lister {
 public:
  Lister(std::ostream& out, bool live) : out_(out), live_(live) {}
  void completed(const Flow* flow, const FlowLog& log) {
    if (!flow || printed_.contains(flow->id)) return;
    const bool done =
        flow->kind == Flow::Kind::tunnel || (flow->request && (flow->response || flow->error));
    if (done) print(*flow);
    if (printed_.size() > size_t(std::max<int64_t>(log.maxFlows(), 1)) * 4)
      std::erase_if(printed_, [&](uint64_t id) { return !log.flow(id); });
  }
  void finish(const FlowLog& log) {
    for (const auto& flow : log.flows())
      if (!printed_.contains(flow.id)) print(flow);
  }

 private:
  void print(const Flow& flow) {
    printed_.insert(flow.id);
    out_ << flowLine(flow) << '\n';
    if (live_) out_.flush();
  }
  std::ostream& out_;
  bool live_;
  std::unordered_set<uint64_t> printed_;
};

// Prints one flow's command or raw text; false when there is no such flow.
bool printOne(const FlowLog& log, uint64_t id, std::ostream& out,
              std::string (*render)(const Flow&)) {
  const Flow* flow = log.flow(id);
  if (!flow) return false;
  out << render(*flow) << (render == rawFlow ? "" : "\n");
  return true;
}

int exportFlows(const FlowsOptions& options, const FlowLog& log) {
  using Render = std::string (*)(const Flow&);
  const std::pair<const std::optional<uint64_t>*, Render> wanted[] = {
      {&options.curl, Curl::command}, {&options.fetch, Fetch::command}, {&options.raw, rawFlow}};
  for (const auto& [id, render] : wanted) {
    if (*id && !printOne(log, **id, std::cout, render)) {
      std::cerr << "kelvane flows: no flow with ID " << **id << "\n";
      return 1;
    }
  }
  if (!options.har) return 0;
  const auto har = HAR::exportFlows(log.flows(), kHarCreatorVersion);
  if (*options.har == "-") {
    std::cout.write(reinterpret_cast<const char*>(har.data()), std::streamsize(har.size())) << "\n";
    return 0;
  }
  std::ofstream file(*options.har, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(har.data()), std::streamsize(har.size()));
  if (har.empty() || !file.flush()) {
    std::cerr << "kelvane flows: cannot write " << *options.har << "\n";
    return 1;
  }
  return 0;
}

int run(const FlowsOptions& options) {
  std::ifstream file;
  const bool fromStdin = options.file == "-";
  if (!fromStdin) {
    file.open(options.file, std::ios::binary);
    if (!file) {
      std::cerr << "kelvane flows: cannot read " << options.file << "\n";
      return 1;
    }
  }
  std::istream& in = fromStdin ? std::cin : file;
  FlowLog log(options.maxFlows, options.maxBodyBytes);
  Lister lister(std::cout, fromStdin);
  size_t skipped = 0;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    auto event = ProxyEvent::fromLine(line);
    if (!event) {
      ++skipped;
      continue;
    }
    if (event->as<ProxyEvent::Ready>()) log.newSession();  // The engine numbers afresh.
    const auto id = log.flowID(*event);
    log.apply(std::move(*event));
    if (options.listing() && id) lister.completed(log.flow(*id), log);
  }
  if (skipped > 0) std::cerr << "kelvane flows: skipped " << skipped << " unreadable lines\n";
  if (!options.listing()) return exportFlows(options, log);
  lister.finish(log);
  return 0;
}

const CommandRegistration registration("flows", [](CLI::App& app, int& exitCode) {
  auto options = std::make_shared<FlowsOptions>();
  CLI::App* sub = app.add_subcommand(
      "flows", "Read proxy event lines and list or export the flows they describe");
  sub->add_option("file", options->file, "Event lines, one JSON object each (- for stdin)");
  sub->add_option("--max-flows", options->maxFlows, "Flows kept; older ones are dropped")
      ->capture_default_str();
  sub->add_option("--max-body-bytes", options->maxBodyBytes,
                  "Body bytes kept; older flows lose their bodies")
      ->capture_default_str();
  sub->add_option("--har", options->har, "Write the flows as a HAR file (- for stdout)");
  sub->add_option("--curl", options->curl, "Print the curl command of flow ID");
  sub->add_option("--fetch", options->fetch, "Print the fetch call of flow ID");
  sub->add_option("--raw", options->raw, "Print the raw request and response of flow ID");
  sub->callback([options, &exitCode] { exitCode = run(*options); });
});

}  // namespace
}  // namespace kelvane::cli
