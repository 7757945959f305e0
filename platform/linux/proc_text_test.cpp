#include "platform/linux/proc_text.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using ProcText::InetSocket;
using ProcText::Stat;
using ProcText::UnixSocket;

// The lines below were captured on this machine; the odd names were made with prctl.
TEST(ProcTextStat, FieldsAreCountedAfterTheLastParenthesis) {
  const auto cat = ProcText::stat(
      "17915 (cat) R 17910 17910 6721 34818 -1 4194304 101 0 0 0 7 3 0 0 20 0 1 0 122885 "
      "3133440 409 18446744073709551615 94709012873216 0 0\n");
  EXPECT_EQ(cat, (Stat{.pid = 17915,
                       .comm = "cat",
                       .state = 'R',
                       .ppid = 17910,
                       .pgrp = 17910,
                       .session = 6721,
                       .ttyNr = 34818,
                       .utime = 7,
                       .stime = 3,
                       .startTicks = 122885,
                       .rssPages = 409}));
  // A name with blanks and parentheses, as a program may set for itself.
  const auto odd = ProcText::stat("42 (a) b (c)) S 1 42 42 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0 5");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->comm, "a) b (c)");
  EXPECT_EQ(odd->ppid, 1);
  EXPECT_EQ(odd->rssPages, 5);
}

TEST(ProcTextStat, KernelThreadsZombiesAndBrokenLines) {
  const auto kthreadd = ProcText::stat(
      "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 25 0 0 18446744073709551615");
  ASSERT_TRUE(kthreadd);
  EXPECT_TRUE(kthreadd->kernelThread);
  EXPECT_EQ(kthreadd->ppid, 0);
  const auto zombie =
      ProcText::stat("300 (defunct) Z 299 299 299 0 -1 4227148 0 0 0 0 12 4 0 0 20 0 1 0 77 0 0");
  ASSERT_TRUE(zombie);
  EXPECT_EQ(zombie->state, 'Z');
  EXPECT_FALSE(zombie->kernelThread);
  EXPECT_EQ(zombie->utime + zombie->stime, 16u);
  for (const char* broken : {
           "", "garbage", "12 (x) S",                                   // cut short
           "12 (x) S 1 12 12 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0",      // no resident size
           "x1 (x) S 1 12 12 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0 5",    // PID not a number
           "12 (x) S one 12 12 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0 5",  // parent not one
           "12 (x) SS 1 12 12 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0 5",   // state of two letters
           "12 x) S 1 12 12 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0 5",     // no opening
       })
    EXPECT_EQ(ProcText::stat(broken), std::nullopt) << broken;
}

TEST(ProcTextStatus, UserIDsAndTheNoNewPrivilegesFlag) {
  const auto status = ProcText::status(
      "Name:\tsu\nUmask:\t0022\nState:\tS (sleeping)\nUid:\t1000\t0\t0\t0\n"
      "Gid:\t1000\t1000\t1000\t1000\nNoNewPrivs:\t1\nSeccomp:\t0\n");
  EXPECT_EQ(status, (ProcText::Status{.uids = {1000, 0, 0, 0}, .noNewPrivs = true}));
  EXPECT_EQ(ProcText::status("Uid:\t5\t5\t5\t5\n")->noNewPrivs, false);
  EXPECT_EQ(ProcText::status("Name:\tx\nGid:\t1\t1\t1\t1\n"), std::nullopt);
  EXPECT_EQ(ProcText::status("Uid:\t5\t5\t5\n"), std::nullopt);  // three IDs only
}

TEST(ProcTextTcp, ListenersAndConnectionsOfBothFamilies) {
  const std::string v4 =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode\n"
      "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0  "
      "      0 1156 1 00000000ab9fd682 100 0 0 10 0\n"
      "   1: 0100007F:82F3 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000  "
      "      0 55639 1 00000000d922e649 100 0 0 10 0\n"
      "   2: 0100007F:1F90 0100007F:D2A4 01 00000000:00000000 00:00000000 00000000  1000  "
      "      0 77 1 0 20 4 30 10 -1\n"
      "   3: 0100007F:1F90 garbage\n";
  EXPECT_EQ(
      ProcText::tcpTable(v4, false),
      (std::vector<InetSocket>{
          {.localPort = 2024, .state = ProcText::kListen, .uid = 0, .inode = 1156},
          {.local = {127, 0, 0, 1}, .localPort = 33523, .state = 0x0A, .uid = 1000, .inode = 55639},
          {.local = {127, 0, 0, 1},
           .localPort = 8080,
           .state = ProcText::kEstablished,
           .uid = 1000,
           .inode = 77},
      }));
  const std::string v6 =
      "  sl  local_address                         remote_address                        st\n"
      "   0: 00000000000000000000000001000000:0BB8 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000  1000        0 900 1 0 100 0 0 10 0\n"
      "   1: 00000000000000000000000000000000:0050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000  1000        0 901 1 0 100 0 0 10 0\n"
      "   2: 0000000000000000FFFF00000100007F:0051 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000  1000        0 902 1 0 100 0 0 10 0\n";
  const auto sockets = ProcText::tcpTable(v6, true);
  ASSERT_EQ(sockets.size(), 3u);
  EXPECT_EQ(sockets[0].localPort, 3000);
  EXPECT_TRUE(sockets[0].loopback());                                   // ::1
  EXPECT_FALSE(sockets[1].loopback());                                  // ::, every address
  EXPECT_TRUE(sockets[2].loopback());                                   // ::ffff:127.0.0.1
  EXPECT_EQ(ProcText::tcpTable(v6, false), std::vector<InetSocket>{});  // wrong width
  EXPECT_FALSE((InetSocket{.local = {10, 0, 0, 1}}).loopback());
}

