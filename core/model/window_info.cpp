#include "core/model/window_info.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

void to_json(nlohmann::json& j, const WindowInfo& window) {
  j = {{"id", window.id},
       {"pid", window.pid},
       {"app", window.app},
       {"title", window.title},
       {"axSeen", window.axSeen}};
  putOptional(j, "frame", window.frame);
}

void from_json(const nlohmann::json& j, WindowInfo& window) {
  window.id = Fields::required<uint32_t>(j, "id");
  window.pid = Fields::required<int32_t>(j, "pid");
  window.app = Fields::required<std::string>(j, "app");
  window.title = Fields::required<std::string>(j, "title");
  window.axSeen = Fields::required<bool>(j, "axSeen");
  window.frame = Fields::optional<ScreenFrame>(j, "frame");
}

}  // namespace kelvane

size_t std::hash<kelvane::WindowInfo>::operator()(
    const kelvane::WindowInfo& window) const noexcept {
  return kelvane::hashValues(window.id, window.pid, window.app, window.title, window.axSeen,
                             window.frame);
}
