#include "helper/services_file_store.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/support/file_io.h"
#include "helper/leftovers.h"
#include "helper/plist_json.h"

extern char** environ;

namespace kelvane {
namespace {

using nlohmann::json;

// A hung apply command must not hang the daemon for good.
constexpr int kApplyTimeoutMs = 30'000;

// Holds an exclusive flock on the lock file; closing the file when it goes drops the lock.
class FileLock {
 public:
  explicit FileLock(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (!fd_.valid()) return;
    int rc;
    do rc = ::flock(fd_.get(), LOCK_EX);
    while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
  }
  bool locked() const { return locked_; }

 private:
  FileDescriptor fd_;
  bool locked_ = false;
};

std::optional<json> openDocument(const std::string& path) {
  const auto text = readWholeFile(path);
  if (!text) return std::nullopt;
  auto doc = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return std::nullopt;
  return doc;
}

// The ID of a service that has a proxies protocol; nullopt for any other entry.
std::optional<std::string> proxiesServiceID(const json& service) {
  if (!service.is_object() || !service.contains("proxies")) return std::nullopt;
  const auto id = service.find("id");
  if (id == service.end() || !id->is_string() || id->get_ref<const std::string&>().empty())
    return std::nullopt;
  return id->get<std::string>();
}

// Calls `visit(service, id)` for each service with a proxies protocol whose ID
// has not come before; a missing or damaged list counts as empty.
template <class Doc, class Visit>
void forEachService(Doc& doc, Visit visit) {
  const auto list = doc.find("services");
  if (list == doc.end() || !list->is_array()) return;
  std::set<std::string> seen;
  for (auto& service : *list) {
    const auto id = proxiesServiceID(service);
    if (id && seen.insert(*id).second) visit(service, *id);
  }
}

std::optional<SettingsSet> servicesIn(const json& doc) {
  SettingsSet settings;
  bool representable = true;
  forEachService(doc, [&](const json& service, const std::string& id) {
    const json& proxies = service.at("proxies");
    ServiceConfig config;
    if (proxies.is_object()) {
      const auto value = plistFromJson(proxies);
      if (!value)
        representable = false;
      else if (const auto* dict = value->get<PlistDict>())
        config = *dict;
    }
    settings.emplace(id, std::move(config));
  });
  if (!representable) return std::nullopt;
  return settings;
}

std::optional<std::string> documentText(const json& doc) {
  try {
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

bool waitFor(pid_t pid, int timeoutMs) {
  bool timedOut = false;
  // The raw call: the libc header for it lacks C linkage in this release.
  const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {  // without a pidfd there is no time limit, only the wait
    pollfd ready{pidfd, POLLIN, 0};
    int rc;
    do rc = ::poll(&ready, 1, timeoutMs);
    while (rc < 0 && errno == EINTR);
    ::close(pidfd);
    timedOut = rc == 0;
    if (timedOut) ::kill(pid, SIGKILL);
  }
  int status = 0;
  pid_t done;
  do done = ::waitpid(pid, &status, 0);
  while (done < 0 && errno == EINTR);
  return !timedOut && done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool runCommand(const std::vector<std::string>& argv, int timeoutMs) {
  if (argv.empty() || argv.front().empty() || argv.front().front() != '/') return false;
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // The daemon's sockets are not the command's business (nor should it keep them open).
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 && waitFor(pid, timeoutMs);
}

ServicesFileStore::ServicesFileStore(std::string path, std::string lockPath,
                                     std::vector<std::string> applyCommand)
    : path_(std::move(path)),
      lockPath_(std::move(lockPath)),
      applyCommand_(std::move(applyCommand)) {}

std::optional<SettingsSet> ServicesFileStore::read() {
  const auto doc = openDocument(path_);
  if (!doc) return std::nullopt;
  return servicesIn(*doc);
}

PrefsWrite ServicesFileStore::write(const SettingsSet& settings) {
  const FileLock lock(lockPath_);
  if (!lock.locked()) return PrefsWrite::notCommitted;
  // Read under the lock, so a writer that came in between is not overwritten.
  // A document read() cannot open is not written either, so nothing it holds is lost.
  auto doc = openDocument(path_);
  if (!doc || !servicesIn(*doc)) return PrefsWrite::notCommitted;
  forEachService(*doc, [&](json& service, const std::string& id) {
    const auto it = settings.find(id);
    if (it != settings.end()) service["proxies"] = plistToJson(PlistValue(it->second));
  });
  const auto text = documentText(*doc);
  // The document keeps its mode and owner (one deleted meanwhile comes back readable by all).
  if (!text || !replaceFile(path_, *text, ownershipOf(path_).value_or(FileOwnership{.mode = 0644})))
    return PrefsWrite::notCommitted;
  if (applyCommand_.empty() || runCommand(applyCommand_, kApplyTimeoutMs))
    return PrefsWrite::applied;
  return PrefsWrite::committedNotApplied;
}

std::vector<std::string> ServicesFileStore::removeLeftovers() {
  const FileLock lock(lockPath_);
  if (!lock.locked()) return {};
  return removeLeftoverTemporaries(path_);
}

}  // namespace kelvane
