#include "platform/linux/sampler.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/fake_proc.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
// The fake table's files belong to whoever runs the test, and so do its processes.
const uint32_t kMe = ::geteuid();
constexpr int64_t kBtime = 1796634172;
const Date kAt = Date::fromUnix(kBtime + 3600);

std::string status(uint32_t uid) {
  const std::string id = std::to_string(uid);
  return "Name:\tx\nUid:\t" + id + "\t" + id + "\t" + id + "\t" + id + "\n";
}

// A desktop captured as /proc text: a plain application, a browser with a renderer,
// a shell with a development server, a zombie, a kernel thread, odd names, and two
// folders that no longer name their process.
struct Desk {
  FakeProc proc;
  TempDir dev, share, home;
  LinuxSamplerSetup setup;
  long ticks = ::sysconf(_SC_CLK_TCK);

  Desk() {
    const auto add = [&](int pid, const std::string& stat, uint32_t uid, std::string exe,
                         std::vector<std::string> fds = {}, std::string cwd = "") {
      proc.process(std::to_string(pid),
                   {.stat = stat, .status = status(uid), .exe = exe, .cwd = cwd, .fds = fds});
    };
    add(1, statLine(1, "systemd", 0), 0, "/usr/lib/systemd/systemd");
    proc.process("2", {.stat = "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 0 0 0"});
    add(100, statLine(100, "gedit", 1, 0, 250, 0, 2), kMe, "/usr/bin/gedit");
    add(200, statLine(200, "chromium", 1), kMe, "/usr/lib/chromium/chromium");
    add(201, statLine(201, "chromium", 200), kMe, "/usr/lib/chromium/chromium");
    add(210, statLine(210, "chromium", 1), kMe, "/usr/lib/chromium/chromium");
    proc.file("210/cmdline", std::string("chromium\0--headless=new\0about:blank\0", 36));
    add(300, statLine(300, "bash", 1, 34819), kMe, "/usr/bin/bash", {}, "/home/me/site");
    add(301, statLine(301, "node", 300, 34819, 0, 5 * ticks, 3), kMe, "/usr/bin/node",
        {"/dev/null", "socket:[70]", "socket:[71]", "socket:[72]", "socket:[73]"}, "/home/me/site");
    proc.process("400",
                 {.stat = statLine(400, "defunct", 300, 0, 0, 0, 0, 'Z'), .status = status(kMe)});
    add(500, statLine(500, "(sd-pam)", 1), kMe, "/usr/lib/systemd/systemd");
    add(501, statLine(501, "a very long nam", 1), kMe, "/opt/x/a very long name indeed");
    add(800, statLine(800, "vim", 300, 34819), kMe, "/usr/bin/vim");
    proc.process("600", {});                                    // ended before it was read
    proc.process("700", {.stat = statLine(701, "reused", 1)});  // the PID now names another
    proc.file("stat", "cpu  600 0 200 1000 200 0 0 0 0 0\nbtime " + std::to_string(kBtime) + "\n");
    proc.file("meminfo", "MemTotal: 1000000 kB\nMemAvailable: 250000 kB\n");
    proc.file("pressure/memory", "some avg10=12.00 avg60=0 avg300=0 total=1\nfull avg10=0.00\n");
    proc.file("sys/kernel/random/boot_id", "1f2e\n");
    proc.file("self/sessionid", "3");
    proc.file("net/tcp",
              "  sl  local_address rem_address   st\n"
              "   0: 0100007F:0BB8 00000000:0000 0A 0:0 0:0 0 1000 0 70 1\n"
              "   1: 00000000:1F90 00000000:0000 0A 0:0 0:0 0 1000 0 71 1\n"
              "   2: 0100007F:0BB8 0100007F:D2A4 01 0:0 0:0 0 1000 0 72 1\n"
              "   3: 0100007F:D2A4 0100007F:0BB8 01 0:0 0:0 0 1000 0 99 1\n");
    fs::create_directories(dev.path() / "pts");
    std::ofstream(dev.path() / "pts/3") << "";
    const timespec times[2] = {{kBtime + 3600 - 120, 0}, {0, UTIME_OMIT}};
    ::utimensat(AT_FDCWD, (dev.path() / "pts/3").c_str(), times, 0);
    fs::create_directories(share.path() / "applications");
    std::ofstream(share.path() / "applications/org.gnome.gedit.desktop")
        << "[Desktop Entry]\nType=Application\nName=Text Editor\nExec=gedit %U\n";
    std::ofstream(share.path() / "applications/chromium.desktop")
        << "[Desktop Entry]\nType=Application\nName=Chromium\nExec=/usr/bin/chromium %U\n";
    std::ofstream(share.path() / "applications/vim.desktop")
        << "[Desktop Entry]\nType=Application\nName=Vim\nExec=vim %F\nTerminal=true\n";
    setup = LinuxSamplerSetup{.procRoot = proc.root(),
                              .devRoot = dev.path().string(),
                              .home = home.path().string(),
                              .trash = (home.path() / "Trash").string(),
                              .dataDirs = {share.path().string()},
                              .me = kMe,
                              .now = [] { return kAt; }};
  }
};

