#pragma once
// Pick: a user's or a queue's choice of a target before it becomes an action.
#include <cstdint>
#include <functional>
#include <variant>

#include "core/disk_records/disk_rule.h"
#include "core/model/browser_tab.h"

namespace kelvane {

class Pick {
 public:
  struct Window {
    uint32_t id = 0;  // System window ID.
    bool operator==(const Window&) const = default;
  };
  struct Tab {
    BrowserTab tab;
    bool operator==(const Tab&) const = default;
  };
  struct App {
    int32_t pid = 0;  // The application's process.
    bool operator==(const App&) const = default;
  };
  struct Process {
    int32_t pid = 0;
    bool operator==(const Process&) const = default;
  };
  struct Disk {
    DiskRule rule = DiskRule::caches;
    bool operator==(const Disk&) const = default;
  };
  using Value = std::variant<Window, Tab, App, Process, Disk>;

  static Pick window(uint32_t id) { return Pick(Window{id}); }
  static Pick tab(BrowserTab tab) { return Pick(Tab{std::move(tab)}); }
  static Pick app(int32_t pid) { return Pick(App{pid}); }
  static Pick process(int32_t pid) { return Pick(Process{pid}); }
  static Pick diskRule(DiskRule rule) { return Pick(Disk{rule}); }

  const Value& value() const { return value_; }
  // The payload of that case, or nullptr when the pick is another case.
  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&value_);
  }
  bool operator==(const Pick&) const = default;

 private:
  explicit Pick(Value value) : value_(std::move(value)) {}
  Value value_;
};

}  // namespace kelvane

template <>
struct std::hash<kelvane::Pick> {
  size_t operator()(const kelvane::Pick& pick) const noexcept;
};
