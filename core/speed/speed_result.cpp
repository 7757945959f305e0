#include "core/speed/speed_result.h"

#include <nlohmann/json.hpp>

#include "core/support/json_fields.h"

namespace kelvane {

std::string_view rawValue(SpeedLevel level) {
  switch (level) {
    case SpeedLevel::poor:
      return "Poor";
    case SpeedLevel::fair:
      return "Fair";
    case SpeedLevel::good:
      return "Good";
    case SpeedLevel::excellent:
      return "Excellent";
  }
  return "Poor";
}

SpeedLevel SpeedResult::level() const {
  const double mbps = down / 1'000'000;
  if (mbps >= 200) return SpeedLevel::excellent;
  if (mbps >= 50) return SpeedLevel::good;
  if (mbps >= 10) return SpeedLevel::fair;
  return SpeedLevel::poor;
}

void to_json(nlohmann::json& j, const SpeedResult& result) {
  j = {{"at", result.at},
       {"down", result.down},
       {"up", result.up},
       {"latency", result.latency},
       {"loadedLatency", result.loadedLatency},
       {"bytes", result.bytes},
       {"interface", result.interface},
       {"auto", result.automatic}};
}

void from_json(const nlohmann::json& j, SpeedResult& result) {
  result.at = Fields::required<Date>(j, "at");
  result.down = Fields::required<double>(j, "down");
  result.up = Fields::required<double>(j, "up");
  result.latency = Fields::required<double>(j, "latency");
  result.loadedLatency = Fields::required<double>(j, "loadedLatency");
  result.bytes = Fields::required<int64_t>(j, "bytes");
  result.interface = Fields::required<std::string>(j, "interface");
  result.automatic = Fields::required<bool>(j, "auto");
}

}  // namespace kelvane
