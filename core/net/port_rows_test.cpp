#include "core/net/port_rows.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const Date kNow = *Date::fromISO8601("2025-03-12T15:00:00Z");
const Date kNextRun = kNow + 900;
const std::string kDocker = "/Applications/Docker.app";

// "port:pid name [kind] path folder project exposed/- connections idle stops/-".
std::string show(const PortRow& r) {
  const auto idle = r.idle ? std::to_string(int(*r.idle)) : "-";
  return r.id() + " " + r.name + " [" + std::string(rawValue(r.kind)) + "] " + r.path + " " +
         r.folder.value_or("-") + " " + r.project.value_or("-") +
         (r.exposed ? " exposed " : " - ") + std::to_string(r.connections) + " " + idle +
         (r.stopsAt == kNextRun ? " stops" : " -");
}

Proc proc(int32_t pid, std::string name, std::string path, std::vector<uint16_t> ports,
          std::optional<std::string> cwd = {}, int64_t established = 0,
          std::optional<std::vector<uint16_t>> exposed = {}) {
  return {pid, 1, 501, name, path, {}, 0, 0, ports, established, {}, {}, cwd, {}, exposed};
}

Snapshot machine() {
  Snapshot s{.at = kNow, .me = 501};
  s.procs = {proc(700, "node", "/opt/bin/node", {5173, 5173, 24678}, "/Users/ann/code/shop", 0,
                  std::vector<uint16_t>{24678}),
             proc(800, "backend", kDocker + "/Contents/MacOS/backend", {5432}, {}, 2,
                  std::vector<uint16_t>{5432}),
             proc(810, "Docker", kDocker + "/Contents/MacOS/Docker", {}),
             proc(900, "redis-server", "/opt/bin/redis-server", {6379}, "/"),
             proc(1000, "Slack", "/Applications/Slack.app/Slack", {49152}),
             proc(60, "cupsd", "/usr/sbin/cupsd", {631})};
  s.procs.back().uid = 0;
  s.apps = {{.pid = 810, .name = "Docker", .bundlePath = kDocker},
            {.pid = 1000, .name = "Slack", .bundlePath = "/Applications/Slack.app"}};
  return s;
}

NetConn conn(std::string host, uint16_t port, std::string state = "Listen") {
  return {NetConn::Proto::tcp, {std::move(host), port}, NetEndpoint{"10.0.0.9", 1}, state};
}

TEST(PortRows, SnapshotRowsThenOtherListeners) {
  Activity activity;
  activity.connSeen = {{700, kNow - 600}, {800, kNow - 60}, {1000, kNow + 30}};
  const Action stopNode{.kind = ActionKind::stopProcess, .pid = 700};
  const Action stopRedis{.rule = Rule::background, .kind = ActionKind::stopProcess, .pid = 900};
  const Action closeSlack{.kind = ActionKind::closeWindow, .pid = 1000, .windowID = 42};
  const NetConn udp{NetConn::Proto::udp, {"*", 22}};
  const std::vector<NetConn> pg{conn("127.0.0.1", 5433), conn("::1", 5433),
                                conn("::1", 1, "Established")};
  const std::vector<NetProc> listeners{
      {60, "cupsd", 0, 0, {conn("127.0.0.1", 631)}},  // already in the snapshot
      {88, "sshd", 0, 0, {conn("*", 22), conn("*", 22), conn("a", 22, "Established"), udp}},
      {4242, "pg", 0, 0, pg}};
  std::vector<std::string> shown;
  const PortRows::Sweep sweep{.plan = {stopNode, stopRedis, closeSlack},
                              .skipped = {stopRedis.id()},
                              .nextRunAt = kNextRun};
  const PortRows::Machine seen{.listeners = listeners,
                               .paths = {{88, "/usr/sbin/sshd"}, {4242, "/opt/pg/postgres"}},
                               .projects = {{"/Users/ann/code/shop", "shop"}, {"/opt/bin", "bin"}},
                               .docker = {{5432, "shop · db-1"}},
                               .home = "/Users/ann"};
  for (const auto& row :
       PortRows::rows(machine(), activity, {.processes = {"redis-server"}}, sweep, seen))
    shown.push_back(show(row));
  EXPECT_EQ(shown, (std::vector<std::string>{
                       "5173:700 node [dev] /opt/bin/node ~/code/shop shop - 0 600 stops",
                       "24678:700 node [dev] /opt/bin/node ~/code/shop shop exposed 0 600 stops",
                       "5432:800 shop · db-1 [app] " + kDocker +
                           "/Contents/MacOS/backend - - exposed 2 - -",
                       "6379:900 redis-server [kept] /opt/bin/redis-server / bin - 0 - -",
                       "49152:1000 Slack [app] /Applications/Slack.app/Slack - - - 0 0 -",
                       "631:60 cupsd [system] /usr/sbin/cupsd - - - 0 - -",
                       "22:88 sshd [system] /usr/sbin/sshd - - exposed 1 - -",
                       "5433:4242 pg [other] /opt/pg/postgres - - - 1 - -"}));
}

TEST(PortRows, KindFromTheProtectionReason) {
  Snapshot s = machine();
  const auto kind = [&](const Proc& p) {
    return std::string(rawValue(PortRows::kind(p, s, {.processes = {"redis-server"}}, {1000})));
  };
  // node, Docker's helper, redis (allowlisted), Slack (an app), cupsd (other user).
  std::string kinds;
  for (const auto& p : s.procs) kinds += kind(p) + " ";
  EXPECT_EQ(kinds, "dev app dev kept app system ");            // Docker is not among the given apps
  EXPECT_EQ(kind(proc(50, "Dock", "/x/Dock", {})), "system");  // protected
  EXPECT_EQ(kind(proc(51, "ghost", "", {})), "system");        // unknown path
  s.frontPID = 52;
  EXPECT_EQ(kind(proc(52, "py", "/Users/ann/py", {})), "app");  // in use
}

TEST(PortRows, StatusFiltersAndSearch) {
  using K = PortRow::Kind;
  const std::vector<PortRow> rows{
      {5173, 7, "node", "/opt/bin/node", "~/code/Shop", "Shop", false, 0, {}, K::dev, kNextRun},
      {6379, 8, "Ünïcode", "/opt/bin/redis", {}, {}, false, 0, {}, K::app},
      {8080, 9, "", "", {}, {}, true, 0, {}, K::kept},
      {9000, 9, "", "", {}, {}, false, 0, {}, K::dev},
      {9001, 9, "", "", {}, {}, false, 0, {}, K::system},
      {9002, 9, "", "", {}, {}, false, 0, {}, K::other}};
  std::string texts;
  for (const auto& row : rows) texts += row.status([](Date d) { return d.iso8601(); }) + ";";
  EXPECT_EQ(texts, "Stops at 2025-03-12T15:15:00Z;App;Kept · allowlist;In use;macOS;Other user;");
  std::string counts;
  for (const auto f : {PortFilter::all, PortFilter::dev, PortFilter::idle, PortFilter::network})
    counts += std::to_string(
        std::count_if(rows.begin(), rows.end(), [&](const PortRow& r) { return matches(f, r); }));
  EXPECT_EQ(counts, "6211");
  std::string found;  // blank, trimmed and upper-case, path, port prefix, non-ASCII
  for (const char* q : {"  \n", " SHOP\t", "/opt/bin", "900", "ünï"})
    found += std::to_string(PortRows::search(rows, q).size());
  EXPECT_EQ(found, "61231");
}

}  // namespace
}  // namespace kelvane
