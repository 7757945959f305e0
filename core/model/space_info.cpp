#include "core/model/space_info.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

void to_json(nlohmann::json& j, const SpaceInfo& space) {
  j = {{"id", space.id},
       {"display", space.display},
       {"type", space.type},
       {"current", space.current}};
  putOptional(j, "displayName", space.displayName);
  putOptional(j, "displayFrame", space.displayFrame);
}

void from_json(const nlohmann::json& j, SpaceInfo& space) {
  space.id = Fields::required<int64_t>(j, "id");
  space.display = Fields::required<std::string>(j, "display");
  space.type = Fields::required<int64_t>(j, "type");
  space.current = Fields::required<bool>(j, "current");
  space.displayName = Fields::optional<std::string>(j, "displayName");
  space.displayFrame = Fields::optional<ScreenFrame>(j, "displayFrame");
}

}  // namespace kelvane

size_t std::hash<kelvane::SpaceInfo>::operator()(const kelvane::SpaceInfo& space) const noexcept {
  return kelvane::hashValues(space.id, space.display, space.type, space.current, space.displayName,
                             space.displayFrame);
}
