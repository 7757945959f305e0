#include "core/config/allowlist.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

TEST(AllowlistSiteHost, NormalisesWhatTheUserTyped) {
  // "localhost:3000" reads as a scheme without "https://"; a text with no
  // address at all is kept as it is.
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"  .Example.COM \n", "example.com"},
      {"https://Docs.Example.com/a/b?c", "docs.example.com"},
      {"example.com/path", "example.com"},
      {"localhost:3000", "localhost"},
      {"Weird Name", "weird name"},
      {"   ", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [typed, host] : cases) EXPECT_EQ(Allowlist::siteHost(typed), host) << typed;
}

TEST(AllowlistHas, SitesMatchTheHostAndItsSubdomainsOnly) {
  const Allowlist allowlist{.sites = {"Example.com"}};
  const std::pair<const char*, bool> cases[] = {
      {"https://example.com/", true},
      {"https://MAIL.example.COM/inbox", true},
      {"https://notexample.com/", false},
      {"https://example.com.evil.test/", false},
      {"about:blank", false},
      {"https://exa mple.com/", false},
  };
  for (const auto& [url, kept] : cases) {
    BrowserTab tab;
    tab.url = url;
    EXPECT_EQ(allowlist.has(tab), kept) << url;
  }
}

TEST(AllowlistHas, AppsAndProcessesMatchExactly) {
  Allowlist allowlist{.apps = {"com.example.Editor", "Notes"},
                      .processes = {"postgres", "/opt/bin/redis-server"}};
  EXPECT_TRUE(allowlist.has(RunningApp{.bundleID = "com.example.Editor", .name = "Editor"}));
  EXPECT_TRUE(allowlist.has(RunningApp{.name = "Notes"}));
  // Case matters for applications.
  EXPECT_FALSE(allowlist.has(RunningApp{.bundleID = "com.example.notes", .name = "notes"}));
  EXPECT_TRUE(allowlist.has(Proc{.name = "redis", .path = "/opt/bin/redis-server"}));
  allowlist.processes.push_back("");  // an empty path never matches, even an empty entry
  EXPECT_FALSE(allowlist.has(Proc{.name = "redis", .path = ""}));
}

TEST(AllowlistAdd, AppendsToTheKindsListOnce) {
  // Only exact duplicates within one list are skipped.
  const std::pair<KeepKind, const char*> adds[] = {
      {KeepKind::app, "Notes"},        {KeepKind::process, "node"},
      {KeepKind::site, "example.com"}, {KeepKind::path, "/tmp/keep"},
      {KeepKind::site, "example.com"}, {KeepKind::site, "Example.com"},
      {KeepKind::app, "node"},
  };
  Allowlist allowlist;
  for (const auto& [kind, value] : adds) allowlist.add(kind, value);
  EXPECT_EQ(
      allowlist,
      (Allowlist{
          {"Notes", "node"}, {"node"}, {"example.com", "Example.com"}, {"/tmp/keep"}, false}));
}

TEST(AllowlistJson, ReadsLeniently) {
  const auto allowlist =
      nlohmann::json::parse(R"({"apps":["A",null,2],"sites":"x","paths":["/p"]})").get<Allowlist>();
  EXPECT_EQ(allowlist, (Allowlist{{"A"}, {}, {}, {"/p"}, true}));
  EXPECT_TRUE(nlohmann::json("text").get<Allowlist>().decodeIssues);
}

}  // namespace
}  // namespace kelvane
