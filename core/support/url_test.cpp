#include "core/support/url.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(Url, SplitsAddressesIntoTheirParts) {
  const auto u = Url::parse("https://user@Example.COM:8443/a%20b/c/?q=1&x#top");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->scheme, "https");
  EXPECT_EQ(u->user, "user");
  EXPECT_EQ(u->host, "Example.COM");
  EXPECT_EQ(u->port, 8443);
  EXPECT_EQ(u->path, "/a%20b/c/");
  EXPECT_EQ(u->query, "q=1&x");
  EXPECT_EQ(u->fragment, "top");
  EXPECT_EQ(u->pathAndQuery(), "/a%20b/c/?q=1&x");

  EXPECT_EQ(Url::parse("http://[::1]:3000/")->host, "::1");
  EXPECT_EQ(Url::parse("http://a")->pathAndQuery(), "/");
  EXPECT_EQ(Url::parse("http://a/")->path, "/");
  const auto file = Url::parse("file:///tmp/x");
  EXPECT_EQ(file->host, std::nullopt);
  EXPECT_EQ(file->path, "/tmp/x");
  EXPECT_EQ(Url::parse("about:blank")->path, "blank");
  EXPECT_EQ(Url::parse("/x/y?z")->path, "/x/y");
  const auto relative = Url::parse("example.com/x");
  EXPECT_EQ(relative->host, std::nullopt);
  EXPECT_EQ(relative->scheme, "");
}

TEST(Url, RefusesWhatIsNotAnAddress) {
  for (const char* bad :
       {"http://a b/", "http://host:99999/", "http://host:x/", "ht tp://a", "http://a/%zz"})
    EXPECT_EQ(Url::parse(bad), std::nullopt) << bad;
}

TEST(Url, DecodesQueryItems) {
  EXPECT_EQ(queryItems("a=1&&b&c=%20x%2&d=e=f"),
            (std::vector<QueryItem>{{"a", "1"}, {"b", std::nullopt}, {"c", " x%2"}, {"d", "e=f"}}));
  EXPECT_EQ(percentDecode("%41%4a%"), "AJ%");
}

}  // namespace
}  // namespace kelvane
