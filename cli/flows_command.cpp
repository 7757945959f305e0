// kelvane flows [FILE|-]: reads the proxy engine's event lines from a file or
// from standard input as they arrive, keeps a bounded flow log, and prints one
// line per flow, or exports flows as HAR, curl, fetch or raw text.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <variant>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "core/proxy/event_lines.h"
#include "core/proxy/flow_export.h"
#include "core/proxy/flow_log.h"
#include "core/proxy/flow_text.h"

namespace kelvane::cli {
namespace {

constexpr const char* kHarCreatorVersion = "0.1";

// The options as typed; read() checks them, since a number out of range must
// be refused rather than clamped or wrapped.
struct FlowsArguments {
  std::string file = "-";
  std::string maxFlows = "10000";
  std::string maxBodyBytes = "64MiB";
  std::optional<std::string> har, curl, fetch, raw;
};

struct FlowsOptions {
  std::string file;
  int64_t maxFlows = 0;
  int64_t maxBodyBytes = 0;
  std::optional<std::string> har;
  std::optional<uint64_t> curl, fetch, raw;
  bool listing() const { return !har && !curl && !fetch && !raw; }
};

// A whole number in decimal, nothing else; nullopt when it is not one or
// does not fit in T.
template <class T>
std::optional<T> wholeNumber(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// A byte count: a whole number, optionally followed by KiB, MiB or GiB.
std::optional<int64_t> byteCount(std::string_view text) {
  int64_t unit = 1;
  for (const auto& [suffix, size] :
       {std::pair{"KiB", int64_t(1) << 10}, std::pair{"MiB", int64_t(1) << 20},
        std::pair{"GiB", int64_t(1) << 30}}) {
    if (text.ends_with(suffix)) {
      text.remove_suffix(3);
      unit = size;
      break;
    }
  }
  const auto count = wholeNumber<int64_t>(text);
  int64_t bytes = 0;
  if (!count || *count < 0 || __builtin_mul_overflow(*count, unit, &bytes)) return std::nullopt;
  return bytes;
}

// The checked options, or a message saying which one is wrong.
std::variant<FlowsOptions, std::string> read(const FlowsArguments& a) {
  FlowsOptions o{.file = a.file, .har = a.har};
  const auto maxFlows = wholeNumber<int64_t>(a.maxFlows);
  if (!maxFlows || *maxFlows < 0)
    return "--max-flows takes a whole number from 0 to 9223372036854775807, not \"" + a.maxFlows +
           "\"";
  o.maxFlows = *maxFlows;
  const auto maxBodyBytes = byteCount(a.maxBodyBytes);
  if (!maxBodyBytes)
    return "--max-body-bytes takes a byte count from 0 to 8EiB (such as 1000000 or 64MiB), not \"" +
           a.maxBodyBytes + "\"";
  o.maxBodyBytes = *maxBodyBytes;
  const std::pair<const std::optional<std::string>*, std::optional<uint64_t>*> ids[] = {
      {&a.curl, &o.curl}, {&a.fetch, &o.fetch}, {&a.raw, &o.raw}};
  const char* names[] = {"--curl", "--fetch", "--raw"};
  for (size_t i = 0; i < std::size(ids); ++i) {
    const auto& [text, id] = ids[i];
    if (!*text) continue;
    *id = wholeNumber<uint64_t>(**text);
    if (!*id)
      return std::string(names[i]) + " takes a flow ID from 0 to 18446744073709551615, not \"" +
             **text + "\"";
  }
  return o;
}

// Byte counts in decimal units, one decimal above 1000 bytes: "812 B", "1.2 KB".
std::string sizeText(int64_t bytes) {
  if (bytes < 1000) return std::to_string(std::max<int64_t>(bytes, 0)) + " B";
  const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
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
  char text[48];
  if (s < 1)
    std::snprintf(text, sizeof text, "%.0f ms", s * 1000);
  else
    std::snprintf(text, sizeof text, "%.2f s", std::min(s, 1e15));
  return text;
}

// id, method, status, host, path, size, duration.
std::string flowLine(const Flow& flow) {
  const std::string status = flow.status() ? std::to_string(*flow.status())
                             : flow.error  ? "ERR"
                                           : "-";
  char head[96];
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
  if (!flow.messages.empty() || flow.messagesDropped > 0)
    out += std::to_string(flow.messages.size() + flow.messagesDropped) + " WebSocket messages, " +
           sizeText(flow.messageLength) +
           (flow.messagesDropped > 0
                ? " (" + std::to_string(flow.messagesDropped) + " dropped to save memory)"
                : std::string()) +
           "\n";
  if (flow.bodiesDropped) out += "(bodies were dropped to save memory)\n";
  return out.empty() ? flow.method + " " + flow.url + "\n" : out;
}

// Prints flows as they complete, each once; at the end, whatever is left.
class Lister {
 public:
  explicit Lister(std::ostream& out) : out_(out) {}
  void changed(const Flow& flow, const FlowLog& log) {
    if (!flow.complete() || printed_.contains(flow.id)) return;
    print(flow);
    // Forgets flows the log no longer holds, keeping the set near the log's size.
    if (printed_.size() > 2 * log.byID().size() + 1024)
      std::erase_if(printed_, [&](uint64_t id) { return !log.flow(id); });
  }
  void finish(const FlowLog& log) {
    log.forEach([&](const Flow& flow) {
      if (!printed_.contains(flow.id)) print(flow);
    });
  }

 private:
  void print(const Flow& flow) {
    printed_.insert(flow.id);
    out_ << flowLine(flow) << '\n';
  }
  std::ostream& out_;
  std::unordered_set<uint64_t> printed_;
};

// The HAR document, written flow by flow, to standard output or a file.
int writeHar(const std::string& target, const FlowLog& log) {
  std::ofstream file;
  if (target != "-") {
    file.open(target, std::ios::binary | std::ios::trunc);
    if (!file) {
      std::cerr << "kelvane flows: cannot write " << target << ": " << std::strerror(errno) << "\n";
      return 1;
    }
  }
  std::ostream& out = target == "-" ? std::cout : file;
  HAR::Writer writer(out, kHarCreatorVersion);
  log.forEach([&](const Flow& flow) { writer.add(flow); });
  const bool written = writer.finish();
  if (target == "-") out << "\n" << std::flush;
  if (!written || !out) {
    std::cerr << "kelvane flows: cannot write " << (target == "-" ? "standard output" : target)
              << "\n";
    return 1;
  }
  return 0;
}

// Prints one flow's command or raw text; exit status 1 when there is no such
// flow or curl cannot carry its request.
int printOne(const FlowLog& log, uint64_t id, const char* what) {
  const Flow* flow = log.flow(id);
  if (!flow) {
    std::cerr << "kelvane flows: no flow with ID " << id << "\n";
    return 1;
  }
  if (std::string_view(what) == "curl") {
    if (const auto reason = Curl::cannotCarry(*flow)) {
      std::cerr << "kelvane flows: flow " << id << " cannot be replayed with curl: " << *reason
                << "\n";
      return 1;
    }
    std::cout << Curl::command(*flow) << "\n";
  } else if (std::string_view(what) == "fetch") {
    std::cout << Fetch::command(*flow) << "\n";
  } else {
    std::cout << rawFlow(*flow);
  }
  return 0;
}

int exportFlows(const FlowsOptions& options, const FlowLog& log) {
  const std::pair<const std::optional<uint64_t>*, const char*> wanted[] = {
      {&options.curl, "curl"}, {&options.fetch, "fetch"}, {&options.raw, "raw"}};
  for (const auto& [id, what] : wanted)
    if (*id)
      if (const int status = printOne(log, **id, what); status != 0) return status;
  return options.har ? writeHar(*options.har, log) : 0;
}

// Opens the input for reading; -1 with a message when it cannot be read.
int openInput(const std::string& path) {
  if (path == "-") return STDIN_FILENO;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    std::cerr << "kelvane flows: cannot read " << path << ": it is a folder\n";
    return -1;
  }
  if (fd < 0)
    std::cerr << "kelvane flows: cannot read " << path << ": " << std::strerror(errno) << "\n";
  return fd;
}

// Feeds every line of the input to `line` as it arrives, in blocks of 64 KiB
// (never a character at a time); `idle` runs whenever the lines read so far
// are done, before waiting for more. False with a message on a read error.
bool readLines(int fd, const std::string& path, EventLines& lines, const EventLines::Visit& line,
               const std::function<void()>& idle) {
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::cerr << "kelvane flows: cannot read " << (path == "-" ? "standard input" : path) << ": "
                << std::strerror(errno) << "\n";
      return false;
    }
    if (n == 0) break;
    lines.feed(std::string_view(buffer.data(), size_t(n)), line);
    idle();
  }
  lines.finish(line);
  return true;
}

