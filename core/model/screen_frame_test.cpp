#include "core/model/screen_frame.h"

#include <gtest/gtest.h>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

TEST(ScreenFrame, RoundsEdgesNotSizes) {
  struct Case {
    ScreenFrame in, out;
  };
  const Case cases[] = {
      {{0.5, 0, 1.0, 0}, {1, 0, 1, 0}},          // edges 0.5 and 1.5 become 1 and 2
      {{-0.5, -1.5, 1.0, 1.0}, {-1, -2, 2, 1}},  // halves go away from zero: -1..1, -2..-1
      {{2.4, 10.4, 0.2, 0.05}, {2, 10, 1, 0}},   // 2.4..2.6 spans a point, 10.4..10.45 none
      {{0.49, 0.51, 99.99, 100.0}, {0, 1, 100, 100}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.in.rounded(), c.out) << c.in.x << "," << c.in.y;
}

TEST(ScreenFrame, EdgesOfANegativeSize) {
  const ScreenFrame frame{10, -20, 30, -5};
  EXPECT_EQ((std::vector{frame.minX(), frame.maxX(), frame.minY(), frame.maxY()}),
            (std::vector<double>{10, 40, -20, -25}));
}

TEST(ScreenFrame, JsonNeedsFourNumbers) {
  const ScreenFrame frame{1.5, -2, 1440, 900};
  EXPECT_EQ(decodeJson<ScreenFrame>(*encodeValue(frame)), frame);
  EXPECT_EQ(encodeValue(frame), R"({"height":900.0,"width":1440.0,"x":1.5,"y":-2.0})");
  EXPECT_EQ(decodeJson<ScreenFrame>(R"({"x":1,"y":2,"width":3})"), std::nullopt);
  EXPECT_EQ(decodeJson<ScreenFrame>(R"({"x":true,"y":2,"width":3,"height":4})"), std::nullopt);
  EXPECT_EQ(decodeJson<ScreenFrame>(R"({"x":"1","y":2,"width":3,"height":4})"), std::nullopt);
}

}  // namespace
}  // namespace kelvane
