#pragma once
// ProcText: readers for the text of the kernel's process and socket tables
// (/proc/<pid>/stat and status, /proc/net/tcp, tcp6 and unix, /proc/stat,
// meminfo and the memory pressure file). Pure functions over text, so they are
// tested on captured text; nothing here opens a file. Lines or fields they
// cannot read are skipped: a partial table beats none.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::ProcText {

// What /proc/<pid>/stat says about one process.
struct Stat {
  int32_t pid = 0;
  std::string comm;  // At most 15 bytes; may hold spaces and parentheses.
  char state = '?';  // R, S, D, Z (zombie), T, t, X, I, ...
  int32_t ppid = 0;
  int32_t pgrp = 0;
  int32_t session = 0;
  int32_t ttyNr = 0;          // The controlling terminal's device number; 0 for none.
  bool kernelThread = false;  // The kernel's own threads have no program and no memory.
  uint64_t utime = 0;         // Clock ticks in user mode.
  uint64_t stime = 0;         // Clock ticks in kernel mode.
  uint64_t startTicks = 0;    // Clock ticks after boot when it started.
  int64_t rssPages = 0;       // Resident pages.
  bool operator==(const Stat&) const = default;
};

// Reads a stat line "pid (comm) state ppid ...". The name may hold anything but a
// line break, so the fields are counted after its last ')'. nullopt when the line
// ends before the resident-size field or a field is not a number.
[[nodiscard]] std::optional<Stat> stat(std::string_view text);

// What /proc/<pid>/status adds.
struct Status {
  std::array<uint32_t, 4> uids{};  // Real, effective, saved and file-system user IDs.
  bool noNewPrivs = false;         // The process can never gain privileges.
  bool operator==(const Status&) const = default;
};

// Reads the status text; nullopt without a readable "Uid:" line of four IDs.
[[nodiscard]] std::optional<Status> status(std::string_view text);

// One TCP socket of /proc/net/tcp or tcp6.
struct InetSocket {
  std::array<uint8_t, 16> local{};  // IPv4 addresses take the first four bytes.
  bool v6 = false;
  uint16_t localPort = 0;
  uint8_t state = 0;  // The kernel's TCP state: kListen, kEstablished, ...
  uint32_t uid = 0;
  uint64_t inode = 0;  // Matches "socket:[inode]" among a process's descriptors.
  bool operator==(const InetSocket&) const = default;

  // True for 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8: reachable from this machine only.
  bool loopback() const;
};
inline constexpr uint8_t kEstablished = 0x01;
inline constexpr uint8_t kListen = 0x0A;

// Reads a TCP table (`v6` for tcp6). Addresses are in the byte order of the kernel
// that wrote them, which is this machine's. The heading and unreadable lines are skipped.
std::vector<InetSocket> tcpTable(std::string_view text, bool v6);

// One Unix-domain socket of /proc/net/unix.
struct UnixSocket {
  uint64_t inode = 0;
  bool listening = false;  // It accepts connections.
  std::string path;        // The bound name: a path, "@name" for the abstract space, or empty.
  bool operator==(const UnixSocket&) const = default;
};

// Reads the Unix socket table; the heading and unreadable lines are skipped.
std::vector<UnixSocket> unixTable(std::string_view text);

// The inode of a descriptor link target "socket:[12345]"; nullopt for anything else.
[[nodiscard]] std::optional<uint64_t> socketInode(std::string_view linkTarget);

// The name of terminal device `ttyNr` as it appears under /dev: "pts/3", "tty2",
// "ttyS0"; other devices get "tty<major>:<minor>", which names no file. nullopt for 0.
[[nodiscard]] std::optional<std::string> ttyName(int32_t ttyNr);

// The boot time in seconds since 1970 from /proc/stat's "btime" line; nullopt without one.
[[nodiscard]] std::optional<int64_t> bootTime(std::string_view procStat);

// The machine's CPU time from /proc/stat's first "cpu" line, in clock ticks.
struct CpuTimes {
  uint64_t busy = 0;   // Everything but idle and waiting for input and output.
  uint64_t total = 0;  // Everything.
  bool operator==(const CpuTimes&) const = default;
};
[[nodiscard]] std::optional<CpuTimes> cpuTimes(std::string_view procStat);

// Memory figures of /proc/meminfo, in bytes.
struct MemInfo {
  uint64_t total = 0;
  uint64_t available = 0;  // What can be had without swapping.
  bool operator==(const MemInfo&) const = default;
};
// Reads MemTotal and MemAvailable (MemFree + Cached on kernels without the
// latter); nullopt without MemTotal.
[[nodiscard]] std::optional<MemInfo> memInfo(std::string_view text);

// The ten-second averages of /proc/pressure/memory, in percent of time stalled.
struct Pressure {
  double some = 0;  // Some task waited for memory.
  double full = 0;  // Every task did.
  bool operator==(const Pressure&) const = default;
};
// Reads the "some" and "full" lines; nullopt without a readable "some" line.
[[nodiscard]] std::optional<Pressure> pressure(std::string_view text);

}  // namespace kelvane::ProcText
