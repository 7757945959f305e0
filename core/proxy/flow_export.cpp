#include "core/proxy/flow_export.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>

#include <date/date.h>
#include <nlohmann/json.hpp>

#include "core/proxy/captured_url.h"
#include "core/proxy/flow_text.h"
#include "core/support/base64.h"
#include "core/support/text.h"

namespace kelvane {
namespace {

using nlohmann::json;

// Text that can travel as a string literal: valid UTF-8 without NUL bytes.
std::optional<std::string> plainText(const std::vector<uint8_t>& body) {
  if (std::find(body.begin(), body.end(), uint8_t(0)) != body.end()) return std::nullopt;
  return FlowText::utf8(body);
}

// The moment in milliseconds since 1970, within the years 0001 to 9999 that
// a HAR date can hold; a moment that is not a number reads as 1970.
double harMillis(Date date) {
  constexpr double kFirst = -62135596800000.0;  // 0001-01-01T00:00:00.000Z
  constexpr double kLast = 253402300799999.0;   // 9999-12-31T23:59:59.999Z
  const double ms = std::floor(date.unix() * 1000);
  return std::isnan(ms) ? 0.0 : std::clamp(ms, kFirst, kLast);
}

// ISO 8601 in UTC with milliseconds, e.g. 2026-01-02T03:04:05.678Z.
std::string isoMillis(double ms) {
  const date::sys_time<std::chrono::milliseconds> t{std::chrono::milliseconds(int64_t(ms))};
  return date::format("%FT%TZ", t);
}

json pairs(const std::vector<FlowText::NameValue>& items) {
  json out = json::array();
  for (const auto& [name, value] : items) out.push_back({{"name", name}, {"value", value}});
  return out;
}

json headers(const std::vector<ProxyHeader>& list) {
  json out = json::array();
  for (const auto& h : list) out.push_back({{"name", h.name}, {"value", h.value}});
  return out;
}

// Puts the body under "text", as UTF-8 or else in Base64 with "encoding".
void putBody(json& j, const std::vector<uint8_t>& body) {
  if (auto text = FlowText::utf8(body)) {
    j["text"] = std::move(*text);
  } else {
    j["text"] = Base64::encode(body);
    j["encoding"] = "base64";
  }
}

json harRequest(const ProxyRequest& r) {
  json j = {{"method", r.method},
            {"url", CapturedUrl::normalized(r.url)},
            {"httpVersion", r.version},
            {"headers", headers(r.headers)},
            {"queryString", pairs(FlowText::query(r.url))},
            {"cookies", pairs(FlowText::cookies(r.headers, false))},
            {"headersSize", -1},
            {"bodySize", r.bodyLength}};
  if (!r.body.empty()) {
    json post = {
        {"mimeType", FlowText::contentType(r.headers).value_or("application/octet-stream")}};
    putBody(post, r.body);
    j["postData"] = std::move(post);
  }
  return j;
}

json harResponse(const Flow& flow) {
  const auto* r = flow.response ? &*flow.response : nullptr;
  json content = {{"size", r ? r->bodyLength : 0},
                  {"mimeType", r ? FlowText::contentType(r->headers).value_or("") : ""}};
  if (r && !r->body.empty()) putBody(content, r->body);
  return {{"status", r ? r->status : 0},
          {"statusText", ""},
          {"httpVersion", r ? r->version : flow.request->version},
          {"headers", r ? headers(r->headers) : json::array()},
          {"cookies", r ? pairs(FlowText::cookies(r->headers, true)) : json::array()},
          {"content", std::move(content)},
          {"redirectURL", ""},
          {"headersSize", -1},
          {"bodySize", r ? r->bodyLength : -1}};
}

// A response stamped before its request took no time: HAR times are never negative.
json harEntry(const Flow& flow) {
  const double started = harMillis(flow.started);
  const double time = flow.response ? std::max(0.0, harMillis(flow.response->at) - started) : 0.0;
  return {{"startedDateTime", isoMillis(started)},
          {"time", time},
          {"request", harRequest(*flow.request)},
          {"response", harResponse(flow)},
          {"cache", json::object()},
          {"timings", {{"send", 0}, {"wait", time}, {"receive", 0}}}};
}

// Fetch headers: lower-cased names in order of first appearance, repeated
// names joined with ", ".
struct FetchHeaders {
  std::vector<std::pair<std::string, std::string>> kept;
  std::optional<std::string> referrer;
  bool cookie = false;
};

FetchHeaders fetchHeaders(const std::vector<ProxyHeader>& list) {
  FetchHeaders out;
  for (const auto& h : list) {
    const std::string name = Text::asciiLowercased(h.name);
    if (name == "cookie") out.cookie = true;
    if (name == "referer") {
      out.referrer = h.value;
      continue;
    }
    if (name.starts_with(":") || name == "host" || name == "content-length" ||
        name == "connection" || name == "cookie")
      continue;
    const auto it = std::find_if(out.kept.begin(), out.kept.end(),
                                 [&](const auto& kept) { return kept.first == name; });
    if (it == out.kept.end())
      out.kept.emplace_back(name, h.value);
    else
      it->second += ", " + h.value;
  }
  return out;
}

std::string fetchHeadersLine(const FetchHeaders& headers) {
  if (headers.kept.empty()) return "  \"headers\": {}";
  std::string entries;
  for (const auto& [name, value] : headers.kept)
    entries += (entries.empty() ? "" : ", ") + Fetch::json(name) + ": " + Fetch::json(value);
  return "  \"headers\": { " + entries + " }";
}

}  // namespace

namespace HAR {

// The document as nlohmann writes it with two-space indents and sorted keys:
// {"log": {"creator": ..., "entries": [...], "version": "1.2"}}, each entry
// indented by six spaces.
Writer::Writer(std::ostream& out, std::string_view version) : out_(out) {
  const json creator = {{"name", "Kelvane"}, {"version", std::string(version)}};
  std::string head = creator.dump(2, ' ', false, json::error_handler_t::replace);
  for (size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1))
    head.insert(at + 1, "    ");
  out_ << "{\n  \"log\": {\n    \"creator\": " << head << ",\n    \"entries\": [";
}

void Writer::add(const Flow& flow) {
  if (flow.kind == Flow::Kind::tunnel || !flow.request) return;
  try {
    std::string text = harEntry(flow).dump(2, ' ', false, json::error_handler_t::replace);
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
      text.insert(at + 1, "      ");
    out_ << (empty_ ? "\n      " : ",\n      ") << text;
    empty_ = false;
  } catch (const std::exception&) {
    failed_ = true;
  }
}

bool Writer::finish() {
  out_ << (empty_ ? "" : "\n    ") << "],\n    \"version\": \"1.2\"\n  }\n}";
  out_.flush();
  return !failed_ && out_.good();
}

std::vector<uint8_t> exportFlows(const std::vector<Flow>& flows, std::string_view version) {
  std::ostringstream out;
  Writer writer(out, version);
  for (const auto& flow : flows) writer.add(flow);
  if (!writer.finish()) return {};
  const std::string text = std::move(out).str();
  return {text.begin(), text.end()};
}

}  // namespace HAR

