// ProxyEvent::description: one line per event for logs. Bodies show as their
// byte count and headers as their number, so a log line stays short and does
// not repeat what was captured; the CA's key never appears.
#include <string>

#include "core/proxy/proxy_event.h"

namespace kelvane {
namespace {

std::string orNil(const std::optional<std::string>& s) { return s ? *s : "nil"; }
std::string orNil(const std::optional<int32_t>& n) { return n ? std::to_string(*n) : "nil"; }
std::string flag(bool b) { return b ? "true" : "false"; }
std::string byteCount(const std::vector<uint8_t>& b) { return std::to_string(b.size()) + " bytes"; }

std::string describe(const ProxyEvent::Ca& ca) {
  return "ca(certPEM: " + ca.certPEM + ", keyPEM: <hidden>)";
}
std::string describe(const ProxyEvent::Ready& r) {
  return "ready(port: " + std::to_string(r.port) + ", lan: " + orNil(r.lan) + ")";
}
std::string describe(const ProxyRequest& r) {
  return "request(id: " + std::to_string(r.id) + ", pid: " + orNil(r.pid) +
         ", client: " + r.client + ", method: " + r.method + ", url: " + r.url +
         ", version: " + r.version + ", headers: " + std::to_string(r.headers.size()) +
         ", body: " + byteCount(r.body) + ", bodyLength: " + std::to_string(r.bodyLength) +
         ", truncated: " + flag(r.truncated) + ", at: " + r.at.iso8601() + ")";
}
std::string describe(const ProxyResponse& r) {
  return "response(id: " + std::to_string(r.id) + ", status: " + std::to_string(r.status) +
         ", version: " + r.version + ", headers: " + std::to_string(r.headers.size()) +
         ", body: " + byteCount(r.body) + ", bodyLength: " + std::to_string(r.bodyLength) +
         ", truncated: " + flag(r.truncated) + ", at: " + r.at.iso8601() + ")";
}
std::string describe(const ProxyEvent::Error& e) {
  return "error(id: " + std::to_string(e.id) + ", message: " + e.message + ")";
}
std::string describe(const ProxyTunnel& t) {
  return "tunnel(id: " + std::to_string(t.id) + ", pid: " + orNil(t.pid) + ", client: " + t.client +
         ", host: " + t.host + ", port: " + std::to_string(t.port) + ", at: " + t.at.iso8601() +
         ")";
}
std::string describe(const ProxyWSMessage& m) {
  return "ws(id: " + std::to_string(m.id) + ", outgoing: " + flag(m.outgoing) +
         ", opcode: " + m.opcode + ", data: " + byteCount(m.data) +
         ", length: " + std::to_string(m.length) + ", at: " + m.at.iso8601() + ")";
}
std::string describe(const ProxyEvent::Device& d) { return "device(ip: " + d.ip + ")"; }
std::string describe(const ProxyEvent::Stopped& s) { return "stopped(reason: " + s.reason + ")"; }

}  // namespace

std::string ProxyEvent::description() const {
  return std::visit([](const auto& payload) { return describe(payload); }, value);
}

}  // namespace kelvane
