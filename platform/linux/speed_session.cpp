#include "platform/linux/speed_session.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "core/speed/speed_store.h"
#include "core/support/file_io.h"

namespace kelvane {

void to_json(nlohmann::json& j, const SpeedDecisionNote& note) {
  j = {{"at", note.at}, {"decision", note.decision}};
}
void from_json(const nlohmann::json& j, SpeedDecisionNote& note) {
  j.at("at").get_to(note.at);
  j.at("decision").get_to(note.decision);
}

namespace SpeedSession {
namespace {

constexpr int64_t kBytesPerGB = 1'000'000'000;

// Takes the test lock without waiting. Fails with "a test is running" when
// another test holds it, or with what went wrong when the lock file cannot be
// made or opened as a regular file.
Result<FileDescriptor, std::string> lock(const Store& store, bool create) {
  std::error_code ignored;
  if (create) std::filesystem::create_directories(store.dir, ignored);
  const std::string path = store.path(kLockFile).string();
  // O_NONBLOCK: something else put at that name (a FIFO) must not hold us up.
  FileDescriptor fd(::open(
      path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0), 0600));
  if (!fd.valid())
    return Unexpected<std::string>("cannot open " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return Unexpected<std::string>(path + " is not a regular file");
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    return Unexpected<std::string>(errno == EWOULDBLOCK ? std::string(rawValue(SpeedSkip::running))
                                                        : path + ": " + std::strerror(errno));
  return fd;
}

}  // namespace

Result<std::vector<SpeedServer>, std::string> servers(const Store& store) {
  if (!store.exists(kServersFile)) return std::vector<SpeedServer>{};
  const auto text = store.read(kServersFile);
  if (!text) return Unexpected<std::string>(store.path(kServersFile).string() + " cannot be read");
  auto list = SpeedServer::decode(*text);
  if (!list)
    return Unexpected<std::string>(store.path(kServersFile).string() +
                                   " is not a list of servers: " + list.error());
  return list;
}

int64_t budgetBytes(const Config& config) {
  // The setting is clamped to 1 ... 10000 when read, far from overflowing.
  return config.speedTestBudgetGB * kBytesPerGB;
}

SpeedBudget budget(const Store& store) {
  return store.load<SpeedBudget>(SpeedBudget::file).value_or(SpeedBudget{});
}

Result<Report, std::string> run(const Store& store, const std::vector<SpeedServer>& list,
                                bool automatic, const std::function<Date()>& now,
                                const Calendar& calendar, const SpeedRunLimits& limits,
                                const SpeedRunner::Progress& progress) {
  const auto held = lock(store, /*create=*/true);
  if (!held) return Unexpected<std::string>(held.error());
  const Date started = now();
  Report report{.outcome = SpeedRunner::run(list, automatic, started, limits, progress)};
  const Date finished = now();
  if (const auto* ok = std::get_if<SpeedTest::Ok>(&report.outcome))
    if (auto saved = appendSpeed(store, ok->result, finished); !saved)
      report.storeError = saved.error().message;
  // Read the budget only now: a test of the other kind may have added to it meanwhile.
  report.budget =
      budget(store).adding(SpeedTest::consumed(report.outcome), started, automatic, calendar);
  if (auto saved = store.save(report.budget, SpeedBudget::file); !saved && !report.storeError)
    report.storeError = saved.error().message;
  return report;
}

bool running(const Store& store) {
  if (!store.exists(kLockFile)) return false;
  const auto held = lock(store, /*create=*/false);
  return !held && held.error() == rawValue(SpeedSkip::running);
}

SpeedSchedule::Decision decide(const Store& store, const Config& config, Date now,
                               const Calendar& calendar, bool online, bool locked) {
  const SpeedBudget stored = budget(store);
  // Metered connections and a data-saving mode have no common source here.
  const SpeedConditions conditions{.automatic = config.speedTestAuto,
                                   .budget = budgetBytes(config),
                                   .used = stored.used(now, calendar),
                                   .online = online,
                                   .locked = locked,
                                   .running = running(store)};
  return SpeedSchedule::decide(now, stored.lastAuto, conditions, calendar);
}

bool online() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* a = list; a && !found; a = a->ifa_next) {
    const bool up = (a->ifa_flags & IFF_UP) && (a->ifa_flags & IFF_RUNNING);
    const bool address =
        a->ifa_addr && (a->ifa_addr->sa_family == AF_INET || a->ifa_addr->sa_family == AF_INET6);
    found = up && address && !(a->ifa_flags & IFF_LOOPBACK);
  }
  ::freeifaddrs(list);
  return found;
}

StoreResult noteDecision(const Store& store, Date at, const SpeedSchedule::Decision& decision) {
  return store.save(SpeedDecisionNote{at, decisionText(decision)}, kDecisionFile);
}

std::optional<SpeedDecisionNote> lastDecision(const Store& store) {
  return store.load<SpeedDecisionNote>(kDecisionFile);
}

std::string decisionText(const SpeedSchedule::Decision& decision) {
  switch (decision.kind) {
    case SpeedSchedule::Decision::Kind::run:
      return "run";
    case SpeedSchedule::Decision::Kind::wait:
      return "wait";
    case SpeedSchedule::Decision::Kind::skip:
      break;
  }
  return "skipped: " + std::string(rawValue(decision.reason.value_or(SpeedSkip::off)));
}

}  // namespace SpeedSession
}  // namespace kelvane
