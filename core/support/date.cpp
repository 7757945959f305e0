#include "core/support/date.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

#include <date/date.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

// Reads exactly `width` decimal digits at `pos`, advancing it.
std::optional<int> digits(std::string_view text, size_t& pos, size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  pos += width;
  return value;
}

bool expect(std::string_view text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

Date Date::now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return fromUnix(std::chrono::duration<double>(since).count());
}

std::optional<Date> Date::fromISO8601(std::string_view text) {
  size_t pos = 0;
  const auto year = digits(text, pos, 4);
  if (!year || !expect(text, pos, '-')) return std::nullopt;
  const auto month = digits(text, pos, 2);
  if (!month || !expect(text, pos, '-')) return std::nullopt;
  const auto day = digits(text, pos, 2);
  if (!day || !expect(text, pos, 'T')) return std::nullopt;
  const auto hour = digits(text, pos, 2);
  if (!hour || !expect(text, pos, ':')) return std::nullopt;
  const auto minute = digits(text, pos, 2);
  if (!minute || !expect(text, pos, ':')) return std::nullopt;
  const auto second = digits(text, pos, 2);
  if (!second || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
  double fraction = 0;
  if (pos < text.size() && text[pos] == '.') {
    double scale = 0.1;
    size_t start = ++pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  int offsetSeconds = 0;
  if (expect(text, pos, 'Z')) {
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos++] == '-' ? -1 : 1;
    const auto oh = digits(text, pos, 2);
    if (!oh) return std::nullopt;
    expect(text, pos, ':');
    const auto om = digits(text, pos, 2);
    if (!om || *oh > 23 || *om > 59) return std::nullopt;
    offsetSeconds = sign * (*oh * 3600 + *om * 60);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  const date::year_month_day ymd{date::year{*year}, date::month(*month), date::day(*day)};
  if (!ymd.ok()) return std::nullopt;
  const auto days = date::sys_days(ymd).time_since_epoch().count();
  const double unixSeconds = static_cast<double>(days) * 86400.0 + *hour * 3600 + *minute * 60 +
                             *second + fraction - offsetSeconds;
  return fromUnix(unixSeconds);
}

std::string Date::iso8601() const {
  const double whole = std::floor(unix());
  if (!std::isfinite(whole) || std::fabs(whole) > 1e15) return "0001-01-01T00:00:00Z";
  const auto seconds = static_cast<int64_t>(whole);
  const auto dp = date::floor<date::days>(date::sys_seconds(std::chrono::seconds(seconds)));
  const date::year_month_day ymd(dp);
  const int64_t rest = seconds - int64_t(dp.time_since_epoch().count()) * 86400;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), int(rest / 3600), int(rest % 3600 / 60),
                int(rest % 60));
  return buffer;
}

void to_json(nlohmann::json& j, const Date& date) { j = date.iso8601(); }

void from_json(const nlohmann::json& j, Date& date) {
  if (!j.is_string()) throw nlohmann::json::type_error::create(302, "date must be text", &j);
  const auto parsed = Date::fromISO8601(j.get_ref<const std::string&>());
  if (!parsed) throw nlohmann::json::type_error::create(302, "date is not ISO 8601", &j);
  date = *parsed;
}

}  // namespace kelvane
