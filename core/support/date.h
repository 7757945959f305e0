#pragma once
// Date: a moment as seconds since 2001-01-01T00:00:00Z, the reference date of
// every stored file. JSON codes it as ISO 8601 UTC text with whole seconds.
#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

class Date {
 public:
  // Seconds between 1970-01-01Z and the reference date 2001-01-01Z.
  static constexpr double kUnixOffset = 978307200.0;

  constexpr Date() = default;
  constexpr explicit Date(double secondsSinceReference) : t_(secondsSinceReference) {}

  // The current moment from the system clock.
  static Date now();
  static constexpr Date fromUnix(double unixSeconds) { return Date(unixSeconds - kUnixOffset); }
  // Year 1 (Julian) and year 4001, the moments that stand for "never" and "until resumed".
  static constexpr Date distantPast() { return Date(-63114076800.0); }
  static constexpr Date distantFuture() { return Date(63113904000.0); }

  // Reads "2026-03-01T12:00:00Z", with optional fractional seconds and a "Z" or
  // "+hh:mm" offset; nullopt for anything else (including impossible dates).
  [[nodiscard]] static std::optional<Date> fromISO8601(std::string_view text);
  // Writes whole seconds (the fraction is dropped toward the past) and a "Z".
  std::string iso8601() const;

  constexpr double timeIntervalSinceReferenceDate() const { return t_; }
  constexpr double unix() const { return t_ + kUnixOffset; }
  // Seconds from `other` to this moment; negative when this one is earlier.
  constexpr double since(Date other) const { return t_ - other.t_; }

  constexpr Date operator+(double seconds) const { return Date(t_ + seconds); }
  constexpr Date operator-(double seconds) const { return Date(t_ - seconds); }
  constexpr Date& operator+=(double seconds) {
    t_ += seconds;
    return *this;
  }
  constexpr double operator-(Date other) const { return t_ - other.t_; }
  constexpr auto operator<=>(const Date&) const = default;

 private:
  double t_ = 0;
};

void to_json(nlohmann::json& j, const Date& date);
// Throws nlohmann::json::type_error for anything but ISO 8601 text.
void from_json(const nlohmann::json& j, Date& date);

}  // namespace kelvane

template <>
struct std::hash<kelvane::Date> {
  size_t operator()(const kelvane::Date& d) const noexcept {
    return std::hash<double>{}(d.timeIntervalSinceReferenceDate());
  }
};
