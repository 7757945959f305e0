#pragma once
// The speed-test results log in the support folder: read the last day of
// results, and append one while dropping those older than a day.
#include <vector>

#include "core/speed/speed_result.h"
#include "core/store/store.h"
#include "core/support/date.h"

namespace kelvane {

// Returns the results of speedtests.jsonl taken less than a day before `now`,
// in file order; undecodable lines are skipped, a missing file gives none.
std::vector<SpeedResult> speedResults(const Store& store, Date now);

// Appends `result` to speedtests.jsonl, then rewrites the file keeping only
// results less than a day before `now`. A failed append is returned as it is
// and the file is not rewritten.
StoreResult appendSpeed(const Store& store, const SpeedResult& result, Date now);

}  // namespace kelvane
