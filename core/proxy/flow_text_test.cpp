#include "core/proxy/flow_text.h"

#include <gtest/gtest.h>

#include "core/proxy/testing/bytes.h"

namespace kelvane {
namespace {

using Pairs = std::vector<FlowText::NameValue>;

using testing::bytes;

TEST(FlowText, QueryDecodesItemsInOrder) {
  EXPECT_EQ(FlowText::query("http://h/p?a=1&b&c=%20x&a=2"),
            (Pairs{{"a", "1"}, {"b", ""}, {"c", " x"}, {"a", "2"}}));
  EXPECT_EQ(FlowText::query("http://h/p"), Pairs{});
  EXPECT_EQ(FlowText::query("http://h/p?"), Pairs{});
  EXPECT_EQ(FlowText::query("not a url?a=1"), Pairs{});
}

TEST(FlowText, CookiesOfRequestsAndResponses) {
  const std::vector<ProxyHeader> headers{{"Cookie", "a=1; b=2;  c"},
                                         {"cookie", " t =\tv=w ;;=x"},
                                         {"Set-Cookie", "sid=x; Path=/; HttpOnly"},
                                         {"set-cookie", "Path=/"},
                                         {"SET-COOKIE", "noequals; a=b"}};
  EXPECT_EQ(FlowText::cookies(headers, false), (Pairs{{"a", "1"}, {"b", "2"}, {"t", "v=w"}}));
  EXPECT_EQ(FlowText::cookies(headers, true), (Pairs{{"sid", "x"}, {"Path", "/"}}));
  EXPECT_EQ(FlowText::contentType({{"X", "1"}, {"Content-TYPE", "a/b"}, {"content-type", "c"}}),
            "a/b");
  EXPECT_EQ(FlowText::contentType({}), std::nullopt);
}

TEST(FlowText, RawRequestAddsAHostLineAndSkipsPseudoHeaders) {
  ProxyRequest request;
  request.method = "POST";
  request.url = "https://api.example.com:8443/v1/items?q=a%20b";
  request.version = "HTTP/2";
  request.headers = {{":authority", "api.example.com"}, {"Accept", "*/*"}};
  request.body = bytes("{\"a\":1}");
  EXPECT_EQ(FlowText::raw(request),
            "POST /v1/items?q=a%20b HTTP/2\nhost: api.example.com\nAccept: */*\n\n{\"a\":1}");

  request.url = "no url";
  request.headers = {{"HOST", "x"}};
  request.body = {0xFF, 0x00};
  request.bodyLength = 900;
  EXPECT_EQ(FlowText::raw(request), "POST / HTTP/2\nHOST: x\n\n<900 bytes>");
  request.url = "http://h";
  request.headers = {};
  request.body = {};
  EXPECT_EQ(FlowText::raw(request), "POST / HTTP/2\nhost: h\n\n");
}

TEST(FlowText, RawResponseKeepsEveryHeader) {
  const ProxyResponse response{
      1, 404,   "HTTP/1.1", {{":status", "404"}, {"Content-Type", "a/b"}}, bytes("gone"),
      4, false, Date()};
  EXPECT_EQ(FlowText::raw(response), "HTTP/1.1 404\n:status: 404\nContent-Type: a/b\n\ngone");
}

TEST(FlowText, KindFollowsTheFirstRuleThatApplies) {
  const std::vector<uint8_t> png{0x89, 'P', 'N', 'G'};
  struct Case {
    std::vector<uint8_t> body;
    std::optional<std::string_view> type;
    BodyKind expected;
  } cases[] = {
      {{}, "image/png", BodyKind::empty},
      {bytes("x"), "Image/PNG", BodyKind::image},
      {png, "application/problem+JSON", BodyKind::json},
      {bytes("{\"a\":[1,2]}  "), std::nullopt, BodyKind::json},
      {bytes(" {\"a\":1}"), std::nullopt, BodyKind::text},  // Leading space: not JSON.
      {bytes("\"fragment\""), std::nullopt, BodyKind::text},
      {bytes("h\xc3\xa9llo"), "application/octet-stream", BodyKind::text},
      {png, std::nullopt, BodyKind::binary},
      {bytes("\xed\xa0\x80"), std::nullopt, BodyKind::binary},  // A surrogate is not UTF-8.
      {bytes("\xc0\xaf"), std::nullopt, BodyKind::binary},      // Nor is an overlong form.
  };
  for (const auto& c : cases)
    EXPECT_EQ(FlowText::kind(c.body, c.type), c.expected)
        << std::string(c.body.begin(), c.body.end());
}

TEST(FlowText, HexDumpPadsTheLastRow) {
  std::vector<uint8_t> data(17);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t('A' + i);
  data[1] = 0x00;
  data[2] = 0x7F;
  EXPECT_EQ(FlowText::hexDump(data, 100),
            "00000000  41 00 7f 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  A..DEFGHIJKLMNOP\n"
            "00000010  51                                               Q");
  EXPECT_EQ(FlowText::hexDump(data, 2), "00000000  41 00" + std::string(42, ' ') + "  A.");
  EXPECT_EQ(FlowText::hexDump(data, 0), "");
  EXPECT_EQ(FlowText::hexDump(data, -5), "");
}

}  // namespace
}  // namespace kelvane
