#include "core/proxy/event_lines.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using Lines = std::vector<std::string>;

// Feeds the text in pieces of `step` bytes and collects the lines.
Lines split(std::string_view text, size_t step, EventLines& lines) {
  Lines out;
  const auto keep = [&](std::string_view line) { out.emplace_back(line); };
  for (size_t at = 0; at < text.size(); at += step) lines.feed(text.substr(at, step), keep);
  lines.finish(keep);
  return out;
}

TEST(EventLines, SameLinesWhateverPiecesTheBytesComeIn) {
  const std::string text = "one\r\n\ntwo\nthree\r\nlast";
  for (size_t step = 1; step <= text.size(); ++step) {
    EventLines lines;
    EXPECT_EQ(split(text, step, lines), (Lines{"one", "", "two", "three", "last"})) << step;
    EXPECT_EQ(lines.overlong(), 0u);
  }
}

TEST(EventLines, SkipsAndCountsLinesOverTheCap) {
  // Lines of exactly the cap pass, with or without "\r"; one byte more is skipped.
  const std::string text = "12345678\n12345678\r\n123456789\n" + std::string(1000, '[') +
                           "\nok\n123456789\r\n" + std::string(50, 'x');
  for (size_t step : {1, 3, 7, 64, 4096}) {
    EventLines lines(8);
    EXPECT_EQ(split(text, step, lines), (Lines{"12345678", "12345678", "ok"})) << step;
    EXPECT_EQ(lines.overlong(), 4u) << step;
  }
}

}  // namespace
}  // namespace kelvane
