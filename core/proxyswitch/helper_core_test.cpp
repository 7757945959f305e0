#include "core/proxyswitch/helper_core.h"

#include <deque>
#include <functional>

#include <gtest/gtest.h>

#include "core/proxyswitch/proxy_settings.h"

namespace kelvane {
namespace {

// The system's settings in memory; each write takes the next queued outcome
// (applied when none is queued) and changes nothing on notCommitted.
struct MemoryPrefs final : ProxyPrefsStore {
  std::optional<SettingsSet> services;  // nullopt: the preferences cannot be opened
  std::deque<PrefsWrite> outcomes;
  int writes = 0;
  std::optional<SettingsSet> read() override { return services; }
  PrefsWrite write(const SettingsSet& settings) override {
    ++writes;
    const auto outcome = outcomes.empty() ? PrefsWrite::applied : outcomes.front();
    if (!outcomes.empty()) outcomes.pop_front();
    if (outcome == PrefsWrite::notCommitted || !services) return PrefsWrite::notCommitted;
    for (const auto& [id, config] : settings)
      if (services->contains(id)) (*services)[id] = config;
    return outcome;
  }
};

struct MemoryFile final : SaveFileStore {
  std::optional<std::vector<uint8_t>> bytes;
  bool storeFails = false;
  std::optional<std::vector<uint8_t>> load() override { return bytes; }
  bool store(const std::vector<uint8_t>& data) override {
    if (!storeFails) bytes = data;
    return !storeFails;
  }
  void remove() override { bytes.reset(); }
};

SettingsSet userSettings() {
  return {{"wifi", {{"HTTPEnable", 1}, {"HTTPProxy", "proxy.corp"}, {"HTTPPort", 3128}}},
          {"ethernet", {{"HTTPEnable", 0}, {"Custom", PlistData{1, 2}}}}};
}

// A core over memory stores whose proxy port answers while `alive` is true.
struct Fixture {
  MemoryPrefs prefs;
  MemoryFile file;
  bool alive = true;
  int probes = 0;
  HelperCore core{prefs, file, [this](int port) {
                    probes += port == 9097;
                    return alive;
                  }};
  Fixture() { prefs.services = userSettings(); }
  void ticks(int n) {
    while (n-- > 0) core.tick();
  }
  ServiceConfig& service(const char* id) { return (*prefs.services)[id]; }
};

TEST(HelperCoreEnable, AcceptsOnlyTheLoopbackRange) {
  Fixture f;
  for (const auto& [host, port] :
       std::vector<std::pair<const char*, int64_t>>{{"localhost", 9091},
                                                    {"127.0.0.1", 9090},
                                                    {"127.0.0.1", 9112},
                                                    {"127.0.0.1 ", 9091},
                                                    {"127.0.0.1", (int64_t{1} << 32) + 9091}})
    EXPECT_EQ(f.core.enable(host, port), "Invalid proxy address") << host << ":" << port;
  EXPECT_EQ(f.prefs.writes, 0);
  EXPECT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  EXPECT_EQ(f.core.enable("127.0.0.1", 9111), std::nullopt);
}

TEST(HelperCoreEnable, SavesTheUsersSettingsOnceAndPointsEveryServiceAtUs) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  EXPECT_EQ(ProxySettings::decode(*f.file.bytes), userSettings());
  f.prefs.services->emplace("vpn", ServiceConfig{{"HTTPEnable", 0}});  // appeared in between
  ASSERT_EQ(f.core.enable("127.0.0.1", 9095), std::nullopt);
  EXPECT_TRUE(f.core.applied());
  EXPECT_FALSE(f.core.tampered());
  for (auto& [id, config] : userSettings())
    EXPECT_EQ(f.service(id.c_str()), ProxySettings::applying(config, "127.0.0.1", 9095));
  ASSERT_TRUE(f.core.restore());  // the user's own settings, not the first switch's
  auto expected = userSettings();
  expected["vpn"] = {{"HTTPEnable", 0}};
  EXPECT_EQ(f.prefs.services, expected);
  EXPECT_FALSE(f.core.applied());
}

TEST(HelperCoreEnable, ReportsEachFailureAndLeavesTheUsersSettings) {
  const std::pair<std::function<void(Fixture&)>, const char*> cases[] = {
      {[](Fixture& f) { f.prefs.services.reset(); }, "Can't open the network settings"},
      {[](Fixture& f) { f.prefs.services = SettingsSet{}; }, "Can't open the network settings"},
      {[](Fixture& f) { f.file.storeFails = true; }, "Can't save the current proxy settings"},
      {[](Fixture& f) { f.prefs.outcomes = {PrefsWrite::notCommitted}; },
       "Can't change the network settings"},
      // Stored but not applied: the saved settings are written straight back.
      {[](Fixture& f) { f.prefs.outcomes = {PrefsWrite::committedNotApplied}; },
       "Can't apply the network settings"},
  };
  for (const auto& [arrange, message] : cases) {
    Fixture f;
    arrange(f);
    const auto before = f.prefs.services;
    EXPECT_EQ(f.core.enable("127.0.0.1", 9091), message);
    EXPECT_EQ(f.prefs.services, before) << message;
    EXPECT_FALSE(f.core.applied()) << message;
  }
}

TEST(HelperCoreSavedFile, DamagedFileStillTurnsOurProxyOff) {
  Fixture f;
  f.service("wifi") = ProxySettings::applying(f.service("wifi"), "127.0.0.1", 9093);
  f.file.bytes = std::vector<uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'};
  const auto turnedOff = ProxySettings::disablingLoopbackEverywhere(*f.prefs.services);
  ASSERT_EQ(f.core.enable("127.0.0.1", 9094), std::nullopt);
  EXPECT_EQ(ProxySettings::decode(*f.file.bytes), turnedOff);
  f.file.bytes = std::vector<uint8_t>{'x'};
  const auto expected = ProxySettings::disablingLoopbackEverywhere(*f.prefs.services);
  ASSERT_TRUE(f.core.restore());
  EXPECT_EQ(f.prefs.services, expected);
  EXPECT_EQ(f.service("wifi")["HTTPSEnable"], PlistValue(0));
  EXPECT_FALSE(f.file.bytes);
}

TEST(HelperCoreWatchdog, RestoresOnTheThirdDeadTickInARowAndRetriesAfterAFailure) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9097), std::nullopt);
  for (const bool alive : {false, false, true, false, false}) {
    f.alive = alive;  // the live answer in between starts the count again
    f.ticks(1);
  }
  EXPECT_TRUE(f.core.applied());
  f.prefs.outcomes = {PrefsWrite::notCommitted};
  f.ticks(1);  // the third dead tick in a row: the restore fails
  EXPECT_TRUE(f.core.applied());
  f.ticks(1);  // and is tried again on the next
  EXPECT_EQ(f.prefs.services, userSettings());
  f.ticks(3);  // nothing switched: nothing probed
  EXPECT_EQ(f.probes, 7);
}

