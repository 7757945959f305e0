#include "cli/net_command.h"

#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/machine_snapshot.h"
#include "cli/text_table.h"
#include "core/config/format.h"
#include "platform/linux/net_sampler.h"

namespace kelvane::cli {
namespace {

int64_t connections(const AppTraffic& row) { return int64_t(row.conns.size()); }

nlohmann::json connJson(const TrafficConn& c) {
  nlohmann::json j{{"id", c.id},
                   {"pid", c.pid},
                   {"proto", rawValue(c.conn.proto)},
                   {"local", c.conn.local.text()},
                   {"state", c.conn.state},
                   {"direction", displayText(c.direction)},
                   {"down", c.rate.down},
                   {"up", c.rate.up},
                   {"bytesIn", c.conn.bytesIn},
                   {"bytesOut", c.conn.bytesOut}};
  if (c.conn.remote) j["remote"] = c.conn.remote->text();
  return j;
}

// Takes samples one `interval` apart and hands each set of rows to `show`
// until it returns false. The first sample only sets the counters' baseline.
class TrafficWatch {
 public:
  // With `foldApps`, each sample also takes a snapshot of the machine, whose
  // applications gather their helpers' traffic.
  explicit TrafficWatch(bool foldApps) {
    if (foldApps) machine_.emplace(machineSetup());
  }

  // Returns the rows since the previous call; an error when the kernel cannot be asked.
  Result<std::vector<AppTraffic>, std::string> next() {
    auto sample = sampler_.sample();
    if (!sample) return Unexpected<std::string>(sample.error());
    const double dt = previous_ ? sample->at - previous_->at : 0;
    const auto snapshot = machine_ ? std::optional(machine_->sample()) : std::nullopt;
    const uid_t me = ::getuid();
    const auto& owners = sample->owners;
    auto rows = NetStat::apps(previous_ ? &previous_->procs : nullptr, sample->procs, dt,
                              snapshot ? &*snapshot : nullptr, [&owners, me](int32_t pid) {
                                const auto owner = owners.find(pid);
                                return owner != owners.end() && owner->second == me;
                              });
    previous_ = std::move(*sample);
    return rows;
  }
  Date at() const { return previous_ ? previous_->at : Date::now(); }
  size_t unseen() const { return previous_ ? previous_->unowned : 0; }

