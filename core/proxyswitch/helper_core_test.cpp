#include "core/proxyswitch/helper_core.h"

#include <gtest/gtest.h>

#include "core/proxyswitch/proxy_settings.h"
#include "core/proxyswitch/testing/memory_stores.h"

namespace kelvane {
namespace {

using testing::MemoryFile;
using testing::MemoryPrefs;

ServiceConfig userConfig() {
  return {{"HTTPEnable", 1},
          {"HTTPProxy", "proxy.corp"},
          {"HTTPPort", 3128},
          {"SOCKSEnable", 1},
          {"ExceptionsList", PlistArray{"*.corp"}}};
}

SettingsSet userSettings() {
  return {{"wifi", userConfig()}, {"ethernet", {{"HTTPEnable", 0}, {"Custom", PlistData{1, 2}}}}};
}

// A core over in-memory stores whose proxy port answers while `alive` is true.
struct Fixture {
  MemoryPrefs prefs;
  MemoryFile file;
  bool alive = true;
  std::vector<int> probed;
  HelperCore core{prefs, file, [this](int port) {
                    probed.push_back(port);
                    return alive;
                  }};
  Fixture() { prefs.services = userSettings(); }
  void ticks(int n) {
    for (int i = 0; i < n; ++i) core.tick();
  }
};

TEST(HelperCoreEnable, AcceptsOnlyTheLoopbackRange) {
  Fixture f;
  for (const auto& [host, port] :
       std::vector<std::pair<const char*, int64_t>>{{"localhost", 9091},
                                                    {"127.0.0.1", 9090},
                                                    {"127.0.0.1", 9112},
                                                    {"127.0.0.1 ", 9091},
                                                    {"127.0.0.1", -9091},
                                                    {"127.0.0.1", (int64_t{1} << 32) + 9091}})
    EXPECT_EQ(f.core.enable(host, port), "Invalid proxy address") << host << ":" << port;
  EXPECT_EQ(f.prefs.writes, 0);
  EXPECT_FALSE(f.file.bytes);
  EXPECT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  EXPECT_EQ(f.core.enable("127.0.0.1", 9111), std::nullopt);
}

TEST(HelperCoreEnable, SavesFirstThenPointsEveryServiceAtUs) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9095), std::nullopt);
  EXPECT_TRUE(f.core.applied());
  EXPECT_FALSE(f.core.tampered());
  ASSERT_TRUE(f.file.bytes);
  EXPECT_EQ(ProxySettings::decode(*f.file.bytes), userSettings());
  for (const auto& [id, config] : *f.prefs.services)
    EXPECT_EQ(config, ProxySettings::applying(userSettings()[id], "127.0.0.1", 9095)) << id;
  ASSERT_TRUE(f.core.restore());
  EXPECT_EQ(f.prefs.services, userSettings());
  EXPECT_FALSE(f.file.bytes);
  EXPECT_FALSE(f.core.applied());
}

TEST(HelperCoreEnable, SecondEnableKeepsTheUsersOwnSettings) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  f.prefs.services->emplace("vpn", ServiceConfig{{"HTTPEnable", 0}});  // appeared in between
  ASSERT_EQ(f.core.enable("127.0.0.1", 9092), std::nullopt);
  ASSERT_TRUE(f.core.restore());
  auto expected = userSettings();
  expected["vpn"] = {{"HTTPEnable", 0}};
  EXPECT_EQ(f.prefs.services, expected);
}

TEST(HelperCoreEnable, ReportsEachFailureWithItsMessage) {
  {
    Fixture f;
    f.prefs.services.reset();
    EXPECT_EQ(f.core.enable("127.0.0.1", 9091), "Can't open the network settings");
    f.prefs.services = SettingsSet{};
    EXPECT_EQ(f.core.enable("127.0.0.1", 9091), "Can't open the network settings");
    EXPECT_FALSE(f.file.bytes);
  }
  {
    Fixture f;
    f.file.storeFails = true;
    EXPECT_EQ(f.core.enable("127.0.0.1", 9091), "Can't save the current proxy settings");
    EXPECT_EQ(f.prefs.writes, 0);
  }
  {
    Fixture f;  // the switch is not committed; the restore that follows puts nothing back
    f.prefs.nextResults = {PrefsWrite::notCommitted};
    EXPECT_EQ(f.core.enable("127.0.0.1", 9091), "Can't change the network settings");
    EXPECT_EQ(f.prefs.services, userSettings());
    EXPECT_FALSE(f.core.applied());
  }
  {
    Fixture f;  // stored but not applied: the saved settings are written straight back
    f.prefs.nextResults = {PrefsWrite::committedNotApplied};
    EXPECT_EQ(f.core.enable("127.0.0.1", 9091), "Can't apply the network settings");
    EXPECT_EQ(f.prefs.services, userSettings());
    EXPECT_FALSE(f.core.applied());
  }
}

TEST(HelperCoreEnable, FailedWriteAndFailedRestoreLeaveTheFileForTheWatchdog) {
  Fixture f;
  f.prefs.nextResults = {PrefsWrite::committedNotApplied, PrefsWrite::notCommitted};
  EXPECT_EQ(f.core.enable("127.0.0.1", 9091), "Can't apply the network settings");
  EXPECT_TRUE(f.core.applied());
  f.ticks(2);
  EXPECT_TRUE(f.probed.empty());  // no port is known, so every tick counts as dead
  EXPECT_TRUE(f.core.applied());
  f.ticks(1);
  EXPECT_FALSE(f.core.applied());
  EXPECT_EQ(f.prefs.services, userSettings());
}

