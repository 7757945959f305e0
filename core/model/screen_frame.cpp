#include "core/model/screen_frame.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_fields.h"

namespace kelvane {

ScreenFrame ScreenFrame::rounded() const {
  // Rounding each edge keeps two frames that share an edge sharing it afterwards.
  const double left = std::round(minX());
  const double top = std::round(minY());
  return {left, top, std::round(maxX()) - left, std::round(maxY()) - top};
}

void to_json(nlohmann::json& j, const ScreenFrame& frame) {
  j = {{"x", frame.x}, {"y", frame.y}, {"width", frame.width}, {"height", frame.height}};
}

void from_json(const nlohmann::json& j, ScreenFrame& frame) {
  frame.x = Fields::required<double>(j, "x");
  frame.y = Fields::required<double>(j, "y");
  frame.width = Fields::required<double>(j, "width");
  frame.height = Fields::required<double>(j, "height");
}

}  // namespace kelvane

size_t std::hash<kelvane::ScreenFrame>::operator()(
    const kelvane::ScreenFrame& frame) const noexcept {
  return kelvane::hashValues(frame.x, frame.y, frame.width, frame.height);
}
