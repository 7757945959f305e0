#include "core/model/browser_window.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_fields.h"

namespace kelvane {

void to_json(nlohmann::json& j, const BrowserWindow& window) {
  j = {{"browser", window.browser},
       {"windowID", window.windowID},
       {"frame", window.frame},
       {"name", window.name}};
}

void from_json(const nlohmann::json& j, BrowserWindow& window) {
  window.browser = Fields::required<std::string>(j, "browser");
  window.windowID = Fields::required<int64_t>(j, "windowID");
  window.frame = Fields::required<ScreenFrame>(j, "frame");
  window.name = Fields::required<std::string>(j, "name");
}

}  // namespace kelvane

size_t std::hash<kelvane::BrowserWindow>::operator()(
    const kelvane::BrowserWindow& window) const noexcept {
  return kelvane::hashValues(window.browser, window.windowID, window.frame, window.name);
}