 private:
  NetSampler sampler_;
  std::optional<LinuxSampler> machine_;
  std::optional<NetSample> previous_;
};

// Blocks SIGINT and SIGTERM and returns a descriptor that reads them; -1 on failure.
int stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return ::signalfd(-1, &set, SFD_CLOEXEC);
}

// Puts the terminal in a mode where a key is read at once, and back when done.
class KeyMode {
 public:
  KeyMode() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~KeyMode() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  KeyMode(const KeyMode&) = delete;
  KeyMode& operator=(const KeyMode&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

size_t terminalRows() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
  return 24;
}

// Waits up to one second; false when the user asked to stop (q, Ctrl-C, a stop signal).
bool waitASecond(int signals) {
  pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    const int ready = ::poll(watched, signals >= 0 ? 2 : 1, int(left.count()));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if (watched[1].revents & POLLIN) return false;
    if (watched[0].revents & (POLLHUP | POLLERR)) watched[0].fd = -1;
    if (watched[0].revents & POLLIN) {
      char key = 0;
      if (::read(STDIN_FILENO, &key, 1) == 1 && (key == 'q' || key == 'Q')) return false;
    }
  }
}

int live(TrafficWatch& watch) {
  const int signals = stopSignals();
  KeyMode keys;
  std::cout << "\033[?25l";  // The cursor would blink over the table.
  int status = 0;
  while (true) {
    const auto rows = watch.next();
    if (!rows) {
      std::cerr << "kelvane net: " << rows.error() << "\n";
      status = 1;
      break;
    }
    std::cout << "\033[H\033[2J"
              << "Traffic per application at " << watch.at().iso8601()
              << ", every second (q to quit)\n\n";
    const size_t room = terminalRows() > 8 ? terminalRows() - 8 : 1;
    printTraffic(*rows, std::cout, room, watch.unseen());
    std::cout << std::flush;
    if (!waitASecond(signals)) break;
  }
  std::cout << "\033[?25h" << std::flush;
  if (signals >= 0) ::close(signals);
  return status;
}

int runNet(bool json, bool once, double seconds) {
  TrafficWatch watch(/*foldApps=*/true);
  if (!json && !once && ::isatty(STDOUT_FILENO)) return live(watch);
  if (const auto first = watch.next(); !first) {
    std::cerr << "kelvane net: " << first.error() << "\n";
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto rows = watch.next();
  if (!rows) {
    std::cerr << "kelvane net: " << rows.error() << "\n";
    return 1;
  }
  if (json) {
    std::cout << trafficJson(*rows, watch.at(), seconds)
                     .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
              << "\n";
  } else {
    std::cout << "Traffic per application over " << Format::duration(seconds) << " at "
              << watch.at().iso8601() << "\n\n";
    printTraffic(*rows, std::cout, 50, watch.unseen());
  }
  return 0;
}

const CommandRegistration kNet("net", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand(
      "net", "TCP traffic per application, refreshed every second on a terminal");
  auto json = std::make_shared<bool>(false);
  auto once = std::make_shared<bool>(false);
  auto seconds = std::make_shared<double>(1.0);
  command->add_flag("--json", *json, "Print one sample as JSON");
  command->add_flag("--once", *once, "Print one sample as a table and stop");
  command->add_option("--interval", *seconds, "Seconds between the two samples of --json/--once")
      ->check(CLI::Range(0.1, 60.0));
  command->callback(
      [json, once, seconds, &exitCode] { exitCode = runNet(*json, *once, *seconds); });
});

}  // namespace

void printTraffic(const std::vector<AppTraffic>& rows, std::ostream& out, size_t limit,
                  size_t unseen) {
  if (rows.empty()) {
    out << "No TCP connections.\n";
  } else {
    TextTable table({{"Application"},
                     {"Down", TextTable::Align::right},
                     {"Up", TextTable::Align::right},
                     {"Received", TextTable::Align::right},
                     {"Sent", TextTable::Align::right},
                     {"Conns", TextTable::Align::right}});
    for (size_t i = 0; i < rows.size() && i < limit; ++i) {
      const AppTraffic& row = rows[i];
      table.add({row.name, Format::rate(row.rate.down), Format::rate(row.rate.up),
                 Format::fileBytes(int64_t(std::min<uint64_t>(row.totalIn, INT64_MAX))),
                 Format::fileBytes(int64_t(std::min<uint64_t>(row.totalOut, INT64_MAX))),
                 std::to_string(connections(row))});
    }
    table.print(out);
    if (rows.size() > limit) out << "… and " << rows.size() - limit << " more\n";
  }
  out << "\n" << kNotCounted << "\n";
  if (unseen > 0)
    out << unseen
        << (unseen == 1 ? " socket of a process that cannot be looked into (another user's) is"
                        : " sockets of processes that cannot be looked into (other users') are")
        << " not counted.\n";
}

nlohmann::json trafficJson(const std::vector<AppTraffic>& rows, Date at, double interval) {
  auto apps = nlohmann::json::array();
  for (const auto& row : rows) {
    nlohmann::json j{{"id", row.id},
                     {"name", row.name},
                     {"members", row.members},
                     {"down", row.rate.down},
                     {"up", row.rate.up},
                     {"totalIn", row.totalIn},
                     {"totalOut", row.totalOut},
                     {"conns", nlohmann::json::array()}};
    if (row.iconPath) j["iconPath"] = *row.iconPath;
    for (const auto& conn : row.conns) j["conns"].push_back(connJson(conn));
    apps.push_back(std::move(j));
  }
  return {{"at", at.iso8601()},
          {"interval", interval},
          {"apps", std::move(apps)},
          {"notCounted", kNotCounted}};
}

}  // namespace kelvane::cli
