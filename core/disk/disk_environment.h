#pragma once
// DiskEnvironment: everything the disk scanner needs from the machine, gathered by
// the host for one scan: the home folder, the moment, what is running, the user's kept
// paths, and closures that tell what running programs hold, find and run tools, search
// for large items and read added-to-folder dates. Tests fill it with fakes.
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/disk_records/disk_records.h"
#include "core/shell/shell.h"
#include "core/support/date.h"

namespace kelvane {

struct DiskEnvironment {
  std::string home;                       // The user's home folder, without a trailing "/".
  Date now;                               // Every age is measured from this moment.
  std::vector<std::string> projectRoots;  // Folders searched for projects, "~" expanded.
  std::set<std::string> runningBundleIDs;
  std::set<std::string> runningNames;  // Names of running processes.
  std::vector<std::string> kept;       // Kept paths, from DiskPaths::keptEntries.
  std::set<std::string> ignored;       // Paths the user dismissed from the suggestions.
  // The folder holding the Trash's items, which `added` dates by their arrival there;
  // empty for home + "/.Trash".
  std::string trash;
  // Says why the item at a path, or anything inside it, may not be touched now because a
  // running program holds it ("open in node (pid 42)"); nullopt when none does. An empty
  // function finds nothing held.
  std::function<std::optional<std::string>(const std::string& path)> inUse;
  // Finds a tool by name; an empty function finds nothing.
  std::function<std::optional<std::string>(const std::string& name)> tool;
  // Runs a command (the tool's path first); nullopt when it could not run. An empty
  // function runs nothing.
  std::function<std::optional<ShellResult>(const std::vector<std::string>& args)> run;
  // Lists large items with their last use, at least `minBytes` big; empty when unset.
  std::function<std::vector<Suggestion>(int64_t minBytes)> spotlight;
  // Says when an item was added to its folder; an empty function knows no date.
  std::function<std::optional<Date>(const std::string& path)> added;
};

}  // namespace kelvane
