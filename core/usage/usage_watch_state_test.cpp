#include "core/usage/usage_watch_state.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

const Date kStart = *Date::fromISO8601("2026-06-10T10:00:00Z");

TEST(UsageWatchStateJSON, RoundTripsAndReadsDamageAsInitialValues) {
  const UsageWatchState state{.highSince = {{"com.example.Big", kStart}},
                              .lastAlert = {{"pressure", kStart + 5}},
                              .quietUntil = {{"Editor", kStart + 50000}},
                              .lastEvaluated = kStart + 60,
                              .pressure = 2,
                              .alertedLevel = 4,
                              .quietPressureLevel = 2};
  EXPECT_EQ(decodeJson<UsageWatchState>(nlohmann::json(state).dump()), state);
  EXPECT_EQ(nlohmann::json(UsageWatchState()).dump(),
            R"({"highSince":{},"lastAlert":{},"quietUntil":{}})");
  const auto damaged = decodeJson<UsageWatchState>(R"({
      "highSince": [1, 2], "lastAlert": {"a": "2026-06-10T10:00:00Z", "b": 7, "c": null},
      "quietUntil": "soon", "lastEvaluated": true, "pressure": "high",
      "alertedLevel": 2.5, "quietPressureLevel": 3.0, "unknown": 1})");
  EXPECT_EQ(damaged, (UsageWatchState{.lastAlert = {{"a", kStart}}, .quietPressureLevel = 3}));
  for (const char* text : {"{}", "[]", "null", "12"})
    EXPECT_EQ(decodeJson<UsageWatchState>(text), UsageWatchState()) << text;
}

}  // namespace
}  // namespace kelvane
