#pragma once
// DiskProgress and DiskRun: the events a cleanup worker reports row by row, and
// the record of one cleanup run that the user interface shows. Plain values; the
// engine applies progress to the run on the main thread.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "core/support/date.h"

namespace kelvane {

// One event of a cleanup worker: a row started, a row finished, or the worker
// began or stopped holding because the run is paused.
struct DiskProgress {
  enum class Kind { started, finished, holding };
  Kind kind = Kind::started;
  std::string row;       // started, finished: the row concerned.
  bool removed = false;  // finished: whether the row was removed.
  int64_t bytes = 0;     // finished: how many bytes.
  bool trash = false;    // finished: whether it went to the Trash.
  bool stopped = false;  // finished: whether it ended because of a stop.
  bool holding = false;  // holding: true when the wait begins, false when it ends.
  bool operator==(const DiskProgress&) const = default;

  // Builds each kind of event with its payload; the other fields keep their defaults.
  static DiskProgress started(std::string row);
  static DiskProgress finished(std::string row, bool removed, int64_t bytes, bool trash,
                               bool stopped);
  static DiskProgress holdingNow(bool holding);
};

// The record of one cleanup run, row by row.
struct DiskRun {
  // Where one row stands. The outcome fields matter only for `finished`.
  struct Status {
    enum class Kind { finished, waiting, cleaning };
    Kind kind = Kind::waiting;
    bool removed = false;
    int64_t bytes = 0;
    bool trash = false;
    bool stopped = false;
    bool operator==(const Status&) const = default;

    // Builds each status; the outcome fields of waiting and cleaning stay at their defaults.
    static Status finished(bool removed, int64_t bytes, bool trash, bool stopped);
    static Status waiting();
    static Status cleaning();
  };

  std::set<std::string> rows;  // Fixed when the run is created.
  std::optional<std::string> current;
  std::map<std::string, Status> finished;
  bool paused = false;
  bool holding = false;
  std::optional<Date> pausedUntil;
  bool stopping = false;
  bool operator==(const DiskRun&) const = default;

  DiskRun() = default;
  // Creates a run whose rows all wait.
  explicit DiskRun(std::set<std::string> runRows) : rows(std::move(runRows)) {}

  // Returns where `row` stands: its recorded outcome, cleaning while it is current,
  // else waiting. nullopt for a row that is not part of this run.
  [[nodiscard]] std::optional<Status> status(const std::string& row) const;

  // Returns the bytes freed so far: rows removed outright (not those moved to the
  // Trash, which free nothing yet). Negative counts read as 0; the sum saturates.
  int64_t freed() const;

  // Applies one worker event: started makes the row current, finished records the
  // outcome (and clears current when it was that row), holding sets `holding`.
  void apply(const DiskProgress& progress);
};

}  // namespace kelvane
