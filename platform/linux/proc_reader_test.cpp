#include "platform/linux/proc_reader.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/fake_proc.h"

extern char** environ;

namespace kelvane {
namespace {

TEST(ProcReader, ReadsEachProcessAndSkipsTheGoneAndTheReused) {
  FakeProc proc;
  proc.process("10", {.stat = statLine(10, "node server", 1),
                      .status = "Uid:\t1000\t1000\t1000\t1000\n",
                      .exe = "/usr/bin/node (deleted)",
                      .cwd = "/home/ann/app",
                      .fds = {"/dev/null", "socket:[55]", "/home/ann/app/log"},
                      .cmdline = std::string("/usr/bin/node\0server.js\0", 24)});
  proc.process("2", {.stat = "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 25 0 0"});
  proc.process("11", {});                                // ended before its stat was read
  proc.process("12", {.stat = statLine(99, "new", 1)});  // the PID now names another process
  proc.process("self", {.stat = statLine(10, "node", 1)});
  proc.file("stat", "cpu 1 2 3 4\nbtime 1796634172\n");

  const ProcReader reader(proc.root());
  const auto all = reader.processes(~0u);
  ASSERT_EQ(all.size(), 2u);
  const ProcEntry& node = all[0].stat.pid == 10 ? all[0] : all[1];
  EXPECT_EQ(node.stat.comm, "node server");
  EXPECT_EQ(node.status->uids[0], 1000u);
  EXPECT_EQ(node.exe, "/usr/bin/node");  // the program was upgraded while it ran
  EXPECT_EQ(node.cwd, "/home/ann/app");
  EXPECT_EQ(node.fds, (std::vector<std::string>{"/dev/null", "socket:[55]", "/home/ann/app/log"}));
  EXPECT_EQ(node.firstArg, "/usr/bin/node");
  const ProcEntry& kernel = all[0].stat.pid == 2 ? all[0] : all[1];
  EXPECT_TRUE(kernel.stat.kernelThread);
  EXPECT_EQ(kernel.exe, std::nullopt);
  EXPECT_EQ(kernel.status, std::nullopt);
  EXPECT_EQ(kernel.fds, std::nullopt);  // not listed

  // Only what was asked for is read.
  const auto bare = reader.process(10, 0);
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->exe, std::nullopt);
  EXPECT_EQ(bare->fds, std::nullopt);

  auto parents = reader.parents();
  std::sort(parents.begin(), parents.end());
  EXPECT_EQ(parents, (std::vector<std::pair<int32_t, int32_t>>{{2, 0}, {10, 1}}));
  EXPECT_EQ(reader.bootTime(), 1796634172);
  EXPECT_TRUE(ProcReader(proc.root() + "/missing").processes(~0u).empty());
}

TEST(ProcReader, SocketTablesOfBothFamiliesAndUnix) {
  FakeProc proc;
  proc.file("net/tcp",
            "  sl  local_address rem_address   st\n"
            "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 "
            "0 70 1 0 100 0 0 10 0\n");
  proc.file("net/tcp6",
            "  sl  local_address\n"
            "   0: 00000000000000000000000000000000:0050 00000000000000000000000000000000:0000 0A "
            "00000000:00000000 00:00000000 00000000  1000        0 71 1 0 100 0 0 10 0\n");
  proc.file("net/unix", "Num RefCount\n0000000000000001: 00000002 0 00010000 0001 01 72 /run/x\n");
  const ProcReader reader(proc.root());
  const auto tcp = reader.tcpSockets();
  ASSERT_EQ(tcp.size(), 2u);
  EXPECT_EQ(std::make_pair(tcp[0].inode, tcp[0].v6), std::make_pair(uint64_t{70}, false));
  EXPECT_EQ(std::make_pair(tcp[1].inode, tcp[1].v6), std::make_pair(uint64_t{71}, true));
  EXPECT_EQ(reader.unixSockets(), (std::vector<ProcText::UnixSocket>{{72, true, "/run/x"}}));
  EXPECT_TRUE(ProcReader(proc.root() + "/missing").tcpSockets().empty());
}

// The live table: this process and a child it starts.
TEST(ProcReader, SeesThisProcessAndItsChild) {
  TempDir dir;
  const std::string held = (dir.path() / "held file").string();
  const int fd = ::open(held.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  pid_t child = 0;
  char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("30"), nullptr};
  ASSERT_EQ(::posix_spawn(&child, "/bin/sleep", nullptr, nullptr, argv, environ), 0);

  const ProcReader reader;
  const auto self = reader.process(::getpid(), ~0u);
  ASSERT_TRUE(self);
  EXPECT_EQ(self->exe, std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(self->cwd, std::filesystem::current_path().string());
  ASSERT_TRUE(self->fds);
  EXPECT_NE(std::find(self->fds->begin(), self->fds->end(), held), self->fds->end());
  EXPECT_EQ(self->status->uids[0], ::getuid());
  const auto parents = reader.parents();
  EXPECT_NE(std::find(parents.begin(), parents.end(), std::make_pair(int32_t(child), ::getpid())),
            parents.end());
  const auto exe = reader.exeFile(child);
  struct stat sleepFile {};
  ASSERT_EQ(::stat("/bin/sleep", &sleepFile), 0);
  ASSERT_TRUE(exe);
  EXPECT_EQ(exe->st_ino, sleepFile.st_ino);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(fd);
  EXPECT_EQ(reader.process(child, ~0u), std::nullopt);  // gone
  EXPECT_EQ(reader.exeFile(child), std::nullopt);
}

}  // namespace
}  // namespace kelvane
