#pragma once
// PlistValue: one property-list value of any kind the file format holds, so
// that a service's proxy configuration is carried through untouched, whatever
// the system stores in it. SettingsSet: service ID to that configuration.
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace kelvane {

// A moment as seconds since 2001-01-01T00:00:00Z, the format's own epoch.
struct PlistDate {
  double seconds = 0;
  bool operator==(const PlistDate&) const = default;
};

// A keyed-archive object reference.
struct PlistUid {
  uint64_t value = 0;
  bool operator==(const PlistUid&) const = default;
};

struct PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDict = std::map<std::string, PlistValue>;
using PlistData = std::vector<uint8_t>;

// One value. Integers are signed 64-bit, as the format stores them.
struct PlistValue {
  using Storage = std::variant<bool, int64_t, double, std::string, PlistData, PlistDate, PlistUid,
                               PlistArray, PlistDict>;
  Storage value;

  PlistValue() : value(false) {}
  PlistValue(bool b) : value(b) {}                      // NOLINT: implicit by design
  PlistValue(int i) : value(int64_t{i}) {}              // NOLINT
  PlistValue(int64_t i) : value(i) {}                   // NOLINT
  PlistValue(double d) : value(d) {}                    // NOLINT
  PlistValue(const char* s) : value(std::string(s)) {}  // NOLINT
  PlistValue(std::string s) : value(std::move(s)) {}    // NOLINT
  PlistValue(PlistData d) : value(std::move(d)) {}      // NOLINT
  PlistValue(PlistDate d) : value(d) {}                 // NOLINT
  PlistValue(PlistUid u) : value(u) {}                  // NOLINT
  PlistValue(PlistArray a) : value(std::move(a)) {}     // NOLINT
  PlistValue(PlistDict d) : value(std::move(d)) {}      // NOLINT

  // Returns the value when it is a T, else nullptr.
  template <class T>
  const T* get() const {
    return std::get_if<T>(&value);
  }
  bool operator==(const PlistValue&) const = default;
};

// The proxy configuration of one network service.
using ServiceConfig = PlistDict;
// Network service ID to its proxy configuration.
using SettingsSet = std::map<std::string, ServiceConfig>;

}  // namespace kelvane
