#include "core/net/net_stat.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "core/support/hashing.h"
#include "core/support/text.h"

namespace kelvane {
namespace {

using Text::split;

// The non-empty lines, without a carriage return before the line feed.
std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  for (auto line : split(text, '\n')) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// The field at `index` as a decimal count; 0 when missing, empty or not one.
uint64_t num(const std::vector<std::string_view>& fields, size_t index) {
  if (index >= fields.size()) return 0;
  const std::string_view field = fields[index];
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  return ec == std::errc() && end == field.data() + field.size() && !field.empty() ? value : 0;
}

struct Columns {
  size_t bytesIn = 0;
  size_t bytesOut = 0;
  size_t state = 0;
};

std::optional<Columns> columns(std::string_view header) {
  const auto fields = split(header, ',');
  const auto find = [&](std::string_view name) -> std::optional<size_t> {
    for (size_t i = 0; i < fields.size(); ++i)
      if (fields[i] == name) return i;
    return std::nullopt;
  };
  const auto in = find("bytes_in"), out = find("bytes_out"), state = find("state");
  if (!in || !out || !state) return std::nullopt;
  return Columns{*in, *out, *state};
}

constexpr std::array<std::string_view, 6> kProtocols{"tcp4", "tcp6",  "udp4",
                                                     "udp6", "quic4", "quic6"};

// A connection line: "tcp6 fe80::1%lo0.631<->*.*" in the first field.
std::optional<NetConn> connection(const std::vector<std::string_view>& fields, const Columns& c) {
  const std::string_view first = fields.front();
  const size_t space = first.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view token = first.substr(0, space);
  if (std::find(kProtocols.begin(), kProtocols.end(), token) == kProtocols.end())
    return std::nullopt;
  const bool v6 = token.ends_with('6');
  const std::string_view rest = first.substr(space + 1);
  const size_t arrow = rest.find("<->");
  if (arrow == std::string_view::npos) return std::nullopt;
  auto local = NetEndpoint::parse(rest.substr(0, arrow), v6);
  auto remote = NetEndpoint::parse(rest.substr(arrow + 3), v6);
  if (!local || !remote) return std::nullopt;
  NetConn conn{.proto = token.starts_with("tcp") ? NetConn::Proto::tcp : NetConn::Proto::udp,
               .local = std::move(*local),
               .bytesIn = num(fields, c.bytesIn),
               .bytesOut = num(fields, c.bytesOut)};
  if (remote->host != "*") conn.remote = std::move(*remote);
  if (conn.proto == NetConn::Proto::tcp && c.state < fields.size())
    conn.state = std::string(fields[c.state]);
  return conn;
}

// A process line: "com.apple.WebKit.Networking.812" in the first field.
std::optional<NetProc> process(const std::vector<std::string_view>& fields, const Columns& c) {
  const std::string_view first = fields.front();
  const size_t dot = first.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view pidText = first.substr(dot + 1);
  int32_t pid = 0;
  const auto [end, ec] = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
  if (pidText.empty() || ec != std::errc() || end != pidText.data() + pidText.size())
    return std::nullopt;
  return NetProc{.pid = pid,
                 .name = std::string(first.substr(0, dot)),
                 .bytesIn = num(fields, c.bytesIn),
                 .bytesOut = num(fields, c.bytesOut)};
}

}  // namespace

std::string NetConn::key() const {
  std::string key = std::string(rawValue(proto)) + " " + local.text();
  if (remote) key += " " + remote->text();
  return key;
}

std::string_view rawValue(NetConn::Proto proto) {
  return proto == NetConn::Proto::tcp ? "TCP" : "UDP";
}

std::set<uint16_t> NetProc::listening() const {
  std::set<uint16_t> ports;
  for (const auto& conn : conns)
    if (conn.proto == NetConn::Proto::tcp && conn.state == "Listen" && conn.local.port)
      ports.insert(*conn.local.port);
  return ports;
}

std::string_view displayText(NetDirection direction) {
  return direction == NetDirection::inbound ? "Inbound" : "Outbound";
}

namespace NetStat {

std::vector<NetProc> parse(std::string_view raw) {
  const std::string text = Text::validUtf8(raw);
  const auto all = lines(text);
  std::vector<NetProc> procs;
  const auto c = all.empty() ? std::nullopt : columns(all.front());
  if (!c) return procs;
  // Connections belong to the process line above them. Below a process line
  // that cannot be read they are dropped, not credited to an earlier process.
  bool inProcess = false;
  for (size_t i = 1; i < all.size(); ++i) {
    const auto fields = split(all[i], ',');
    if (fields.front().find("<->") != std::string_view::npos) {
      if (auto conn = connection(fields, *c); conn && inProcess)
        procs.back().conns.push_back(std::move(*conn));
    } else if (auto proc = process(fields, *c)) {
      procs.push_back(std::move(*proc));
      inProcess = true;
    } else {
      inProcess = false;
    }
  }
  return procs;
}

std::optional<NetDirection> direction(const NetConn& conn, const std::set<uint16_t>& listening) {
  if (!conn.remote || conn.state == "Listen") return std::nullopt;
  if (conn.proto == NetConn::Proto::udp || !conn.local.port) return NetDirection::outbound;
  return listening.contains(*conn.local.port) ? NetDirection::inbound : NetDirection::outbound;
}

}  // namespace NetStat
}  // namespace kelvane

size_t std::hash<kelvane::NetConn>::operator()(const kelvane::NetConn& conn) const noexcept {
  return kelvane::hashValues(conn.proto, conn.local, conn.remote, conn.state, conn.bytesIn,
                             conn.bytesOut);
}

size_t std::hash<kelvane::NetProc>::operator()(const kelvane::NetProc& proc) const noexcept {
  return kelvane::hashValues(proc.pid, proc.name, proc.bytesIn, proc.bytesOut, proc.conns);
}
