#pragma once
// `kelvane disk`: scans the home folder for clutter the way a sweep would, and shows
// what each rule found, what the cleanup would do and the large items worth a look.
// It only reads: nothing is deleted, moved or run that changes anything.
#include <ostream>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/actions/action.h"
#include "core/disk/disk_scanner.h"
#include "core/disk_records/disk_records.h"

namespace kelvane::cli {

// Prints the table of rules (title, items, size, note) with a total, the planned cleanup
// actions with a few of their paths and their commands, and the suggestions; sizes with
// three significant digits. Names that are not valid UTF-8 or hold control characters are
// shown with U+FFFD and "?".
void printDiskReport(const DiskScan& scan, const std::vector<Action>& plan, std::ostream& out);

// Returns the progress line shown on a terminal while a scan runs:
// "Scanning Stale project builds… 1234 items, 5.67 GB".
std::string progressText(const DiskScanner::ScanProgress& progress);

// Returns {"scan": the whole scan, "plan": the actions} for --json.
nlohmann::json diskReportJson(const DiskScan& scan, const std::vector<Action>& plan);

}  // namespace kelvane::cli
