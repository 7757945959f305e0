#pragma once
// ProcessStopper: ends one process of the user safely. The signals go through a
// pidfd and only after the process's start time was found equal to the one the
// action was planned with, so a recycled process ID is never signalled.
#include <cstdint>
#include <optional>

#include "core/engine/outcome.h"
#include "core/support/date.h"
#include "platform/linux/proc_reader.h"

namespace kelvane {

// Immutable; calls on several threads are independent.
class ProcessStopper final {
 public:
  // How a process is asked to end.
  enum class Ask {
    terminate,  // SIGTERM, as a program is asked to quit.
    hangUp,     // SIGHUP then SIGCONT, as a closing terminal gives its session.
  };

  // Stops only processes whose real, effective and saved user IDs are all `me`.
  // `graceSeconds` is how long a process has to end before SIGKILL.
  explicit ProcessStopper(uint32_t me, double graceSeconds = 5, ProcReader reader = ProcReader());

  // Asks process `pid`, started at `started`, to end; kills it when it has not ended
  // after the grace period. "done" only once it has ended (with a note when it had to
  // be killed). Without a signal: "skipped: no longer running" when it is gone or its
  // ID now names a process started at another time; "failed: …" for another user's
  // process, an unknown start time, this program or the system's first processes.
  // "failed: still running after SIGKILL" when even that did not end it.
  Outcome stop(int32_t pid, std::optional<Date> started, Ask ask = Ask::terminate) const;

  // Tells whether a start time read now matches the one an action was planned with.
  // Start times that went through a file keep whole seconds only, so a whole-second
  // `planned` matches anything within that second.
  static bool sameStart(Date planned, Date now);

 private:
  uint32_t me_;
  double graceSeconds_;
  ProcReader reader_;
};

}  // namespace kelvane
