#include "platform/linux/net_ports.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/net/docker_ports.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

using SockDiag::TcpSocket;

TcpSocket listening(uint16_t port, uint32_t uid, bool v6 = false) {
  TcpSocket s{.v6 = v6, .localPort = port, .state = SockDiag::kListen, .uid = uid};
  if (!v6) s.local = {127, 0, 0, 1};
  return s;
}

TEST(LinuxPorts, ListenersOfOthersAreGroupedByUser) {
  Snapshot snapshot;
  snapshot.procs = {Proc{.pid = 10, .listenPorts = {8080}}};
  TcpSocket open = listening(5000, 0);
  open.state = SockDiag::kEstablished;
  const auto others =
      LinuxPorts::othersListening(snapshot, {listening(8080, 1000), listening(22, 0, true),
                                             listening(631, 0), open, listening(9999, 4242)});
  ASSERT_EQ(others.size(), 2u);
  EXPECT_EQ(others[0].name, "process of root");
  EXPECT_EQ(others[0].pid, 0);
  EXPECT_EQ(others[0].listening(), (std::set<uint16_t>{22, 631}));
  EXPECT_EQ(others[0].conns[0].local.host, "::");
  EXPECT_EQ(others[1].name, "process of user 4242");  // No such user here.
}

TEST(LinuxPorts, ProjectsOfListeningProcesses) {
  TempDir home;
  const auto root = home.path() / "code" / "shop";
  std::filesystem::create_directories(root / "web" / "node_modules" / "vite" / "bin");
  std::ofstream(root / "package.json") << "{}";
  Snapshot snapshot;
  snapshot.procs = {Proc{.pid = 1,
                         .path = (root / "web/node_modules/vite/bin/vite").string(),
                         .listenPorts = {5173},
                         .cwd = "/"},
                    Proc{.pid = 2, .listenPorts = {3000}, .cwd = (root / "web").string()},
                    Proc{.pid = 3, .cwd = (root / "web").string()},  // Not listening: not probed.
                    Proc{.pid = 4, .listenPorts = {8000}, .cwd = "/srv/site"}};
  std::vector<std::string> probed;
  const auto exists = [&probed](const std::string& path) {
    probed.push_back(path);
    return std::filesystem::exists(path);
  };
  const auto names = LinuxPorts::projects(snapshot, home.path().string(), exists);
  EXPECT_EQ(names, (std::map<std::string, std::string>{
                       {(root / "web/node_modules/vite/bin").string(), "shop"},
                       {(root / "web").string(), "shop"}}));
  for (const auto& path : probed) EXPECT_EQ(path.rfind(home.path().string(), 0), 0u) << path;
}

// Puts a program named docker first on PATH for as long as it lives.
class FakeDockerOnPath {
 public:
  FakeDockerOnPath() : saved_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    const auto tool = dir_.path() / "docker";
    std::ofstream(tool) << "#!/bin/sh\nexit 1\n";
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    ::setenv("PATH", (dir_.path().string() + ":" + saved_).c_str(), 1);
  }
  ~FakeDockerOnPath() { ::setenv("PATH", saved_.c_str(), 1); }
  std::string tool() const { return (dir_.path() / "docker").string(); }

 private:
  TempDir dir_;
  std::string saved_;
};

TEST(LinuxPorts, DockerListingGivesContainerLabels) {
  const FakeDockerOnPath docker;
  std::vector<std::string> asked;
  const auto ports = LinuxPorts::docker("/nonexistent", [&asked](
                                                            const std::vector<std::string>& a) {
    asked = a;
    return std::optional(ShellResult{.out = "db\tshop\t0.0.0.0:5432->5432/tcp, :::5432->5432/tcp\n"
                                            "cache\t\t6379/tcp\n"
                                            "web\t\t127.0.0.1:8081->80/tcp\n"
                                            "broken line\n"});
  });
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), docker.tool());
  EXPECT_EQ(std::vector<std::string>(asked.begin() + 1, asked.end()), DockerPorts::args);
  EXPECT_EQ(ports, (std::map<uint16_t, std::string>{{5432, "shop · db"}, {8081, "web"}}));
  // A daemon that is not running answers with an error status: no containers.
  EXPECT_TRUE(LinuxPorts::docker("/nonexistent", [](const std::vector<std::string>&) {
                return std::optional(ShellResult{.status = 1, .out = "db\t\t0.0.0.0:1->1/tcp\n"});
              }).empty());
  EXPECT_TRUE(LinuxPorts::docker("/nonexistent", [](const std::vector<std::string>&) {
                return std::optional(ShellResult{.status = -1, .timedOut = true});
              }).empty());
}

}  // namespace
}  // namespace kelvane
