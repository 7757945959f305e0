#include "core/proxy/engine_command.h"

#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

using nlohmann::json;

json orNull(const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); }
std::string orNil(const std::optional<std::string>& s) { return s ? *s : "nil"; }

json object(const EngineCommand::Start& s) {
  return {{"cmd", "start"},
          {"port", s.port},
          {"ca_cert_pem", orNull(s.caCertPEM)},
          {"ca_key_pem", orNull(s.caKeyPEM)},
          {"rules", s.rules},
          {"lan", orNull(s.lan)}};
}
json object(const ProxyRules& r) {
  return {{"cmd", "rules"}, {"hosts", r.hosts}, {"never", r.never}};
}
json object(const EngineCommand::Lan& l) { return {{"cmd", "lan"}, {"addr", orNull(l.address)}}; }
json object(const EngineCommand::Devices& d) {
  return {{"cmd", "devices"}, {"allowed", d.allowed}};
}
json object(const EngineCommand::Stop&) { return {{"cmd", "stop"}}; }

std::string describe(const EngineCommand::Start& s) {
  return "start(port: " + std::to_string(s.port) + ", caCertPEM: " + orNil(s.caCertPEM) +
         ", caKeyPEM: <hidden>, rules: " + s.rules.description() + ", lan: " + orNil(s.lan) + ")";
}
std::string describe(const ProxyRules& r) { return "rules(" + r.description() + ")"; }
std::string describe(const EngineCommand::Lan& l) { return "lan(" + orNil(l.address) + ")"; }
std::string describe(const EngineCommand::Devices& d) {
  std::string out = "devices([";
  for (size_t i = 0; i < d.allowed.size(); ++i) out += (i ? ", \"" : "\"") + d.allowed[i] + "\"";
  return out + "])";
}
std::string describe(const EngineCommand::Stop&) { return "stop"; }

}  // namespace

std::vector<uint8_t> EngineCommand::line() const {
  try {
    const std::string text = std::visit([](const auto& c) { return object(c).dump(); }, value);
    std::vector<uint8_t> out(text.begin(), text.end());
    out.push_back('\n');
    return out;
  } catch (const json::exception&) {  // A text that is not UTF-8.
    return {'\n'};
  }
}

std::string EngineCommand::description() const {
  return std::visit([](const auto& c) { return describe(c); }, value);
}

}  // namespace kelvane
