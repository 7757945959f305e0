#include "platform/linux/net_sampler.h"

#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/net/net_traffic.h"
#include "platform/linux/testing/fake_proc.h"
#include "platform/linux/testing/sleeper.h"
#include "platform/linux/testing/tcp_pair.h"

namespace kelvane {
namespace {

using SockDiag::TcpSocket;

TcpSocket socket(uint64_t inode, uint64_t in, uint64_t out, uint16_t port = 5000) {
  TcpSocket s{.localPort = port,
              .remotePort = 443,
              .state = SockDiag::kEstablished,
              .inode = inode,
              .counted = true,
              .bytesReceived = in,
              .bytesSent = out};
  s.local[0] = 10, s.local[3] = 1;
  s.remote[0] = 10, s.remote[3] = 2;
  return s;
}

// A fake machine: /proc folders and a socket table the test changes between samples.
struct FakeMachine {
  FakeProc proc;
  std::vector<TcpSocket> table;
  double clock = 100;

  void process(int pid, const std::vector<uint64_t>& inodes, unsigned long long start = 100) {
    std::vector<std::string> fds{"/dev/null"};
    for (const uint64_t inode : inodes) fds.push_back("socket:[" + std::to_string(inode) + "]");
    std::filesystem::remove_all(proc.root() + "/" + std::to_string(pid));
    proc.process(std::to_string(pid),
                 {.stat = statLine(pid, "p" + std::to_string(pid), 1, 0, 0, start), .fds = fds});
  }
  NetSampler sampler() {
    return NetSampler(
        ProcReader(proc.root()), [this] { return table; }, [this] { return Date(clock); });
  }
};

const NetProc* find(const NetSample& sample, int32_t pid) {
  for (const auto& proc : sample.procs)
    if (proc.pid == pid) return &proc;
  return nullptr;
}

TEST(NetSampler, TotalsGrowByWhatEachSocketMovedWhileWatched) {
  FakeMachine m;
  m.process(10, {1, 2});
  m.table = {socket(1, 100, 10), socket(2, 50, 5, 5001)};
  auto sampler = m.sampler();
  const auto first = sampler.sample();
  ASSERT_TRUE(first);
  ASSERT_TRUE(find(*first, 10));
  EXPECT_EQ(find(*first, 10)->bytesIn, 150u);  // The counts of sockets seen first.
  EXPECT_EQ(find(*first, 10)->conns.size(), 2u);

  // Socket 2 closed after moving 50 more bytes; socket 3 opened with 7 in; socket
  // 1 moved 20 more. The closed socket's last bytes are lost, never subtracted.
  m.process(10, {1, 3});
  m.table = {socket(1, 120, 10), socket(3, 7, 0, 5002)};
  const auto second = sampler.sample();
  ASSERT_TRUE(second);
  EXPECT_EQ(find(*second, 10)->bytesIn, 150u + 20 + 7);
  EXPECT_EQ(find(*second, 10)->bytesOut, 15u);

  // The same process ID now names a process started later: its count starts again.
  m.process(10, {1}, /*start=*/900);
  m.table = {socket(1, 130, 10)};
  const auto third = sampler.sample();
  EXPECT_EQ(find(*third, 10)->bytesIn, 10u);
}

TEST(NetSampler, SharedAndUnmatchedSocketsCountOnce) {
  FakeMachine m;
  m.process(30, {5});
  m.process(20, {5, 6});  // A socket inherited across fork: the lower ID holds it.
  m.process(40, {});
  m.table = {socket(5, 1000, 0), socket(6, 1, 1, 5001), socket(7, 9, 9, 5002),
             socket(0, 5, 5, 5003)};  // 7 belongs to nobody readable; 0 to nobody at all.
  const auto sample = m.sampler().sample();
  ASSERT_TRUE(sample);
  ASSERT_EQ(sample->procs.size(), 1u);
  EXPECT_EQ(sample->procs[0].pid, 20);
  EXPECT_EQ(sample->procs[0].bytesIn, 1001u);
  EXPECT_EQ(sample->unowned, 1u);
  EXPECT_EQ(sample->owners.count(20), 1u);
}

TEST(NetSampler, ConnectionRecords) {
  TcpSocket listener = socket(1, 0, 0, 8080);
  listener.state = SockDiag::kListen;
  listener.remotePort = 0;
  const NetConn listening = NetSampler::connection(listener);
  EXPECT_EQ(listening.state, "Listen");
  EXPECT_EQ(listening.remote, std::nullopt);
  EXPECT_EQ(listening.key(), "TCP 10.0.0.1:8080");
  const NetConn open = NetSampler::connection(socket(2, 3, 4));
  EXPECT_EQ(open.key(), "TCP 10.0.0.1:5000 10.0.0.2:443");
  EXPECT_EQ(open.bytesIn, 3u);
  EXPECT_EQ(open.bytesOut, 4u);
}

TEST(NetSampler, AKernelThatCannotBeAskedIsAnError) {
  NetSampler sampler(ProcReader(), [] {
    return Result<std::vector<TcpSocket>, std::string>(Unexpected<std::string>("no netlink"));
  });
  const auto sample = sampler.sample();
  ASSERT_FALSE(sample);
  EXPECT_EQ(sample.error(), "no netlink");
}

// Two processes of this test move a known number of bytes over loopback: this
// process serves, a child sends and then sleeps holding its socket.
TEST(NetSamplerLive, CountsTheBytesOfTwoProcessesAndFoldsTheHelper) {
  const int listener = testing::listenOn("127.0.0.1");
  ASSERT_GE(listener, 0);
  const uint16_t port = testing::portOf(listener);
  // The child never reads: what it is sent must fit its socket's first window.
  constexpr uint64_t kSent = 2'000'000, kReply = 20'000, kMore = 30'000;
  Sleeper child([port] {
    const int fd = testing::connectTo(port);
    if (fd < 0 || !testing::sendBytes(fd, kSent)) ::_exit(3);
  });
  const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(server, 0);
  ASSERT_TRUE(testing::receiveBytes(server, kSent));
  ASSERT_TRUE(child.ready());
  ASSERT_TRUE(testing::sendBytes(server, kReply));  // The sleeping child's kernel takes it.

  double clock = 1000;
  NetSampler sampler(ProcReader(), SockDiag::tcpSockets, [&clock] { return Date(clock); });
  const auto within = [](uint64_t counted, uint64_t sent) {
    return counted >= sent * 0.99 && counted <= sent * 1.01;
  };
  std::optional<NetSample> first;
  for (int i = 0; i < 200; ++i) {  // Until the last ACKs have come back.
    auto taken = sampler.sample();
    ASSERT_TRUE(taken) << taken.error();
    first = *taken;
    const NetProc* me = find(*first, ::getpid());
    if (me && me->bytesOut >= kReply) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const NetProc* me = find(*first, ::getpid());
  const NetProc* sender = find(*first, child.pid());
  ASSERT_TRUE(me && sender);
  EXPECT_TRUE(within(sender->bytesOut, kSent)) << sender->bytesOut;
  EXPECT_TRUE(within(sender->bytesIn, kReply)) << sender->bytesIn;
  EXPECT_TRUE(within(me->bytesIn, kSent)) << me->bytesIn;
  EXPECT_TRUE(within(me->bytesOut, kReply)) << me->bytesOut;

  // A second sample two seconds later: the server's rate is what it sent since.
  ASSERT_TRUE(testing::sendBytes(server, kMore));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  clock += 2;
  const auto second = sampler.sample();
  ASSERT_TRUE(second);

  // The child runs a program inside the folder of this "application": a helper.
  const std::string childExe =
      std::filesystem::read_symlink("/proc/" + std::to_string(child.pid()) + "/exe");
  Snapshot snapshot;
  snapshot.procs = {Proc{.pid = ::getpid(), .name = "server", .path = "/opt/server/server"},
                    Proc{.pid = child.pid(), .name = "sleep", .path = childExe}};
  snapshot.apps = {RunningApp{.pid = ::getpid(),
                              .name = "Test App",
                              .bundlePath = std::filesystem::path(childExe).parent_path()}};
  const auto rows =
      NetStat::apps(&first->procs, second->procs, 2.0, &snapshot, [](int32_t) { return true; });
  const auto app = std::find_if(rows.begin(), rows.end(), [](const AppTraffic& row) {
    return row.id == "pid:" + std::to_string(::getpid());
  });
  ASSERT_NE(app, rows.end());
  EXPECT_EQ(app->name, "Test App");
  EXPECT_EQ(app->members.size(), 2u);
  EXPECT_TRUE(within(app->totalIn, kSent + kReply + kMore)) << app->totalIn;
  // Both ends of the extra transfer count: the server's upload, the child's download.
  EXPECT_NEAR(app->rate.up, kMore / 2.0, kMore / 2.0 * 0.01);
  EXPECT_NEAR(app->rate.down, kMore / 2.0, kMore / 2.0 * 0.01);
  ::close(server);
  ::close(listener);
}

}  // namespace
}  // namespace kelvane
