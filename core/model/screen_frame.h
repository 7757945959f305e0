#pragma once
// ScreenFrame: a rectangle in screen points, as windows and displays report it,
// with its edges and an edge-rounded copy for comparing frames across sources.
#include <cstddef>
#include <functional>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Places a rectangle on screen, in points.
struct ScreenFrame {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const ScreenFrame&) const = default;

  // Return the edges: x, x + width, y, y + height.
  double minX() const { return x; }
  double maxX() const { return x + width; }
  double minY() const { return y; }
  double maxY() const { return y + height; }
  // Rounds the edges (not the sizes) to whole points, halves away from zero:
  // x 0.5 width 1.0 gives x 1 width 1.
  ScreenFrame rounded() const;
};

// JSON coding with keys x, y, width, height; from_json throws
// nlohmann::json::exception when one is missing or not a number.
void to_json(nlohmann::json& j, const ScreenFrame& frame);
void from_json(const nlohmann::json& j, ScreenFrame& frame);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::ScreenFrame> {
  size_t operator()(const kelvane::ScreenFrame& frame) const noexcept;
};
