#include "core/config/allowlist.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

BrowserTab tabAt(std::string url) {
  BrowserTab tab;
  tab.browser = "com.google.Chrome";
  tab.url = std::move(url);
  return tab;
}

TEST(AllowlistSiteHost, NormalisesWhatTheUserTyped) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"  .Example.COM \n", "example.com"},
      {"https://Docs.Example.com/a/b?c", "docs.example.com"},
      {"example.com/path", "example.com"},
      {"localhost:3000", "localhost"},  // reads as a scheme "localhost" without "https://"
      {"Weird Name", "weird name"},     // no address at all: the text itself
      {"   ", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [typed, host] : cases) EXPECT_EQ(Allowlist::siteHost(typed), host) << typed;
}

TEST(AllowlistHas, SitesMatchTheHostAndItsSubdomainsOnly) {
  Allowlist allowlist;
  allowlist.sites = {"Example.com"};
  EXPECT_TRUE(allowlist.has(tabAt("https://example.com/")));
  EXPECT_TRUE(allowlist.has(tabAt("https://MAIL.example.COM/inbox")));
  EXPECT_FALSE(allowlist.has(tabAt("https://notexample.com/")));
  EXPECT_FALSE(allowlist.has(tabAt("https://example.com.evil.test/")));
  EXPECT_FALSE(allowlist.has(tabAt("about:blank")));            // no host
  EXPECT_FALSE(allowlist.has(tabAt("https://exa mple.com/")));  // not an address
}

TEST(AllowlistHas, AppsAndProcessesMatchExactly) {
  Allowlist allowlist;
  allowlist.apps = {"com.example.Editor", "Notes"};
  allowlist.processes = {"postgres", "/opt/bin/redis-server"};
  const RunningApp byID{10, "com.example.Editor", "Editor", std::nullopt, AppPolicy::regular};
  const RunningApp byName{11, std::nullopt, "Notes", std::nullopt, AppPolicy::regular};
  const RunningApp other{12, "com.example.notes", "notes", std::nullopt, AppPolicy::regular};
  EXPECT_TRUE(allowlist.has(byID));
  EXPECT_TRUE(allowlist.has(byName));
  EXPECT_FALSE(allowlist.has(other));  // case matters for applications
  Proc proc;
  proc.name = "redis";
  proc.path = "/opt/bin/redis-server";
  EXPECT_TRUE(allowlist.has(proc));
  proc.path = "";
  allowlist.processes.push_back("");
  EXPECT_FALSE(allowlist.has(proc));  // an empty path never matches, even an empty entry
}

TEST(AllowlistAdd, AppendsToTheKindsListOnce) {
  Allowlist allowlist;
  allowlist.add(KeepKind::app, "Notes");
  allowlist.add(KeepKind::process, "node");
  allowlist.add(KeepKind::site, "example.com");
  allowlist.add(KeepKind::path, "/tmp/keep");
  allowlist.add(KeepKind::site, "example.com");
  allowlist.add(KeepKind::site, "Example.com");  // only exact duplicates are skipped
  allowlist.add(KeepKind::app, "node");          // other lists do not count
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