TEST(LinuxSampler, WithoutADisplayProcessesTerminalsAndHealth) {
  Desk d;
  LinuxSampler sampler(d.setup);
  const Snapshot s = sampler.sample();
  EXPECT_EQ(s.at, kAt);
  EXPECT_EQ(s.me, kMe);
  EXPECT_EQ(s.boot, Date::fromUnix(kBtime));
  EXPECT_EQ(s.session, 3);

  std::vector<int32_t> pids;
  for (const Proc& p : s.procs) pids.push_back(p.pid);
  std::sort(pids.begin(), pids.end());
  EXPECT_EQ(pids, (std::vector<int32_t>{1, 2, 100, 200, 201, 210, 300, 301, 400, 500, 501, 800}));
  const auto find = [&](int32_t pid) {
    return *std::find_if(s.procs.begin(), s.procs.end(),
                         [&](const Proc& p) { return p.pid == pid; });
  };
  EXPECT_EQ(find(301), (Proc{.pid = 301,
                             .ppid = 300,
                             .uid = kMe,
                             .name = "node",
                             .path = "/usr/bin/node",
                             .tty = "pts/3",
                             .rss = 3 * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)),
                             .listenPorts = {3000, 8080},
                             .established = 1,  // the client's end is not its own
                             .started = Date::fromUnix(kBtime + 5),
                             .cwd = "/home/me/site",
                             .exposedPorts = std::vector<uint16_t>{8080}}));
  EXPECT_DOUBLE_EQ(find(100).cpu, 250.0 / static_cast<double>(d.ticks));
  EXPECT_EQ(find(500).name, "(sd-pam)");
  EXPECT_EQ(find(501).name, "a very long name indeed");  // the kernel cut it at 15 bytes
  EXPECT_EQ(find(2).path, "");                           // a kernel thread runs no program
  EXPECT_EQ(find(2).exposedPorts, std::nullopt);         // it holds no descriptors
  EXPECT_EQ(find(201).responsible, 200);                 // the renderer belongs to the browser
  EXPECT_EQ(find(201).bundleID, "com.google.Chrome");
  EXPECT_EQ(find(301).responsible, std::nullopt);

  // Applications without windows known: the shown entries' programs outside terminals
  // (not a browser a program runs headless, 210).
  EXPECT_EQ(s.apps, (std::vector<RunningApp>{
                        {.pid = 100, .bundleID = "org.gnome.gedit", .name = "Text Editor"},
                        {.pid = 200,
                         .bundleID = "com.google.Chrome",
                         .name = "Chromium",
                         .bundlePath = "/usr/lib/chromium"}}));
  EXPECT_TRUE(s.windows.empty());
  EXPECT_FALSE(s.axTrusted);  // the planner reads this as "windows unknown"
  EXPECT_EQ(s.spaces, std::nullopt);
  EXPECT_EQ(s.automationDenied, std::vector<std::string>{"com.google.Chrome"});
  EXPECT_EQ(s.ttyIdle, (std::map<std::string, double>{{"pts/3", 120}}));
  EXPECT_EQ(s.health.pressure, 2);
  EXPECT_EQ(s.health.memTotal, 1024000000u);
  EXPECT_EQ(s.health.memUsed, 768000000u);
  EXPECT_DOUBLE_EQ(s.health.cpu, 0.4);  // since boot: 800 of 2,000 ticks busy
  EXPECT_GT(s.health.diskTotal, 0);
  EXPECT_EQ(s.trashReadable, true);  // no Trash yet

  // Read in parts at once, as a busy machine's processes are, they are the same.
  d.setup.processesPerPart = 2;
  EXPECT_EQ(LinuxSampler(d.setup).sample().procs, s.procs);
}

TEST(LinuxSampler, BootAndCpuFromOneSampleToTheNext) {
  Desk d;
  LinuxSampler sampler(d.setup);
  (void)sampler.sample();
  // The clock was adjusted: the same boot reports a second later.
  d.proc.file("stat", "cpu  700 0 200 1100 200 0 0 0 0 0\nbtime " + std::to_string(kBtime + 1));
  Snapshot s = sampler.sample();
  EXPECT_EQ(s.boot, Date::fromUnix(kBtime));
  EXPECT_DOUBLE_EQ(s.health.cpu, 0.5);  // 100 of 200 ticks since the last sample
  d.proc.file("sys/kernel/random/boot_id", "9a8b\n");
  s = sampler.sample();
  EXPECT_EQ(s.boot, Date::fromUnix(kBtime + 1));  // a new boot
  EXPECT_EQ(s.health.cpu, 0);                     // no time passed
}

