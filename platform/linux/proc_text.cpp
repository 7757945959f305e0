#include "platform/linux/proc_text.h"

#include <charconv>
#include <cstring>
#include <type_traits>

namespace kelvane::ProcText {
namespace {

constexpr uint64_t kKernelThreadFlag = 0x00200000;    // PF_KTHREAD
constexpr uint64_t kAcceptsConnections = 0x00010000;  // __SO_ACCEPTCON

// Hands out the blank-separated fields of a text one by one.
class Fields {
 public:
  explicit Fields(std::string_view text) : rest_(text) {}

  // The next field; empty at the end.
  std::string_view next() {
    const size_t start = rest_.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
      rest_ = {};
      return {};
    }
    rest_.remove_prefix(start);
    const size_t end = std::min(rest_.find_first_of(" \t"), rest_.size());
    const std::string_view field = rest_.substr(0, end);
    rest_.remove_prefix(end);
    return field;
  }
  // Skips `count` fields; false when the text ended first.
  bool skip(int count) {
    for (int i = 0; i < count; ++i)
      if (next().empty()) return false;
    return true;
  }
  // Whatever follows the fields taken so far, blanks at its start dropped.
  std::string_view rest() const {
    const size_t start = rest_.find_first_not_of(" \t");
    return start == std::string_view::npos ? std::string_view{} : rest_.substr(start);
  }

 private:
  std::string_view rest_;
};

// The whole of `text` as a number in `base`; nullopt for anything else.
template <class T>
std::optional<T> number(std::string_view text, int base = 10) {
  T value{};
  const char* end = text.data() + text.size();
  std::from_chars_result parsed{};
  if constexpr (std::is_floating_point_v<T>)
    parsed = std::from_chars(text.data(), end, value);
  else
    parsed = std::from_chars(text.data(), end, value, base);
  if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end) return std::nullopt;
  return value;
}

// Calls `visit` with each line of `text`, the line break left out.
template <class Visit>
void eachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    visit(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

// The value after "key" at the start of a line of `text`, up to the line's end.
std::optional<std::string_view> valueOf(std::string_view text, std::string_view key) {
  std::optional<std::string_view> found;
  eachLine(text, [&](std::string_view line) {
    if (!found && line.starts_with(key)) found = line.substr(key.size());
  });
  return found;
}

// Reads "ADDR:PORT" of a TCP table: the address as 32-bit words of eight hex
// digits, each printed from the kernel's memory, hence in this machine's order.
bool address(std::string_view text, bool v6, InetSocket& socket) {
  const size_t colon = text.find(':');
  const size_t digits = v6 ? 32 : 8;
  if (colon != digits) return false;
  for (size_t word = 0; word < digits / 8; ++word) {
    const auto value = number<uint32_t>(text.substr(word * 8, 8), 16);
    if (!value) return false;
    std::memcpy(socket.local.data() + word * 4, &*value, 4);
  }
  const auto port = number<uint16_t>(text.substr(colon + 1), 16);
  if (!port) return false;
  socket.localPort = *port;
  return true;
}

std::optional<InetSocket> tcpLine(std::string_view line, bool v6) {
  Fields fields(line);
  if (!fields.next().ends_with(':')) return std::nullopt;  // the slot number, or the heading
  InetSocket socket{.v6 = v6};
  if (!address(fields.next(), v6, socket)) return std::nullopt;
  fields.next();  // the remote end
  const auto state = number<uint8_t>(fields.next(), 16);
  if (!state || !fields.skip(3)) return std::nullopt;  // queues, timer, retransmits
  const auto uid = number<uint32_t>(fields.next());
  fields.next();  // time-out
  const auto inode = number<uint64_t>(fields.next());
  if (!uid || !inode) return std::nullopt;
  socket.state = *state;
  socket.uid = *uid;
  socket.inode = *inode;
  return socket;
}

std::optional<UnixSocket> unixLine(std::string_view line) {
  Fields fields(line);
  if (!fields.next().ends_with(':')) return std::nullopt;  // the slot's address, or the heading
  if (!fields.skip(2)) return std::nullopt;                // reference count, protocol
  const auto flags = number<uint64_t>(fields.next(), 16);
  if (!fields.skip(2)) return std::nullopt;  // type, state
  const auto inode = number<uint64_t>(fields.next());
  if (!flags || !inode) return std::nullopt;
  // The name is the rest of the line; a path may hold blanks.
  return UnixSocket{*inode, (*flags & kAcceptsConnections) != 0, std::string(fields.rest())};
}

}  // namespace

std::optional<Stat> stat(std::string_view text) {
  const size_t open = text.find(" (");
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    return std::nullopt;
  Stat s;
  const auto pid = number<int32_t>(text.substr(0, open));
  if (!pid) return std::nullopt;
  s.pid = *pid;
  s.comm = std::string(text.substr(open + 2, close - open - 2));
  Fields fields(text.substr(close + 1));
  const std::string_view state = fields.next();
  if (state.size() != 1) return std::nullopt;
  s.state = state.front();
  const auto ppid = number<int32_t>(fields.next());
  const auto pgrp = number<int32_t>(fields.next());
  const auto session = number<int32_t>(fields.next());
  const auto tty = number<int32_t>(fields.next());
  fields.next();  // the terminal's foreground group
  const auto flags = number<uint64_t>(fields.next());
  if (!ppid || !pgrp || !session || !tty || !flags || !fields.skip(4)) return std::nullopt;
  const auto utime = number<uint64_t>(fields.next());
  const auto stime = number<uint64_t>(fields.next());
  if (!utime || !stime || !fields.skip(6)) return std::nullopt;  // children's times to timer
  const auto start = number<uint64_t>(fields.next());
  fields.next();  // virtual size
  const auto rss = number<int64_t>(fields.next());
  if (!start || !rss) return std::nullopt;
  s.ppid = *ppid;
  s.pgrp = *pgrp;
  s.session = *session;
  s.ttyNr = *tty;
  s.kernelThread = (*flags & kKernelThreadFlag) != 0;
  s.utime = *utime;
  s.stime = *stime;
  s.startTicks = *start;
  s.rssPages = *rss;
  return s;
}