int run(const FlowsOptions& options) {
  const int fd = openInput(options.file);
  if (fd < 0) return 1;
  FlowLog log(options.maxFlows, options.maxBodyBytes);
  Lister lister(std::cout);
  size_t skipped = 0;
  const auto line = [&](std::string_view text) {
    if (text.empty()) return;
    auto event = ProxyEvent::fromLine(text);
    if (!event) {
      ++skipped;
      return;
    }
    if (event->as<ProxyEvent::Ready>()) log.newSession();  // The engine numbers afresh.
    const Flow* flow = log.apply(std::move(*event));
    if (flow && options.listing()) lister.changed(*flow, log);
  };
  EventLines lines;
  // Flows print as they complete: output is flushed before each wait for input.
  const bool read = readLines(fd, options.file, lines, line, [] { std::cout.flush(); });
  if (fd != STDIN_FILENO) ::close(fd);
  skipped += lines.overlong();
  if (skipped > 0)
    std::cerr << "kelvane flows: skipped " << skipped
              << (skipped == 1 ? " unreadable line\n" : " unreadable lines\n");
  if (!read) return 1;
  if (!options.listing()) return exportFlows(options, log);
  lister.finish(log);
  return 0;
}

const CommandRegistration registration("flows", [](CLI::App& app, int& exitCode) {
  auto args = std::make_shared<FlowsArguments>();
  CLI::App* sub = app.add_subcommand(
      "flows", "Read proxy event lines and list or export the flows they describe");
  sub->add_option("file", args->file, "Event lines, one JSON object each (- for stdin)");
  sub->add_option("--max-flows", args->maxFlows, "Flows kept; older ones are dropped")
      ->capture_default_str();
  sub->add_option("--max-body-bytes", args->maxBodyBytes,
                  "Body and message bytes kept (a number, or with KiB, MiB or GiB); older "
                  "flows lose their bodies")
      ->capture_default_str();
  sub->add_option("--har", args->har, "Write the flows as a HAR file (- for stdout)");
  sub->add_option("--curl", args->curl, "Print the curl command of flow ID");
  sub->add_option("--fetch", args->fetch, "Print the fetch call of flow ID");
  sub->add_option("--raw", args->raw, "Print the raw request and response of flow ID");
  sub->footer("Lines longer than 64 MiB are skipped and counted as unreadable.");
  sub->callback([args, &exitCode] {
    auto options = read(*args);
    if (const auto* refusal = std::get_if<std::string>(&options)) {
      std::cerr << "kelvane flows: " << *refusal << "\n";
      exitCode = 2;
      return;
    }
    exitCode = run(std::get<FlowsOptions>(options));
  });
});

}  // namespace
}  // namespace kelvane::cli
