#include "core/net/port_rows.h"

#include <ostream>

#include <gtest/gtest.h>

namespace kelvane {

// Shows rows as text in failure messages.
void PrintTo(const PortRow& row, std::ostream* os) {
  *os << row.id() << " " << row.name << " [" << rawValue(row.kind) << "] path " << row.path
      << " folder " << row.folder.value_or("-") << " project " << row.project.value_or("-")
      << (row.exposed ? " exposed" : "") << " conns " << row.connections << " idle "
      << (row.idle ? std::to_string(*row.idle) : "-") << " stops "
      << (row.stopsAt ? row.stopsAt->iso8601() : "-");
}

namespace {

const Date kNow = *Date::fromISO8601("2025-03-12T15:00:00Z");
const Date kNextRun = kNow + 900;
const std::string kDocker = "/Applications/Docker.app";

Snapshot machine() {
  Snapshot s{.at = kNow, .me = 501};
  s.procs = {
      {.pid = 700,
       .uid = 501,
       .name = "node",
       .path = "/opt/homebrew/bin/node",
       .listenPorts = {5173, 5173, 24678},
       .established = 0,
       .cwd = "/Users/ann/code/shop/web",
       .exposedPorts = std::vector<uint16_t>{24678}},
      {.pid = 800,
       .uid = 501,
       .name = "com.docker.backend",
       .path = kDocker + "/Contents/MacOS/com.docker.backend",
       .listenPorts = {5432},
       .established = 2,
       .exposedPorts = std::vector<uint16_t>{5432}},
      {.pid = 810,
       .uid = 501,
       .name = "Docker Desktop",
       .path = kDocker + "/Contents/MacOS/Docker Desktop"},
      {.pid = 900,
       .uid = 501,
       .name = "redis-server",
       .path = "/opt/homebrew/bin/redis-server",
       .listenPorts = {6379},
       .cwd = "/"},
      {.pid = 1000,
       .uid = 501,
       .name = "Slack",
       .path = "/Applications/Slack.app/Contents/MacOS/Slack",
       .listenPorts = {49152}},
      {.pid = 60, .uid = 0, .name = "cupsd", .path = "/usr/sbin/cupsd", .listenPorts = {631}},
  };
  s.apps = {{.pid = 810, .name = "Docker Desktop", .bundlePath = kDocker},
            {.pid = 1000, .name = "Slack", .bundlePath = "/Applications/Slack.app"}};
  return s;
}

NetConn listen(std::string host, uint16_t port) {
  return {NetConn::Proto::tcp, {std::move(host), port}, std::nullopt, "Listen"};
}
NetConn established(uint16_t port) {
  return {NetConn::Proto::tcp, {"10.0.0.2", port}, NetEndpoint{"10.0.0.9", 50000}, "Established"};
}

TEST(PortRows, RowsOfTheSnapshotThenOfOtherListeners) {
  Activity activity;
  activity.connSeen = {{700, kNow - 600}, {800, kNow - 60}, {1000, kNow + 30}};
  const Action stopNode{.rule = Rule::devServer, .kind = ActionKind::stopProcess, .pid = 700};
  const Action stopRedis{.rule = Rule::background, .kind = ActionKind::stopProcess, .pid = 900};
  const Action closeSlack{
      .rule = Rule::window, .kind = ActionKind::closeWindow, .pid = 1000, .windowID = 42};
  const std::vector<NetProc> listeners{
      {60, "cupsd", 0, 0, {listen("127.0.0.1", 631)}},  // already in the snapshot
      {88,
       "sshd",
       0,
       0,
       {listen("*", 22),
        listen("*", 22),
        established(22),
        established(22),
        {NetConn::Proto::udp, {"*", 22}, std::nullopt, ""}}},
      {4242, "postgres", 0, 0, {listen("127.0.0.1", 5433), listen("::1", 5433), established(5433)}},
  };
  const auto rows =
      PortRows::rows(machine(), activity, Allowlist{.processes = {"redis-server"}},
                     {stopNode, stopRedis, closeSlack}, {stopRedis.id()}, kNextRun, listeners,
                     {{88, "/usr/sbin/sshd"}, {4242, "/opt/pg/bin/postgres"}},
                     {{"/Users/ann/code/shop/web", "shop"}, {"/opt/homebrew/bin", "homebrew"}},
                     {{5432, "shop · shop-db-1"}}, "/Users/ann");
  using K = PortRow::Kind;
  const std::string node = "/opt/homebrew/bin/node";
  const std::vector<PortRow> expected{
      {5173, 700, "node", node, "~/code/shop/web", "shop", false, 0, 600, K::dev, kNextRun},
      {24678, 700, "node", node, "~/code/shop/web", "shop", true, 0, 600, K::dev, kNextRun},
      {5432, 800, "shop · shop-db-1", kDocker + "/Contents/MacOS/com.docker.backend", std::nullopt,
       std::nullopt, true, 2, std::nullopt, K::app, std::nullopt},
      {6379, 900, "redis-server", "/opt/homebrew/bin/redis-server", "/", "homebrew", false, 0,
       std::nullopt, K::kept, std::nullopt},
      {49152, 1000, "Slack", "/Applications/Slack.app/Contents/MacOS/Slack", std::nullopt,
       std::nullopt, false, 0, 0, K::app, std::nullopt},
      {631, 60, "cupsd", "/usr/sbin/cupsd", std::nullopt, std::nullopt, false, 0, std::nullopt,
       K::system, std::nullopt},
      {22, 88, "sshd", "/usr/sbin/sshd", std::nullopt, std::nullopt, true, 2, std::nullopt,
       K::system, std::nullopt},
      {5433, 4242, "postgres", "/opt/pg/bin/postgres", std::nullopt, std::nullopt, false, 1,
       std::nullopt, K::other, std::nullopt},
  };
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], expected[i]) << i;
}

