#pragma once
// Limits: how long each kind of thing may sit idle before a sweep acts on it,
// and the CPU share that makes a process a hog. Durations are seconds.
#include <array>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Names one setting of Limits, for pickers that work on any of them.
enum class LimitField {
  windowIdle,
  tabIdle,
  sessionIdle,
  devServerIdle,
  appNoWindows,
  appUnused,
  backgroundIdle,
  cpuHogWindow,
  cpuHogShare,
};

// Holds the idle limits of the sweep rules, in seconds, and the CPU-hog share.
struct Limits {
  double windowIdle = 7200;      // A window unfocused this long is idle.
  double tabIdle = 14400;        // A tab not viewed this long is idle.
  double sessionIdle = 3600;     // A terminal without input this long is idle.
  double devServerIdle = 1800;   // A development server without requests this long is idle.
  double appNoWindows = 3600;    // An application without windows this long is quit.
  double appUnused = 14400;      // An application not used this long is quit.
  double backgroundIdle = 3600;  // A background process idle this long is stopped.
  double cpuHogWindow = 600;     // The window over which CPU hogging is measured.
  double cpuHogShare = 0.8;      // CPU share (1.0 = one core) a hog keeps over that window.
  bool decodeIssues = false;     // Set while reading when anything was repaired.
  bool operator==(const Limits&) const = default;

  // Every field, in stored order.
  static constexpr std::array<LimitField, 9> allFields{
      LimitField::windowIdle,     LimitField::tabIdle,      LimitField::sessionIdle,
      LimitField::devServerIdle,  LimitField::appNoWindows, LimitField::appUnused,
      LimitField::backgroundIdle, LimitField::cpuHogWindow, LimitField::cpuHogShare};

  // Returns the setting `field` names.
  double& at(LimitField field);
  double at(LimitField field) const;

  // Returns the picker steps of `field` in seconds, ascending; empty for cpuHogShare.
  static std::vector<double> steps(LimitField field);
  // Returns the steps, with `current` added in order when it is not one of them.
  static std::vector<double> items(LimitField field, double current);
  // Clamps to one minute ... one week; NaN gives one minute.
  static double clamped(double seconds);
  // Labels a duration by the largest unit dividing it ("2 hours", "1 week",
  // "45 minutes"); anything else (fractions, 90 minutes, 0) as Format::duration.
  static std::string label(double seconds);
};

// Writes the nine settings (never decodeIssues).
void to_json(nlohmann::json& j, const Limits& limits);
// Reads leniently and never throws: a missing key gives its default, a damaged
// one its default plus decodeIssues, and values are clamped (durations to one
// minute ... 30 days, the share to 0.05 ... 64) with decodeIssues when that
// changed them. A value that is not an object gives the defaults plus decodeIssues.
void from_json(const nlohmann::json& j, Limits& limits);

}  // namespace kelvane
