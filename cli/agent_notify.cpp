#include "cli/agent_notify.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/support/text.h"

extern char** environ;

namespace kelvane {
namespace {

bool executable(const std::string& file) {
  struct stat info {};
  return ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(file.c_str(), X_OK) == 0;
}

// One line of plain text: notification servers take markup, so its signs are
// escaped, and control characters become spaces.
std::string plain(std::string_view text) {
  std::string out;
  for (const char c : Text::validUtf8(text)) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    }
  }
  return out;
}

}  // namespace

Notifier Notifier::find(std::string_view path, std::string_view busAddress,
                        std::string_view runtimeDir) {
  Notifier notifier;
  std::string bus(busAddress);
  if (bus.empty() && runtimeDir.starts_with('/')) {
    const std::string socket = std::string(runtimeDir) + "/bus";
    struct stat info {};
    if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) bus = "unix:path=" + socket;
  }
  if (bus.empty()) return notifier;
  for (const auto dir : Text::split(path, ':')) {
    if (!dir.starts_with('/')) continue;  // A relative entry would depend on the working folder.
    const std::string candidate = std::string(dir) + "/notify-send";
    if (executable(candidate)) {
      notifier.program_ = candidate;
      notifier.busAddress_ = bus;
      break;
    }
  }
  return notifier;
}

Notifier::~Notifier() {
  for (const auto& [pid, started] : running_) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

bool Notifier::show(std::string_view summary, std::string_view body) {
  if (!available()) return false;
  const std::string title = plain(summary), text = plain(body);
  const std::string bus = "DBUS_SESSION_BUS_ADDRESS=" + busAddress_;
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e)
    if (!std::string_view(*e).starts_with("DBUS_SESSION_BUS_ADDRESS=")) env.push_back(*e);
  env.push_back(const_cast<char*>(bus.c_str()));
  env.push_back(nullptr);
  const char* argv[] = {program_.c_str(), "--app-name=Kelvane", "--",
                        title.c_str(),    text.c_str(),         nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program_.c_str(), &actions, nullptr,
                               const_cast<char* const*>(argv), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  running_.emplace(pid, std::chrono::steady_clock::now());
  return true;
}

void Notifier::reap(std::chrono::seconds patience) {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = running_.begin(); it != running_.end();) {
    if (::waitpid(it->first, nullptr, WNOHANG) == it->first) {
      it = running_.erase(it);
      continue;
    }
    if (now - it->second >= patience) ::kill(it->first, SIGKILL);
    ++it;
  }
}

}  // namespace kelvane
