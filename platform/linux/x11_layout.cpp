#include "platform/linux/x11_layout.h"

#include <algorithm>

namespace kelvane::X11Layout {
namespace {

constexpr int64_t kPerMonitor = 1000;

double overlap(const ScreenFrame& a, const ScreenFrame& b) {
  const double w = std::min(a.maxX(), b.maxX()) - std::max(a.minX(), b.minX());
  const double h = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
  return w > 0 && h > 0 ? w * h : 0;
}

bool holds(const ScreenFrame& f, double x, double y) {
  return x >= f.minX() && x < f.maxX() && y >= f.minY() && y < f.maxY();
}

}  // namespace

std::vector<Monitor> ordered(std::vector<Monitor> monitors) {
  std::stable_partition(monitors.begin(), monitors.end(),
                        [](const Monitor& m) { return m.primary; });
  return monitors;
}

int64_t spaceID(size_t monitorIndex, uint32_t desktop) {
  return static_cast<int64_t>(monitorIndex) * kPerMonitor + desktop + 1;
}

std::optional<uint32_t> desktopOf(int64_t spaceID) {
  const int64_t number = spaceID % kPerMonitor;
  if (spaceID <= 0 || number == 0) return std::nullopt;
  return static_cast<uint32_t>(number - 1);
}

std::vector<SpaceInfo> spaces(const std::vector<Monitor>& monitors, uint32_t desktops,
                              std::optional<uint32_t> current) {
  desktops = std::min(desktops, kMaxDesktops);
  std::vector<SpaceInfo> out;
  out.reserve(monitors.size() * desktops);
  for (size_t m = 0; m < monitors.size(); ++m) {
    for (uint32_t d = 0; d < desktops; ++d) {
      out.push_back({.id = spaceID(m, d),
                     .display = monitors[m].name,
                     .type = 0,
                     .current = current == d,
                     .displayName = monitors[m].model.value_or(monitors[m].name),
                     .displayFrame = monitors[m].frame});
    }
  }
  return out;
}

size_t monitorOf(const ScreenFrame& frame, const std::vector<Monitor>& monitors) {
  const double cx = frame.x + frame.width / 2;
  const double cy = frame.y + frame.height / 2;
  for (size_t m = 0; m < monitors.size(); ++m)
    if (holds(monitors[m].frame, cx, cy)) return m;
  size_t best = 0;
  double most = 0;
  for (size_t m = 0; m < monitors.size(); ++m) {
    const double area = overlap(frame, monitors[m].frame);
    if (area > most) {
      most = area;
      best = m;
    }
  }
  return best;
}

std::vector<int64_t> windowSpaces(size_t monitorIndex, uint32_t windowDesktop, uint32_t desktops) {
  desktops = std::min(desktops, kMaxDesktops);
  std::vector<int64_t> ids;
  if (windowDesktop == kAllDesktops) {
    for (uint32_t d = 0; d < desktops; ++d) ids.push_back(spaceID(monitorIndex, d));
  } else if (windowDesktop < desktops) {
    ids.push_back(spaceID(monitorIndex, windowDesktop));
  }
  return ids;
}

}  // namespace kelvane::X11Layout
