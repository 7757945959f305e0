#include "core/model/browser_tab.h"

#include <gtest/gtest.h>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

BrowserTab tab(std::string url, std::optional<std::string> tabID = std::nullopt) {
  BrowserTab t;
  t.browser = "com.google.Chrome";
  t.windowID = 42;
  t.tabID = std::move(tabID);
  t.index = 3;
  t.url = std::move(url);
  t.title = "Title";
  return t;
}

TEST(BrowserTabKey, UsesTabIDElseWindowAndIgnoresIndex) {
  EXPECT_EQ(tab("https://a.test/", "T9").key(), "com.google.Chrome:T9:https://a.test/");
  EXPECT_EQ(tab("https://a.test/").key(), "com.google.Chrome:42:https://a.test/");
  // Moving a tab keeps its key; two tabs of one window on one address share it.
  auto moved = tab("https://a.test/");
  moved.index = 0;
  EXPECT_EQ(moved.key(), tab("https://a.test/").key());
}

TEST(BrowserTabRestorable, BlankPagesAndReopenableSchemes) {
  const std::pair<const char*, bool> cases[] = {
      {"about:blank", true},
      {"ABOUT:BLANK", true},
      {"chrome://newtab/", true},
      {"Chrome://New-Tab-Page/", true},
      {"favorites://", true},
      {"https://example.com/a?b#c", true},
      {"HTTP://example.com", true},
      {"FILE:///tmp/x", true},
      {"about:blank#x", false},  // not exactly a blank page, and "about" does not reopen
      {"chrome://settings/", false},
      {"javascript:void(0)", false},
      {"https://exa mple.com/", false},  // unparsable
      {"", false},
      {"example.com", false},  // a relative reference has no scheme
  };
  for (const auto& [url, expected] : cases) EXPECT_EQ(tab(url).restorable(), expected) << url;
}

TEST(BrowserTabJson, FrontDefaultsButActiveIsRequired) {
  auto full = tab("https://a.test/", "T1");
  full.front = true;
  full.profile = BrowserProfile{"Profile 1", "Work"};
  EXPECT_EQ(decodeJson<BrowserTab>(*encodeValue(full)), full);

  const auto plain = tab("https://a.test/");
  auto j = nlohmann::json(plain);
  EXPECT_FALSE(j.contains("tabID"));
  EXPECT_FALSE(j.contains("profile"));
  j.erase("front");
  EXPECT_EQ(decodeJsonValue<BrowserTab>(j), plain);
  j["front"] = "yes";
  EXPECT_EQ(decodeJsonValue<BrowserTab>(j), std::nullopt);
  j = nlohmann::json(plain);
  j.erase("active");
  EXPECT_EQ(decodeJsonValue<BrowserTab>(j), std::nullopt);
}

}  // namespace
}  // namespace kelvane
