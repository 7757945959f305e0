#include "core/proxyswitch/helper_protocol.h"

#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane::HelperProtocol {
namespace {

using nlohmann::json;

constexpr std::pair<HelperCall, const char*> kCallNames[] = {{HelperCall::enable, "enable"},
                                                             {HelperCall::disable, "disable"},
                                                             {HelperCall::status, "status"}};

const char* callName(HelperCall call) {
  for (const auto& [c, name] : kCallNames)
    if (c == call) return name;
  return "status";
}

std::optional<HelperCall> callNamed(std::string_view text) {
  for (const auto& [c, name] : kCallNames)
    if (text == name) return c;
  return std::nullopt;
}

constexpr std::string_view kHelperName = "KelvaneProxyHelper";
constexpr int kProtocolVersion = 1;

std::string line(const json& j) { return encodeJson(j).value_or("{}"); }

}  // namespace

std::string greeting() { return line(json::array({kHelperName, kProtocolVersion})); }

bool isGreeting(std::string_view text) {
  const auto j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  return j.is_array() && j.size() == 2 && j[0].is_string() &&
         j[0].get_ref<const std::string&>() == kHelperName && j[1].is_number_unsigned() &&
         j[1].get<uint64_t>() >= 1;
}

std::string encodeRequest(const HelperRequest& request) {
  json j = {{"call", callName(request.call)}};
  if (request.call == HelperCall::enable) {
    j["host"] = request.host;
    j["port"] = request.port;
  }
  return line(j);
}

Result<HelperRequest, std::string> decodeRequest(std::string_view text) {
  const auto j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return Unexpected<std::string>("Not a JSON request");
  if (!j.is_object()) return Unexpected<std::string>("Bad request: not an object");
  const auto call = j.find("call");
  if (call == j.end() || !call->is_string())
    return Unexpected<std::string>("Bad request: call must be text");
  const auto kind = callNamed(call->get_ref<const std::string&>());
  if (!kind) return Unexpected<std::string>("Unknown call");
  HelperRequest request;
  request.call = *kind;
  if (*kind != HelperCall::enable) return request;
  const auto host = j.find("host");
  const auto port = j.find("port");
  if (host == j.end() || !host->is_string())
    return Unexpected<std::string>("Bad request: host must be text");
  // Only whole numbers that fit 64 bits; 9091.5 or 1e30 are not ports.
  if (port == j.end() || !(port->is_number_integer() || port->is_number_unsigned()) ||
      (port->is_number_unsigned() && port->get<uint64_t>() > uint64_t(INT64_MAX)))
    return Unexpected<std::string>("Bad request: port must be an integer");
  request.host = host->get<std::string>();
  request.port = port->get<int64_t>();
  return request;
}

std::string encodeReply(HelperCall call, const HelperReply& reply) {
  json j = json::object();
  if (call == HelperCall::status) {
    j["applied"] = reply.applied;
    j["tampered"] = reply.tampered;
  }
  putOptional(j, "error", reply.error);
  return line(j);
}

std::string encodeError(std::string_view message) { return line({{"error", message}}); }

std::optional<HelperReply> decodeReply(std::string_view text) {
  const auto j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  try {
    HelperReply reply;
    reply.error = Fields::optional<std::string>(j, "error");
    reply.applied = Fields::optional<bool>(j, "applied").value_or(false);
    reply.tampered = Fields::optional<bool>(j, "tampered").value_or(false);
    return reply;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::string dispatch(ProxyHelperXPC& helper, std::string_view text) {
  const auto request = decodeRequest(text);
  if (!request) return encodeError(request.error());
  HelperReply reply;
  switch (request->call) {
    case HelperCall::enable:
      helper.enable(request->host, request->port,
                    [&](std::optional<std::string> error) { reply.error = std::move(error); });
      break;
    case HelperCall::disable:
      helper.disable([] {});
      break;
    case HelperCall::status:
      helper.status([&](bool applied, bool tampered) {
        reply.applied = applied;
        reply.tampered = tampered;
      });
      break;
  }
  return encodeReply(request->call, reply);
}

}  // namespace kelvane::HelperProtocol
