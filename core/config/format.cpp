#include "core/config/format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

namespace kelvane::Format {
namespace {

struct Unit {
  std::string_view name;
  int decimals;
};
constexpr std::array<Unit, 6> kUnits{
    {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};

// `value` with `decimals` places (already rounded to them), trailing zeros dropped.
std::string decimal(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  std::string text(buffer);
  if (text.find('.') != std::string::npos) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

double roundTo(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

std::string byteCount(uint64_t count, double base) {
  if (count == 0) return "Zero KB";
  if (static_cast<double>(count) < base)
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
  size_t unit = 0;
  double value = static_cast<double>(count) / base;
  while (value >= base && unit + 1 < kUnits.size()) {
    value /= base;
    ++unit;
  }
  double shown = roundTo(value, kUnits[unit].decimals);
  // 1023.6 KB rounds to 1024 KB, which reads better as the next unit.
  if (shown >= base && unit + 1 < kUnits.size()) {
    ++unit;
    shown = roundTo(value / base, kUnits[unit].decimals);
  }
  return decimal(shown, kUnits[unit].decimals) + " " + std::string(kUnits[unit].name);
}

std::string printed(const char* format, double value) {
  char buffer[400];  // "%.0f" of the largest double needs 309 digits.
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

}  // namespace

std::string bytes(uint64_t count) {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return byteCount(count > kMax ? kMax : count, 1024);
}

std::string fileBytes(int64_t count) { return byteCount(count < 0 ? 0 : uint64_t(count), 1000); }

std::string fileSize(int64_t count) {
  if (count < 1000) {
    const int64_t n = std::max<int64_t>(count, 0);
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
  }
  size_t unit = 0;
  double value = static_cast<double>(count) / 1000;
  // Three digits: two decimals below 10, one below 100, none below 1000; a value that
  // rounds to 1000 moves on to the next unit.
  const auto decimals = [](double v) { return v < 9.995 ? 2 : v < 99.95 ? 1 : 0; };
  while (roundTo(value, decimals(value)) >= 1000 && unit + 1 < kUnits.size()) {
    value /= 1000;
    ++unit;
  }
  return printed(("%." + std::to_string(decimals(value)) + "f").c_str(), value) + " " +
         std::string(kUnits[unit].name);
}

std::string rate(double bytesPerSecond) {
  const double rounded = bytesPerSecond > 0 ? std::round(bytesPerSecond) : 0;
  if (rounded == 0) return "0 KB/s";
  // 2^63 is the first double past the largest count; anything there or above is shown as it.
  const int64_t count =
      rounded >= 0x1p63 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(rounded);
  return fileBytes(count) + "/s";
}

std::string mbps(double bitsPerSecond) {
  if (!std::isfinite(bitsPerSecond) || bitsPerSecond < 0) return "0";
  const double m = bitsPerSecond / 1'000'000;
  if (m == 0) return "0";
  if (m < 10) return printed("%.1f", m);
  return printed("%.0f", std::round(m));
}

std::string ms(double milliseconds) {
  const double v = std::isfinite(milliseconds) && milliseconds > 0 ? milliseconds : 0;
  if (std::round(v * 10) / 10 < 10) return printed("%.1f", v);
  return printed("%.0f", std::round(v));
}

std::string duration(double seconds) {
  if (!std::isfinite(seconds)) return "0s";
  const auto s = static_cast<int64_t>(std::clamp(seconds, 0.0, 1e12));
  if (s <= 59) return std::to_string(s) + "s";
  if (s <= 3599) return std::to_string(s / 60) + "m";
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%lldh %02lldm", static_cast<long long>(s / 3600),
                static_cast<long long>(s % 3600 / 60));
  return buffer;
}

}  // namespace kelvane::Format
