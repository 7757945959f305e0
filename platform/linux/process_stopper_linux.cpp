#include <cerrno>
#include <cmath>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/linux/process_stopper.h"

namespace kelvane {
namespace {

constexpr double kKillWaitSeconds = 2;
constexpr double kSameStartSeconds = 0.005;  // half a clock tick

// Owns a pidfd.
class Pidfd {
 public:
  explicit Pidfd(int32_t pid) : fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {
    error_ = fd_ < 0 ? errno : 0;
  }
  Pidfd(const Pidfd&) = delete;
  Pidfd& operator=(const Pidfd&) = delete;
  ~Pidfd() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool valid() const { return fd_ >= 0; }
  int error() const { return error_; }

  // Sends `signal`; the errno on failure, 0 on success.
  int send(int signal) const {
    return ::syscall(SYS_pidfd_send_signal, fd_, signal, nullptr, 0) == 0 ? 0 : errno;
  }
  // Waits up to `seconds` for the process to end; true once it has.
  bool ended(double seconds) const {
    pollfd p{fd_, POLLIN, 0};
    const int ms = static_cast<int>(std::ceil(std::max(0.0, seconds) * 1000));
    int ready = 0;
    do {
      ready = ::poll(&p, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready == 1;
  }

 private:
  int fd_;
  int error_ = 0;
};

}  // namespace

ProcessStopper::ProcessStopper(uint32_t me, double graceSeconds, ProcReader reader)
    : me_(me), graceSeconds_(graceSeconds), reader_(std::move(reader)) {}

bool ProcessStopper::sameStart(Date planned, Date now) {
  const double at = planned.timeIntervalSinceReferenceDate();
  if (std::fabs(now - planned) < kSameStartSeconds) return true;
  return at == std::floor(at) && now >= planned && now - planned < 1;
}

Outcome ProcessStopper::stop(int32_t pid, std::optional<Date> started, Ask ask) const {
  if (pid < 2 || pid == ::getpid()) return Outcome::failed("not a process that may be stopped");
  if (!started) return Outcome::failed("its start time is unknown, so it cannot be told apart");
  // The pidfd is taken first: what is read afterwards under the same ID and found
  // to have started at `started` is the very process it holds, or one it outlived.
  const Pidfd process(pid);
  if (!process.valid() && process.error() == ESRCH) return Outcome::skipped("no longer running");
  if (!process.valid()) return Outcome::failed("this system cannot signal a process safely");
  const auto now = reader_.process(pid, ProcReader::kStatus);
  const auto start = now ? reader_.startOf(now->stat) : std::nullopt;
  if (!now || process.ended(0)) return Outcome::skipped("no longer running");
  if (!start || !sameStart(*started, *start))
    return Outcome::skipped("no longer running (its process ID was reused)");
  if (!now->status) return Outcome::failed("its owner cannot be read");
  for (int i = 0; i < 3; ++i)
    if (now->status->uids[i] != me_) return Outcome::failed("it belongs to another user");

  const int first = ask == Ask::hangUp ? SIGHUP : SIGTERM;
  if (const int error = process.send(first); error != 0)
    return error == ESRCH ? Outcome::skipped("no longer running")
                          : Outcome::failed("not permitted to signal it");
  if (ask == Ask::hangUp) process.send(SIGCONT);  // a stopped job must run to hear it
  if (process.ended(graceSeconds_)) return Outcome::done();
  if (process.send(SIGKILL) != 0 && !process.ended(0))
    return Outcome::failed("not permitted to kill it");
  if (!process.ended(kKillWaitSeconds)) return Outcome::failed("still running after SIGKILL");
  Outcome outcome = Outcome::done();
  outcome.note = "did not end when asked; killed";
  return outcome;
}

}  // namespace kelvane
