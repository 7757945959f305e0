#include "core/proxy/proxy_event.h"

#include <algorithm>
#include <array>
#include <limits>
#include <simdjson.h>
#include <type_traits>
#include <unordered_map>

#include "core/support/base64.h"
#include "core/support/text.h"

namespace kelvane {
namespace {

namespace od = simdjson::ondemand;

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

// The digits of a JSON number token, checked against the grammar: sign,
// integer digits (no leading zero), fraction digits, and the exponent.
struct NumberText {
  bool negative = false;
  std::string_view integer, fraction;
  int64_t exponent = 0;  // Saturates far beyond any width, keeping its sign.
};

std::optional<NumberText> numberText(std::string_view token) {
  NumberText n;
  size_t i = 0;
  const auto digits = [&] {
    const size_t start = i;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') ++i;
    return token.substr(start, i - start);
  };
  if (i < token.size() && token[i] == '-') n.negative = true, ++i;
  n.integer = digits();
  if (n.integer.empty() || (n.integer.size() > 1 && n.integer[0] == '0')) return std::nullopt;
  if (i < token.size() && token[i] == '.') {
    ++i;
    n.fraction = digits();
    if (n.fraction.empty()) return std::nullopt;
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    const bool down = i < token.size() && token[i] == '-';
    if (i < token.size() && (token[i] == '-' || token[i] == '+')) ++i;
    const std::string_view e = digits();
    if (e.empty()) return std::nullopt;
    for (const char c : e) n.exponent = std::min<int64_t>(n.exponent * 10 + (c - '0'), 1 << 20);
    if (down) n.exponent = -n.exponent;
  }
  if (i != token.size()) return std::nullopt;
  return n;
}

// The exact value of a JSON number that is whole and fits in T, however it is
// spelt ("443", "443.0", "4.43e2"); nullopt for a fraction or a value beyond
// T's range. Read from the text, not through a double, so that every 64-bit
// value comes out exact.
template <class T>
std::optional<T> wholeNumber(std::string_view token) {
  const auto n = numberText(token);
  if (!n) return std::nullopt;
  // The significant digits, without leading zeros, and the power of ten after them.
  std::string digits(n->integer);
  digits += n->fraction;
  int64_t power = n->exponent - int64_t(n->fraction.size());
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) return T(0);  // Zero in any spelling, "-0.0e9" included.
  while (digits.back() == '0') digits.pop_back(), ++power;
  if (power < 0) return std::nullopt;  // A non-zero digit after the point.
  if (int64_t(digits.size()) + power > 20) return std::nullopt;
  uint64_t magnitude = 0;  // Below 10^20, but 64 bits hold only up to about 1.8 * 10^19.
  const auto times10plus = [&](unsigned digit) {
    return !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
           !__builtin_add_overflow(magnitude, digit, &magnitude);
  };
  for (const char c : digits)
    if (!times10plus(unsigned(c - '0'))) return std::nullopt;
  for (int64_t k = 0; k < power; ++k)
    if (!times10plus(0)) return std::nullopt;
  using Limits = std::numeric_limits<T>;
  if (n->negative) {
    // The magnitude of the lowest value: 0 for unsigned types, 2^63 for int64_t.
    const uint64_t lowest = std::is_signed_v<T> ? uint64_t(Limits::max()) + 1 : 0;
    if (magnitude > lowest) return std::nullopt;
    return T(-T(magnitude - 1) - 1);  // Never negates a value beyond the type.
  }
  if (magnitude > uint64_t(Limits::max())) return std::nullopt;
  return T(magnitude);
}

template <class T>
bool readInteger(od::value v, std::optional<T>& out) {
  return readNullable(v, out, [](od::value& x, T& value) {
    // Plain integers in range are read in place by the parser; anything else
    // (a fraction part, an exponent, a value beyond 64 bits) from its text.
    using Wide = std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>;
    Wide wide{};
    simdjson::error_code fast;
    if constexpr (std::is_signed_v<T>)
      fast = x.get_int64().get(wide);
    else
      fast = x.get_uint64().get(wide);
    if (fast == simdjson::SUCCESS && wide >= Wide(std::numeric_limits<T>::min()) &&
        wide <= Wide(std::numeric_limits<T>::max())) {
      value = T(wide);
      return true;
    }
    od::json_type type;
    if (x.type().get(type) || type != od::json_type::number) return false;
    std::string_view token = x.raw_json_token();
    token = token.substr(0, token.find_last_not_of(" \t\n\r") + 1);
    const auto whole = wholeNumber<T>(token);
    value = whole.value_or(T{});
    return whole.has_value();  // Left unconsumed: moving to the next member skips it.
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

// The readers by member type, so that the table below names only the member.
bool read(od::value v, std::optional<std::string_view>& out) { return readString(v, out); }
template <class T>
requires std::is_integral_v<T>
bool read(od::value v, std::optional<T>& out) { return readInteger(v, out); }
bool read(od::value v, std::optional<bool>& out) { return readBool(v, out); }
bool read(od::value v, std::optional<double>& out) { return readDouble(v, out); }
bool read(od::value v, std::optional<std::vector<ProxyHeader>>& out) { return readHeaders(v, out); }

using Reader = bool (*)(Raw&, od::value);
template <auto member>
bool field(Raw& raw, od::value v) {
  return read(v, raw.*member);
}
template <auto member>
bool base64Field(Raw& raw, od::value v) {
  return readBase64Text(v, raw.*member);
}

// Every member the engine may send: its key, the key's camel-case form (also
// accepted), and what reads it into the wire record.
struct MemberKey {
  std::string_view snake;
  std::string_view camel;
  Reader read;
};

constexpr MemberKey kMembers[] = {
    {"type", "type", field<&Raw::type>},
    {"cert_pem", "certPem", field<&Raw::certPem>},
    {"key_pem", "keyPem", field<&Raw::keyPem>},
    {"lan", "lan", field<&Raw::lan>},
    {"client", "client", field<&Raw::client>},
    {"method", "method", field<&Raw::method>},
    {"url", "url", field<&Raw::url>},
    {"version", "version", field<&Raw::version>},
    {"body_b64", "bodyB64", base64Field<&Raw::bodyB64>},
    {"message", "message", field<&Raw::message>},
    {"host", "host", field<&Raw::host>},
    {"dir", "dir", field<&Raw::dir>},
    {"opcode", "opcode", field<&Raw::opcode>},
    {"data_b64", "dataB64", base64Field<&Raw::dataB64>},
    {"reason", "reason", field<&Raw::reason>},
    {"ip", "ip", field<&Raw::ip>},
    {"port", "port", field<&Raw::port>},
    {"body_len", "bodyLen", field<&Raw::bodyLen>},
    {"status", "status", field<&Raw::status>},
    {"len", "len", field<&Raw::len>},
    {"id", "id", field<&Raw::id>},
    {"pid", "pid", field<&Raw::pid>},
    {"headers", "headers", field<&Raw::headers>},
    {"truncated", "truncated", field<&Raw::truncated>},
    {"at", "at", field<&Raw::at>},
};

// The usual snake-case-to-camel-case rule: words after the first are
// capitalised and the underscores between them dropped; underscores at either
// end stay; a key without inner underscores is left as it is.
std::string camelFromSnake(std::string_view key) {
  const size_t first = key.find_first_not_of('_');
  if (first == std::string_view::npos) return std::string(key);
  const size_t last = key.find_last_not_of('_');
  const std::string core = Text::asciiLowercased(key.substr(first, last - first + 1));
  if (core.find('_') == std::string::npos) return std::string(key);
  std::string out(key.substr(0, first));
  for (size_t i = 0; i < core.size(); ++i) {
    if (core[i] == '_') continue;
    const bool wordStart = i > 0 && core[i - 1] == '_' && out.size() > first;
    out += wordStart && core[i] >= 'a' && core[i] <= 'z' ? char(core[i] - 'a' + 'A') : core[i];
  }
  out += key.substr(last + 1);
  return out;
}

// The member a key names, as given or else converted to camel case (which
// leaves no inner underscores, so it can only match a camel form).
const MemberKey* memberFor(std::string_view key) {
  static const auto byName = [] {
    std::unordered_map<std::string_view, const MemberKey*> names;
    for (const auto& m : kMembers) names[m.snake] = names[m.camel] = &m;
    return names;
  }();
  if (const auto it = byName.find(key); it != byName.end()) return it->second;
  if (key.find('_') == std::string_view::npos) return nullptr;
  const auto it = byName.find(camelFromSnake(key));
  return it == byName.end() ? nullptr : it->second;
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
    const MemberKey* member = memberFor(key);
    if (!(member ? member->read(raw, f.value()) : validate(f.value()))) return std::nullopt;
  }
  // Anything after the object (a second value, stray text) makes it malformed.
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return std::nullopt;
  return raw;
}

std::string text(const std::optional<std::string_view>& s) { return s ? std::string(*s) : ""; }

std::vector<uint8_t> bytes(const std::optional<std::string_view>& b64) {
  if (!b64) return {};
  auto decoded = Base64::decode(*b64);
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
