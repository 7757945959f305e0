#pragma once
// The agent: the long-running program that sweeps this machine. One asio loop
// on the main thread is the engine's main queue; it ticks the engine, answers
// the control socket, feeds focus changes from the X server to screen time,
// hands disk scans from a worker thread to the engine, and on SIGTERM, SIGINT
// or SIGHUP stops a disk cleanup in progress, waits for the run to finish and
// saves before it exits.
#include <filesystem>
#include <optional>
#include <string>

#include "core/support/date.h"

namespace kelvane {

struct AgentOptions {
  std::filesystem::path folder;  // The support folder.
  double tickSeconds = 60;       // Real seconds between ticks.
  bool scanDisk = true;          // Scan the home folder at start, daily and on request.
  // For tests only, never read from the configuration: the moment the agent's
  // clock starts at, and how many of its seconds pass per real second.
  std::optional<Date> clockStart;
  double clockSpeed = 1;
};

// The agent's clock: the system clock, or for tests one that starts at a given
// moment and runs faster. Safe from any thread.
class AgentClock final {
 public:
  explicit AgentClock(std::optional<Date> start = std::nullopt, double speed = 1);
  Date now() const;

 private:
  std::optional<Date> start_;
  double speed_ = 1;
  double realStart_ = 0;  // Steady seconds when the clock started.
};

// Runs the agent until it is told to stop; returns the exit status: 0 after a
// clean stop, 1 when it could not start (another agent runs on the folder, the
// socket cannot be made) or a run did not finish in time.
int runAgent(const AgentOptions& options);

}  // namespace kelvane
