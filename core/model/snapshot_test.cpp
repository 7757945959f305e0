#include "core/model/snapshot.h"

#include <gtest/gtest.h>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

// A snapshot with every field, optional ones included, set to something other
// than its default, as the store writes it: compact, keys sorted.
const char* const kFull =
    R"({"apps":[{"bundleID":"com.example.App","bundlePath":"/Applications/App.app","name":"Ap)"
    R"(p","pid":320,"policy":"accessory"},{"name":"agent","pid":12,"policy":"background"}],"a)"
    R"(t":"2026-03-01T12:00:00Z","automationDenied":["com.apple.Safari"],"axTrusted":true,"bo)"
    R"(ot":"2026-02-28T07:00:00Z","browserWindowOf":{"4000000000":{"browser":"com.google.Chro)"
    R"(me","frame":{"height":600.5,"width":800.0,"x":0.0,"y":25.0},"name":"A","windowID":11}})"
    R"(,"focusedWindow":4000000000,"frontPID":320,"health":{"cpu":1.75,"diskFree":-1,"diskTot)"
    R"(al":500000000000,"memTotal":16000000000,"memUsed":8000000000,"pressure":2},"me":501,"p)"
    R"(rocs":[{"bundleID":"org.nodejs","cpu":12.25,"cwd":"/Users/me/site","established":2,"ex)"
    R"(posedPorts":[3000],"listenPorts":[3000,65535],"name":"node","path":"/usr/local/bin/nod)"
    R"(e","pid":320,"ppid":1,"responsible":-1,"rss":5000000000,"started":"2026-03-01T08:30:00)"
    R"(Z","tty":"ttys003","uid":501},{"cpu":0.5,"established":0,"listenPorts":[],"name":"laun)"
    R"(chd","path":"","pid":2,"ppid":1,"rss":1,"uid":0}],"session":100008,"spaces":[{"current)"
    R"(":true,"display":"Main","displayFrame":{"height":982.0,"width":1512.0,"x":0.0,"y":0.0})"
    R"(,"displayName":"Built-in","id":5,"type":0},{"current":false,"display":"ABC-123","id":9)"
    R"(,"type":4}],"tabs":[{"active":true,"browser":"com.google.Chrome","front":true,"index":)"
    R"(1,"profile":{"directory":"Default","name":"Me"},"tabID":"T1","title":"A","url":"https:)"
    R"(//a.test/","windowID":11},{"active":false,"browser":"com.apple.Safari","front":false,")"
    R"(index":2,"title":"","url":"about:blank","windowID":3}],"trashReadable":false,"ttyIdle")"
    R"(:{"ttys003":12.5,"ttys004":0.0},"windowSpaces":{"4000000000":[5],"7":[5,9]},"windows":)"
    R"([{"app":"App","axSeen":true,"frame":{"height":600.5,"width":800.0,"x":0.0,"y":25.0},"i)"
    R"(d":4000000000,"pid":320,"title":""},{"app":"agent","axSeen":false,"id":7,"pid":12,"tit)"
    R"(le":"Hidden"}]})";

Snapshot full() { return *decodeJson<Snapshot>(kFull); }

TEST(SnapshotJson, RoundTripsEveryField) {
  const auto s = decodeJson<Snapshot>(kFull);
  ASSERT_TRUE(s);
  EXPECT_EQ(encodeValue(*s), kFull);
  // Each value lands in its own field.
  EXPECT_EQ(s->at, *Date::fromISO8601("2026-03-01T12:00:00Z"));
  EXPECT_EQ(s->health, (Health{2, 8'000'000'000, 16'000'000'000, 1.75, -1, 500'000'000'000}));
  EXPECT_EQ(s->procs[0].responsible, -1);
  EXPECT_EQ(s->procs[0].exposedPorts, std::vector<uint16_t>{3000});
  EXPECT_EQ(s->windowSpaces.at(7), (std::vector<int64_t>{5, 9}));
  EXPECT_EQ(s->browserWindowOf.at(4000000000u).frame, (ScreenFrame{0, 25, 800, 600.5}));
  EXPECT_EQ(s->spaces->at(1).type, 4);
  EXPECT_EQ(s->focusedWindow, 4000000000u);
  EXPECT_EQ(s->apps[1].policy, AppPolicy::background);
  Snapshot moved = *s;
  moved.windowSpaces[7] = {9, 5};
  EXPECT_EQ(std::hash<Snapshot>{}(full()), std::hash<Snapshot>{}(*s));
  EXPECT_NE(std::hash<Snapshot>{}(moved), std::hash<Snapshot>{}(*s));
}

TEST(SnapshotJson, OptionalKeysMayBeMissingOrNull) {
  Snapshot s = full();
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
  const auto whole = nlohmann::json::parse(kFull);
  for (const char* key :
       {"at", "me", "procs", "apps", "windows", "ttyIdle", "health", "boot", "axTrusted", "session",
        "tabs", "windowSpaces", "automationDenied", "browserWindowOf"}) {
    auto j = whole;
    j.erase(key);
    EXPECT_EQ(decodeJsonValue<Snapshot>(j), std::nullopt) << key;
  }
}

TEST(SnapshotJson, DamageInsideAnyRecordFailsTheSnapshot) {
  const auto whole = nlohmann::json::parse(kFull);
  const std::pair<nlohmann::json::json_pointer, nlohmann::json> damage[] = {
      {"/procs/0/listenPorts/0"_json_pointer, 70000},
      {"/procs/1/uid"_json_pointer, -1},
      {"/apps/0/policy"_json_pointer, "Regular"},
      {"/tabs/1/active"_json_pointer, nullptr},
      {"/spaces/1/current"_json_pointer, 1},
      {"/windowSpaces/window"_json_pointer, nlohmann::json::array()},
      {"/browserWindowOf/7"_json_pointer, {{"browser", "x"}}},
      {"/me"_json_pointer, 4294967296LL},
      {"/at"_json_pointer, 0},
  };
  for (const auto& [where, value] : damage) {
    auto j = whole;
    j[where] = value;
    EXPECT_EQ(decodeJsonValue<Snapshot>(j), std::nullopt) << where.to_string();
  }
  EXPECT_EQ(decodeJson<Snapshot>("[]"), std::nullopt);
  EXPECT_EQ(decodeJson<Snapshot>("{\"at\":"), std::nullopt);
}

}  // namespace
}  // namespace kelvane
