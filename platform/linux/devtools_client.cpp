#include "platform/linux/devtools_client.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include <curl/curl.h>

#include "platform/linux/devtools_socket.h"

namespace kelvane {
namespace {

// The tab list of a browser with a few thousand tabs is a few megabytes.
constexpr size_t kMaxBodyBytes = size_t{32} << 20;

using Error = Unexpected<std::string>;

// The paths this client sends: the listing and the browser's socket. Nothing
// that could end the request line or add a header gets through.
bool isPlainPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  return std::all_of(path.begin(), path.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == '_' ||
           c == '.';
  });
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t n = size * count;
  if (body->size() + n > kMaxBodyBytes) return 0;  // libcurl then fails the transfer.
  body->append(data, n);
  return n;
}

std::string curlFailure(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return "no answer in time";
    case CURLE_COULDNT_CONNECT:
      return "the connection was refused";
    case CURLE_WRITE_ERROR:
      return "the answer is too large";
    default:
      return curl_easy_strerror(code);
  }
}

long remainingMs(DevToolsClient::Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - DevToolsClient::Clock::now());
  return static_cast<long>(left.count());
}

// The error text of a protocol answer.
std::string errorText(const nlohmann::json& error) {
  const auto message = error.is_object() ? error.find("message") : error.end();
  if (message != error.end() && message->is_string()) return message->get<std::string>();
  return "the browser refused";
}

}  // namespace

DevToolsClient::DevToolsClient(uint16_t port, Clock::time_point deadline)
    : port_(port), deadline_(deadline) {}

DevToolsClient::~DevToolsClient() = default;

DevToolsResult DevToolsClient::getJson(std::string_view path) const {
  if (!isPlainPath(path)) return Error("bad endpoint path");
  const long timeoutMs = remainingMs(deadline_);
  if (timeoutMs <= 0) return Error("no answer in time");
  static std::once_flag initialised;  // curl_global_init is not thread-safe.
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                 curl_easy_cleanup);
  if (!curl) return Error("cannot start an HTTP request");
  const std::string url = "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  std::string body;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // never a proxy from http_proxy and the like
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  const CURLcode code = curl_easy_perform(c);
  if (code != CURLE_OK) return Error(curlFailure(code));
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return Error("the endpoint answered " + std::to_string(status));
  auto j = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return Error("the answer is not JSON");
  return j;
}

Result<void, std::string> DevToolsClient::connect(std::string_view path) {
  if (!isPlainPath(path)) return Error("bad endpoint path");
  auto opened = DevToolsSocket::open(port_, std::string(path), deadline_);
  if (!opened.socket) return Error(opened.error);
  socket_ = std::move(opened.socket);
  return {};
}

std::vector<DevToolsResult> DevToolsClient::callAll(const std::vector<DevToolsCommand>& commands) {
  std::vector<DevToolsResult> out(commands.size(), Error("not connected"));
  if (!socket_) return out;
  std::map<int64_t, size_t> pending;  // Request ID to the command's place.
  for (size_t i = 0; i < commands.size(); ++i) {
    const int64_t id = nextID_++;
    const nlohmann::json request{
        {"id", id}, {"method", commands[i].method}, {"params", commands[i].params}};
    // Addresses from the closed-tab log may hold invalid UTF-8: sent repaired.
    if (socket_->send(request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)))
      pending.emplace(id, i);
    else
      out[i] = Error("the connection closed");
  }
  while (!pending.empty()) {
    const auto message = socket_->receive(deadline_);
    if (!message) break;
    const auto j = nlohmann::json::parse(*message, nullptr, /*allow_exceptions=*/false);
    if (!j.is_object()) continue;  // Not ours to answer; its command times out.
    const auto id = j.find("id");
    if (id == j.end() || !id->is_number_integer()) continue;  // An event.
    const auto it = pending.find(id->get<int64_t>());
    if (it == pending.end()) continue;
    if (const auto error = j.find("error"); error != j.end()) {
      out[it->second] = Error(errorText(*error));
    } else {
      const auto result = j.find("result");
      out[it->second] =
          result != j.end() && result->is_object() ? *result : nlohmann::json::object();
    }
    pending.erase(it);
  }
  for (const auto& [id, i] : pending)
    out[i] = Error(socket_->isOpen() ? "no answer in time" : "the connection closed");
  return out;
}

bool DevToolsClient::connected() const { return socket_ && socket_->isOpen(); }

DevToolsResult DevToolsClient::call(std::string method, nlohmann::json params) {
  return std::move(callAll({DevToolsCommand{std::move(method), std::move(params)}}).front());
}

}  // namespace kelvane
