#include "platform/linux/browser_procs.h"

#include <algorithm>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/browser_printers.h"
#include "platform/linux/testing/browser_process.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

// A process table with one browser (pid 40) and its zygote (41), listening on
// 127.0.0.1:9222 (inode 501), 0.0.0.0:8080 (502), [::1]:9333 (503) and
// [::ffff:127.0.0.1]:9444 (504), the last through the zygote only.
class FakeProcTable {
 public:
  FakeProcTable() {
    const fs::path root = dir_.path();
    fs::create_directories(root / "net");
    const char* head =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    std::ofstream(root / "net/tcp") << head
                                    << "   0: 0100007F:2406 00000000:0000 0A 00000000:00000000 "
                                       "00:00000000 00000000     0        0 501 1 0 100 0 0 10 0\n"
                                    << "   1: 00000000:1F90 00000000:0000 0A 00000000:00000000 "
                                       "00:00000000 00000000     0        0 502 1 0 100 0 0 10 0\n"
                                    << "   2: 0100007F:2407 0100007F:D2F0 01 00000000:00000000 "
                                       "00:00000000 00000000     0        0 505 1 0 100 0 0 10 0\n"
                                    << "garbage\n";
    std::ofstream(root / "net/tcp6")
        << head
        << "   0: 00000000000000000000000001000000:2475 00000000000000000000000000000000:0000 0A "
           "00000000:00000000 00:00000000 00000000     0        0 503 1 0 100 0 0 10 0\n"
        << "   1: 0000000000000000FFFF00000100007F:24E4 00000000000000000000000000000000:0000 0A "
           "00000000:00000000 00:00000000 00000000     0        0 504 1 0 100 0 0 10 0\n";
    process(40, 1, "--user-data-dir=/tmp/p", {501, 502, 503, 505});
    process(41, 40, "--type=zygote", {504});
  }
  std::string root() const { return dir_.path().string(); }

 private:
  void process(int pid, int ppid, const std::string& arg, const std::vector<int>& inodes) {
    const fs::path dir = dir_.path() / std::to_string(pid);
    fs::create_directories(dir / "fd");
    fs::create_symlink("/usr/lib/chromium/chromium", dir / "exe");
    fs::create_symlink("/home/me", dir / "cwd");
    std::ofstream(dir / "cmdline") << "/usr/lib/chromium/chromium" << '\0' << arg << '\0';
    std::ofstream(dir / "stat") << pid << " (chromium) S " << ppid
                                << " 1 1 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 1000 1000000 250";
    std::ofstream(dir / "comm") << "chromium\n";
    for (size_t i = 0; i < inodes.size(); ++i)
      fs::create_symlink("socket:[" + std::to_string(inodes[i]) + "]",
                         dir / "fd" / std::to_string(i + 3));
    fs::create_symlink("/dev/null", dir / "fd/0");
  }
  TempDir dir_;
};

TEST(BrowserProcs, ReadsTheBrowserWithItsListeningPorts) {
  const FakeProcTable table;
  const auto me = static_cast<uint32_t>(::getuid());
  EXPECT_EQ(BrowserProcs::running(me, table.root()),
            (std::vector<Proc>{{.pid = 40,
                                .ppid = 1,
                                .uid = me,
                                .name = "chromium",
                                .path = "/usr/lib/chromium/chromium",
                                .listenPorts = {8080, 9222, 9333},
                                .bundleID = "com.google.Chrome",
                                .cwd = "/home/me",
                                .exposedPorts = {{8080}}}}));
  EXPECT_EQ(BrowserProcs::args(41, table.root()),
            (std::vector<std::string>{"/usr/lib/chromium/chromium", "--type=zygote"}));
  EXPECT_TRUE(BrowserProcs::running(me + 1, table.root()).empty());  // Not that user's.
  EXPECT_TRUE(BrowserProcs::running(me, table.root() + "/missing").empty());
  EXPECT_TRUE(BrowserProcs::args(99, table.root()).empty());
}

TEST(BrowserProcs, FindsARealBrowserAndItsEndpointPort) {
  const testing::TestBrowser browser;
  ASSERT_TRUE(browser.error().empty()) << browser.error();
  const auto procs = BrowserProcs::running(static_cast<uint32_t>(::getuid()));
  const auto it = std::find_if(procs.begin(), procs.end(),
                               [&](const Proc& p) { return p.pid == browser.pid(); });
  ASSERT_NE(it, procs.end());
  EXPECT_EQ(it->bundleID, "com.google.Chrome");
  EXPECT_NE(std::find(it->listenPorts.begin(), it->listenPorts.end(), browser.port()),
            it->listenPorts.end());
  EXPECT_EQ(it->exposedPorts, std::nullopt);
}

}  // namespace
}  // namespace kelvane
