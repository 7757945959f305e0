#pragma once
// ProcReader: this machine's process and socket tables as /proc shows them. The one
// place that reads /proc; the text is parsed by ProcText. Tests point it at a folder
// laid out like /proc.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "core/support/date.h"
#include "platform/linux/proc_text.h"

namespace kelvane {

// One process as its /proc folder shows it. Every part is read through one handle
// on that folder, so all describe the same process even when its PID is reused
// meanwhile. Parts that cannot be read (another user's, a kernel thread's, a
// zombie's) are absent or empty.
struct ProcEntry {
  ProcText::Stat stat;
  uint32_t folderUid = 0;  // Owner of the folder: the effective user, root when not inspectable.
  std::optional<ProcText::Status> status;
  std::optional<std::string> exe;  // The program; " (deleted)" after an upgrade is dropped.
  std::optional<std::string> cwd;  // The working folder.
  // Each open descriptor's target, in descriptor order; absent when they cannot be listed.
  std::optional<std::vector<std::string>> fds;
  std::optional<std::string> firstArg;  // The first word of the command line.
};

// Immutable; may be used from any thread.
class ProcReader final {
 public:
  // The parts of a process beyond its stat line, to ask only for what is needed.
  enum Part : unsigned { kStatus = 1, kExe = 2, kCwd = 4, kFds = 8, kCmdline = 16 };

  explicit ProcReader(std::string root = "/proc") : root_(std::move(root)) {}

  // Returns every process ID listed, in ascending order; empty when the root cannot
  // be read.
  std::vector<int32_t> pids() const;
  // Returns one process with the asked `parts` (a mask of Part); nullopt when it is
  // gone, its stat line cannot be read or names another PID.
  [[nodiscard]] std::optional<ProcEntry> process(int32_t pid, unsigned parts) const;
  // Returns every process that could be read, with the asked parts.
  std::vector<ProcEntry> processes(unsigned parts) const;
  // Return one part of process `pid` on its own, for callers that keep the rest from
  // an earlier read: its program, working folder and descriptors' targets. nullopt when
  // unreadable. A PID reused since that read answers for the new process.
  [[nodiscard]] std::optional<std::string> program(int32_t pid) const;
  [[nodiscard]] std::optional<std::string> workingFolder(int32_t pid) const;
  [[nodiscard]] std::optional<std::vector<std::string>> descriptors(int32_t pid) const;
  [[nodiscard]] std::optional<std::vector<std::string>> arguments(int32_t pid) const;
  // Returns (pid, parent) for every process that could be read.
  std::vector<std::pair<int32_t, int32_t>> parents() const;

  // Returns a file below the root ("stat", "meminfo", "net/tcp", "pressure/memory");
  // nullopt when it cannot be read or holds more than 64 MiB.
  [[nodiscard]] std::optional<std::string> read(std::string_view relative) const;
  // Returns the TCP sockets of this network namespace, IPv4 then IPv6.
  std::vector<ProcText::InetSocket> tcpSockets() const;
  // Returns the Unix-domain sockets of this network namespace.
  std::vector<ProcText::UnixSocket> unixSockets() const;
  // Returns the boot time in seconds since 1970; nullopt when /proc/stat has none.
  [[nodiscard]] std::optional<int64_t> bootTime() const;
  // Returns the boot time as the moment processes' start times count from. /proc/stat's
  // figure moves by a second now and then as the clock is adjusted, so the first one
  // this program saw for the current boot (named by boot_id) stands for the whole
  // boot. nullopt when /proc/stat has none. Any thread.
  [[nodiscard]] std::optional<Date> bootMoment() const;
  // Returns the start of a process from its stat line: bootMoment plus its start ticks.
  [[nodiscard]] std::optional<Date> startOf(const ProcText::Stat& stat) const;
  // Returns the attributes of the file process `pid` runs, even after its path was
  // replaced; nullopt when that cannot be inspected.
  [[nodiscard]] std::optional<struct stat> exeFile(int32_t pid) const;

  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

}  // namespace kelvane
