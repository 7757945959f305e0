#include "platform/linux/browser_profiles.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using BrowserProfiles::assign;
using BrowserProfiles::nameInTitle;

TEST(BrowserProfiles, LocalStateNamesEachProfileAsTheBrowserShowsIt) {
  const auto state = BrowserProfiles::parseLocalState(R"({"profile": {
    "info_cache": {
      "Default": {"name": "Person 1", "is_using_default_name": true, "gaia_given_name": "Ana",
                  "gaia_name": "Ana Lima"},
      "Profile 1": {"name": "Work", "is_using_default_name": false, "gaia_given_name": "Ana"},
      "Profile 2": {"name": "Person 3", "is_using_default_name": true, "gaia_name": "Bo Ek"},
      "Profile 3": {"is_using_default_name": true},
      "Profile 4": "not an entry"},
    "last_active_profiles": ["Profile 1", 7, "Default"]}})");
  ASSERT_TRUE(state);
  EXPECT_EQ(*state, (LocalStateProfiles{.names = {{"Default", "Ana"},
                                                  {"Profile 1", "Work"},
                                                  {"Profile 2", "Bo Ek"},
                                                  {"Profile 3", "Profile 3"}},
                                        .open = {"Profile 1", "Default"}}));
  EXPECT_EQ(BrowserProfiles::parseLocalState(R"({"profile": []})"), LocalStateProfiles{});
  EXPECT_EQ(BrowserProfiles::parseLocalState("[1]"), std::nullopt);
  EXPECT_EQ(BrowserProfiles::parseLocalState("{\"profile\": "), std::nullopt);
}

TEST(BrowserProfiles, WindowTitlesNameTheProfileAfterTheBrowser) {
  EXPECT_EQ(nameInTitle("Inbox - Chromium - Work", "Inbox"), "Work");
  EXPECT_EQ(nameInTitle("A - B - Google Chrome - Ana Lima", "A - B"), "Ana Lima");
  EXPECT_EQ(nameInTitle("Inbox - Chromium", "Inbox"), std::nullopt);  // one profile: no name
  EXPECT_EQ(nameInTitle("Inbox - Chromium - ", "Inbox"), std::nullopt);
  EXPECT_EQ(nameInTitle("Outbox - Chromium - Work", "Inbox"), std::nullopt);
  EXPECT_EQ(nameInTitle("Inboxes - Chromium - Work", "Inbox"), std::nullopt);
}

TEST(BrowserProfiles, ContextsAreToldByTitlesThenByTheOneProfileLeft) {
  const LocalStateProfiles two{.names = {{"Default", "Ana"}, {"Profile 1", "Work"}},
                               .open = {"Default", "Profile 1"}};
  const BrowserProfile ana{"Default", "Ana"}, work{"Profile 1", "Work"};
  using Assigned = std::map<std::string, BrowserProfile>;
  // Two open profiles, nothing in the titles: neither context can be told.
  EXPECT_EQ(assign({"c1", "c2"}, two, std::nullopt, {}), Assigned{});
  // One named by a title, so the other context takes the other open profile.
  EXPECT_EQ(assign({"c1", "c2"}, two, std::nullopt, {{"c2", "Work"}}),
            (Assigned{{"c1", ana}, {"c2", work}}));
  // A title naming no known profile tells nothing.
  EXPECT_EQ(assign({"c1"}, two, std::nullopt, {{"c1", "Guest"}}), Assigned{});
  // One context and one open profile.
  const LocalStateProfiles one{.names = two.names, .open = {"Profile 1"}};
  EXPECT_EQ(assign({"c1"}, one, std::nullopt, {}), (Assigned{{"c1", work}}));
  // Nothing recorded as open: the --profile-directory switch, else the only profile.
  const LocalStateProfiles closed{.names = two.names};
  EXPECT_EQ(assign({"c1"}, closed, "Profile 1", {}), (Assigned{{"c1", work}}));
  EXPECT_EQ(assign({"c1"}, closed, std::nullopt, {}), Assigned{});
  EXPECT_EQ(assign({"c1"}, LocalStateProfiles{.names = {{"Default", "Ana"}}}, std::nullopt, {}),
            (Assigned{{"c1", ana}}));
  // A profile recorded as open but unknown to the cache is not guessed.
  EXPECT_EQ(assign({"c1"}, LocalStateProfiles{.open = {"Default"}}, std::nullopt, {}), Assigned{});
}

}  // namespace
}  // namespace kelvane
