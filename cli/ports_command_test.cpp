#include "cli/ports_command.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/machine_snapshot.h"
#include "cli/testing/run_tool.h"
#include "core/store/store.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/tcp_pair.h"

namespace kelvane::cli {
namespace {

namespace fs = std::filesystem;

// A development server of this test: a copy of sleep under the temporary home,
// started in `folder` and holding the listeners it is given.
class DevServer {
 public:
  DevServer(const fs::path& program, const fs::path& folder, const std::vector<int>& listeners) {
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(2);
      ::execl(program.c_str(), "devserver", "60", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (const int fd : listeners) ::close(fd);  // From now on only the child holds them.
    const std::string link = "/proc/" + std::to_string(pid_) + "/exe";
    for (int i = 0; i < 500; ++i) {
      std::error_code error;
      if (fs::read_symlink(link, error) == program) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ~DevServer() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

const PortRow* rowFor(const std::vector<PortRow>& rows, uint16_t port) {
  for (const auto& row : rows)
    if (row.port == port) return &row;
  return nullptr;
}

TEST(PortsCommand, RealListenersGiveTheirRows) {
  TempDir home;
  const fs::path project = home.path() / "webshop";
  fs::create_directories(project / "server");
  fs::create_directories(project / ".git");
  const fs::path program = home.path() / "devserver";
  fs::copy_file("/bin/sleep", program);
  fs::permissions(program, fs::perms::owner_all);

  // One process with two ports (loopback IPv4, every IPv6 address) inside the
  // project; another exposed on every IPv4 address; a third on IPv6 loopback.
  // Each child is started before the next one's listeners exist, so that it
  // inherits only its own.
  const int local4 = testing::listenOn("127.0.0.1", false);
  const int any6 = testing::listenOn("::", false);
  ASSERT_GE(local4, 0);
  const uint16_t pLocal4 = testing::portOf(local4), pAny6 = testing::portOf(any6);
  DevServer web(program, project / "server", {local4, any6});
  const int any4 = testing::listenOn("0.0.0.0", false);
  ASSERT_GE(any4, 0);
  const uint16_t pAny4 = testing::portOf(any4);
  DevServer open(program, home.path(), {any4});
  const int local6 = testing::listenOn("::1", false);
  const uint16_t pLocal6 = testing::portOf(local6);
  std::optional<DevServer> v6;
  if (local6 >= 0) v6.emplace(program, "/", std::vector<int>{local6});

  const Snapshot snapshot = machineSnapshot();
  const auto rows = machinePortRows(snapshot, Activity{}, Allowlist{}, home.path().string());
  const PortRow* first = rowFor(rows, pLocal4);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->pid, web.pid());
  EXPECT_EQ(first->name, "devserver");
  EXPECT_EQ(first->path, program.string());
  EXPECT_EQ(first->project, "webshop");
  EXPECT_EQ(first->folder, "~/webshop/server");
  EXPECT_FALSE(first->exposed);
  EXPECT_EQ(first->kind, PortRow::Kind::dev);
  EXPECT_EQ(first->status([](Date) { return ""; }), "In use");
  if (any6 >= 0) {
    const PortRow* second = rowFor(rows, pAny6);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->pid, web.pid());
    EXPECT_TRUE(second->exposed);
  }
  const PortRow* exposed = rowFor(rows, pAny4);
  ASSERT_TRUE(exposed);
  EXPECT_EQ(exposed->pid, open.pid());
  EXPECT_TRUE(exposed->exposed);
  EXPECT_EQ(exposed->folder, "~");
  EXPECT_EQ(exposed->project, std::nullopt);
  if (v6) {
    const PortRow* loopback6 = rowFor(rows, pLocal6);
    ASSERT_TRUE(loopback6);
    EXPECT_FALSE(loopback6->exposed);
    EXPECT_EQ(loopback6->folder, "/");
  }

  std::ostringstream out;
  printPorts(rows, Calendar::utc(), out);
  EXPECT_NE(out.str().find("Port  Process"), std::string::npos);
  EXPECT_NE(out.str().find("~/webshop/server"), std::string::npos);
  const auto j = portsJson(rows, Calendar::utc());
  bool found = false;
  for (const auto& row : j)
    if (row["port"] == pLocal4) found = row["project"] == "webshop" && row["kind"] == "dev";
  EXPECT_TRUE(found);
}

// Runs the tool as the unprivileged user `uid`, so that a stop can only reach
// that user's processes.
std::string runAs(uid_t uid, const std::string& data, const std::string& arguments, int* status) {
  const std::string user = std::to_string(uid);
  return runTool(arguments, status,
                 "setpriv --reuid=" + user + " --regid=" + user +
                     " --clear-groups env HOME=" + data + " KELVANE_DATA=" + data + " ");
}

TEST(PortsStop, StopsTheTestsOwnListenerAndRecordsTheRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the listener as a user of its own";
  constexpr uid_t kTestUser = 65534;  // nobody: owns nothing a stop could harm
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  const fs::path data = dir.path() / "data";
  fs::create_directories(data);
  ASSERT_EQ(::chown(data.c_str(), kTestUser, kTestUser), 0);
  const fs::path program = dir.path() / "devserver";
  fs::copy_file("/bin/sleep", program);
  fs::permissions(program, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);

  const int listener = testing::listenOn("127.0.0.1", false);
  ASSERT_GE(listener, 0);
  const uint16_t port = testing::portOf(listener);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kTestUser) != 0 || ::setuid(kTestUser) != 0 ||
        ::chdir(data.c_str()) != 0)
      ::_exit(2);
    ::execl(program.c_str(), "devserver", "60", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(listener);
  for (int i = 0; i < 500; ++i) {
    std::error_code error;
    if (fs::read_symlink("/proc/" + std::to_string(child) + "/exe", error) == program) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  // A listener of another user (this test, as root) is refused without a signal.
  const int mine = testing::listenOn("127.0.0.1");
  int status = -1;
  const std::string refused =
      runAs(kTestUser, data, "ports stop " + std::to_string(testing::portOf(mine)), &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(refused.find("belongs to a process of root, which is never stopped"), std::string::npos)
      << refused;
  ::close(mine);

  const std::string stopped = runAs(kTestUser, data, "ports stop " + std::to_string(port), &status);
  EXPECT_EQ(status, 0) << stopped;
  EXPECT_EQ(stopped, "Port " + std::to_string(port) + ", devserver (process " +
                         std::to_string(child) + "): done\n");
  int how = 0;
  ASSERT_EQ(::waitpid(child, &how, 0), child);
  EXPECT_TRUE(WIFSIGNALED(how) && WTERMSIG(how) == SIGTERM);
  const auto runs = Store(data).runs(Date(0));
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].actions.at(0).result, "done");
  EXPECT_EQ(runs[0].actions.at(0).action.pid, child);

  EXPECT_NE(runAs(kTestUser, data, "ports stop " + std::to_string(port), &status)
                .find("nothing listens on port"),
            std::string::npos);
  EXPECT_EQ(status, 1);
}

TEST(PortsView, StopTimesAndEmptyLists) {
  PortRow row{.port = 5173,
              .pid = 42,
              .name = "vite",
              .kind = PortRow::Kind::dev,
              .stopsAt = Date(3600 * 14 + 60 * 5)};
  std::ostringstream out;
  printPorts({row}, Calendar::utc(), out);
  EXPECT_NE(out.str().find("Stops at 14:05"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("1 port: 1 held by development servers, 0 open to the network."),
            std::string::npos);
  EXPECT_EQ(portsJson({row}, Calendar::utc())[0]["stopsAt"], "2001-01-01T14:05:00Z");
  std::ostringstream none;
  printPorts({}, Calendar::utc(), none);
  EXPECT_EQ(none.str(), "No listening TCP ports.\n");
}

}  // namespace
}  // namespace kelvane::cli