TEST(PortRowsKind, ProtectionReasons) {
  const Snapshot s = machine();
  const std::set<int32_t> apps{1000};
  const Allowlist allow{.processes = {"redis-server"}};
  const Proc dock{.pid = 50, .uid = 501, .name = "Dock", .path = "/Applications/Dock.app/x"};
  const Proc pathless{.pid = 51, .uid = 501, .name = "ghost"};
  const Proc mine{.pid = 52, .uid = 501, .name = "python3", .path = "/Users/ann/.venv/bin/python3"};
  EXPECT_EQ(PortRows::kind(s.procs[0], s, allow, apps), PortRow::Kind::dev);
  EXPECT_EQ(PortRows::kind(s.procs[3], s, allow, apps), PortRow::Kind::kept);
  EXPECT_EQ(PortRows::kind(s.procs[4], s, allow, apps), PortRow::Kind::app);  // no reason, an app
  EXPECT_EQ(PortRows::kind(s.procs[1], s, allow, apps), PortRow::Kind::app);  // helper of Docker
  EXPECT_EQ(PortRows::kind(s.procs[5], s, allow, apps), PortRow::Kind::system);  // other user
  EXPECT_EQ(PortRows::kind(dock, s, allow, apps), PortRow::Kind::system);        // protected
  EXPECT_EQ(PortRows::kind(pathless, s, allow, apps), PortRow::Kind::system);
  Snapshot front = s;
  front.frontPID = 52;
  EXPECT_EQ(PortRows::kind(mine, front, allow, apps), PortRow::Kind::app);  // in use
  EXPECT_EQ(PortRows::kind(mine, s, allow, apps), PortRow::Kind::dev);
}

TEST(PortRowsProjectKey, WorkingFolderElseExecutableFolder) {
  EXPECT_EQ(PortRows::projectKey({.path = "/opt/bin/node", .cwd = "/Users/ann/app"}),
            "/Users/ann/app");
  EXPECT_EQ(PortRows::projectKey({.path = "/opt/bin/node", .cwd = "/"}), "/opt/bin");
  EXPECT_EQ(PortRows::projectKey({.path = "/opt/bin/node", .cwd = ""}), "/opt/bin");
  EXPECT_EQ(PortRows::projectKey({.path = "/init"}), "/");
  EXPECT_EQ(PortRows::projectKey({.path = ""}), std::nullopt);
}

TEST(PortRow, StatusTexts) {
  const auto time = [](Date d) { return d.iso8601().substr(11, 5); };
  PortRow row{.kind = PortRow::Kind::kept};
  EXPECT_EQ(row.status(time), "Kept · allowlist");
  row.stopsAt = kNextRun;
  EXPECT_EQ(row.status(time), "Stops at 15:15");
  const std::pair<PortRow::Kind, std::string> texts[] = {{PortRow::Kind::dev, "In use"},
                                                         {PortRow::Kind::app, "App"},
                                                         {PortRow::Kind::system, "macOS"},
                                                         {PortRow::Kind::other, "Other user"}};
  for (const auto& [kind, text] : texts) EXPECT_EQ(PortRow{.kind = kind}.status(time), text);
  EXPECT_EQ((PortRow{.port = 5173, .pid = 700}).id(), "5173:700");
}

TEST(PortFilter, Matches) {
  const PortRow idleDev{.kind = PortRow::Kind::dev, .stopsAt = kNextRun};
  const PortRow busyDev{.kind = PortRow::Kind::dev};
  const PortRow stoppingApp{.kind = PortRow::Kind::app, .stopsAt = kNextRun};
  const PortRow exposed{.exposed = true, .kind = PortRow::Kind::system};
  const auto shown = [](PortFilter f, std::vector<PortRow> rows) {
    std::string out;
    for (const auto& r : rows) out += matches(f, r) ? '1' : '0';
    return out;
  };
  const std::vector<PortRow> rows{idleDev, busyDev, stoppingApp, exposed};
  EXPECT_EQ(shown(PortFilter::all, rows), "1111");
  EXPECT_EQ(shown(PortFilter::dev, rows), "1100");
  EXPECT_EQ(shown(PortFilter::idle, rows), "1000");
  EXPECT_EQ(shown(PortFilter::network, rows), "0001");
}

TEST(PortRowsSearch, AnyFieldIgnoringCase) {
  const std::vector<PortRow> rows{
      {.port = 5173,
       .name = "node",
       .path = "/opt/homebrew/bin/node",
       .folder = "~/code/Shop",
       .project = "Shop"},
      {.port = 6379, .name = "redis-server", .path = "/opt/homebrew/bin/redis-server"},
      {.port = 8080, .name = "Ünïcode", .path = "/x"},
  };
  const auto ports = [&](std::string_view query) {
    std::vector<uint16_t> out;
    for (const auto& row : PortRows::search(rows, query)) out.push_back(row.port);
    return out;
  };
  EXPECT_EQ(ports("  \n"), (std::vector<uint16_t>{5173, 6379, 8080}));
  EXPECT_EQ(ports(" SHOP\t"), (std::vector<uint16_t>{5173}));
  EXPECT_EQ(ports("homebrew"), (std::vector<uint16_t>{5173, 6379}));
  EXPECT_EQ(ports("63"), (std::vector<uint16_t>{6379}));
  EXPECT_EQ(ports("ünï"), (std::vector<uint16_t>{8080}));
  EXPECT_EQ(ports("nothing"), (std::vector<uint16_t>{}));
}

}  // namespace
}  // namespace kelvane
