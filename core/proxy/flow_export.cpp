#include "core/proxy/flow_export.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <date/date.h>
#include <nlohmann/json.hpp>

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

// ISO 8601 in UTC with milliseconds, e.g. 2026-01-02T03:04:05.678Z.
std::string isoMillis(Date date) {
  const double ms = std::floor(date.unix() * 1000);
  const auto clamped = std::isfinite(ms) ? std::clamp(ms, -1e15, 1e15) : 0.0;
  const date::sys_time<std::chrono::milliseconds> t{std::chrono::milliseconds(int64_t(clamped))};
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
            {"url", r.url},
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

json harEntry(const Flow& flow) {
  const double time = flow.response ? (flow.response->at - flow.started) * 1000 : 0;
  return {{"startedDateTime", isoMillis(flow.started)},
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

std::vector<uint8_t> exportFlows(const std::vector<Flow>& flows, std::string_view version) {
  try {
    json entries = json::array();
    for (const auto& flow : flows)
      if (flow.kind != Flow::Kind::tunnel && flow.request) entries.push_back(harEntry(flow));
    const json document = {{"log",
                            {{"version", "1.2"},
                             {"creator", {{"name", "Kelvane"}, {"version", std::string(version)}}},
                             {"entries", std::move(entries)}}}};
    const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
    return {text.begin(), text.end()};
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace HAR

namespace Curl {

std::string quote(std::string_view text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string command(const Flow& flow) {
  if (!flow.request) return "curl " + quote(flow.url);
  const ProxyRequest& r = *flow.request;
  std::string out = "curl -X " + quote(r.method) + " " + quote(r.url);
  for (const auto& h : r.headers) {
    const std::string name = Text::asciiLowercased(h.name);
    if (name.starts_with(":") || name == "host" || name == "content-length") continue;
    out += " -H " + quote(h.name + ": " + h.value);
  }
  if (r.body.empty()) return out;
  if (const auto text = plainText(r.body)) return out + " --data-raw " + quote(*text);
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
