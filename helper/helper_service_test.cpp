#include "helper/helper_service.h"

#include <gtest/gtest.h>

#include "core/proxyswitch/proxy_settings.h"
#include "core/proxyswitch/testing/memory_stores.h"

namespace kelvane {
namespace {

using testing::MemoryFile;
using testing::MemoryPrefs;

struct CapturedLog final : HelperLog {
  std::vector<std::string> lines;
  void write(std::string_view line) override { lines.emplace_back(line); }
};

struct AllowAll final : AdmissionChecks {
  bool admin = true;
  bool isAdmin(uint32_t) override { return admin; }
  std::optional<ClientRequirement> clientRequirement() override {
    return ClientRequirement{"T", {}};
  }
  bool hasHardenedRuntime(int32_t) override { return true; }
  bool meetsRequirement(int32_t, const ClientRequirement&) override { return true; }
};

SettingsSet userSettings() {
  return {{"wifi", {{"HTTPEnable", 0}, {"HTTPProxy", "proxy.corp"}, {"HTTPPort", 3128}}},
          {"eth", {{"SOCKSEnable", 1}}}};
}

constexpr const char* kEnable = R"({"call":"enable","host":"127.0.0.1","port":9091})";
constexpr const char* kStatus = R"({"call":"status"})";
constexpr const char* kDisable = R"({"call":"disable"})";

struct Fixture {
  MemoryPrefs prefs;
  MemoryFile file;
  HelperCore core{prefs, file, [](int) { return true; }};
  AllowAll checks;
  CapturedLog log;
  HelperService service{core, checks, log};
  Fixture() { prefs.services = userSettings(); }
  bool switched() const { return prefs.services != userSettings(); }
};

TEST(HelperService, RefusalsAreLoggedWithTheirLine) {
  Fixture f;
  EXPECT_TRUE(f.service.shouldAcceptNewConnection(PeerIdentity{10, 0}));
  EXPECT_TRUE(f.log.lines.empty());
  f.checks.admin = false;
  EXPECT_FALSE(f.service.shouldAcceptNewConnection(PeerIdentity{10, 1000}));
  EXPECT_FALSE(f.service.shouldAcceptNewConnection(std::nullopt));
  EXPECT_EQ(f.log.lines, std::vector<std::string>(2, std::string(Admission::kNotAdmin)));
}

TEST(HelperService, AnswersEachCall) {
  Fixture f;
  EXPECT_EQ(f.service.answer(1, kStatus), R"({"applied":false,"tampered":false})");
  EXPECT_EQ(f.service.answer(1, kEnable), "{}");
  EXPECT_EQ(f.service.answer(1, kStatus), R"({"applied":true,"tampered":false})");
  EXPECT_EQ(f.service.answer(1, R"({"call":"enable","host":"localhost","port":9091})"),
            R"({"error":"Invalid proxy address"})");
  EXPECT_EQ(f.service.answer(1, kDisable), "{}");
  EXPECT_FALSE(f.switched());
  EXPECT_FALSE(f.file.bytes);
}

TEST(HelperService, OnlyTheLatestEnablingClientRestoresWhenItGoes) {
  Fixture f;
  ASSERT_EQ(f.service.answer(1, kEnable), "{}");
  ASSERT_EQ(f.service.answer(2, kEnable), "{}");
  f.service.answer(3, kStatus);
  f.service.invalidated(3);  // only asked
  f.service.invalidated(1);  // superseded
  EXPECT_TRUE(f.switched());
  f.service.invalidated(2);
  EXPECT_FALSE(f.switched());
  EXPECT_FALSE(f.file.bytes);
}

TEST(HelperService, DisableKeepsTheClientButItsGoingRestoresNothingMore) {
  Fixture f;
  ASSERT_EQ(f.service.answer(1, kEnable), "{}");
  ASSERT_EQ(f.service.answer(2, kDisable), "{}");
  EXPECT_FALSE(f.switched());
  const int writes = f.prefs.writes;
  f.service.invalidated(1);
  EXPECT_EQ(f.prefs.writes, writes);
}

TEST(HelperService, BadLinesSwitchNothing) {
  Fixture f;
  for (const char* line : {"", "enable", R"({"call":"enable","host":"127.0.0.1"})",
                           R"({"call":"enable","host":"127.0.0.1","port":"9091"})",
                           R"({"call":"shutdown"})", "\xff\xfe"}) {
    const auto reply = HelperProtocol::decodeReply(f.service.answer(1, line));
    ASSERT_TRUE(reply) << line;
    EXPECT_TRUE(reply->error) << line;
  }
  EXPECT_FALSE(f.switched());
  EXPECT_EQ(f.prefs.writes, 0);
  f.service.invalidated(1);
  EXPECT_EQ(f.prefs.writes, 0);
}

TEST(HelperService, TerminationReportsWhetherTheRestoreWorked) {
  Fixture f;
  EXPECT_EQ(f.service.terminate(), 0);  // nothing switched
  ASSERT_EQ(f.service.answer(1, kEnable), "{}");
  const auto saved = f.file.bytes;
  const auto switchedSet = f.prefs.services;
  f.prefs.services.reset();
  EXPECT_EQ(f.service.terminate(), 1);
  EXPECT_EQ(f.file.bytes, saved);
  f.prefs.services = switchedSet;
  EXPECT_EQ(f.service.terminate(), 0);
  EXPECT_FALSE(f.switched());
}

}  // namespace
}  // namespace kelvane