TEST(HelperCoreWatchdog, ReportsTamperingOnEveryThirdTickOnly) {
  Fixture f;
  ASSERT_EQ(f.core.enable("127.0.0.1", 9091), std::nullopt);
  f.service("wifi")["HTTPSProxy"] = "10.1.1.1";
  f.ticks(2);
  EXPECT_FALSE(f.core.tampered());
  f.ticks(1);
  EXPECT_TRUE(f.core.tampered());
  EXPECT_EQ(f.service("wifi")["HTTPSProxy"], PlistValue("10.1.1.1"));  // reported, not undone
  // A touched service that is gone is skipped; a new one is not ours to judge.
  f.prefs.services->erase("wifi");
  f.prefs.services->emplace("new", userSettings()["wifi"]);
  f.ticks(3);
  EXPECT_FALSE(f.core.tampered());
  // Ticks while no saved file exists are not counted.
  f.service("ethernet")["HTTPPort"] = 1;
  const auto saved = std::exchange(f.file.bytes, std::nullopt);
  f.ticks(2);
  f.file.bytes = saved;
  f.ticks(2);
  EXPECT_FALSE(f.core.tampered());
  f.ticks(1);
  EXPECT_TRUE(f.core.tampered());
  f.file.bytes.reset();
  EXPECT_TRUE(f.core.restore());
  EXPECT_FALSE(f.core.tampered());
}

}  // namespace
}  // namespace kelvane