namespace Curl {

std::string quote(std::string_view text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

namespace {

// Linux passes a program at most 128 KiB in one argument and about 2 MiB in
// all of them and the environment together; the command keeps well inside.
constexpr size_t kMaxArgumentBytes = 128 * 1024 - 1;
constexpr size_t kMaxArgumentsBytes = 1024 * 1024;
// Text bodies up to this size travel as an argument; larger ones through a
// pipe, which has no limit.
constexpr size_t kMaxInlineBodyBytes = 64 * 1024;

bool sentToCurl(const ProxyHeader& h) {
  return !h.name.starts_with(":") && !Text::equalsIgnoringASCIICase(h.name, "host") &&
         !Text::equalsIgnoringASCIICase(h.name, "content-length");
}

// curl drops a header given as "Name:" with nothing after it; "Name;" sends it empty.
std::string headerArgument(const ProxyHeader& h) {
  return h.value.empty() ? h.name + ";" : h.name + ": " + h.value;
}

// curl's own arguments, unquoted, the body aside.
std::vector<std::string> curlArguments(const ProxyRequest& r) {
  std::vector<std::string> words{"curl"};
  if (r.url.find_first_of("[]{}") != std::string::npos) words.push_back("-g");  // No globbing.
  words.insert(words.end(), {"-X", r.method, CapturedUrl::normalized(r.url)});
  for (const auto& h : r.headers)
    if (sentToCurl(h)) words.insert(words.end(), {"-H", headerArgument(h)});
  return words;
}

bool inlineBody(const std::vector<uint8_t>& body) {
  return body.size() <= kMaxInlineBodyBytes && plainText(body).has_value();
}

}  // namespace

std::optional<std::string> cannotCarry(const Flow& flow) {
  if (!flow.request) {
    if (flow.url.find('\0') != std::string::npos) return "its address holds a NUL byte";
    return std::nullopt;
  }
  const ProxyRequest& r = *flow.request;
  if (r.method.find('\0') != std::string::npos) return "its method holds a NUL byte";
  if (r.url.find('\0') != std::string::npos) return "its address holds a NUL byte";
  for (const auto& h : r.headers)
    if (sentToCurl(h) && (h.name + h.value).find('\0') != std::string::npos)
      return "its header " + Fetch::json(h.name) + " holds a NUL byte";
  size_t total = 0;
  for (const auto& word : curlArguments(r)) {
    if (word.size() > kMaxArgumentBytes)
      return "one of its parts is longer than a command-line argument can be (" +
             std::to_string(word.size()) + " bytes)";
    total += word.size() + 1;
  }
  if (inlineBody(r.body)) total += r.body.size() + 12;
  if (total > kMaxArgumentsBytes)
    return "its address and headers are longer than a command line can be (" +
           std::to_string(total) + " bytes)";
  return std::nullopt;
}

std::string command(const Flow& flow) {
  if (const auto reason = cannotCarry(flow))
    return "# This request cannot be replayed with curl: " + *reason + ".";
  if (!flow.request) return "curl " + quote(flow.url);
  const ProxyRequest& r = *flow.request;
  const auto words = curlArguments(r);
  std::string out = words[0];
  for (size_t i = 1; i < words.size(); ++i)
    out += " " + (words[i].starts_with("-") && words[i].size() <= 2 ? words[i] : quote(words[i]));
  if (r.body.empty()) return out;
  if (inlineBody(r.body)) return out + " --data-raw " + quote(*plainText(r.body));
  return "printf %s '" + Base64::encode(r.body) + "' | base64 -d | " + out + " --data-binary @-";
}

}  // namespace Curl

namespace Fetch {

std::string json(std::string_view text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string command(const Flow& flow) {
  if (!flow.request) return "fetch(" + json(flow.url) + ");";
  const ProxyRequest& r = *flow.request;
  const FetchHeaders headers = fetchHeaders(r.headers);
  std::vector<std::string> lines{fetchHeadersLine(headers)};
  const std::string method = Text::asciiLowercased(r.method);
  if (method != "get" && method != "head" && !r.body.empty()) {
    if (const auto text = plainText(r.body)) {
      lines.push_back("  \"body\": " + json(*text));
    } else {
      lines.push_back("  \"body\": Uint8Array.from(atob(" + json(Base64::encode(r.body)) +
                      "), c => c.charCodeAt(0))");
    }
  }
  if (headers.referrer) lines.push_back("  \"referrer\": " + json(*headers.referrer));
  lines.push_back("  \"method\": " + json(r.method));
  lines.push_back(std::string("  \"credentials\": ") +
                  (headers.cookie ? "\"include\"" : "\"omit\""));
  std::string body;
  for (size_t i = 0; i < lines.size(); ++i) body += (i ? ",\n" : "") + lines[i];
  return "fetch(" + json(r.url) + ", {\n" + body + "\n});";
}

}  // namespace Fetch

namespace ProxyEnv {

std::string exports(int64_t port, std::string_view caPath, std::string_view bundlePath) {
  const std::string proxy = "http://127.0.0.1:" + std::to_string(port);
  const std::string bundle = Curl::quote(bundlePath);
  return "export HTTP_PROXY=" + proxy + " HTTPS_PROXY=" + proxy + " http_proxy=" + proxy +
         " https_proxy=" + proxy + " NODE_EXTRA_CA_CERTS=" + Curl::quote(caPath) +
         " SSL_CERT_FILE=" + bundle + " REQUESTS_CA_BUNDLE=" + bundle + " CURL_CA_BUNDLE=" + bundle;
}

}  // namespace ProxyEnv

}  // namespace kelvane
