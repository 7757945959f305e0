#pragma once
// SupportLock: who may write the support folder. The agent holds it for as
// long as it runs; a command that changes the files while no agent runs holds
// it for that change. So the agent and a command never write at once, and two
// agents never share a folder. An advisory lock (flock) on "agent.lock".
#include <filesystem>
#include <string>

#include "core/support/file_io.h"
#include "core/support/result.h"

namespace kelvane {

// Why the lock was not taken.
struct LockError {
  bool held = false;    // Someone else holds it (an agent, or a command at work).
  std::string message;  // What went wrong, for the user.
};

// Released when dropped (or when the process ends, however it ends).
class SupportLock final {
 public:
  // Takes the lock of `folder` without waiting, creating the folder and the
  // lock file when missing. Fails with held set when another process has it;
  // with a message when the folder or file cannot be made or is not a plain
  // file (a link or a FIFO there is refused, never followed).
  [[nodiscard]] static Result<SupportLock, LockError> take(const std::filesystem::path& folder);

  // The name of the lock file in the support folder.
  static constexpr const char* kFileName = "agent.lock";

 private:
  explicit SupportLock(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;
};

}  // namespace kelvane