std::optional<Status> status(std::string_view text) {
  const auto uids = valueOf(text, "Uid:");
  if (!uids) return std::nullopt;
  Status s;
  Fields fields(*uids);
  for (uint32_t& uid : s.uids) {
    const auto value = number<uint32_t>(fields.next());
    if (!value) return std::nullopt;
    uid = *value;
  }
  if (const auto flag = valueOf(text, "NoNewPrivs:")) s.noNewPrivs = Fields(*flag).next() == "1";
  return s;
}

bool InetSocket::loopback() const {
  if (!v6) return local[0] == 127;
  static constexpr std::array<uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
  static constexpr std::array<uint8_t, 12> kMapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (local == kLoopback) return true;
  return std::memcmp(local.data(), kMapped.data(), kMapped.size()) == 0 && local[12] == 127;
}

std::vector<InetSocket> tcpTable(std::string_view text, bool v6) {
  std::vector<InetSocket> sockets;
  eachLine(text, [&](std::string_view line) {
    if (auto socket = tcpLine(line, v6)) sockets.push_back(*socket);
  });
  return sockets;
}

std::vector<UnixSocket> unixTable(std::string_view text) {
  std::vector<UnixSocket> sockets;
  eachLine(text, [&](std::string_view line) {
    if (auto socket = unixLine(line)) sockets.push_back(std::move(*socket));
  });
  return sockets;
}

std::optional<uint64_t> socketInode(std::string_view linkTarget) {
  constexpr std::string_view kPrefix = "socket:[";
  if (!linkTarget.starts_with(kPrefix) || !linkTarget.ends_with(']')) return std::nullopt;
  return number<uint64_t>(
      linkTarget.substr(kPrefix.size(), linkTarget.size() - kPrefix.size() - 1));
}

std::optional<std::string> ttyName(int32_t ttyNr) {
  if (ttyNr == 0) return std::nullopt;
  const auto device = static_cast<uint32_t>(ttyNr);
  const uint32_t major = (device >> 8) & 0xfff;
  const uint32_t minor = (device & 0xff) | ((device >> 12) & 0xfff00);
  if (major >= 136 && major <= 143) return "pts/" + std::to_string((major - 136) * 256 + minor);
  if (major == 4 && minor < 64) return "tty" + std::to_string(minor);
  if (major == 4) return "ttyS" + std::to_string(minor - 64);
  return "tty" + std::to_string(major) + ":" + std::to_string(minor);
}

std::optional<int64_t> bootTime(std::string_view procStat) {
  const auto value = valueOf(procStat, "btime ");
  if (!value) return std::nullopt;
  return number<int64_t>(Fields(*value).next());
}

std::optional<CpuTimes> cpuTimes(std::string_view procStat) {
  const auto value = valueOf(procStat, "cpu ");
  if (!value) return std::nullopt;
  Fields fields(*value);
  CpuTimes times;
  // user nice system idle iowait irq softirq steal; guest time is already in user.
  for (int column = 0; column < 8; ++column) {
    const std::string_view field = fields.next();
    if (field.empty() && column >= 4) break;  // older kernels print fewer columns
    const auto ticks = number<uint64_t>(field);
    if (!ticks) return std::nullopt;
    times.total += *ticks;
    if (column != 3 && column != 4) times.busy += *ticks;
  }
  return times;
}

std::optional<MemInfo> memInfo(std::string_view text) {
  const auto kib = [&](std::string_view key) -> std::optional<uint64_t> {
    const auto value = valueOf(text, key);
    if (!value) return std::nullopt;
    const auto amount = number<uint64_t>(Fields(*value).next());
    if (!amount || *amount > UINT64_MAX / 1024) return std::nullopt;
    return *amount * 1024;
  };
  const auto total = kib("MemTotal:");
  if (!total) return std::nullopt;
  auto available = kib("MemAvailable:");
  if (!available) available = kib("MemFree:").value_or(0) + kib("Cached:").value_or(0);
  return MemInfo{*total, std::min(*available, *total)};
}

std::optional<Pressure> pressure(std::string_view text) {
  const auto average = [&](std::string_view key) -> std::optional<double> {
    const auto value = valueOf(text, key);
    if (!value) return std::nullopt;
    const std::string_view field = Fields(*value).next();
    if (!field.starts_with("avg10=")) return std::nullopt;
    return number<double>(field.substr(6));
  };
  const auto some = average("some ");
  if (!some) return std::nullopt;
  return Pressure{*some, average("full ").value_or(0)};
}

}  // namespace kelvane::ProcText
