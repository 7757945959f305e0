#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/disk_records/disk_paths.h"
#include "platform/linux/disk_cleaner.h"
#include "platform/linux/owned_fd.h"
#include "platform/linux/safe_remove.h"

namespace kelvane {
namespace {

constexpr size_t kMaxListed = 5;  // items named in a note

// Why an item was left: on purpose (kept, in use, gone) or because touching it failed.
struct Left {
  std::string reason;
  bool failure = false;
};

// What one row came to.
struct CleanTally {
  int64_t cleaned = 0;  // items gone or in the Trash, and commands that ran well
  int64_t bytes = 0;
  std::vector<std::pair<std::string, Left>> left;  // path or command, and why
};

std::optional<std::string> realPath(const std::string& path) {
  char real[PATH_MAX];
  if (!::realpath(path.c_str(), real)) return std::nullopt;
  return std::string(real);
}

// Where the open folder `fd` really is.
std::optional<std::string> pathOf(int fd) {
  char real[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), real, sizeof real - 1);
  if (n <= 0) return std::nullopt;
  return std::string(real, static_cast<size_t>(n));
}

bool within(const std::string& path, const std::string& root) {
  return path == root || path.starts_with(root == "/" ? root : root + "/");
}

// After an item directly in the home Trash's files/ is removed, its description goes too.
void forgetTrashInfo(const FreedesktopTrash& trash, int folder, const std::string& realFolder,
                     const std::string& name) {
  if (realPath(trash.homeTrash() + "/files") != realFolder) return;
  const OwnedFd info(::openat(folder, "../info", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (info.get() >= 0) ::unlinkat(info.get(), (name + ".trashinfo").c_str(), 0);
}

std::string listed(const std::vector<std::pair<std::string, Left>>& left) {
  std::string text;
  for (size_t i = 0; i < left.size() && i < kMaxListed; ++i)
    text += (i ? "; " : "") + left[i].first + " (" + left[i].second.reason + ")";
  if (left.size() > kMaxListed)
    text += "; and " + std::to_string(left.size() - kMaxListed) + " more";
  return text;
}

std::string commandName(const std::vector<std::string>& command) {
  const std::string& tool = command.empty() ? std::string() : command.front();
  return tool.substr(tool.rfind('/') + 1);
}

// Checks one item right before it is touched, then trashes or removes it.
std::optional<Left> cleanItem(const DiskItem& item, bool toTrash,
                              const std::vector<std::string>& kept, const DiskCleanerSetup& setup) {
  if (DiskPaths::kept(item.path, kept)) return Left{"kept"};
  if (!DiskPaths::inside(item.path, item.root)) return Left{"not inside its folder"};
  if (setup.inUse)
    if (auto reason = setup.inUse(item.path)) return Left{std::move(*reason)};
  const size_t slash = item.path.rfind('/');
  const std::string name = item.path.substr(slash + 1);
  const OwnedFd folder(::open(slash == 0 ? "/" : item.path.substr(0, slash).c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The folder opened must be the one just checked: it could have been swapped for a
  // link to elsewhere in between. Everything from here on is relative to it.
  const auto realFolder = folder.get() >= 0 ? pathOf(folder.get()) : std::nullopt;
  const auto realRoot = realPath(item.root);
  if (!realFolder || !realRoot || !within(*realFolder, *realRoot))
    return Left{"not inside its folder"};
  struct stat info {};
  if (::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return Left{"already gone"};
  if (toTrash) {
    const auto moved = setup.trash.move(folder.get(), name, item.path, setup.now());
    if (!moved) return Left{moved.error(), true};
    return std::nullopt;
  }
  if (auto why = SafeRemove::at(folder.get(), name)) return Left{std::move(*why), true};
  forgetTrashInfo(setup.trash, folder.get(), *realFolder, name);
  return std::nullopt;
}

Outcome outcomeOf(const CleanTally& tally, bool stopped, size_t steps, size_t done, bool toTrash) {
  std::optional<std::string> note;
  if (!tally.left.empty()) note = "left " + listed(tally.left);
  if (stopped) {
    Outcome outcome = Outcome::done();
    outcome.note = "stopped after " + std::to_string(done) + " of " + std::to_string(steps) +
                   (note ? "; " + *note : "");
    return outcome;
  }
  if (tally.cleaned > 0 || tally.left.empty()) {
    Outcome outcome = toTrash && tally.cleaned > 0 ? Outcome::undoable("restore it from the Trash")
                                                   : Outcome::done();
    outcome.note = note;
    return outcome;
  }
  for (const auto& [what, left] : tally.left)
    if (left.failure) {
      Outcome outcome = Outcome::failed(left.reason);
      outcome.note = note;
      return outcome;
    }
  Outcome outcome = Outcome::skipped(tally.left.front().second.reason);
  outcome.note = note;
  return outcome;
}

}  // namespace

DiskCleaner::DiskCleaner(DiskCleanerSetup setup, DiskRunControl& control)
    : setup_(std::move(setup)), control_(control) {}

Outcome DiskCleaner::clean(const Action& action) const {
  if (!action.disk) return Outcome::failed("no disk job");
  const DiskJob& job = *action.disk;
  const std::string row = job.rule ? std::string(DiskRules::rawValue(*job.rule)) : "picked";
  const auto report = [&](const DiskProgress& progress) {
    if (const auto reporter = control_.report()) reporter(progress);
  };
  if (!control_.proceed()) {
    report(DiskProgress::finished(row, false, 0, job.trash, true));
    return Outcome::stopped();
  }
  report(DiskProgress::started(row));
  const auto kept = setup_.kept ? setup_.kept() : std::vector<std::string>{};
  const size_t steps = job.items.size() + job.commands.size();
  CleanTally tally;
  int64_t itemBytes = 0;
  bool stopped = false, commandsWell = !job.commands.empty();
  size_t done = 0;
  for (; done < steps; ++done) {
    if (done > 0 && !control_.proceed()) {
      stopped = true;
      break;
    }
    if (done < job.items.size()) {
      const DiskItem& item = job.items[done];
      itemBytes += std::max<int64_t>(0, item.bytes);
      if (auto left = cleanItem(item, job.trash, kept, setup_)) {
        tally.left.emplace_back(item.path, std::move(*left));
      } else {
        ++tally.cleaned;
        tally.bytes += std::max<int64_t>(0, item.bytes);
      }
      continue;
    }
    const auto& command = job.commands[done - job.items.size()];
    const auto result = setup_.run ? setup_.run(command) : std::nullopt;
    if (result && !result->timedOut && result->status == 0) {
      ++tally.cleaned;
      continue;
    }
    commandsWell = false;
    const std::string why = !result            ? "could not run"
                            : result->timedOut ? "timed out"
                                               : "exit status " + std::to_string(result->status);
    tally.left.emplace_back(commandName(command), Left{why, true});
  }
  for (size_t i = done; i < job.items.size(); ++i)
    itemBytes += std::max<int64_t>(0, job.items[i].bytes);
  // The commands' share of the job's bytes counts once they all ran well.
  if (commandsWell && !stopped) tally.bytes += std::max<int64_t>(0, job.bytes - itemBytes);
  report(DiskProgress::finished(row, tally.cleaned > 0, tally.bytes, job.trash, stopped));
  return outcomeOf(tally, stopped, steps, done, job.trash);
}

}  // namespace kelvane