TEST(HelperCoreSavedFile, DamagedFileStillTurnsOurProxyOff) {
  Fixture f;
  auto switched = userSettings();
  switched["wifi"] = ProxySettings::applying(userConfig(), "127.0.0.1", 9093);
  f.prefs.services = switched;
  f.file.bytes = std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'};
  const auto turnedOff = ProxySettings::disablingLoopbackEverywhere(switched);

  ASSERT_EQ(f.core.enable("127.0.0.1", 9094), std::nullopt);
  EXPECT_EQ(ProxySettings::decode(*f.file.bytes), turnedOff);

  f.file.bytes = std::vector<uint8_t>{'x'};
  const auto expected = ProxySettings::disablingLoopbackEverywhere(*f.prefs.services);
  ASSERT_TRUE(f.core.restore());
  EXPECT_FALSE(f.file.bytes);
  EXPECT_EQ(f.prefs.services, expected);
  EXPECT_EQ((*f.prefs.services)["wifi"]["HTTPSEnable"], PlistValue(0));
  EXPECT_EQ((*f.prefs.services)["ethernet"]["Custom"], PlistValue(PlistData{1, 2}));
}

TEST(HelperCoreRestore, FailsWithoutPreferencesAndKeepsTheFile) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  const auto saved = f.file.bytes;
  f.prefs.services.reset();
  EXPECT_FALSE(f.core.restore());
  f.prefs.services = SettingsSet{};
  EXPECT_FALSE(f.core.restore());
  EXPECT_EQ(f.file.bytes, saved);
  f.prefs.services = userSettings();
  f.prefs.nextResults = {PrefsWrite::committedNotApplied};
  EXPECT_FALSE(f.core.restore());
  EXPECT_EQ(f.file.bytes, saved);
}

TEST(HelperCoreRestore, NothingSavedSucceedsAndClearsTampering) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  (*f.prefs.services)["wifi"]["HTTPSPort"] = 8888;
  f.ticks(3);
  ASSERT_TRUE(f.core.tampered());
  f.file.bytes.reset();  // someone deleted the saved file
  const int writes = f.prefs.writes;
  EXPECT_TRUE(f.core.restore());
  EXPECT_FALSE(f.core.tampered());
  EXPECT_EQ(f.prefs.writes, writes);
}

TEST(HelperCoreRestore, LeftoverIsRestoredByAFreshCore) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  HelperCore restarted(f.prefs, f.file, [](int) { return true; });
  restarted.restoreLeftover();
  EXPECT_EQ(f.prefs.services, userSettings());
  EXPECT_FALSE(f.file.bytes);
  const int writes = f.prefs.writes;
  restarted.restoreLeftover();
  EXPECT_EQ(f.prefs.writes, writes);
}

TEST(HelperCoreWatchdog, RestoresOnTheThirdDeadTickInARow) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9097), std::nullopt);
  f.alive = false;
  f.ticks(2);
  f.alive = true;
  f.ticks(1);  // a live answer starts the count again
  f.alive = false;
  f.ticks(2);
  EXPECT_TRUE(f.core.applied());
  f.ticks(1);
  EXPECT_FALSE(f.core.applied());
  EXPECT_EQ(f.prefs.services, userSettings());
  EXPECT_EQ(f.probed, std::vector<int>(6, 9097));
  f.ticks(3);  // nothing switched: no probes
  EXPECT_EQ(f.probed.size(), 6u);
}

TEST(HelperCoreWatchdog, RetriesAFailedRestoreOnEveryLaterTick) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  f.alive = false;
  f.prefs.nextResults = {PrefsWrite::notCommitted, PrefsWrite::notCommitted};
  f.ticks(4);
  EXPECT_TRUE(f.core.applied());
  f.ticks(1);
  EXPECT_FALSE(f.core.applied());
  EXPECT_EQ(f.prefs.services, userSettings());
}

TEST(HelperCoreWatchdog, ChecksForTamperingOnEveryThirdTick) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  (*f.prefs.services)["wifi"]["HTTPSProxy"] = "10.1.1.1";
  f.ticks(2);
  EXPECT_FALSE(f.core.tampered());
  f.ticks(1);
  EXPECT_TRUE(f.core.tampered());
  EXPECT_TRUE(f.core.applied());  // only reported, never undone
  EXPECT_EQ((*f.prefs.services)["wifi"]["HTTPSProxy"], PlistValue("10.1.1.1"));

  // A touched service that is gone is skipped; a new one is not ours to judge.
  f.prefs.services->erase("wifi");
  f.prefs.services->emplace("new", userConfig());
  f.ticks(3);
  EXPECT_FALSE(f.core.tampered());

  // Unreadable preferences leave the last finding as it was.
  (*f.prefs.services)["ethernet"]["HTTPPort"] = 1;
  const auto changed = f.prefs.services;
  f.prefs.services.reset();
  f.ticks(3);
  EXPECT_FALSE(f.core.tampered());
  f.prefs.services = changed;
  f.ticks(3);
  EXPECT_TRUE(f.core.tampered());
}

TEST(HelperCoreWatchdog, TicksWithoutASavedFileAreNotCounted) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  (*f.prefs.services)["wifi"]["HTTPEnable"] = 0;
  const auto saved = f.file.bytes;
  f.file.bytes.reset();
  f.ticks(2);
  f.file.bytes = saved;
  f.ticks(2);
  EXPECT_FALSE(f.core.tampered());
  f.ticks(1);
  EXPECT_TRUE(f.core.tampered());
}

}  // namespace
}  // namespace kelvane
