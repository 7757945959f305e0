#include "core/proxy/proxy_event.h"

#include <array>
#include <cmath>
#include <limits>
#include <simdjson.h>
#include <type_traits>

#include "core/proxy/proxy_base64.h"

namespace kelvane {
namespace {

namespace od = simdjson::ondemand;

// Every member the engine may send, named as the decoded fields are.
enum class Member {
  type,
  certPem,
  keyPem,
  lan,
  client,
  method,
  url,
  version,
  bodyB64,
  message,
  host,
  dir,
  opcode,
  dataB64,
  reason,
  ip,
  port,
  bodyLen,
  status,
  len,
  id,
  pid,
  headers,
  truncated,
  at,
};

struct MemberKey {
  std::string_view snake;
  std::string_view camel;
  Member member;
};

constexpr std::array<MemberKey, 25> kMembers{{
    {"type", "type", Member::type},
    {"cert_pem", "certPem", Member::certPem},
    {"key_pem", "keyPem", Member::keyPem},
    {"lan", "lan", Member::lan},
    {"client", "client", Member::client},
    {"method", "method", Member::method},
    {"url", "url", Member::url},
    {"version", "version", Member::version},
    {"body_b64", "bodyB64", Member::bodyB64},
    {"message", "message", Member::message},
    {"host", "host", Member::host},
    {"dir", "dir", Member::dir},
    {"opcode", "opcode", Member::opcode},
    {"data_b64", "dataB64", Member::dataB64},
    {"reason", "reason", Member::reason},
    {"ip", "ip", Member::ip},
    {"port", "port", Member::port},
    {"body_len", "bodyLen", Member::bodyLen},
    {"status", "status", Member::status},
    {"len", "len", Member::len},
    {"id", "id", Member::id},
    {"pid", "pid", Member::pid},
    {"headers", "headers", Member::headers},
    {"truncated", "truncated", Member::truncated},
    {"at", "at", Member::at},
}};

char lowerASCII(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
char upperASCII(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// The usual snake-case-to-camel-case rule: words after the first are
// capitalised and the underscores between them dropped; underscores at either
// end stay; a key without inner underscores is left as it is.
std::string camelFromSnake(std::string_view key) {
  const size_t first = key.find_first_not_of('_');
  if (first == std::string_view::npos) return std::string(key);
  const size_t last = key.find_last_not_of('_');
  const std::string_view core = key.substr(first, last - first + 1);
  if (core.find('_') == std::string_view::npos) return std::string(key);
  std::string out(key.substr(0, first));
  bool firstWord = true;
  for (size_t i = 0; i < core.size();) {
    const size_t end = std::min(core.find('_', i), core.size());
    for (size_t j = i; j < end; ++j)
      out += (j == i && !firstWord) ? upperASCII(core[j]) : lowerASCII(core[j]);
    if (end > i) firstWord = false;
    i = end + 1;
  }
  out += key.substr(last + 1);
  return out;
}

// Every member name, snake and camel forms alike, has a slot of its own in a
// table of 64, so a key is compared with one name only. A new name that would
// share a slot stops the build.
constexpr size_t keySlot(std::string_view key) {
  return (key.size() * 11 + uint8_t(key[0]) * 3 + uint8_t(key[key.size() / 2]) * 5 +
          uint8_t(key.back()) * 7) %
         64;
}
struct NameSlot {
  std::string_view name;
  Member member{};
};
constexpr auto kSlots = [] {
  std::array<NameSlot, 64> slots{};
  for (const auto& m : kMembers) {
    for (const std::string_view name : {m.snake, m.camel}) {
      auto& slot = slots[keySlot(name)];
      if (!slot.name.empty() && slot.name != name) throw "two member names share a slot";
      slot = {name, m.member};
    }
  }
  return slots;
}();

std::optional<Member> namedMember(std::string_view key) {
  if (key.empty()) return std::nullopt;
  const auto& slot = kSlots[keySlot(key)];
  return slot.name == key ? std::optional(slot.member) : std::nullopt;
}

// A key as given, or else as converted to camel case (which leaves no inner
// underscores, so it can only match a camel form).
std::optional<Member> memberFor(std::string_view key) {
  if (const auto member = namedMember(key)) return member;
  if (key.find('_') == std::string_view::npos) return std::nullopt;
  return namedMember(camelFromSnake(key));
}

// The wire record: every member optional (null counts as absent). Strings
// point into the parser's buffer and live until the next line is parsed.
struct Raw {
  std::optional<std::string_view> type, certPem, keyPem, lan, client, method, url, version, bodyB64,
      message, host, dir, opcode, dataB64, reason, ip;
  std::optional<int64_t> port, bodyLen, status, len;
  std::optional<uint64_t> id;
  std::optional<int32_t> pid;
  std::optional<std::vector<ProxyHeader>> headers;
  std::optional<bool> truncated;
  std::optional<double> at;
};

// Each reader returns false when the value has the wrong JSON type (or is not
// valid JSON), which rejects the line; a null leaves the member absent.
bool isNull(od::value& v, bool& null) { return v.is_null().get(null) == simdjson::SUCCESS; }

// Reads a member that may be null (absent) or else must hold what `get` reads.
template <class T, class Get>
bool readNullable(od::value& v, std::optional<T>& out, Get get) {
  bool null = false;
  if (!isNull(v, null)) return false;
  out.reset();
  if (null) return true;
  T value{};
  if (!get(v, value)) return false;
  out = std::move(value);
  return true;
}

bool readString(od::value v, std::optional<std::string_view>& out) {
  return readNullable(v, out, [](od::value& x, std::string_view& s) {
    return x.get_string().get(s) == simdjson::SUCCESS;
  });
}

// Base64 text is read straight from the line when it holds no escapes, which
// saves copying the largest member of most lines; otherwise as any string.
bool readBase64Text(od::value v, std::optional<std::string_view>& out) {
  std::string_view token = v.raw_json_token();
  if (token.starts_with('"')) {
    token = token.substr(0, token.find_last_not_of(" \t\n\r") + 1);
    if (token.size() >= 2 && token.back() == '"') {
      const std::string_view inner = token.substr(1, token.size() - 2);
      if (inner.find('\\') == std::string_view::npos) {
        out = inner;  // Left unconsumed: moving to the next member skips it.
        return true;
      }
    }
  }
  return readString(v, out);
}

// Whole numbers only, in the range of T; "443.0" is 443, "1.5" is refused.
template <class T>
std::optional<T> integerFrom(od::number n) {
  using Limits = std::numeric_limits<T>;
  switch (n.get_number_type()) {
    case od::number_type::signed_integer: {
      const int64_t x = n.get_int64();
      if constexpr (std::is_unsigned_v<T>) {
        if (x < 0) return std::nullopt;
      } else if (x < int64_t(Limits::min()) || x > int64_t(Limits::max())) {
        return std::nullopt;
      }
      return T(x);
    }
    case od::number_type::unsigned_integer: {
      const uint64_t x = n.get_uint64();
      if (x > uint64_t(Limits::max())) return std::nullopt;
      return T(x);
    }
    default: {
      const double d = n.get_double();
      // 2^63 and 2^64 are exact doubles, so the upper bounds compare safely.
      const double upper = std::is_same_v<T, int32_t> ? 2147483648.0
                           : std::is_unsigned_v<T>    ? 18446744073709551616.0
                                                      : 9223372036854775808.0;
      if (!std::isfinite(d) || d != std::trunc(d) || d < double(Limits::min()) || d >= upper)
        return std::nullopt;
      return T(d);
    }
  }
}

template <class T>
bool readInteger(od::value v, std::optional<T>& out) {
  return readNullable(v, out, [](od::value& x, T& value) {
    od::number n;
    if (x.get_number().get(n)) return false;
    const auto whole = integerFrom<T>(n);
    value = whole.value_or(T{});
    return whole.has_value();
  });
}

bool readDouble(od::value v, std::optional<double>& out) {
  return readNullable(
      v, out, [](od::value& x, double& d) { return x.get_double().get(d) == simdjson::SUCCESS; });
}

bool readBool(od::value v, std::optional<bool>& out) {
  return readNullable(
      v, out, [](od::value& x, bool& b) { return x.get_bool().get(b) == simdjson::SUCCESS; });
}

// An array of arrays of strings; inner arrays of other lengths than two are
// skipped, but every element must still be a string.
bool headersFrom(od::value& v, std::vector<ProxyHeader>& headers) {
  od::array outer;
  if (v.get_array().get(outer)) return false;
  // Collected first so that the list is allocated once, at its final size.
  thread_local std::vector<std::array<std::string_view, 2>> pairs;
  pairs.clear();
  for (auto inner : outer) {
    od::array pair;
    if (inner.get_array().get(pair)) return false;
    std::array<std::string_view, 2> parts;
    size_t count = 0;
    for (auto element : pair) {
      std::string_view s;
      if (element.get_string().get(s)) return false;
      if (count < 2) parts[count] = s;
      ++count;
    }
    if (count == 2) pairs.push_back(parts);
  }
  headers.reserve(pairs.size());
  for (const auto& [name, value] : pairs)
    headers.push_back({std::string(name), std::string(value)});
  return true;
}

bool readHeaders(od::value v, std::optional<std::vector<ProxyHeader>>& out) {
  return readNullable(v, out, headersFrom);
}

// Deeper nesting rejects the line rather than the stack.
constexpr int kMaxDepth = 512;

// Walks a member nobody reads, so that malformed JSON inside it still rejects
// the line (the on-demand parser would otherwise skip over it unchecked).
bool validate(od::value v, int depth = 1) {
  if (depth > kMaxDepth) return false;
  od::json_type type;
  if (v.type().get(type)) return false;
  switch (type) {
    case od::json_type::array: {
      od::array array;
      if (v.get_array().get(array)) return false;
      for (auto element : array) {
        od::value item;
        if (std::move(element).get(item) || !validate(item, depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::object: {
      od::object object;
      if (v.get_object().get(object)) return false;
      for (auto field : object) {
        od::field f;
        std::string_view key;
        if (std::move(field).get(f) || f.unescaped_key().get(key) ||
            !validate(f.value(), depth + 1))
          return false;
      }
      return true;
    }
    case od::json_type::number: {
      double d = 0;
      return v.get_double().get(d) == simdjson::SUCCESS;
    }
    case od::json_type::string: {
      std::string_view s;
      return v.get_string().get(s) == simdjson::SUCCESS;
    }
    case od::json_type::boolean: {
      bool b = false;
      return v.get_bool().get(b) == simdjson::SUCCESS;
    }
    case od::json_type::null: {
      bool null = false;
      return isNull(v, null) && null;
    }
  }
  return false;
}

bool readMember(Raw& raw, Member member, od::value v) {
  switch (member) {
    case Member::type:
      return readString(v, raw.type);
    case Member::certPem:
      return readString(v, raw.certPem);
    case Member::keyPem:
      return readString(v, raw.keyPem);
    case Member::lan:
      return readString(v, raw.lan);
    case Member::client:
      return readString(v, raw.client);
    case Member::method:
      return readString(v, raw.method);
    case Member::url:
      return readString(v, raw.url);
    case Member::version:
      return readString(v, raw.version);
    case Member::bodyB64:
      return readBase64Text(v, raw.bodyB64);
    case Member::message:
      return readString(v, raw.message);
    case Member::host:
      return readString(v, raw.host);
    case Member::dir:
      return readString(v, raw.dir);
    case Member::opcode:
      return readString(v, raw.opcode);
    case Member::dataB64:
      return readBase64Text(v, raw.dataB64);
    case Member::reason:
      return readString(v, raw.reason);
    case Member::ip:
      return readString(v, raw.ip);
    case Member::port:
      return readInteger(v, raw.port);
    case Member::bodyLen:
      return readInteger(v, raw.bodyLen);
    case Member::status:
      return readInteger(v, raw.status);
    case Member::len:
      return readInteger(v, raw.len);
    case Member::id:
      return readInteger(v, raw.id);
    case Member::pid:
      return readInteger(v, raw.pid);
    case Member::headers:
      return readHeaders(v, raw.headers);
    case Member::truncated:
      return readBool(v, raw.truncated);
    case Member::at:
      return readDouble(v, raw.at);
  }
  return false;
}

// One parser per thread, reused so that its buffers are allocated once.
struct LineParser {
  od::parser parser;
  std::string padded;
};

std::optional<Raw> readRaw(std::string_view line, LineParser& state) {
  state.padded.reserve(line.size() + simdjson::SIMDJSON_PADDING);
  state.padded.assign(line);
  od::document doc;
  if (state.parser.iterate(state.padded.data(), line.size(), state.padded.capacity()).get(doc))
    return std::nullopt;
  od::object object;
  if (doc.get_object().get(object)) return std::nullopt;
  Raw raw;
  for (auto field : object) {
    od::field f;
    std::string_view key;
    if (std::move(field).get(f) || f.unescaped_key().get(key)) return std::nullopt;
    const auto member = memberFor(key);
    if (!(member ? readMember(raw, *member, f.value()) : validate(f.value()))) return std::nullopt;
  }
  // Anything after the object (a second value, stray text) makes it malformed.
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return std::nullopt;
  return raw;
}

std::string text(const std::optional<std::string_view>& s) { return s ? std::string(*s) : ""; }

std::vector<uint8_t> bytes(const std::optional<std::string_view>& b64) {
  if (!b64) return {};
  auto decoded = ProxyBase64::decode(*b64);
  return decoded ? std::move(*decoded) : std::vector<uint8_t>{};
}

ProxyRequest requestFrom(Raw& raw, Date at) {
  return ProxyRequest{*raw.id,
                      raw.pid,
                      text(raw.client),
                      text(raw.method),
                      text(raw.url),
                      text(raw.version),
                      raw.headers ? std::move(*raw.headers) : std::vector<ProxyHeader>{},
                      bytes(raw.bodyB64),
                      raw.bodyLen.value_or(0),
                      raw.truncated.value_or(false),
                      at};
}

ProxyResponse responseFrom(Raw& raw, Date at) {
  return ProxyResponse{*raw.id,
                       *raw.status,
                       text(raw.version),
                       raw.headers ? std::move(*raw.headers) : std::vector<ProxyHeader>{},
                       bytes(raw.bodyB64),
                       raw.bodyLen.value_or(0),
                       raw.truncated.value_or(false),
                       at};
}

std::optional<ProxyEvent::Value> eventFrom(Raw& raw) {
  if (!raw.type) return std::nullopt;
  const std::string_view type = *raw.type;
  const Date at = Date::fromUnix(raw.at.value_or(0));
  if (type == "request" && raw.id) return requestFrom(raw, at);
  if (type == "response" && raw.id && raw.status) return responseFrom(raw, at);
  if (type == "ws" && raw.id)
    return ProxyWSMessage{
        *raw.id, raw.dir == "out", text(raw.opcode), bytes(raw.dataB64), raw.len.value_or(0), at};
  if (type == "error" && raw.id) return ProxyEvent::Error{*raw.id, text(raw.message)};
  if (type == "tunnel" && raw.id && raw.host)
    return ProxyTunnel{*raw.id, raw.pid, text(raw.client), text(raw.host), raw.port.value_or(443),
                       at};
  if (type == "ca" && raw.certPem && raw.keyPem)
    return ProxyEvent::Ca{text(raw.certPem), text(raw.keyPem)};
  if (type == "ready" && raw.port)
    return ProxyEvent::Ready{*raw.port,
                             raw.lan ? std::optional<std::string>(*raw.lan) : std::nullopt};
  if (type == "device" && raw.ip) return ProxyEvent::Device{text(raw.ip)};
  if (type == "stopped") return ProxyEvent::Stopped{text(raw.reason)};
  return std::nullopt;
}

}  // namespace

std::optional<ProxyEvent> ProxyEvent::fromLine(std::string_view line) {
  try {
    thread_local LineParser state;
    auto raw = readRaw(line, state);
    if (!raw) return std::nullopt;
    auto value = eventFrom(*raw);
    if (!value) return std::nullopt;
    return ProxyEvent{std::move(*value)};
  } catch (const std::exception&) {  // Out of memory for a huge line: rejected.
    return std::nullopt;
  }
}

}  // namespace kelvane
