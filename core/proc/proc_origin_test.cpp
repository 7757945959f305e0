#include "core/proc/proc_origin.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::string kHome = "/Users/ann";
const std::string kCode = "/Applications/Visual Studio Code.app/Contents/Frameworks/";

Snapshot desktop() {
  Snapshot s;
  s.apps = {{.pid = 100, .name = "Terminal"}, {.pid = 1, .name = "launchd"}};
  s.procs = {{.pid = 100, .ppid = 1, .name = "Terminal", .path = "/Apps/Term.app/T"},
             {.pid = 200, .ppid = 100, .name = "zsh", .path = "/bin/zsh"},
             {.pid = 300, .ppid = 200, .name = "node", .path = "/usr/local/bin/node"},
             {.pid = 400, .ppid = 1, .name = "Code Helper", .path = kCode + "Code Helper.app/H"},
             {.pid = 500, .ppid = 400, .name = "tsserver", .path = "/opt/tsserver"}};
  return s;
}

TEST(ProcOrigin, FolderIsWrittenRelativeToHome) {
  const std::tuple<std::optional<std::string>, std::string, std::optional<std::string>> cases[] = {
      {kHome, kHome, "~"},
      {kHome + "/Projects/site", kHome + "/", "~/Projects/site"},
      {"/Users/annex/site", kHome, "/Users/annex/site"},  // shares only the prefix
      {kHome, "", kHome},                                 // no home folder, no abbreviation
      {std::nullopt, kHome, std::nullopt},
  };
  for (const auto& [cwd, home, folder] : cases) {
    Proc p = desktop().procs[2];
    p.cwd = cwd;
    EXPECT_EQ(ProcOrigin::of(p, desktop(), home),
              (ProcOrigin{.folder = folder, .folderPath = cwd, .by = "started by zsh"}))
        << cwd.value_or("none") << " in " << home;
  }
}

TEST(ProcOrigin, StartedByTheResponsibleApplicationElseTheParent) {
  const Snapshot s = desktop();
  const auto by = [&](std::optional<int32_t> responsible, int32_t ppid) {
    Proc p{.pid = 600, .ppid = ppid, .name = "x", .path = "/opt/x", .responsible = responsible};
    return ProcOrigin::of(p, s, kHome).by;
  };
  EXPECT_EQ(by(100, 200), "started by Terminal");
  EXPECT_EQ(by(999, 200), "started by zsh");  // an unknown responsible process
  EXPECT_EQ(by(600, 200), "started by zsh");  // itself
  EXPECT_EQ(by(std::nullopt, 400), "started by Visual Studio Code");  // outermost bundle
  EXPECT_EQ(by(1, 1), std::nullopt);
  EXPECT_EQ(by(std::nullopt, 999), std::nullopt);
  EXPECT_EQ(ProcOrigin::name(999, s), std::nullopt);
}

TEST(ProcOrigin, SimulatorProcessesNameTheirRuntime) {
  Proc sim{.pid = 700, .ppid = 100, .cwd = kHome};
  sim.path =
      "/Library/Developer/CoreSimulator/Volumes/iOS_21C62/Library/Developer/CoreSimulator/"
      "Profiles/Runtimes/iOS 17.2.simruntime/Contents/usr/bin/x";
  EXPECT_EQ(ProcOrigin::of(sim, desktop(), kHome), (ProcOrigin{.by = "iOS 17.2 Simulator"}));
  sim.path = kHome + "/Library/Developer/CoreSimulator/Devices/X/data/app";
  EXPECT_EQ(ProcOrigin::of(sim, desktop(), kHome), (ProcOrigin{.by = "Simulator"}));
}

TEST(ProcOrigin, HostAppWalksUpToTheFirstApplicationButNeverToLaunchd) {
  Snapshot s = desktop();
  EXPECT_EQ(ProcOrigin::hostApp(s.procs[0], s), 100);
  EXPECT_EQ(ProcOrigin::hostApp(s.procs[2], s), 100);  // node, zsh, Terminal
  Proc tool = s.procs[4];
  EXPECT_EQ(ProcOrigin::hostApp(tool, s), std::nullopt);  // tsserver, Code Helper, launchd
  tool.responsible = 100;
  EXPECT_EQ(ProcOrigin::hostApp(tool, s), 100);
  s.procs[1].ppid = 300;  // a loop: zsh <-> node
  s.apps.clear();
  EXPECT_EQ(ProcOrigin::hostApp(s.procs[2], s), std::nullopt);
}

}  // namespace
}  // namespace kelvane
