#include "core/model/snapshot.h"

#include <gtest/gtest.h>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

Date at(const char* text) { return *Date::fromISO8601(text); }

// A snapshot with every field, optional ones included, set to something.
Snapshot fullSnapshot() {
  Snapshot s;
  s.at = at("2026-03-01T12:00:00Z");
  s.me = 501;
  s.frontPID = 320;
  s.focusedWindow = 4000000000u;
  Proc proc;
  proc.pid = 320;
  proc.ppid = 1;
  proc.uid = 501;
  proc.name = "node";
  proc.path = "/usr/local/bin/node";
  proc.tty = "ttys003";
  proc.cpu = 12.25;
  proc.rss = 5'000'000'000ULL;
  proc.listenPorts = {3000, 65535};
  proc.established = 2;
  proc.bundleID = "org.nodejs";
  proc.started = at("2026-03-01T08:30:00Z");
  proc.cwd = "/Users/me/Projects/site";
  proc.responsible = -1;
  proc.exposedPorts = std::vector<uint16_t>{3000};
  Proc launchd;
  launchd.pid = 2;
  launchd.ppid = 1;
  launchd.name = "launchd";
  s.procs = {proc, launchd};
  s.apps = {{320, "com.example.App", "App", "/Applications/App.app", AppPolicy::accessory},
            {12, std::nullopt, "agent", std::nullopt, AppPolicy::background}};
  s.windows = {{4000000000u, 320, "App", "", true, ScreenFrame{0, 25, 800, 600}},
               {7, 12, "agent", "Hidden", false, std::nullopt}};
  s.ttyIdle = {{"ttys003", 12.5}, {"ttys004", 0}};
  s.health = {2, 8'000'000'000ULL, 16'000'000'000ULL, 1.75, -1, 500'000'000'000LL};
  s.boot = at("2026-02-28T07:00:00Z");
  s.axTrusted = true;
  s.session = 100008;
  const BrowserTab chrome{"com.google.Chrome",
                          11,
                          "T1",
                          0,
                          "https://a.test/",
                          "A",
                          true,
                          true,
                          BrowserProfile{"Default", "Me"}};
  const BrowserTab safari{"com.apple.Safari", 3, std::nullopt, 2, "about:blank", "", false, false,
                          std::nullopt};
  s.tabs = {chrome, safari};
  s.spaces = std::vector<SpaceInfo>{{5, "Main", 0, true, "Built-in", ScreenFrame{0, 0, 1512, 982}},
                                    {9, "ABC-123", 4, false, std::nullopt, std::nullopt}};
  s.windowSpaces = {{4000000000u, {5}}, {7, {5, 9}}};
  s.automationDenied = {"com.apple.Safari"};
  s.browserWindowOf = {{4000000000u, {"com.google.Chrome", 11, {0, 25, 800, 600}, "A"}}};
  s.trashReadable = false;
  return s;
}

TEST(SnapshotJson, RoundTripsEveryField) {
  const Snapshot s = fullSnapshot();
  const auto text = encodeValue(s);
  ASSERT_TRUE(text);
  EXPECT_EQ(decodeJson<Snapshot>(*text), s);
  EXPECT_EQ(std::hash<Snapshot>{}(*decodeJson<Snapshot>(*text)), std::hash<Snapshot>{}(s));
  EXPECT_EQ(text->substr(0, 30), R"({"apps":[{"bundleID":"com.exam)");  // keys sorted
  EXPECT_NE(text->find(R"("at":"2026-03-01T12:00:00Z")"), std::string::npos);
  EXPECT_NE(text->find(R"("windowSpaces":{"4000000000":[5],"7":[5,9]})"), std::string::npos);
  EXPECT_NE(text->find(R"("browserWindowOf":{"4000000000":{"browser")"), std::string::npos);
  EXPECT_NE(text->find(R"("rss":5000000000,)"), std::string::npos);
}

TEST(SnapshotJson, OptionalKeysMayBeMissingOrNull) {
  Snapshot s = fullSnapshot();
  s.frontPID.reset();
  s.focusedWindow.reset();
  s.spaces.reset();
  s.trashReadable.reset();
  auto j = nlohmann::json(s);
  for (const char* key : {"frontPID", "focusedWindow", "spaces", "trashReadable"})
    EXPECT_FALSE(j.contains(key)) << key;
  EXPECT_EQ(decodeJsonValue<Snapshot>(j), s);
  j["spaces"] = nullptr;
  j["frontPID"] = nullptr;
  EXPECT_EQ(decodeJsonValue<Snapshot>(j), s);
}

TEST(SnapshotJson, AnyMissingRequiredKeyFailsTheSnapshot) {
  const auto full = nlohmann::json(fullSnapshot());
  for (const char* key :
       {"at", "me", "procs", "apps", "windows", "ttyIdle", "health", "boot", "axTrusted", "session",
        "tabs", "windowSpaces", "automationDenied", "browserWindowOf"}) {
    auto j = full;
    j.erase(key);
    EXPECT_EQ(decodeJsonValue<Snapshot>(j), std::nullopt) << key;
  }
}

TEST(SnapshotJson, DamageInsideAnyRecordFailsTheSnapshot) {
  const auto full = nlohmann::json(fullSnapshot());
  const std::pair<nlohmann::json::json_pointer, nlohmann::json> damage[] = {
      {"/procs/0/listenPorts/0"_json_pointer, 70000},
      {"/procs/1/uid"_json_pointer, -1},
      {"/procs/0/started"_json_pointer, "yesterday"},
      {"/apps/0/policy"_json_pointer, "Regular"},
      {"/windows/0/frame/x"_json_pointer, "0"},
      {"/health/memUsed"_json_pointer, -5},
      {"/tabs/1/active"_json_pointer, nullptr},
      {"/spaces/1/current"_json_pointer, 1},
      {"/windowSpaces/window"_json_pointer, nlohmann::json::array()},
      {"/browserWindowOf/7"_json_pointer, {{"browser", "x"}}},
      {"/ttyIdle/ttys003"_json_pointer, "idle"},
      {"/me"_json_pointer, 4294967296LL},
      {"/trashReadable"_json_pointer, "no"},
      {"/at"_json_pointer, 0},
  };
  for (const auto& [where, value] : damage) {
    auto j = full;
    j[where] = value;
    EXPECT_EQ(decodeJsonValue<Snapshot>(j), std::nullopt) << where.to_string();
  }
  EXPECT_EQ(decodeJson<Snapshot>("[]"), std::nullopt);
  EXPECT_EQ(decodeJson<Snapshot>("{\"at\":"), std::nullopt);
}

TEST(SnapshotJson, AppPolicyCodesAsItsText) {
  EXPECT_EQ(nlohmann::json(AppPolicy::background), "background");
  EXPECT_EQ(decodeJson<AppPolicy>("\"accessory\""), AppPolicy::accessory);
  EXPECT_EQ(decodeJson<AppPolicy>("\"foreground\""), std::nullopt);
  EXPECT_EQ(decodeJson<AppPolicy>("0"), std::nullopt);
}

TEST(SnapshotHash, FollowsEquality) {
  const Snapshot s = fullSnapshot();
  Snapshot other = s;
  EXPECT_EQ(std::hash<Snapshot>{}(other), std::hash<Snapshot>{}(s));
  other.tabs[1].front = true;
  EXPECT_NE(other, s);
  EXPECT_NE(std::hash<Snapshot>{}(other), std::hash<Snapshot>{}(s));
  other = s;
  other.windowSpaces[7] = {9, 5};
  EXPECT_NE(std::hash<Snapshot>{}(other), std::hash<Snapshot>{}(s));
}

}  // namespace
}  // namespace kelvane
