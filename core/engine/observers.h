#pragma once
// EngineProperty and Observers: how a user interface (or the agent's control
// socket) learns that a property of the engine changed. Observers register for
// one property and are told before and after each change, only when the value
// really changes.
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace kelvane {

// The engine's observed properties.
enum class EngineProperty {
  snapshot,
  plan,
  activity,
  screenTime,
  config,
  schedule,
  nextRunAt,
  runs,
  skipped,
  queued,
  queuedIDs,
  memory,
  lastResults,
  held,
  pendingLogs,
  closedTabs,
  configReadOnly,
  running,
  diskRun,
  diskScan,
  usageWatch,
};
inline constexpr size_t kEnginePropertyCount = static_cast<size_t>(EngineProperty::usageWatch) + 1;

// Which side of a change an observer is told about.
enum class Change { willChange, didChange };

// Main thread only, like the engine that holds it.
class Observers {
 public:
  using Observer = std::function<void(EngineProperty, Change)>;

  // Registers `observer` for `property`; returns the token that removes it.
  uint64_t add(EngineProperty property, Observer observer);
  // Removes the observer of that token; an unknown token does nothing.
  void remove(uint64_t token);
  // Tells whether anyone observes `property`.
  bool watching(EngineProperty property) const { return !of(property).empty(); }
  // Calls every observer of `property`. Observers may add or remove observers
  // meanwhile; those added are first told about the next change.
  void notify(EngineProperty property, Change change) const;

  // Stores `value` in `field`. When someone observes `property`, nothing
  // happens unless the value differs, and observers hear before and after.
  template <class T>
  void assign(EngineProperty property, T& field, T value) {
    if (!watching(property)) {
      field = std::move(value);
      return;
    }
    if (field == value) return;
    notify(property, Change::willChange);
    field = std::move(value);
    notify(property, Change::didChange);
  }
  // Empties `field`; observers hear of it only when it held something.
  template <class T>
  void reset(EngineProperty property, std::optional<T>& field) {
    if (!field) return;
    notify(property, Change::willChange);
    field.reset();
    notify(property, Change::didChange);
  }
  // Applies `edit` to `field` (to a copy first when someone observes it, so that
  // observers are told only about a real change).
  template <class T, class Edit>
  void change(EngineProperty property, T& field, Edit&& edit) {
    if (!watching(property)) {
      edit(field);
      return;
    }
    T copy = field;
    edit(copy);
    assign(property, field, std::move(copy));
  }

 private:
  using Entries = std::vector<std::pair<uint64_t, Observer>>;
  const Entries& of(EngineProperty property) const {
    return entries_[static_cast<size_t>(property)];
  }
  Entries entries_[kEnginePropertyCount];
  uint64_t next_ = 1;
};

}  // namespace kelvane
