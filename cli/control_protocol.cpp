#include "cli/control_protocol.h"

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>
#include <sys/un.h>

namespace kelvane::Control {
namespace {

// FNV-1a: a stable name for a folder, the same in every process.
uint64_t fnv1a(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// The user's runtime folder as the login manager makes it, when it is theirs.
std::string defaultRuntimeDir(uid_t uid) {
  const std::string dir = "/run/user/" + std::to_string(uid);
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid) return {};
  return dir;
}

}  // namespace

Result<Request, std::string> parseRequest(std::string_view line) {
  auto j = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return Unexpected<std::string>("not JSON");
  if (!j.is_object()) return Unexpected<std::string>("not a JSON object");
  const auto op = j.find("op");
  if (op == j.end() || !op->is_string()) return Unexpected<std::string>("no \"op\" text");
  return Request{op->get<std::string>(), std::move(j)};
}

nlohmann::json okReply(nlohmann::json fields) {
  nlohmann::json reply = fields.is_object() ? std::move(fields) : nlohmann::json::object();
  reply["ok"] = true;
  return reply;
}

nlohmann::json errorReply(std::string_view message) {
  return {{"ok", false}, {"error", std::string(message)}};
}

std::string line(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::vector<std::optional<std::string>> LineReader::feed(std::string_view bytes) {
  std::vector<std::optional<std::string>> lines;
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!skipping_) {
      if (pending_.size() + piece.size() > maxBytes_) {
        lines.emplace_back(std::nullopt);
        pending_.clear();
        skipping_ = true;
      } else {
        pending_.append(piece);
      }
    }
    if (end == std::string_view::npos) break;
    if (!skipping_) lines.emplace_back(std::move(pending_));
    pending_.clear();
    skipping_ = false;
    bytes.remove_prefix(end + 1);
  }
  return lines;
}

std::optional<std::string> socketPath(std::string_view runtimeDir,
                                      const std::filesystem::path& folder, uid_t uid) {
  std::string dir = runtimeDir.starts_with('/') ? std::string(runtimeDir) : defaultRuntimeDir(uid);
  if (dir.empty()) return std::nullopt;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(folder, ec).lexically_normal();
  std::string name = absolute.string();
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(name)));
  std::string path = dir + "/kelvane-agent-" + hash + ".sock";
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) return std::nullopt;
  return path;
}

}  // namespace kelvane::Control