TEST(ProcTextUnix, ListeningFlagAndNamesWithBlanks) {
  const std::string table =
      "Num       RefCount Protocol Flags    Type St Inode Path\n"
      "00000000e8f43df3: 00000002 00000000 00010000 0001 01 58663 /run/user/1000/my socket\n"
      "000000007a7edb36: 00000003 00000000 00000000 0001 03 58636\n"
      "0000000012397e81: 00000002 00000000 00010000 0001 01 59394 @/tmp/.X11-unix/X0\n"
      "00000000deadbeef: 00000002 00000000 0001000 0001 01\n";
  EXPECT_EQ(ProcText::unixTable(table),
            (std::vector<UnixSocket>{{58663, true, "/run/user/1000/my socket"},
                                     {58636, false, ""},
                                     {59394, true, "@/tmp/.X11-unix/X0"}}));
}

TEST(ProcText, DescriptorTargetsAndTerminalNames) {
  EXPECT_EQ(ProcText::socketInode("socket:[71881]"), 71881u);
  for (const char* other : {"pipe:[71881]", "/tmp/socket:[1]", "socket:[]", "socket:[12", ""})
    EXPECT_EQ(ProcText::socketInode(other), std::nullopt) << other;

  const std::pair<int32_t, std::optional<std::string>> terminals[] = {
      {0, std::nullopt},
      {34818, "pts/2"},  // major 136
      {(137 << 8) | 4, "pts/260"},
      {(136 << 8) | (1 << 20), "pts/256"},  // the high minor bits
      {(4 << 8) | 2, "tty2"},
      {(4 << 8) | 65, "ttyS1"},
      {(188 << 8) | 0, "tty188:0"},  // a USB serial line: named, but no file of that name
  };
  for (const auto& [device, name] : terminals) EXPECT_EQ(ProcText::ttyName(device), name) << device;
}

TEST(ProcText, MachineFigures) {
  const std::string stat =
      "cpu  192300 113 21962 30702 272 0 78 101 0 0\ncpu0 95963 73 10636 15987 20 0 8 52 0 0\n"
      "intr 1 2\nbtime 1796634172\nprocesses 9\n";
  EXPECT_EQ(ProcText::bootTime(stat), 1796634172);
  EXPECT_EQ(ProcText::cpuTimes(stat), (ProcText::CpuTimes{.busy = 214554, .total = 245528}));
  EXPECT_EQ(ProcText::bootTime("cpu 1 2 3 4\n"), std::nullopt);
  EXPECT_EQ(ProcText::cpuTimes("cpu  1 2 3 4\n"), (ProcText::CpuTimes{6, 10}));  // an old kernel
  EXPECT_EQ(ProcText::cpuTimes("cpu  1 x 3 4\n"), std::nullopt);

  EXPECT_EQ(ProcText::memInfo("MemTotal:       16318440 kB\nMemFree:  100 kB\n"
                              "MemAvailable:    8000000 kB\nCached: 5 kB\n"),
            (ProcText::MemInfo{16318440ull * 1024, 8000000ull * 1024}));
  EXPECT_EQ(ProcText::memInfo("MemTotal: 1000 kB\nMemFree: 100 kB\nCached: 50 kB\n"),
            (ProcText::MemInfo{1024000, 153600}));  // no MemAvailable line
  EXPECT_EQ(ProcText::memInfo("MemFree: 100 kB\n"), std::nullopt);
  EXPECT_EQ(ProcText::memInfo("MemTotal: 99999999999999999999 kB\n"), std::nullopt);

  EXPECT_EQ(ProcText::pressure("some avg10=12.50 avg60=1.00 avg300=0.00 total=9\n"
                               "full avg10=3.25 avg60=0.00 avg300=0.00 total=2\n"),
            (ProcText::Pressure{12.5, 3.25}));
  EXPECT_EQ(ProcText::pressure("full avg10=3.25\n"), std::nullopt);
}

}  // namespace
}  // namespace kelvane
