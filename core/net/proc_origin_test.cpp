#include "core/net/proc_origin.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::string kHome = "/Users/ann";

Snapshot desktop() {
  Snapshot s;
  s.apps = {{.pid = 100, .bundleID = "com.example.Term", .name = "Terminal"}};
  s.procs = {
      {.pid = 100,
       .ppid = 1,
       .name = "Terminal",
       .path = "/Applications/Term.app/Contents/MacOS/T"},
      {.pid = 200, .ppid = 100, .name = "zsh", .path = "/bin/zsh"},
      {.pid = 300, .ppid = 200, .name = "node", .path = "/usr/local/bin/node"},
      {.pid = 400,
       .ppid = 1,
       .name = "Code Helper",
       .path = "/Applications/Visual Studio Code.app/Contents/Frameworks/Code Helper.app/Contents/"
               "MacOS/Code Helper"},
      {.pid = 500, .ppid = 400, .name = "tsserver", .path = "/opt/tsserver"},
  };
  return s;
}

TEST(ProcOriginName, PrefersTheApplicationThenTheOutermostBundle) {
  const Snapshot s = desktop();
  EXPECT_EQ(ProcOrigin::name(100, s), "Terminal");
  EXPECT_EQ(ProcOrigin::name(400, s), "Visual Studio Code");
  EXPECT_EQ(ProcOrigin::name(200, s), "zsh");
  EXPECT_EQ(ProcOrigin::name(999, s), std::nullopt);
}

TEST(ProcOriginOf, FolderIsWrittenRelativeToHome) {
  const Snapshot s = desktop();
  const std::tuple<std::optional<std::string>, std::optional<std::string>> cases[] = {
      {kHome, "~"},
      {kHome + "/Projects/site", "~/Projects/site"},
      {"/Users/annex/site", "/Users/annex/site"},  // a sibling that shares the prefix
      {"/tmp", "/tmp"},
      {std::nullopt, std::nullopt},
  };
  for (const auto& [cwd, folder] : cases) {
    Proc p = s.procs[2];
    p.cwd = cwd;
    const ProcOrigin origin = ProcOrigin::of(p, s, kHome);
    EXPECT_EQ(origin.folder, folder) << cwd.value_or("none");
    EXPECT_EQ(origin.folderPath, cwd);
  }
  Proc p = s.procs[2];
  p.cwd = kHome + "/x";
  EXPECT_EQ(ProcOrigin::of(p, s, kHome + "/").folder, "~/x");
  EXPECT_EQ(ProcOrigin::of(p, s, "").folder, kHome + "/x");
  EXPECT_EQ(ProcOrigin::of(p, s, "/").folder, kHome + "/x");
}

TEST(ProcOriginOf, StartedByTheResponsibleApplicationElseTheParent) {
  const Snapshot s = desktop();
  const auto by = [&](Proc p) { return ProcOrigin::of(p, s, kHome).by; };
  Proc node = s.procs[2];
  EXPECT_EQ(by(node), "started by zsh");
  node.responsible = 100;
  EXPECT_EQ(by(node), "started by Terminal");
  node.responsible = 999;  // unknown: fall back to the parent
  EXPECT_EQ(by(node), "started by zsh");
  node.responsible = node.pid;
  EXPECT_EQ(by(node), "started by zsh");
  EXPECT_EQ(by(s.procs[4]), "started by Visual Studio Code");
  Proc daemon{.pid = 600, .ppid = 1, .name = "d", .path = "/usr/sbin/d", .responsible = 1};
  EXPECT_EQ(by(daemon), std::nullopt);
  daemon.ppid = 999;
  EXPECT_EQ(by(daemon), std::nullopt);
}

TEST(ProcOriginOf, SimulatorProcessesNameTheirRuntime) {
  const Snapshot s = desktop();
  const std::string root =
      "/Library/Developer/CoreSimulator/Volumes/iOS_21C62/Library/Developer/CoreSimulator/"
      "Profiles/Runtimes/";
  Proc sim{.pid = 700, .ppid = 100, .name = "backboardd", .cwd = kHome};
  sim.path = root + "iOS 17.2.simruntime/Contents/Resources/RuntimeRoot/usr/libexec/backboardd";
  EXPECT_EQ(ProcOrigin::of(sim, s, kHome), (ProcOrigin{.by = "iOS 17.2 Simulator"}));
  sim.path = kHome + "/Library/Developer/CoreSimulator/Devices/X/data/app";
  EXPECT_EQ(ProcOrigin::of(sim, s, kHome), (ProcOrigin{.by = "Simulator"}));
}

TEST(ProcOriginHostApp, WalksUpToTheFirstApplication) {
  Snapshot s = desktop();
  EXPECT_EQ(ProcOrigin::hostApp(s.procs[0], s), 100);
  EXPECT_EQ(ProcOrigin::hostApp(s.procs[2], s), 100);  // node -> zsh -> Terminal
  Proc tool = s.procs[4];
  EXPECT_EQ(ProcOrigin::hostApp(tool, s), std::nullopt);  // Code Helper is no application
  tool.responsible = 100;
  EXPECT_EQ(ProcOrigin::hostApp(tool, s), 100);
  // A loop in the parent chain ends the walk.
  s.procs[1].ppid = 300;
  s.apps.clear();
  EXPECT_EQ(ProcOrigin::hostApp(s.procs[2], s), std::nullopt);
  s.apps = {{.pid = 1, .name = "launchd"}};
  EXPECT_EQ(ProcOrigin::hostApp(s.procs[4], s), std::nullopt);  // never at ID 1
}

}  // namespace
}  // namespace kelvane