TEST(LinuxSampler, WindowsFromTheDisplayAndTabsFromTheBrowsers) {
  Desk d;
  d.proc.process(
      "900",
      {.stat = statLine(900, "xclock", 1, 1025), .status = status(kMe), .exe = "/usr/bin/xclock"});
  std::ofstream(d.dev.path() / "tty1") << "";
  d.setup.desktop = [] {
    return DesktopView{.windows = {{.id = 7, .pid = 900, .title = "clock", .axSeen = true},
                                   {.id = 8, .pid = 100, .app = "gedit", .axSeen = true}},
                       .frontPID = 100,
                       .focusedWindow = 8,
                       .spaces = std::vector<SpaceInfo>{{.id = 1, .display = "Main"}}};
  };
  const BrowserTab tab{.browser = "com.google.Chrome", .windowID = 1, .url = "https://a.test/"};
  d.setup.browsers = [&](const auto&, const auto&) { return BrowserView{.tabs = {tab}}; };
  LinuxSampler sampler(d.setup);
  Snapshot s = sampler.sample();
  EXPECT_TRUE(s.axTrusted);
  EXPECT_EQ(s.frontPID, 100);
  EXPECT_EQ(s.focusedWindow, 8u);
  ASSERT_EQ(s.windows.size(), 2u);
  EXPECT_EQ(s.windows[0].app, "xclock");  // named after its owner
  ASSERT_EQ(s.apps.size(), 3u);
  EXPECT_EQ(s.apps[2], (RunningApp{.pid = 900, .name = "xclock"}));  // a window owner
  EXPECT_FALSE(s.ttyIdle.contains("tty1"));  // a terminal the desktop runs on
  EXPECT_EQ(s.tabs, std::vector<BrowserTab>{tab});
  EXPECT_TRUE(s.automationDenied.empty());

  d.setup.wholeSession = false;  // a Wayland session: only X programs' windows are seen
  s = LinuxSampler(d.setup).sample();
  EXPECT_EQ(s.windows.size(), 2u);
  EXPECT_FALSE(s.axTrusted);
  d.setup.desktop = [] { return std::optional<DesktopView>(); };  // the display went away
  s = LinuxSampler(d.setup).sample();
  EXPECT_TRUE(s.windows.empty());
  EXPECT_FALSE(s.axTrusted);
}

TEST(LinuxSampler, PressureLevels) {
  using P = ProcText::Pressure;
  using M = ProcText::MemInfo;
  EXPECT_EQ(memoryPressureLevel(P{9.99, 1.99}, M{100, 1}), 1);  // stalls decide, not the rest
  EXPECT_EQ(memoryPressureLevel(P{10, 0}, std::nullopt), 2);
  EXPECT_EQ(memoryPressureLevel(P{0, 2}, std::nullopt), 2);
  EXPECT_EQ(memoryPressureLevel(P{40, 0}, std::nullopt), 4);
  EXPECT_EQ(memoryPressureLevel(P{0, 10}, std::nullopt), 4);
  EXPECT_EQ(memoryPressureLevel(std::nullopt, M{100, 10}), 1);
  EXPECT_EQ(memoryPressureLevel(std::nullopt, M{100, 9}), 2);
  EXPECT_EQ(memoryPressureLevel(std::nullopt, M{100, 4}), 4);
  EXPECT_EQ(memoryPressureLevel(std::nullopt, M{0, 0}), 1);
  EXPECT_EQ(memoryPressureLevel(std::nullopt, std::nullopt), 1);
}

// This machine: the test itself, with a socket it listens on.
TEST(LinuxSampler, SeesThisProcessOnThisMachine) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  LinuxSamplerSetup setup = LinuxSamplerSetup::forThisMachine();
  const Snapshot s = LinuxSampler(setup).sample();
  ::close(fd);
  const auto self = std::find_if(s.procs.begin(), s.procs.end(),
                                 [](const Proc& p) { return p.pid == ::getpid(); });
  ASSERT_NE(self, s.procs.end());
  EXPECT_EQ(self->path, fs::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(self->uid, ::geteuid());
  EXPECT_EQ(self->listenPorts, std::vector<uint16_t>{ntohs(address.sin_port)});
  EXPECT_EQ(self->exposedPorts, std::vector<uint16_t>{});  // loopback only
  EXPECT_GT(s.health.memTotal, 0u);
  EXPECT_GT(s.boot, Date::fromUnix(0));
}

}  // namespace
}  // namespace kelvane
