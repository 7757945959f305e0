#include "core/support/uuid.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

TEST(Uuid, CanonicalUpperCaseTextRoundTrips) {
  const auto u = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->text(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(nlohmann::json(*u).get<Uuid>(), *u);
  const Uuid r = Uuid::random();
  EXPECT_NE(r, Uuid::random());
  EXPECT_EQ(r.text()[14], '4');  // version 4
  for (const char* bad :
       {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
        "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}"})
    EXPECT_EQ(Uuid::parse(bad), std::nullopt) << bad;
  EXPECT_THROW(nlohmann::json(5).get<Uuid>(), nlohmann::json::exception);
}

}  // namespace
}  // namespace kelvane
