#include "cli/control_protocol.h"

#include <gtest/gtest.h>

namespace kelvane::Control {
namespace {

TEST(ControlParseRequest, NamesWhatIsWrongWithALine) {
  const std::pair<std::string, std::string> bad[] = {
      {"", "not JSON"},
      {"{\"op\": \"state\"", "not JSON"},
      {"[\"state\"]", "not a JSON object"},
      {"\"state\"", "not a JSON object"},
      {"{}", "no \"op\" text"},
      {"{\"op\": 3}", "no \"op\" text"},
      {"{\"op\": null}", "no \"op\" text"},
  };
  for (const auto& [text, why] : bad) {
    const auto request = parseRequest(text);
    ASSERT_FALSE(request) << text;
    EXPECT_EQ(request.error(), why) << text;
  }
  const auto request = parseRequest(R"({"op": "pause", "until": "2026-03-01T12:00:00Z"})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->op, "pause");
  EXPECT_EQ(request->body.at("until"), "2026-03-01T12:00:00Z");
}

TEST(ControlReply, IsOneLineEvenForTextThatIsNotUtf8) {
  const std::string text = line(errorReply("bad \xff byte\nand a break"));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  const auto parsed = nlohmann::json::parse(text);
  EXPECT_EQ(parsed.at("ok"), false);
  EXPECT_EQ(parsed.at("error"), "bad \xEF\xBF\xBD byte\nand a break");
  // An "ok" the fields might carry never wins over the reply's own.
  EXPECT_EQ(okReply({{"ok", false}, {"n", 1}}), (nlohmann::json{{"ok", true}, {"n", 1}}));
}

TEST(ControlLineReader, JoinsLinesAcrossReadsAndKeepsTheirOrder) {
  LineReader reader(100);
  EXPECT_TRUE(reader.feed("{\"op\":").empty());
  const auto lines = reader.feed("1}\n\n{\"op\":2}\n{\"op\"");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "{\"op\":1}");
  EXPECT_EQ(lines[1], "");  // An empty line is a (bad) request like any other.
  EXPECT_EQ(lines[2], "{\"op\":2}");
  EXPECT_EQ(reader.feed(":3}\n"), (std::vector<std::optional<std::string>>{"{\"op\":3}"}));
}

TEST(ControlLineReader, ReportsAnOverlongLineOnceAndReadsOnAfterIt) {
  LineReader reader(8);
  EXPECT_EQ(reader.feed("12345678\n"), (std::vector<std::optional<std::string>>{"12345678"}));
  // A megabyte without a line break, in pieces: reported when it passes the
  // limit, then dropped piece by piece up to its line feed.
  std::vector<std::optional<std::string>> seen;
  for (int i = 0; i < 256; ++i)
    for (auto& l : reader.feed(std::string(4096, 'x'))) seen.push_back(std::move(l));
  EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{std::nullopt}));
  EXPECT_EQ(reader.feed("xx\nok\n"), (std::vector<std::optional<std::string>>{"ok"}));
  // The limit counts the whole line, not one read of it.
  EXPECT_EQ(reader.feed("12345"), (std::vector<std::optional<std::string>>{}));
  EXPECT_EQ(reader.feed("6789\n1\n"), (std::vector<std::optional<std::string>>{std::nullopt, "1"}));
}

TEST(ControlSocketPath, OneNamePerSupportFolderInTheRuntimeFolder) {
  const auto a =
      socketPath("/run/user/1000", "/home/ann/Library/Application Support/Kelvane", 1000);
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->starts_with("/run/user/1000/kelvane-agent-")) << *a;
  EXPECT_TRUE(a->ends_with(".sock")) << *a;
  // The same folder however it is spelled; another folder elsewhere.
  EXPECT_EQ(socketPath("/run/user/1000/", "/home/ann/Library/./Application Support/Kelvane/", 1000),
            a);
  EXPECT_NE(socketPath("/run/user/1000", "/tmp/other", 1000), a);
  // No usable runtime folder, or a path too long for a socket address.
  EXPECT_EQ(socketPath("relative", "/tmp/x", 4000000000u), std::nullopt);
  EXPECT_EQ(socketPath("/" + std::string(100, 'r'), "/tmp/x", 1000), std::nullopt);
}

}  // namespace
}  // namespace kelvane::Control
