#include "core/model/health.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_fields.h"

namespace kelvane {

void to_json(nlohmann::json& j, const Health& health) {
  j = {{"pressure", health.pressure}, {"memUsed", health.memUsed},
       {"memTotal", health.memTotal}, {"cpu", health.cpu},
       {"diskFree", health.diskFree}, {"diskTotal", health.diskTotal}};
}

void from_json(const nlohmann::json& j, Health& health) {
  health.pressure = Fields::required<int64_t>(j, "pressure");
  health.memUsed = Fields::required<uint64_t>(j, "memUsed");
  health.memTotal = Fields::required<uint64_t>(j, "memTotal");
  health.cpu = Fields::required<double>(j, "cpu");
  health.diskFree = Fields::required<int64_t>(j, "diskFree");
  health.diskTotal = Fields::required<int64_t>(j, "diskTotal");
}

}  // namespace kelvane

size_t std::hash<kelvane::Health>::operator()(const kelvane::Health& health) const noexcept {
  return kelvane::hashValues(health.pressure, health.memUsed, health.memTotal, health.cpu,
                             health.diskFree, health.diskTotal);
}
