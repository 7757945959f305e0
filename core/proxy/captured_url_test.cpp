#include "core/proxy/captured_url.h"

#include <gtest/gtest.h>

#include "core/proxy/flow_log.h"
#include "core/proxy/flow_text.h"

namespace kelvane {
namespace {

using Pairs = std::vector<FlowText::NameValue>;

// What real traffic carries and RFC 3986 refuses: each is read for host,
// path and query as a browser would, and its normalised form is an RFC 3986
// address that reads the same.
TEST(CapturedUrl, ReadsWhatBrowsersSendLeniently) {
  struct Case {
    const char* captured;
    const char* host;
    const char* path;  // The path and query as the flow shows them.
    Pairs query;
  } cases[] = {
      {"https://shop.test/api?filter[name]=x&page[size]=2",
       "shop.test",
       "/api?filter%5Bname%5D=x&page%5Bsize%5D=2",
       {{"filter[name]", "x"}, {"page[size]", "2"}}},
      {"http://h.test/a|b?q=\"x\"|y", "h.test", "/a%7Cb?q=%22x%22%7Cy", {{"q", "\"x\"|y"}}},
      {"http://h.test/two words?q=a b", "h.test", "/two%20words?q=a%20b", {{"q", "a b"}}},
      {"http://h.test/caf\xc3\xa9?q=\xc3\xa9t\xc3\xa9",
       "h.test",
       "/caf%C3%A9?q=%C3%A9t%C3%A9",
       {{"q", "\xc3\xa9t\xc3\xa9"}}},
      {"http://u:p w@h.test:8080/x?100%&ok=%41",
       "h.test",
       "/x?100%25&ok=%41",
       {{"100%", ""}, {"ok", "A"}}},
      {" http://h.test/x\t?y=1#frag ment ", "h.test", "/x?y=1", {{"y", "1"}}},
  };
  for (const auto& c : cases) {
    const auto url = CapturedUrl::parse(c.captured);
    ASSERT_TRUE(url) << c.captured;
    EXPECT_EQ(url->host, c.host) << c.captured;
    EXPECT_EQ(url->pathAndQuery(), c.path) << c.captured;
    EXPECT_EQ(FlowText::query(c.captured), c.query) << c.captured;
    const std::string normal = CapturedUrl::normalized(c.captured);
    const auto strict = Url::parse(normal);
    ASSERT_TRUE(strict) << normal;
    EXPECT_EQ(strict->pathAndQuery(), c.path) << normal;
  }
  // Addresses RFC 3986 accepts are left exactly as they are.
  EXPECT_EQ(CapturedUrl::normalized("http://h/a%20b?x=1&y"), "http://h/a%20b?x=1&y");
  // Nothing to read: no scheme and "//", or a host nobody could reach.
  for (const char* text :
       {"not a url", "no url?a=1", "h:443 x", "http://bad host/", "http://h:9x/"})
    EXPECT_EQ(CapturedUrl::parse(text), std::nullopt) << text;
  EXPECT_EQ(CapturedUrl::normalized("not a url"), "not a url");
}

TEST(CapturedUrl, FlowsAndRawTextShowHostAndPathTheCapturedTextStays) {
  FlowLog log(10, 1000, [] { return Date(); });
  const std::string captured = "http://api.test/s?filter[name]=x y";
  const Flow* flow =
      log.apply({ProxyRequest{1, {}, "", "GET", captured, "HTTP/1.1", {}, {}, 0, false, Date()}});
  ASSERT_NE(flow, nullptr);
  EXPECT_EQ(flow->url, captured);
  EXPECT_EQ(flow->host, "api.test");
  EXPECT_EQ(flow->path, "/s?filter%5Bname%5D=x%20y");
  EXPECT_EQ(FlowText::raw(*flow->request),
            "GET /s?filter%5Bname%5D=x%20y HTTP/1.1\nhost: api.test\n\n");
}

}  // namespace
}  // namespace kelvane
