#include "platform/linux/browser_windows.h"

#include <set>

namespace kelvane::BrowserWindows {
namespace {

bool titled(const WindowInfo& system, const BrowserWindow& window) {
  return !window.name.empty() && system.title.starts_with(window.name + " - ");
}

bool framed(const WindowInfo& system, const BrowserWindow& window) {
  return system.frame && system.frame->rounded() == window.frame.rounded();
}

// The one window of `pool` that passes `test`; nullptr when none or several do.
template <class Test>
const WindowInfo* onlyOne(const std::vector<const WindowInfo*>& pool, Test test) {
  const WindowInfo* found = nullptr;
  for (const WindowInfo* w : pool) {
    if (!test(*w)) continue;
    if (found) return nullptr;
    found = w;
  }
  return found;
}

}  // namespace

std::map<uint32_t, BrowserWindow> match(const std::vector<BrowserWindow>& windows,
                                        const std::vector<WindowInfo>& system, int32_t pid) {
  std::map<uint32_t, BrowserWindow> out;
  std::set<uint32_t> used;
  for (const BrowserWindow& window : windows) {
    std::vector<const WindowInfo*> candidates;
    std::vector<const WindowInfo*> withTitle;
    for (const WindowInfo& w : system) {
      if (w.pid != pid || used.contains(w.id)) continue;
      candidates.push_back(&w);
      if (titled(w, window)) withTitle.push_back(&w);
    }
    const WindowInfo* found = withTitle.size() == 1 ? withTitle.front() : nullptr;
    if (!found)
      found = onlyOne(withTitle.empty() ? candidates : withTitle,
                      [&](const WindowInfo& w) { return framed(w, window); });
    if (!found) continue;
    used.insert(found->id);
    out.emplace(found->id, window);
  }
  return out;
}

}  // namespace kelvane::BrowserWindows
